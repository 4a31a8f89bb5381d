#include "Server.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "Tarvok/FDPass.hpp"
#include "daemon/support/DaemonClient.hpp"
#include "support/SandboxRoot.hpp"

using DaemonTest::request;
using DaemonTest::save_request;
using DaemonTest::ServerThread;

namespace {

constexpr uid_t ALICE = 1001;
constexpr uid_t BOB = 1002;

const std::string EMPTY_FETCH = R"({"status":1,"statusmsg":"OK","data":{"crontab":"","denied":0}})";
const std::string DENIED_FETCH =
    R"({"status":1,"statusmsg":"OK","data":{"crontab":"","denied":1}})";
const std::string INSTALLED = R"({"status":1,"statusmsg":"OK","data":{"status":1,"statusmsg":""}})";

std::string error_answer(const std::string& reason) {
    return R"({"status":0,"error":1,"statusmsg":")" + reason + R"(","data":null})";
}

std::string fetched(const std::string& json_text) {
    return R"({"status":1,"statusmsg":"OK","data":{"crontab":)" + json_text + R"(,"denied":0}})";
}

class ServerTest : public testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "installing crontabs for other accounts needs root";
        std::string passwd =
            "root:x:0:0:root:/root:/bin/bash\n"
            "alice:x:1001:1001::/home/alice:/bin/penshell\n"
            "bob:x:1002:1002::/home/bob:/bin/noshell\n";
        for (int i = 0; i < 20; ++i) {
            passwd += "user" + std::to_string(i) + ":x:" + std::to_string(2000 + i) +
                      ":100::/home/u:/bin/penshell\n";
        }
        root_.write("/etc/passwd", passwd);
        root_.write("/etc/group", "crontab:x:107:\n");
    }
    std::string crontab(const std::string& account) const {
        return root_.path("/var/spool/cron/crontabs/") + account;
    }
    TestSupport::SandboxRoot root_;
};

}  // namespace

TEST_F(ServerTest, FetchAndSaveAnswerInTheAgreedShapes) {
    ServerThread server;
    EXPECT_EQ(server.exchange(request("fetch"), ALICE), EMPTY_FETCH);
    EXPECT_EQ(server.exchange(save_request("MAILTO=\"\"\n@daily backup"), ALICE), INSTALLED);
    // The missing last line end was added, and only the caller's own crontab changed.
    EXPECT_EQ(TestSupport::read_file(crontab("alice")), "MAILTO=\"\"\n@daily backup\n");
    EXPECT_EQ(server.exchange(request("fetch"), ALICE),
              fetched(R"("MAILTO=\"\"\n@daily backup\n")"));
    EXPECT_EQ(server.exchange(request("fetch"), BOB), EMPTY_FETCH);

    EXPECT_EQ(
        server.exchange(save_request("# mine\n\n61 * * * * x\n"), ALICE),
        R"j({"status":1,"statusmsg":"OK","data":{"status":0,"statusmsg":"line 3: bad minute '61' (0-59)"}})j");
    EXPECT_EQ(TestSupport::read_file(crontab("alice")), "MAILTO=\"\"\n@daily backup\n");

    EXPECT_EQ(server.exchange(save_request(""), ALICE), INSTALLED);
    EXPECT_NE(access(crontab("alice").c_str(), F_OK), 0);
    EXPECT_EQ(server.exchange(request("fetch"), ALICE), EMPTY_FETCH);
}

TEST_F(ServerTest, CrontabBytesRoundTripUnchanged) {
    ServerThread server;
    const std::string text = "* * * * * echo '\xff\xfe caf\xc3\xa9' \x1b[0m\n";
    EXPECT_EQ(server.exchange(save_request(text), BOB), INSTALLED);
    EXPECT_EQ(TestSupport::read_file(crontab("bob")), text);
    EXPECT_EQ(server.exchange(request("fetch"), BOB),
              fetched("\"* * * * * echo '\xff\xfe caf\xc3\xa9' \\u001B[0m\\n\""));
}

TEST_F(ServerTest, MalformedRequestsGetErrorAnswersAndServingGoesOn) {
    ServerThread server;
    const std::string good = request("fetch");
    std::string six_members = good;
    six_members.replace(six_members.find("\"action\":null,"), 14, "");
    std::string extra = good;
    extra.insert(extra.find("\"data\""), "\"user\":\"root\",");
    const std::pair<std::string, std::string> cases[] = {
        {"not json\r\n\r\n", "Request is not valid JSON: Invalid value. (at byte 1)"},
        {"\r\n\r\n", "Request is not valid JSON: The document is empty. (at byte 0)"},
        {"[1,2]\r\n\r\n", "Request is not a JSON object"},
        {good.substr(0, good.size() - 4), "Request ended before the end-of-request marker"},
        {good.substr(0, good.size() - 1), "Request ended before the end-of-request marker"},
        {"", "Request ended before the end-of-request marker"},
        {std::string(good).replace(good.find("1.0"), 3, "0.9"),
         "Unsupported serializer_version '0.9' (expected 1.0)"},
        {request("list"), "Unknown function 'Tarvok::Cron::list'"},
        {std::string(good).replace(good.find("\"Cron\""), 6, "7"), "The module must be a text"},
        {std::string(good).replace(good.find("\"action\":null"), 13, "\"action\":{}"),
         "The action must be null"},
        {request("save", "\"text\""), "A save needs data {\\\"crontab\\\": TEXT}"},
        {six_members, "Missing member 'action'"},
        {extra, "Unexpected member 'user'"},
    };
    for (const auto& [bytes, reason] : cases) {
        EXPECT_EQ(server.exchange(bytes, ALICE), error_answer(reason)) << bytes;
    }
    EXPECT_EQ(server.exchange(good, ALICE), EMPTY_FETCH);
}

TEST_F(ServerTest, BytesAfterTheMarkerAreNotRead) {
    ServerThread server;
    EXPECT_EQ(server.exchange(request("fetch") + "garbage", ALICE), EMPTY_FETCH);
}

TEST_F(ServerTest, RequestArrivingInPiecesIsReassembled) {
    ServerThread server;
    const std::string bytes = save_request("@hourly pieces\n");
    const int fd = DaemonTest::connect_to(server.path(), ALICE);
    // One byte at a time: the marker itself arrives split across reads.
    for (const char c : bytes) {
        ASSERT_EQ(send(fd, &c, 1, MSG_NOSIGNAL), 1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    EXPECT_EQ(DaemonTest::read_to_end(fd), INSTALLED);
    close(fd);
    EXPECT_EQ(TestSupport::read_file(crontab("alice")), "@hourly pieces\n");
}

TEST_F(ServerTest, RequestOverTheCapIsRefused) {
    ServerThread server;
    const std::string huge(1024 * 1024 + 10, ' ');
    EXPECT_EQ(server.exchange(huge, ALICE), error_answer("Request too large (over 1048576 bytes)"));
    // Just under the cap is read (and then judged on its content).
    const std::string padded = std::string(1024 * 1024 - 2, ' ') + "[]\r\n\r\n";
    EXPECT_EQ(server.exchange(padded, ALICE), error_answer("Request is not a JSON object"));
    EXPECT_EQ(server.exchange(request("fetch"), ALICE), EMPTY_FETCH);
}

TEST_F(ServerTest, UnknownUidGetsAnErrorAnswer) {
    ServerThread server;
    EXPECT_EQ(server.exchange(request("fetch"), 4242),
              error_answer("uid 4242 has no account on this system"));
}

TEST_F(ServerTest, RefusedAccountsAreToldSoAndChangeNothing) {
    ServerThread server;
    root_.write("/var/spool/cron/crontabs/alice", "@daily old\n", 0600);
    ASSERT_EQ(chown(crontab("alice").c_str(), ALICE, ALICE), 0);
    root_.write("/etc/cron.deny", "alice\n");
    const std::string refusal =
        R"({"status":1,"statusmsg":"OK","data":{"status":0,"statusmsg":"You (alice) are not allowed to use cron; ask your administrator"}})";
    EXPECT_EQ(server.exchange(request("fetch"), ALICE), DENIED_FETCH);
    EXPECT_EQ(server.exchange(save_request("@daily new\n"), ALICE), refusal);
    EXPECT_EQ(server.exchange(save_request(""), ALICE), refusal);
    EXPECT_EQ(TestSupport::read_file(crontab("alice")), "@daily old\n");
    EXPECT_EQ(server.exchange(request("fetch"), BOB), EMPTY_FETCH);

    // An allow list wins over the deny list and admits only its accounts.
    root_.write("/etc/cron.allow", "alice\n");
    EXPECT_EQ(server.exchange(request("fetch"), ALICE), fetched(R"("@daily old\n")"));
    EXPECT_EQ(server.exchange(request("fetch"), BOB), DENIED_FETCH);
    EXPECT_EQ(server.exchange(request("fetch"), 0), EMPTY_FETCH);
}

TEST_F(ServerTest, SilentClientsTimeOutWithoutDelayingOthers) {
    auto config = ServerThread::test_config();
    config.time_limit = std::chrono::seconds(3);
    ServerThread server(config);
    std::vector<int> silent;
    for (int i = 0; i < 10; ++i) silent.push_back(DaemonTest::connect_to(server.path(), BOB));
    const int partial = DaemonTest::connect_to(server.path(), BOB);
    const std::string half = request("fetch").substr(0, 40);
    ASSERT_EQ(send(partial, half.data(), half.size(), MSG_NOSIGNAL), 40);
    silent.push_back(partial);

    // Served while all of those still hold their connections open.
    EXPECT_EQ(server.exchange(request("fetch"), ALICE), EMPTY_FETCH);
    EXPECT_EQ(server.exchange(save_request("@daily x\n"), ALICE), INSTALLED);
    for (const int fd : silent) {
        char byte;
        EXPECT_EQ(recv(fd, &byte, 1, MSG_DONTWAIT), -1);
        EXPECT_EQ(errno, EAGAIN);
    }
    for (const int fd : silent) {
        EXPECT_EQ(DaemonTest::read_to_end(fd),
                  error_answer("Request not complete within 3 seconds"));
        close(fd);
    }
}

TEST_F(ServerTest, ConnectionsPerAccountAreBounded) {
    auto config = ServerThread::test_config();
    config.max_connections_per_account = 2;
    ServerThread server(config);
    const int first = DaemonTest::connect_to(server.path(), BOB);
    const int second = DaemonTest::connect_to(server.path(), BOB);
    EXPECT_EQ(server.exchange(request("fetch"), BOB),
              error_answer("Too many connections from this account at once"));
    EXPECT_EQ(server.exchange(request("fetch"), ALICE), EMPTY_FETCH);
    // A slot freed is a slot to use again.
    close(first);
    const std::string bytes = request("fetch");
    ASSERT_EQ(send(second, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
    EXPECT_EQ(DaemonTest::read_to_end(second), EMPTY_FETCH);
    close(second);
    std::string answer;
    for (int attempt = 0; attempt < 100; ++attempt) {
        answer = server.exchange(request("fetch"), BOB);
        if (answer == EMPTY_FETCH) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(answer, EMPTY_FETCH);
}

TEST_F(ServerTest, RacingInstallsLeaveOneWholeTextPerAccount) {
    ServerThread server;
    constexpr int ACCOUNTS = 20;
    constexpr int INSTALLS = 50;
    auto text_of = [](int account, int install) {
        std::string text;
        for (int line = 0; line < 100; ++line) {
            text += "# account " + std::to_string(account) + " install " + std::to_string(install) +
                    " line " + std::to_string(line) + "\n";
        }
        return text + "*/5 * * * * job-" + std::to_string(install) + "\n";
    };
    std::vector<std::pair<int, int>> tasks;
    for (int a = 0; a < ACCOUNTS; ++a) {
        for (int i = 0; i < INSTALLS; ++i) tasks.emplace_back(a, i);
    }
    std::shuffle(tasks.begin(), tasks.end(), std::mt19937(7));
    std::atomic<std::size_t> next{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 32; ++t) {
        clients.emplace_back([&] {
            for (std::size_t k; (k = next++) < tasks.size();) {
                const auto [a, i] = tasks[k];
                const auto answer =
                    DaemonTest::exchange(server.path(), save_request(text_of(a, i)), 2000 + a);
                if (answer != INSTALLED) ++failures;
            }
        });
    }
    for (auto& c : clients) c.join();
    EXPECT_EQ(failures, 0);

    for (int a = 0; a < ACCOUNTS; ++a) {
        std::set<std::string> submitted;
        for (int i = 0; i < INSTALLS; ++i) submitted.insert(text_of(a, i));
        const std::string name = "user" + std::to_string(a);
        const std::string stored = TestSupport::read_file(crontab(name));
        EXPECT_TRUE(submitted.count(stored)) << name << " holds a text nobody sent";
        const std::string kept =
            TestSupport::read_file(root_.path("/var/spool/cron/tvwrapd-backup/") + name);
        EXPECT_TRUE(submitted.count(kept)) << name << " backup holds a text nobody sent";
        EXPECT_NE(kept, stored);
        struct stat st {};
        ASSERT_EQ(stat(crontab(name).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, static_cast<uid_t>(2000 + a));
    }
}

TEST_F(ServerTest, CallerIsTheAccountTheKernelReports) {
    // The real peer lookup, with a client that really runs as alice.
    chmod(root_.dir().c_str(), 0755);
    ServerThread server(Tvwrapd::ServerConfig{});
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const std::string bytes = save_request("@reboot as-alice\n");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipe_fds[0]);
        if (setresgid(ALICE, ALICE, ALICE) != 0 || setresuid(ALICE, ALICE, ALICE) != 0) _exit(3);
        try {
            const std::string answer = DaemonTest::exchange(server.path(), bytes);
            if (write(pipe_fds[1], answer.data(), answer.size()) < 0) _exit(4);
        } catch (...) {
            _exit(5);
        }
        _exit(0);
    }
    close(pipe_fds[1]);
    const std::string answer = DaemonTest::read_to_end(pipe_fds[0]);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(answer, INSTALLED);
    EXPECT_EQ(TestSupport::read_file(crontab("alice")), "@reboot as-alice\n");
    EXPECT_NE(access(crontab("root").c_str(), F_OK), 0);
}

TEST_F(ServerTest, LargeAnswerReachesAClientThatReadsLate) {
    ServerThread server;
    std::string text;
    while (text.size() < 800 * 1024) text += "# " + std::string(200, 'x') + "\n";
    text += "@daily big\n";
    ASSERT_EQ(server.exchange(save_request(text), ALICE), INSTALLED);

    // The answer is far larger than a socket buffer: most of it leaves after the worker is done.
    const int fd = DaemonTest::connect_to(server.path(), ALICE);
    const std::string bytes = request("fetch");
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
    shutdown(fd, SHUT_WR);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string answer = DaemonTest::read_to_end(fd);
    close(fd);
    EXPECT_EQ(answer, fetched(DaemonTest::json_string(text)));
}

TEST_F(ServerTest, ConnectionsInTotalAreBounded) {
    auto config = ServerThread::test_config();
    config.max_connections = 2;
    ServerThread server(config);
    const int first = DaemonTest::connect_to(server.path(), ALICE);
    const int second = DaemonTest::connect_to(server.path(), BOB);
    EXPECT_EQ(server.exchange(request("fetch"), 2000),
              error_answer("The crontab service is busy; try again shortly"));
    close(first);
    close(second);
}

TEST_F(ServerTest, DescriptorPassedBeforeTheRequestIsNotKept) {
    // A client may hand over a descriptor first; the daemon never takes it in.
    ServerThread server;
    auto open_descriptors = [] {
        int count = 0;
        for (int fd = 0; fd < 4096; ++fd) count += fcntl(fd, F_GETFD) != -1;
        return count;
    };
    EXPECT_EQ(server.exchange(request("fetch"), ALICE), EMPTY_FETCH);  // the server is warm
    const int before = open_descriptors();
    const int fd = DaemonTest::connect_to(server.path(), ALICE);

    const int passed = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_TRUE(Tarvok::FDPass::send(Tarvok::FHUtils::Handle{fd}, Tarvok::FHUtils::Handle{passed}));
    close(passed);
    // The byte that carried it is not JSON, so the request is refused, and nothing more.
    const std::string bytes = request("fetch");
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
    const std::string answer = DaemonTest::read_to_end(fd);
    close(fd);
    EXPECT_EQ(answer.substr(0, 57), R"({"status":0,"error":1,"statusmsg":"Request is not valid J)");
    EXPECT_EQ(open_descriptors(), before);
}
