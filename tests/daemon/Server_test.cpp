#include "Server.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "CrontabCheck.hpp"
#include "Protocol.hpp"
#include "Tarvok/FDPass.hpp"
#include "daemon/support/DaemonClient.hpp"
#include "support/ChildProcess.hpp"
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

TEST_F(ServerTest, RequestOverTheCapIsRefusedWithoutCuttingTheClientOff) {
    ServerThread server;
    const std::size_t cap = Tvwrapd::Protocol::MAX_REQUEST_LENGTH;
    // All of it goes out before the answer is read, as the front end does: no broken pipe, and
    // the answer ends with an end, not a reset.
    const int fd = DaemonTest::connect_to(server.path(), ALICE);
    const std::string huge(cap + 10, ' ');
    for (std::size_t sent = 0; sent < huge.size();) {
        const ssize_t n = send(fd, huge.data() + sent, huge.size() - sent, MSG_NOSIGNAL);
        ASSERT_GT(n, 0) << std::strerror(errno);
        sent += static_cast<std::size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    std::string answer;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        answer.append(buffer, static_cast<std::size_t>(n));
    EXPECT_EQ(n, 0) << std::strerror(errno);
    close(fd);
    EXPECT_EQ(answer, error_answer("Request too large (over " + std::to_string(cap) + " bytes)"));
    // Just under the cap is read (and then judged on its content).
    const std::string padded = std::string(cap - 2, ' ') + "[]\r\n\r\n";
    EXPECT_EQ(server.exchange(padded, ALICE), error_answer("Request is not a JSON object"));
    EXPECT_EQ(server.exchange(request("fetch"), ALICE), EMPTY_FETCH);
}

TEST_F(ServerTest, LargestCrontabIsTakenHoweverItIsEscaped) {
    ServerThread server;
    // A comment of control bytes, each sent as six bytes of JSON.
    std::string text = "#" + std::string(Tvwrapd::CrontabCheck::MAX_LENGTH - 2, '\x01') + "\n";
    EXPECT_EQ(server.exchange(save_request(text), ALICE), INSTALLED);
    EXPECT_EQ(TestSupport::read_file(crontab("alice")), text);
    text.insert(0, "#");
    EXPECT_NE(server.exchange(save_request(text), ALICE).find("crontab is too large"),
              std::string::npos);
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
    // The real peer lookup, with a client that really runs as alice. Her primary group has
    // bob's number, as groups often do on real hosts: the group id must not pass for the user id.
    chmod(root_.dir().c_str(), 0755);
    ServerThread server(Tvwrapd::ServerConfig{});
    const std::string bytes = save_request("@reboot as-alice\n");
    const TestSupport::RunResult child = TestSupport::run_forked([&] {
        if (setresgid(BOB, BOB, BOB) != 0 || setresuid(ALICE, ALICE, ALICE) != 0) return 3;
        try {
            const std::string answer = DaemonTest::exchange(server.path(), bytes);
            if (write(STDOUT_FILENO, answer.data(), answer.size()) < 0) return 4;
        } catch (...) {
            return 5;
        }
        return 0;
    });
    ASSERT_EQ(child.status, 0) << child.err;
    const std::string& answer = child.out;
    EXPECT_EQ(answer, INSTALLED);
    EXPECT_EQ(TestSupport::read_file(crontab("alice")), "@reboot as-alice\n");
    EXPECT_NE(access(crontab("root").c_str(), F_OK), 0);
    EXPECT_NE(access(crontab("bob").c_str(), F_OK), 0);
}

TEST_F(ServerTest, CallerWithoutCredentialsIsRefusedNotServedAsRoot) {
    auto config = ServerThread::test_config();
    config.peer_uid = [](int) { return std::optional<uid_t>(); };
    ServerThread server(config);
    EXPECT_EQ(server.exchange(save_request("@daily as-nobody\n")),
              error_answer("Cannot tell who is calling"));
    EXPECT_EQ(server.exchange(request("fetch")), error_answer("Cannot tell who is calling"));
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

TEST_F(ServerTest, DescriptorPassedBeforeTheRequestIsClosedAndTheRequestServed) {
    ServerThread server;
    auto open_descriptors = [] {
        int count = 0;
        for (int fd = 0; fd < 4096; ++fd) count += fcntl(fd, F_GETFD) != -1;
        return count;
    };
    EXPECT_EQ(server.exchange(request("fetch"), ALICE), EMPTY_FETCH);  // the server is warm
    const int before = open_descriptors();
    for (const std::string& bytes : {request("fetch"), save_request("@daily passed\n")}) {
        const int fd = DaemonTest::connect_to(server.path(), ALICE);
        const int passed = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_TRUE(
            Tarvok::FDPass::send(Tarvok::FHUtils::Handle{fd}, Tarvok::FHUtils::Handle{passed}));
        close(passed);
        ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
        shutdown(fd, SHUT_WR);
        const std::string answer = DaemonTest::read_to_end(fd);
        close(fd);
        EXPECT_EQ(answer, bytes == request("fetch") ? EMPTY_FETCH : INSTALLED);
    }
    EXPECT_EQ(TestSupport::read_file(crontab("alice")), "@daily passed\n");
    EXPECT_EQ(open_descriptors(), before);
}

namespace {

struct Delivery {
    bool sent_all = false;
    std::string answer;
    /// The answer ended with an orderly close, not a reset.
    bool closed_cleanly = false;
};

/// Sends all of `bytes` (blocking), half-closes, reads the answer to its end.
Delivery deliver(int fd, std::string_view bytes) {
    Delivery out;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    out.sent_all = sent == bytes.size();
    shutdown(fd, SHUT_WR);
    char buffer[65536];
    for (;;) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            out.answer.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        out.closed_cleanly = n == 0;
        return out;
    }
}

}  // namespace

TEST_F(ServerTest, RoutingFollowsTheParsedFunctionSoFetchesNeverWaitForInstalls) {
    // Installs that hang on the disk; a save written with spaces is still an install.
    std::mutex mutex;
    std::condition_variable cv;
    bool disk_free = false;
    auto config = ServerThread::test_config();
    config.quick_workers = 2;
    config.disk_workers = 4;
    config.answer = [&](uid_t uid, std::string_view text) {
        if (text.find("save") != std::string_view::npos) {
            std::unique_lock hold(mutex);
            cv.wait(hold, [&] { return disk_free; });
        }
        return Tvwrapd::Service::answer(uid, text);
    };
    ServerThread server(config);
    std::string spaced = save_request("@daily spaced\n");
    spaced.replace(spaced.find("\"function\":"), 11, "\"function\" : ");
    std::vector<std::thread> savers;
    std::vector<std::string> saved(4);
    for (int i = 0; i < 4; ++i) {
        savers.emplace_back([&, i] { saved[i] = server.exchange(spaced, 2000 + i); });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const int fd = DaemonTest::connect_to(server.path(), BOB);
    const std::string fetch = request("fetch");
    ASSERT_EQ(send(fd, fetch.data(), fetch.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(fetch.size()));
    shutdown(fd, SHUT_WR);
    EXPECT_EQ(DaemonTest::read_to_end(fd, std::chrono::seconds(3)), EMPTY_FETCH);
    close(fd);
    {
        std::lock_guard hold(mutex);
        disk_free = true;
    }
    cv.notify_all();
    for (auto& t : savers) t.join();
    for (const auto& answer : saved) EXPECT_EQ(answer, INSTALLED);
}

TEST_F(ServerTest, AccountWithLargeAnswersIsServedAwayFromTheEventLoop) {
    // The loop tells who is calling: an answer made on that thread was made by the loop.
    std::mutex mutex;
    std::thread::id loop;
    std::vector<std::pair<uid_t, bool>> served;  // the account, and whether the loop served it
    auto config = ServerThread::test_config();
    config.peer_uid = [&, peer = config.peer_uid](int fd) {
        std::lock_guard hold(mutex);
        loop = std::this_thread::get_id();
        return peer(fd);
    };
    config.answer = [&](uid_t uid, std::string_view) {
        std::lock_guard hold(mutex);
        served.emplace_back(uid, std::this_thread::get_id() == loop);
        return std::string(uid == ALICE ? 256 * 1024 : 64, 'x');
    };
    ServerThread server(config);
    for (const uid_t uid : {ALICE, ALICE, BOB, ALICE, BOB}) {
        EXPECT_EQ(server.exchange(request("fetch"), uid).size(), uid == ALICE ? 256 * 1024 : 64u);
    }
    // Alice's first large answer is the loop's last for her a while; Bob keeps the quick way.
    const std::vector<std::pair<uid_t, bool>> expected{
        {ALICE, true}, {ALICE, false}, {BOB, true}, {ALICE, false}, {BOB, true}};
    EXPECT_EQ(served, expected);
}

TEST_F(ServerTest, ConnectionsAreKeptForAccountsWithNoneOpen) {
    auto config = ServerThread::test_config();
    config.max_connections = 8;
    ServerThread server(config);
    std::vector<int> idle;
    for (int i = 0; i < 8; ++i) idle.push_back(DaemonTest::connect_to(server.path(), BOB));
    // Bob got all but the one kept back; his last try was told so, readably.
    EXPECT_EQ(DaemonTest::read_to_end(idle.back(), std::chrono::seconds(3)),
              error_answer("The crontab service is busy; try again shortly"));
    EXPECT_EQ(server.exchange(request("fetch"), ALICE), EMPTY_FETCH);
    for (const int fd : idle) close(fd);
}

TEST_F(ServerTest, BusyAnswerIsReadableAfterTheWholeRequestIsSent) {
    auto config = ServerThread::test_config();
    config.max_connections = 1;
    config.drain_limit = std::chrono::seconds(30);
    ServerThread server(config);
    const int holder = DaemonTest::connect_to(server.path(), ALICE);
    const int fd = DaemonTest::connect_to(server.path(), BOB);
    const Delivery busy = deliver(fd, save_request(std::string(900 * 1024, '#')));
    close(fd);
    EXPECT_TRUE(busy.sent_all);
    EXPECT_EQ(busy.answer, error_answer("The crontab service is busy; try again shortly"));
    EXPECT_TRUE(busy.closed_cleanly);

    // A refused caller that goes on sending is cut off after a few requests' worth, however long
    // it would still have to drain.
    const int endless = DaemonTest::connect_to(server.path(), BOB);
    const std::string block(1 << 20, '#');
    std::size_t streamed = 0;
    for (ssize_t n; streamed < (256u << 20) &&
                    (n = send(endless, block.data(), block.size(), MSG_NOSIGNAL)) > 0;) {
        streamed += static_cast<std::size_t>(n);
    }
    close(endless);
    EXPECT_LT(streamed, 64u << 20);
    close(holder);
}

TEST_F(ServerTest, MemoryOfUnfinishedRequestsIsBoundedPerAccountAndInTotal) {
    const std::string chunk(300 * 1000, ' ');
    struct Case {
        std::size_t per_account;
        std::size_t total;
        uid_t second;  // who opens the second large request
    };
    for (const Case& bound : {Case{450 * 1000, 64 << 20, ALICE}, Case{8 << 20, 450 * 1000, BOB}}) {
        auto config = ServerThread::test_config();
        config.max_memory_per_account = bound.per_account;
        config.max_memory = bound.total;
        ServerThread server(config);
        const int first = DaemonTest::connect_to(server.path(), ALICE);
        ASSERT_EQ(send(first, chunk.data(), chunk.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(chunk.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const int second = DaemonTest::connect_to(server.path(), bound.second);
        ASSERT_EQ(send(second, chunk.data(), chunk.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(chunk.size()));
        EXPECT_EQ(DaemonTest::read_to_end(second, std::chrono::seconds(3)),
                  error_answer("The crontab service is busy; try again shortly"))
            << bound.second;
        // An ordinary request still fits.
        EXPECT_EQ(server.exchange(request("fetch"), 2000), EMPTY_FETCH);
        close(first);
        close(second);
    }
}

TEST_F(ServerTest, AnswerIsCutOnlyByItsOwnIdleLimitNotByTheRequestTimeLimit) {
    // The answer is ready only after the time limit for the request, and is far larger than a
    // socket buffer: the rest of it still goes out whole.
    const std::string big(3 << 20, 'x');
    auto config = ServerThread::test_config();
    config.time_limit = std::chrono::milliseconds(300);
    config.write_idle_limit = std::chrono::milliseconds(1200);
    config.answer = [&](uid_t, std::string_view) {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        return big;
    };
    ServerThread server(config);
    const int fd = DaemonTest::connect_to(server.path(), ALICE);
    const std::string bytes = request("fetch");
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
    shutdown(fd, SHUT_WR);
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    const std::string answer = DaemonTest::read_to_end(fd);
    close(fd);
    EXPECT_EQ(answer.size(), big.size());

    // Only a caller that stops taking the answer loses it, after the idle limit for writing.
    const int idle = DaemonTest::connect_to(server.path(), ALICE);
    ASSERT_EQ(send(idle, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_LT(DaemonTest::read_to_end(idle).size(), big.size());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    close(idle);
}

TEST_F(ServerTest, AnswerLeftUnreadHoldsUpOnlyTheNextRequestOfItsAccount) {
    // The largest crontab, every byte sent back as a six-byte escape: a 6 MiB answer.
    const std::string text =
        "#" + std::string(Tvwrapd::CrontabCheck::MAX_LENGTH - 2, '\x01') + "\n";
    std::mutex mutex;
    int alice_answers = 0;
    auto config = ServerThread::test_config();
    config.answer = [&](uid_t uid, std::string_view request) {
        if (uid == ALICE && request.find("fetch") != std::string_view::npos) {
            std::lock_guard hold(mutex);
            ++alice_answers;
        }
        return Tvwrapd::Service::answer(uid, request);
    };
    ServerThread server(config);
    ASSERT_EQ(server.exchange(save_request(text), ALICE), INSTALLED);
    const std::string fetch = request("fetch");
    int unread[2];
    for (int& fd : unread) {
        fd = DaemonTest::connect_to(server.path(), ALICE);
        ASSERT_EQ(send(fd, fetch.data(), fetch.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(fetch.size()));
        shutdown(fd, SHUT_WR);
    }
    // Others are served meanwhile, a save larger than any connection may hold unasked included.
    std::string large;
    while (large.size() < 200 * 1024) large += "# " + std::string(100, 'y') + "\n";
    EXPECT_EQ(server.exchange(request("fetch"), BOB), EMPTY_FETCH);
    EXPECT_EQ(server.exchange(save_request(large), BOB), INSTALLED);
    {
        std::lock_guard hold(mutex);
        EXPECT_EQ(alice_answers, 1) << "a second answer was made while the first was held";
    }
    // Once the first answer is taken, the second is made and comes whole.
    const std::string whole = fetched(DaemonTest::json_string(text));
    for (const int fd : unread) {
        const std::string answer = DaemonTest::read_to_end(fd);
        EXPECT_TRUE(answer == whole) << answer.size() << " bytes: " << answer.substr(0, 100);
        close(fd);
    }
}

TEST_F(ServerTest, MemoryOfUnreadAnswersIsBoundedPerAccountAndInTotal) {
    constexpr std::size_t ANSWER = 3 << 20;
    const std::string busy = error_answer("The crontab service is busy; try again shortly");
    struct Case {
        std::size_t per_account;
        std::size_t total;
        int holders;  // accounts that each leave an answer unread first
        bool served;  // whether the last caller's answer still fits
    };
    for (const Case& bound : {Case{2 << 20, 64 << 20, 0, false}, Case{64 << 20, 7 << 20, 2, false},
                              Case{64 << 20, 10 << 20, 2, true}}) {
        auto config = ServerThread::test_config();
        config.max_memory_per_account = bound.per_account;
        config.max_memory = bound.total;
        config.answer = [&](uid_t uid, std::string_view) {
            return std::string(uid == BOB ? 64 : ANSWER, 'x');
        };
        ServerThread server(config);
        const std::string fetch = request("fetch");
        std::vector<int> holders;
        for (int i = 0; i < bound.holders; ++i) {
            holders.push_back(DaemonTest::connect_to(server.path(), 2000 + i));
            ASSERT_EQ(send(holders.back(), fetch.data(), fetch.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(fetch.size()));
            // Its answer is under way: it counts before the next one is made.
            pollfd ready{holders.back(), POLLIN, 0};
            ASSERT_EQ(poll(&ready, 1, 3000), 1);
            char first = 0;
            ASSERT_EQ(recv(holders.back(), &first, 1, MSG_PEEK), 1);
            ASSERT_EQ(first, 'x');
        }
        const std::string answer = server.exchange(fetch, ALICE);
        const std::string whole = "the whole answer";
        EXPECT_EQ(answer == std::string(ANSWER, 'x') ? whole : answer.substr(0, 200),
                  bound.served ? whole : busy);
        EXPECT_EQ(server.exchange(fetch, BOB), std::string(64, 'x'));
        for (const int fd : holders) close(fd);
    }
}

// A stop answers the connections already taken in, whole: under systemd the socket
// stays open across a restart, and what the stopping daemon accepted only it can answer.
TEST_F(ServerTest, AStopAnswersTheConnectionsAlreadyTakenIn) {
    ServerThread server;
    const std::string bytes = save_request("@hourly restarted\n");
    const int fd = DaemonTest::connect_to(server.path(), ALICE);
    ASSERT_EQ(send(fd, bytes.data(), 10, MSG_NOSIGNAL), 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // accepted, half read
    std::thread stopping([&] { server.stop(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(send(fd, bytes.data() + 10, bytes.size() - 10, MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size() - 10));
    shutdown(fd, SHUT_WR);
    EXPECT_EQ(DaemonTest::read_to_end(fd), INSTALLED);
    close(fd);
    stopping.join();
    EXPECT_EQ(TestSupport::read_file(crontab("alice")), "@hourly restarted\n");
}
