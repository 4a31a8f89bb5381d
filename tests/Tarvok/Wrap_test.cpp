#include "Tarvok/Wrap.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Tarvok/AdminBin/Serializer.hpp"
#include "Tarvok/Debug.hpp"
#include "Tarvok/Error.hpp"
#include "Tarvok/Exception.hpp"
#include "Tarvok/FDPass.hpp"
#include "Tarvok/TVERROR.hpp"
#include "Tarvok/Wire.hpp"
#include "daemon/support/DaemonClient.hpp"
#include "support/FakeDaemon.hpp"
#include "support/SandboxRoot.hpp"
#include "support/StderrCapture.hpp"

namespace Wrap = Tarvok::Wrap;
namespace JSON = Tarvok::JSON;
using TestSupport::FakeDaemon;
using namespace std::chrono_literals;

namespace {

class WarningRecorder : public Tarvok::Logger {
  public:
    explicit WarningRecorder(std::vector<std::string>& warnings) : warnings_(warnings) {}
    bool warn(std::string_view message) override {
        warnings_.emplace_back(message);
        return true;
    }

  private:
    std::vector<std::string>& warnings_;
};

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

bool ends_with(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

void (*sigpipe_handler())(int) {
    struct sigaction now {};
    sigaction(SIGPIPE, nullptr, &now);
    return now.sa_handler;
}

void marker_handler(int) {}

// Sets the SIGPIPE disposition for the test and puts the old one back afterwards.
class SigpipeAs {
  public:
    explicit SigpipeAs(void (*handler)(int)) { previous_ = signal(SIGPIPE, handler); }
    ~SigpipeAs() { signal(SIGPIPE, previous_); }

  private:
    void (*previous_)(int);
};

class WrapRequest : public ::testing::Test {
  protected:
    void SetUp() override {
        Tarvok::Debug::logger(std::make_unique<WarningRecorder>(warnings));
        Tarvok::TVERROR.clear();
        Tarvok::context.reset();
    }
    void TearDown() override {
        Tarvok::Debug::reset();
        Tarvok::TVERROR.clear();
        Tarvok::context.reset();
    }

    // Every exchange in these tests is bounded, so that a fault fails a test instead of
    // hanging the suite.
    static Wrap::RequestOptions fetch() {
        return {.namespace_ = "Tarvok", .module = "Cron", .function = "fetch", .limit = 20s};
    }
    static Wrap::RequestOptions save(std::string_view crontab) {
        return {.namespace_ = "Tarvok",
                .module = "Cron",
                .function = "save",
                .data = JSON::ObjectBuilder().add("crontab", crontab).release(),
                .limit = 20s};
    }
    std::string socket_path() const { return root.path(Wrap::TVWRAPD_SOCKET_PATH); }

    TestSupport::SandboxRoot root;
    std::vector<std::string> warnings;
};

const std::string kMarker(Tarvok::Wire::END_OF_REQUEST_MARKER);

}  // namespace

// ---- What goes over the wire ----

TEST_F(WrapRequest, UnsetOptionsAreSentAsNullAfterTheVersion) {
    auto daemon = FakeDaemon::answering(R"({"status":1})");
    Wrap::send_tvwrapd_request({.limit = 20s});
    ASSERT_EQ(daemon->requests().size(), 1u);
    // The daemon read up to end of input: the client shut down its sending direction.
    EXPECT_EQ(daemon->requests()[0],
              R"({"serializer_version":"1.0","namespace":null,"module":null,"function":null,)"
              R"("action":null,"env":null,"data":null})" +
                  kMarker);
}

TEST_F(WrapRequest, TheRequestIsTheCompactObjectThenTheMarker) {
    auto daemon = FakeDaemon::answering(R"({"status":1})");
    auto options = save("* * * * * /bin/true \xe9\n");
    options.env = Wrap::Config::Env{{"REMOTE_ADDR", "10.0.0.1"}, {"TEAM_USER", ""}};
    Wrap::send_tvwrapd_request(options);
    ASSERT_EQ(daemon->requests().size(), 1u);
    EXPECT_EQ(daemon->requests()[0],
              R"({"serializer_version":"1.0","namespace":"Tarvok","module":"Cron",)"
              R"("function":"save","action":null,)"
              R"("env":{"REMOTE_ADDR":"10.0.0.1","TEAM_USER":""},)"
              "\"data\":{\"crontab\":\"* * * * * /bin/true \xe9\\n\"}}" +
                  kMarker);
}

TEST_F(WrapRequest, ASeveralMebibyteCrontabReachesTheDaemonWhole) {
    std::string crontab;
    for (int line = 0; crontab.size() < (6u << 20); ++line) {
        crontab += std::to_string(line % 60) + " * * * * /usr/bin/job --n=" + std::to_string(line) +
                   " \"quoted\" \\ tab\t\xc3\xa9\n";
    }
    std::string received_crontab;
    FakeDaemon daemon([&](FakeDaemon& self, int connection) {
        std::string request = self.read_request(connection);
        ASSERT_TRUE(ends_with(request, kMarker));
        request.resize(request.size() - kMarker.size());
        const auto decoded = Tarvok::AdminBin::Serializer::Load(request);
        received_crontab =
            std::string(JSON::view(*JSON::member(*JSON::member(*decoded, "data"), "crontab")));
        FakeDaemon::send_all(connection, R"({"status":1,"data":{"status":1}})");
    });
    const auto options = save(crontab);
    const auto result = Wrap::send_tvwrapd_request(options);
    EXPECT_TRUE(result.data_true("status"));
    EXPECT_EQ(received_crontab.size(), crontab.size());
    EXPECT_TRUE(received_crontab == crontab);
    EXPECT_EQ(daemon.requests().at(0),
              Tarvok::AdminBin::Serializer::Dump(
                  JSON::ObjectBuilder()
                      .add("serializer_version", "1.0")
                      .add("namespace", "Tarvok")
                      .add("module", "Cron")
                      .add("function", "save")
                      .add("action", nullptr)
                      .add("env", nullptr)
                      .add("data", static_cast<const JSON::Value&>(options.data))
                      .release()) +
                  kMarker);
}

TEST_F(WrapRequest, APassedDescriptorArrivesBeforeTheRequest) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    Tarvok::UniqueFd read_end(ends[0]), write_end(ends[1]);
    FakeDaemon daemon([](FakeDaemon& self, int connection) {
        auto passed = Tarvok::FDPass::recv(Tarvok::FHUtils::Handle{connection});
        if (passed) {
            EXPECT_EQ(write(passed->get(), "from the daemon", 15), 15);
        }
        self.read_request(connection);
        FakeDaemon::send_all(connection, R"({"status":1})");
    });
    auto options = fetch();
    options.fdpass = Tarvok::FHUtils::Handle(write_end);
    EXPECT_TRUE(Wrap::send_tvwrapd_request(options).status());
    write_end.reset();  // the daemon has closed its copy: reading ends after what it wrote
    char text[32] = {};
    EXPECT_EQ(read(read_end.get(), text, sizeof text), 15);
    EXPECT_STREQ(text, "from the daemon");
    EXPECT_TRUE(contains(daemon.requests().at(0), R"("function":"fetch")"));
}

// ---- Answers that are maps ----

TEST_F(WrapRequest, AnAnswerMapComesBackAsItIsWithItsTextWhenStatusIsTrue) {
    const std::string answer =
        R"( {"status":1,"statusmsg":"OK","data":{"crontab":"@daily x\n","denied":0}} )";
    auto daemon = FakeDaemon::answering(answer);
    const auto result = Wrap::send_tvwrapd_request(fetch());
    EXPECT_TRUE(result.status());
    EXPECT_FALSE(result.error());
    EXPECT_EQ(result.statusmsg(), "OK");
    EXPECT_EQ(result.data_text("crontab"), "@daily x\n");
    EXPECT_FALSE(result.data_true("denied"));
    ASSERT_NE(result.response_ref, nullptr);
    EXPECT_EQ(*result.response_ref, answer);
    EXPECT_EQ(JSON::Dump(result.record),
              R"({"status":1,"statusmsg":"OK","data":{"crontab":"@daily x\n","denied":0}})");
    EXPECT_TRUE(warnings.empty());
    EXPECT_TRUE(Tarvok::TVERROR.empty());
}

TEST_F(WrapRequest, AMapWhoseStatusIsFalseComesBackWithoutItsText) {
    auto daemon = FakeDaemon::answering(R"({"status":"0","statusmsg":"No","data":null})");
    const auto result = Wrap::send_tvwrapd_request(fetch());
    EXPECT_FALSE(result.status());
    EXPECT_EQ(result.response_ref, nullptr);
    EXPECT_EQ(JSON::Dump(result.record), R"({"status":"0","statusmsg":"No","data":null})");
}

TEST_F(WrapRequest, ASurrogatePairArrivesAsUtf8BytesAlsoInTheAnswerText) {
    auto daemon =
        FakeDaemon::answering(R"({"status":1,"data":{"crontab":"# \ud83d\ude00 \u00e9 \"q\"\n"}})");
    const auto result = Wrap::send_tvwrapd_request(fetch());
    EXPECT_EQ(result.data_text("crontab"), "# \xF0\x9F\x98\x80 \xC3\xA9 \"q\"\n");
    ASSERT_NE(result.response_ref, nullptr);
    EXPECT_EQ(*result.response_ref,
              "{\"status\":1,\"data\":{\"crontab\":\"# \xF0\x9F\x98\x80 \xC3\xA9 \\\"q\\\"\\n\"}}");
}

TEST_F(WrapRequest, AFailedDaemonChildIsLoggedAndRecordedUnderTheContext) {
    const std::string answer = R"({"status":1,"exit_code":256,"statusmsg":"done"})";
    auto daemon = FakeDaemon::answering(answer);
    Tarvok::context = "install";
    const auto result = Wrap::send_tvwrapd_request(fetch());
    EXPECT_EQ(JSON::Dump(result.record), answer);
    ASSERT_NE(result.response_ref, nullptr);
    ASSERT_EQ(warnings.size(), 1u);
    const std::string exit_message = "Daemon call Tarvok/Cron/fetch failed: exit code 1";
    for (std::string_view piece :
         {std::string_view(Wrap::LOGGER_PREFIX), std::string_view(exit_message),
          std::string_view("'Cron'"), std::string_view("'install'"), std::string_view(answer)}) {
        EXPECT_TRUE(contains(warnings[0], piece)) << piece << " in " << warnings[0];
    }
    EXPECT_EQ(Tarvok::TVERROR, (std::map<std::string, std::string>{{"install", exit_message}}));

    // Without the error table: a shorter warning, nothing recorded.
    Tarvok::TVERROR.clear();
    warnings.clear();
    Wrap::send_tvwrapd_request_no_tverror(fetch());
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(contains(warnings[0], exit_message));
    EXPECT_FALSE(contains(warnings[0], "'install'"));
    EXPECT_TRUE(Tarvok::TVERROR.empty());
}

TEST_F(WrapRequest, ExitMessagesFallBackToTheDefaultNamespaceAndZeroIsNoFailure) {
    {
        auto daemon = FakeDaemon::answering(R"({"status":0,"exit_code":9})");
        auto options = fetch();
        options.namespace_.reset();
        Wrap::send_tvwrapd_request(options);
        EXPECT_EQ(Tarvok::TVERROR.at(""),
                  "Daemon call Tarvok/Cron/fetch failed: killed by signal SIGKILL (9)");
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_TRUE(contains(warnings[0], "namespace ''"));
    }
    auto quiet = FakeDaemon::answering(R"({"status":1,"exit_code":0})");
    warnings.clear();
    Tarvok::TVERROR.clear();
    Wrap::send_tvwrapd_request(fetch());
    EXPECT_TRUE(warnings.empty());
    EXPECT_TRUE(Tarvok::TVERROR.empty());
}

TEST_F(WrapRequest, AReportedErrorRecordsTheMostPreciseTextAvailable) {
    struct Case {
        std::string answer;
        std::string recorded;
    };
    const std::vector<Case> cases = {
        {R"({"error":1,"statusmsg":"outer","data":{"statusmsg":"inner","message":"m"}})", "inner"},
        {R"({"error":1,"statusmsg":"outer","data":{"statusmsg":"","message":"m"}})", "m"},
        {R"({"error":1,"statusmsg":"outer","data":{"error":"e"}})", "e"},
        {R"({"error":1,"statusmsg":"outer","data":{"other":1}})",
         std::string(Wrap::MAP_WITHOUT_MESSAGE_TEXT)},
        {R"({"error":1,"statusmsg":"outer","data":["first","second"]})", "first"},
        {R"({"error":1,"statusmsg":"outer","data":"plain"})", "plain"},
        {R"({"error":true,"statusmsg":"outer"})", "outer"},
        {R"({"error":1,"statusmsg":"outer","data":0})", "outer"},
        {R"({"error":"yes","data":null})", std::string(Wrap::GENERIC_FAILURE_TEXT)},
        {R"({"error":1,"exit_code":512})", "Daemon call Tarvok/Cron/fetch failed: exit code 2"},
    };
    for (const auto& [answer, recorded] : cases) {
        auto daemon = FakeDaemon::answering(answer);
        Tarvok::TVERROR.clear();
        warnings.clear();
        const auto result = Wrap::send_tvwrapd_request(fetch());
        EXPECT_EQ(JSON::Dump(result.record), answer);
        EXPECT_EQ(Tarvok::TVERROR, (std::map<std::string, std::string>{{"", recorded}})) << answer;
        ASSERT_FALSE(warnings.empty());
        EXPECT_TRUE(contains(warnings.back(), Wrap::LOGGER_PREFIX));
        EXPECT_TRUE(contains(warnings.back(), "'fetch'"));
    }
}

TEST_F(WrapRequest, AnErrorWithAFailedChildWarnsTwiceAndTheErrorTextWins) {
    auto daemon =
        FakeDaemon::answering(R"({"status":0,"exit_code":512,"error":1,"statusmsg":"F"})");
    Tarvok::context = "edit";
    Wrap::send_tvwrapd_request(fetch());
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_TRUE(contains(warnings[0], "exit code 2"));
    EXPECT_TRUE(ends_with(warnings[1], "): F."));
    EXPECT_TRUE(contains(warnings[1], "'edit'"));
    EXPECT_EQ(Tarvok::TVERROR, (std::map<std::string, std::string>{{"edit", "F"}}));

    warnings.clear();
    Tarvok::TVERROR.clear();
    Wrap::send_tvwrapd_request_no_tverror(fetch());
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_FALSE(contains(warnings[1], "'edit'"));
    EXPECT_TRUE(Tarvok::TVERROR.empty());
}

// ---- Answers that are not maps ----

TEST_F(WrapRequest, FalseAnswersGiveTheFailureRecordEndingWithTheAnswer) {
    for (const std::string answer : {"null", " null\n", "0", "\"0\"", "\"\""}) {
        auto daemon = FakeDaemon::answering(answer);
        const auto result = Wrap::send_tvwrapd_request(fetch());
        EXPECT_FALSE(result.status()) << answer;
        EXPECT_TRUE(result.error()) << answer;
        EXPECT_EQ(result.response_ref, nullptr);
        const std::string statusmsg = result.statusmsg();
        EXPECT_TRUE(ends_with(statusmsg, answer + ".")) << statusmsg;
        EXPECT_TRUE(contains(statusmsg, "'Tarvok'") && contains(statusmsg, "'fetch'")) << statusmsg;
        EXPECT_EQ(result.record.MemberCount(), 3u);
    }
    EXPECT_TRUE(warnings.empty());
    EXPECT_TRUE(Tarvok::TVERROR.empty());
}

TEST_F(WrapRequest, AnswersThatAreNeitherMapsNorFalseRaise) {
    for (const std::string answer : {"[]", "[1,2]", "true", "false", "1", "0.5", "\"text\""}) {
        auto daemon = FakeDaemon::answering(answer);
        try {
            Wrap::send_tvwrapd_request(fetch());
            ADD_FAILURE() << "no error for " << answer;
        } catch (const Tarvok::Error& e) {
            EXPECT_TRUE(contains(e.what(), "not a map")) << e.what();
            EXPECT_TRUE(contains(e.what(), answer)) << e.what();
        }
    }
}

TEST_F(WrapRequest, UndecodableAnswersRaiseJSONDecodeFailure) {
    for (const std::string answer : {"<html>", "{\"status\":1} x", "{\"status\":1,]"}) {
        auto daemon = FakeDaemon::answering(answer);
        try {
            Wrap::send_tvwrapd_request(fetch());
            ADD_FAILURE() << "no failure for '" << answer << "'";
        } catch (const std::exception& e) {
            EXPECT_TRUE(Tarvok::Exception::is_a(e, "JSONDecodeFailure")) << e.what();
        }
    }
    EXPECT_TRUE(warnings.empty());
}

TEST_F(WrapRequest, NoAnswerOrOneThatBreaksOffIsTheFailureRecord) {
    const std::pair<std::string, std::string> answers[] = {
        {"", "it closed the connection without one."},
        {"  \n", "it closed the connection without one."},
        {"{\"status\":", "its answer broke off after 10 bytes."},
        {R"({"status":1,"data":{"crontab":"0 1 * * * jo)", "broke off after 43 bytes."},
        {R"({"status":1,"data":{"denied":0})", "broke off after 31 bytes."},
    };
    for (const auto& [answer, why] : answers) {
        auto daemon = FakeDaemon::answering(answer);
        Tarvok::TVERROR.clear();
        warnings.clear();
        const auto result = Wrap::send_tvwrapd_request(fetch());
        EXPECT_FALSE(result.status()) << answer;
        EXPECT_TRUE(result.error()) << answer;
        EXPECT_TRUE(contains(result.statusmsg(), "gave no usable answer")) << result.statusmsg();
        EXPECT_TRUE(ends_with(result.statusmsg(), why)) << result.statusmsg();
        EXPECT_EQ(Tarvok::TVERROR.at("main"), result.statusmsg());
        EXPECT_EQ(warnings, std::vector<std::string>{result.statusmsg()});
    }
}

// ---- Daemons that cannot be reached, or go wrong ----

TEST_F(WrapRequest, AnUnreachableDaemonGivesTheConnectionFailureRecord) {
    root.mkdirs("/usr/local/tarvok/var");
    struct Case {
        const char* what;
        int error;
        std::function<void()> prepare;
    };
    const std::vector<Case> cases = {
        {"missing socket file", ENOENT, [] {}},
        {"nobody listening", ECONNREFUSED,
         [&] {
             Tarvok::UniqueFd unbound(socket(PF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
             sockaddr_un address{};
             address.sun_family = PF_UNIX;
             std::strcpy(address.sun_path, socket_path().c_str());
             ASSERT_EQ(bind(unbound.get(), reinterpret_cast<sockaddr*>(&address), sizeof address),
                       0);
         }},
    };
    for (const auto& [what, error, prepare] : cases) {
        SCOPED_TRACE(what);
        prepare();
        const std::string os_error = std::strerror(error);

        Tarvok::TVERROR.clear();
        Tarvok::context.reset();
        warnings.clear();
        const auto result = Wrap::send_tvwrapd_request(fetch());
        EXPECT_FALSE(result.status());
        EXPECT_TRUE(result.error());
        EXPECT_EQ(result.record.MemberCount(), 3u);
        EXPECT_TRUE(ends_with(result.statusmsg(), socket_path() + "': " + os_error))
            << result.statusmsg();
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_TRUE(ends_with(warnings[0], socket_path() + "': " + os_error)) << warnings[0];
        // No context was named: the failure goes under the default one, which is now set.
        EXPECT_EQ(Tarvok::TVERROR, (std::map<std::string, std::string>{{"main", warnings[0]}}));
        EXPECT_EQ(Tarvok::context, "main");

        Tarvok::TVERROR.clear();
        Tarvok::context = "edit";
        Wrap::send_tvwrapd_request(fetch());
        EXPECT_EQ(Tarvok::TVERROR.count("edit"), 1u);
        EXPECT_EQ(Tarvok::TVERROR.size(), 1u);

        Tarvok::TVERROR.clear();
        warnings.clear();
        const auto quiet = Wrap::send_tvwrapd_request_no_tverror(fetch());
        EXPECT_EQ(quiet.statusmsg(), result.statusmsg());
        EXPECT_TRUE(Tarvok::TVERROR.empty());
        EXPECT_EQ(warnings.size(), 1u);
        unlink(socket_path().c_str());
    }
}

TEST_F(WrapRequest, ADaemonThatClosesEarlyLowersTheSentFlagWithoutKillingUs) {
    const SigpipeAs default_disposition(SIG_DFL);
    const std::string big(4 << 20, 'x');
    {
        auto daemon = FakeDaemon::closing_at_once();
        TestSupport::StderrCapture stderr_text;
        EXPECT_TRUE(ends_with(Wrap::send_tvwrapd_request(save(big)).statusmsg(),
                              "it closed the connection without one."));
        EXPECT_TRUE(contains(stderr_text.text(), std::strerror(EPIPE))) << stderr_text.text();
        ASSERT_EQ(warnings.size(), 2u);
        EXPECT_TRUE(contains(warnings[0], "before it had read the whole request"));
    }
    // Whatever answer the daemon left behind is still read and decoded.
    warnings.clear();
    auto daemon = FakeDaemon::answering_unread(R"({"status":0,"statusmsg":"too big"})");
    TestSupport::StderrCapture stderr_text;
    const auto result = Wrap::send_tvwrapd_request(save(big));
    EXPECT_EQ(result.statusmsg(), "too big");
    EXPECT_EQ(warnings.size(), 1u);
    EXPECT_EQ(sigpipe_handler(), SIG_DFL);
}

TEST_F(WrapRequest, ASilentDaemonRunsIntoTheLimit) {
    auto options = fetch();
    options.limit = 1s;
    {
        auto daemon = FakeDaemon::silent();
        TestSupport::StderrCapture stderr_text;
        const auto result = Wrap::send_tvwrapd_request(options);
        EXPECT_EQ(stderr_text.text(),
                  "Could not read the answer: " + std::string(std::strerror(ETIMEDOUT)) + "\n");
        EXPECT_FALSE(result.status());
        EXPECT_TRUE(result.error());
        EXPECT_TRUE(contains(result.statusmsg(), "within 1 second")) << result.statusmsg();
        EXPECT_EQ(Tarvok::TVERROR.at("main"), result.statusmsg());
        EXPECT_EQ(warnings, std::vector<std::string>{result.statusmsg()});
    }
    {
        // It never even reads the request.
        FakeDaemon daemon([](FakeDaemon& self, int) { self.wait_until_stopped(); });
        auto big = save(std::string(4 << 20, 'x'));
        big.limit = 1s;
        EXPECT_TRUE(contains(Wrap::send_tvwrapd_request(big).statusmsg(), "within 1 second"));
    }
    {
        // It stopped accepting and its queue is full.
        auto daemon = FakeDaemon::never_accepting();
        Tarvok::UniqueFd first(socket(PF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = PF_UNIX;
        std::strcpy(address.sun_path, socket_path().c_str());
        ASSERT_EQ(connect(first.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const auto result = Wrap::send_tvwrapd_request(options);
        EXPECT_TRUE(ends_with(result.statusmsg(), std::strerror(ETIMEDOUT))) << result.statusmsg();
    }
}

// ---- Other modes ----

TEST_F(WrapRequest, StreamModeCopiesTheAnswerAndReportsCompletionOnlyWhenThereWasOne) {
    const SigpipeAs default_disposition(SIG_DFL);
    const std::string answer(700000, 'a');
    const std::string file = root.path("/answer");
    struct Case {
        std::function<std::unique_ptr<FakeDaemon>()> daemon;
        std::string request;
        std::string failure;  // the end of the failure record's statusmsg; empty: complete
    };
    const Case cases[] = {
        {[&] { return FakeDaemon::answering(answer); }, "", ""},
        {[] { return FakeDaemon::answering(""); }, "", "closed the connection without one."},
        {[] { return FakeDaemon::closing_at_once(); }, std::string(4 << 20, 'x'),
         "the request could not be sent whole."},
    };
    for (const Case& c : cases) {
        auto daemon = c.daemon();
        Tarvok::UniqueFd out(open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        auto options = save(c.request);
        options.stream = Tarvok::FHUtils::Handle(out);
        TestSupport::StderrCapture quiet;
        const auto result = Wrap::send_tvwrapd_request(options);
        EXPECT_EQ(result.response_ref, nullptr);
        if (c.failure.empty()) {
            EXPECT_EQ(JSON::Dump(result.record), R"({"status":1,"error":0,"stream_complete":1})");
            EXPECT_TRUE(TestSupport::read_file(file) == answer);
        } else {
            EXPECT_FALSE(result.status());
            EXPECT_TRUE(result.error());
            EXPECT_TRUE(ends_with(result.statusmsg(), c.failure)) << result.statusmsg();
        }
    }
}

TEST_F(WrapRequest, NowaitModeReadsNothing) {
    auto daemon = FakeDaemon::answering(R"({"status":1})");
    auto options = fetch();
    options.nowait = true;
    const auto result = Wrap::send_tvwrapd_request(options);
    EXPECT_EQ(JSON::Dump(result.record), "{}");
    EXPECT_EQ(result.response_ref, nullptr);
}

TEST_F(WrapRequest, TheBrokenPipeDispositionComesBackAlsoWhenTheExchangeRaises) {
    const SigpipeAs marker(marker_handler);
    auto daemon = FakeDaemon::answering(R"({"status":1})");
    Wrap::send_tvwrapd_request(fetch());
    EXPECT_EQ(sigpipe_handler(), &marker_handler);

    const int closed = dup(0);
    close(closed);
    auto options = fetch();
    options.stream = Tarvok::FHUtils::Handle{closed};
    EXPECT_THROW(Wrap::send_tvwrapd_request(options), Tarvok::Error);
    EXPECT_EQ(sigpipe_handler(), &marker_handler);
}

TEST_F(WrapRequest, AboveDebugLevelTwoRequestAndAnswerAreCopiedToStandardError) {
    const std::string answer = R"({"status":1,"statusmsg":"copied"})";
    auto daemon = FakeDaemon::answering(answer);
    for (int level : {2, 3}) {
        Tarvok::Debug::level = level;
        TestSupport::StderrCapture stderr_text;
        Wrap::send_tvwrapd_request(fetch());
        const std::string text = stderr_text.text();
        const bool copied = level > 2;
        EXPECT_EQ(contains(text, "[" + daemon->requests().back() + "]"), copied) << text;
        EXPECT_EQ(contains(text, "[" + answer + "]"), copied) << text;
    }
}

// ---- Against the reference daemon: both sides of the wire agree ----

TEST(WrapWithTheReferenceDaemon, FetchSaveAndRefusalTravelBothWays) {
    if (geteuid() != 0) GTEST_SKIP() << "installing crontabs for other accounts needs root";
    TestSupport::SandboxRoot root;
    root.write("/etc/passwd", "alice:x:1001:1001::/home/alice:/bin/penshell\n");
    root.write("/etc/group", "crontab:x:107:\n");
    auto config = DaemonTest::ServerThread::test_config();
    config.peer_uid = [](int) { return std::optional<uid_t>(1001); };
    DaemonTest::ServerThread daemon(config);

    const auto request = [](std::string function, std::optional<std::string> crontab) {
        Wrap::RequestOptions options{.namespace_ = "Tarvok",
                                     .module = "Cron",
                                     .function = std::move(function),
                                     .env = Wrap::Config::safe_hashref_of_allowed_env(),
                                     .limit = 20s};
        if (crontab) options.data = JSON::ObjectBuilder().add("crontab", *crontab).release();
        return Wrap::send_tvwrapd_request(options);
    };
    auto fetched = request("fetch", std::nullopt);
    ASSERT_TRUE(fetched.status()) << fetched.statusmsg();
    EXPECT_EQ(fetched.data_text("crontab"), "");
    EXPECT_FALSE(fetched.data_true("denied"));

    const std::string crontab = "MAILTO=\"\"\n@daily /bin/true # caf\xc3\xa9 \\ \"q\"\n";
    const auto saved = request("save", crontab);
    ASSERT_TRUE(saved.status()) << saved.statusmsg();
    EXPECT_TRUE(saved.data_true("status")) << saved.data_text("statusmsg");
    EXPECT_EQ(request("fetch", std::nullopt).data_text("crontab"), crontab);

    const auto refused = request("save", "61 * * * * date\n");
    ASSERT_TRUE(refused.status());
    EXPECT_FALSE(refused.data_true("status"));
    EXPECT_NE(refused.data_text("statusmsg"), "");
    EXPECT_EQ(request("fetch", std::nullopt).data_text("crontab"), crontab);

    const auto unknown = request("remove", std::nullopt);
    EXPECT_FALSE(unknown.status());
    EXPECT_TRUE(unknown.error());
    EXPECT_NE(unknown.statusmsg(), "");
    Tarvok::TVERROR.clear();
}
