// The front end against a scripted stand-in for the daemon: every answer it could get, odd ones
// included, ends in a plain message and a sensible status, and the requests it sends are exactly
// what was asked for.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "Frontend.hpp"
#include "Operations.hpp"
#include "Tarvok/JSON.hpp"
#include "Tarvok/SysRoot.hpp"
#include "Tarvok/Wrap.hpp"
#include "e2e/support/CrontabSession.hpp"

namespace {

using E2E::Args;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using TestSupport::RunResult;

const std::string USAGE(PenSafeCrontab::USAGE_TEXT);
const std::string INSTALLED = "crontab: your crontab has been updated\n";
const std::string FETCH_FAILED = "Your crontab could not be fetched from the crontab service: ";
const std::string INSTALL_FAILED = "Your crontab could not be installed by the crontab service: ";
const std::string EMPTY_FETCH = E2E::fetch_answer(R"("")");

/// The seven members of a recorded request, decoded (the marker removed).
Tarvok::JSON::Document decoded(const std::string& request) {
    const std::string_view marker = Tarvok::Wrap::END_OF_REQUEST_MARKER;
    EXPECT_THAT(request, EndsWith(std::string(marker)));
    auto value = Tarvok::JSON::Load(std::string_view(request).substr(0, request.size() - 4));
    EXPECT_TRUE(value && value->IsObject()) << request;
    return value ? std::move(*value) : Tarvok::JSON::Document();
}

class DaemonAnswers : public ::testing::Test {
  protected:
    E2E::CrontabSession session;
};

TEST_F(DaemonAnswers, ListingWritesTheFetchedBytesAsTheyAre) {
    // Escaped characters arrive as their UTF-8 bytes; raw bytes of any encoding pass; nothing is
    // added at the end.
    const auto daemon = E2E::scripted_daemon(
        E2E::fetch_answer("\"caf\\u00e9 \\ud83d\\ude00 \xff\xfe\\n\\t\\\"x\\\" \\\\ no end\""),
        std::string(E2E::SAVED));
    const RunResult r = session.run({"-l"});
    EXPECT_EQ(r.out, "caf\xc3\xa9 \xf0\x9f\x98\x80 \xff\xfe\n\t\"x\" \\ no end");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST_F(DaemonAnswers, RequestsCarryTheirOperationTheTextAndOnlyTheAllowedEnvironment) {
    const auto daemon = E2E::scripted_daemon(EMPTY_FETCH, std::string(E2E::SAVED));
    const RunResult r = session.run(
        {"-r"}, {},
        {"REMOTE_ADDR=192.0.2.7", "TVRESELLER=0", "VISUAL=vi", "remote_addr=x", "HTTP_COOKIE_X=y"});
    EXPECT_EQ(r.out, INSTALLED);
    EXPECT_EQ(r.status, 0);

    const auto requests = daemon->requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::string env = R"("env":{"REMOTE_ADDR":"192.0.2.7","TVRESELLER":""})";
    EXPECT_EQ(requests[0], R"({"serializer_version":"1.0","namespace":"Tarvok","module":"Cron",)"
                           R"("function":"fetch","action":null,)" +
                               env + R"(,"data":null})" + "\r\n\r\n");
    const auto save = decoded(requests[1]);
    EXPECT_EQ(Tarvok::JSON::Dump(save),
              R"({"serializer_version":"1.0","namespace":"Tarvok","module":"Cron",)"
              R"("function":"save","action":null,)" +
                  env + R"(,"data":{"crontab":""}})");
}

TEST_F(DaemonAnswers, LargestStandardInputReachesTheDaemonWhole) {
    const auto daemon = E2E::scripted_daemon(EMPTY_FETCH, std::string(E2E::SAVED));
    std::string crontab;
    for (int i = 0; crontab.size() < PenSafeCrontab::MAX_CRONTAB_LENGTH; ++i) {
        crontab += "*/" + std::to_string(i % 59 + 1) + " * * * * echo \"\\" + std::to_string(i) +
                   "\" \xe9\xff /\t" + std::string(i % 97, 'x') + "\n";
    }
    crontab.resize(PenSafeCrontab::MAX_CRONTAB_LENGTH);
    const RunResult r = session.run({}, crontab);
    EXPECT_EQ(r.out, INSTALLED);
    EXPECT_EQ(r.status, 0);
    const auto requests = daemon->requests();
    ASSERT_EQ(requests.size(), 2u);
    const auto save = decoded(requests[1]);
    const auto* data = Tarvok::JSON::member(save, "data");
    ASSERT_NE(data, nullptr);
    const auto* sent = Tarvok::JSON::member(*data, "crontab");
    ASSERT_NE(sent, nullptr);
    EXPECT_TRUE(Tarvok::JSON::view(*sent) == crontab) << "the text arrived changed";
}

TEST_F(DaemonAnswers, InstallInputProblemsSendNothing) {
    const auto daemon = E2E::scripted_daemon(EMPTY_FETCH, std::string(E2E::SAVED));
    const std::string missing = session.root.path("/home/jail/missing");
    const std::string empty = session.jail_file("/home/jail/empty", "");
    const std::string dir = session.root.path("/home/jail");
    const std::string locked = session.jail_file("/home/jail/locked", "@daily x\n", 0);
    const std::string big = session.jail_file(
        "/home/jail/big", std::string(PenSafeCrontab::MAX_CRONTAB_LENGTH + 1, '#'));
    const std::string too_large = "crontab: crontab too large (more than " +
                                  std::to_string(PenSafeCrontab::MAX_CRONTAB_LENGTH) + " bytes).\n";
    struct Case {
        Args args;
        std::string input;
        std::string out;
    };
    const std::vector<Case> cases{
        {{missing}, "", "'" + missing + "' does not exist.\n" + USAGE},
        {{session.root.path("/etc/passwd/x")},
         "",
         "'" + session.root.path("/etc/passwd/x") + "' does not exist.\n" + USAGE},
        {{empty}, "@daily x\n", "crontab: file '" + empty + "' is empty.\n" + USAGE},
        {{dir}, "", "crontab: could not read '" + dir + "': Is a directory.\n"},
        {{locked}, "", "crontab: could not read '" + locked + "': Permission denied.\n"},
        {{}, "", "Nothing to install: standard input is empty.\n" + USAGE},
        {{"-"}, "", "Nothing to install: standard input is empty.\n" + USAGE},
        {{"/dev/zero"}, "", too_large},
        {{big}, "", too_large},
        {{"-"}, std::string(PenSafeCrontab::MAX_CRONTAB_LENGTH + 1, '#'), too_large},
    };
    for (const Case& c : cases) {
        const RunResult r = session.run(c.args, c.input);
        const std::string what = ::testing::PrintToString(c.args);
        EXPECT_EQ(r.out, c.out) << what;
        EXPECT_EQ(r.status, 1) << what;
    }
    for (const std::string& request : daemon->requests()) {
        EXPECT_TRUE(E2E::asks_for(request, "fetch")) << request;
    }
}

// Fetch answers that end every operation with the message and status 1, before anything is
// installed.
TEST_F(DaemonAnswers, FailedOrRefusedFetchStopsEveryOperation) {
    struct Case {
        std::string answer;
        std::string out;  // the whole line without its line end, or its start (ending in ": ")
    };
    const std::string not_a_map = "The crontab service sent an answer that cannot be used: its ";
    const std::string refusal =
        "User jail is not allowed to manage a crontab with crontab; ask your hosting provider to "
        "enable it.";
    const std::vector<Case> cases{
        {"null", FETCH_FAILED},
        {"0", FETCH_FAILED},
        {"\"0\"", FETCH_FAILED},
        {R"({"status":0,"statusmsg":"maintenance until 10:00"})",
         FETCH_FAILED + "maintenance until 10:00"},
        {R"({"status":1,"statusmsg":"OK","data":"Your hosting plan has no cron jobs."})",
         "Your hosting plan has no cron jobs."},
        {R"({"status":1,"statusmsg":"OK","data":""})", "The crontab service sent no crontab: OK"},
        {R"({"status":1,"statusmsg":"OK"})", "The crontab service sent no crontab: OK"},
        {R"({"status":1,"data":[{"crontab":""}]})", not_a_map + "data is a list."},
        {R"({"status":1,"data":42})", not_a_map + "data is a number."},
        {R"({"status":1,"data":true})", not_a_map + "data is true or false."},
        {R"({"status":1,"data":{"denied":1,"crontab":"@daily x\n"}})", refusal},
        {R"({"status":1,"data":{"denied":"yes"}})", refusal},
        {R"({"status":1,"statusmsg":"half done","data":{"denied":0}})",
         "The crontab service sent no crontab: half done"},
        {R"({"status":1,"data":{}})", "The crontab service sent no crontab: "},
        {R"({"status":1,"data":{"crontab":["@daily x"]}})", not_a_map + "crontab is a list."},
        {R"({"status":1,"data":{"crontab":7}})", not_a_map + "crontab is a number."},
    };
    for (const Case& c : cases) {
        const auto daemon = E2E::scripted_daemon(c.answer, std::string(E2E::SAVED));
        for (const Args& args : {Args{"-l"}, Args{"-r"}, Args{}}) {
            const RunResult r = session.run(args, "@daily x\n");
            const std::string what = c.answer + " " + ::testing::PrintToString(args);
            EXPECT_EQ(r.status, 1) << what;
            if (c.out.ends_with(": ")) {
                EXPECT_THAT(r.out, StartsWith(c.out)) << what;
                EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << what << r.out;
            } else {
                EXPECT_EQ(r.out, c.out + "\n") << what;
            }
        }
        EXPECT_EQ(daemon->requests().size(), 3u) << c.answer << ": only fetches";
    }
}

TEST_F(DaemonAnswers, UnreachableDaemonIsAFetchFailureNamingTheSocket) {
    for (const Args& args : {Args{"-l"}, Args{"-r"}, Args{"-"}}) {
        const RunResult r = session.run(args, "@daily x\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.out, StartsWith(FETCH_FAILED));
        EXPECT_THAT(r.out, HasSubstr(session.root.path(Tarvok::Wrap::TVWRAPD_SOCKET_PATH)));
        EXPECT_THAT(r.out, HasSubstr("No such file or directory"));
    }
}

TEST_F(DaemonAnswers, NullCrontabIsAnEmptyOne) {
    const auto daemon = E2E::scripted_daemon(E2E::fetch_answer("null"), std::string(E2E::SAVED));
    const RunResult r = session.run({"-l"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
}

TEST_F(DaemonAnswers, AnswerThatIsNotJSONEndsAsAnUncaughtFailure) {
    for (const auto& [fetch, save] : {std::pair<std::string, std::string>{"<html>busy</html>", ""},
                                      {EMPTY_FETCH, "<html>busy</html>"},
                                      {"[1]", ""}}) {
        const auto daemon = E2E::scripted_daemon(fetch, save);
        const RunResult r = session.run({"-r"});
        EXPECT_NE(r.status, 0) << fetch << save;
        EXPECT_NE(r.status, 1) << fetch << save;
        EXPECT_NE(r.err, "") << fetch << save;
        EXPECT_EQ(r.out, "") << fetch << save;
    }
}

TEST_F(DaemonAnswers, ADaemonGoneWithoutAnAnswerOrInTheMiddleOfOneIsAFailure) {
    const std::string cut = R"({"status":1,"statusmsg":"OK","data":{"crontab":"@da)";
    for (const auto& [fetch, save] : {std::pair<std::string, std::string>{"", ""},
                                      {cut, ""},
                                      {EMPTY_FETCH, ""},
                                      {EMPTY_FETCH, cut}}) {
        const auto daemon = E2E::scripted_daemon(fetch, save);
        const RunResult r = session.run({"-r"});
        const std::string what = fetch + " / " + save;
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_THAT(r.out, StartsWith(fetch == EMPTY_FETCH ? INSTALL_FAILED : FETCH_FAILED))
            << what;
        EXPECT_THAT(r.out, HasSubstr("gave no usable answer")) << what;
    }
}

// Install answers: whatever they are, removal and installs print one line, and end with 0 only
// when the daemon says it installed the text.
TEST_F(DaemonAnswers, EveryInstallAnswerGivesOneLineAndStatusOneUnlessInstalled) {
    const std::string not_a_map = "The crontab service sent an answer that cannot be used: its ";
    struct Case {
        std::string answer;
        std::string out;
    };
    const std::vector<Case> cases{
        {std::string(E2E::SAVED), "crontab: your crontab has been updated"},
        {R"({"status":1,"data":{"status":"1"}})", "crontab: your crontab has been updated"},
        {"null", INSTALL_FAILED},
        {"0", INSTALL_FAILED},
        {"\"0\"", INSTALL_FAILED},
        {R"({"status":0,"statusmsg":"spool full","data":{"status":1}})",
         INSTALL_FAILED + "spool full"},
        {R"({"status":1,"statusmsg":"OK"})", INSTALL_FAILED + "OK"},
        {R"({"status":1,"statusmsg":"OK","data":0})", INSTALL_FAILED + "OK"},
        {R"({"status":1,"statusmsg":"OK","data":"quota exceeded"})",
         INSTALL_FAILED + "quota exceeded"},
        {R"({"status":1,"data":["line 1: bad"]})", not_a_map + "data is a list."},
        {R"j({"status":1,"data":{"status":0,"statusmsg":"line 3: bad hour '25' (0-23)"}})j",
         "line 3: bad hour '25' (0-23)"},
        {R"({"status":1,"data":{"status":0,"statusmsg":""}})",
         "The crontab service did not install your crontab and gave no reason."},
        {R"({"status":1,"data":{"status":0}})",
         "The crontab service did not install your crontab and gave no reason."},
        {R"({"status":1,"data":{"status":0,"statusmsg":{"line":3}}})",
         not_a_map + "statusmsg is a map."},
    };
    const std::string file = session.jail_file("/home/jail/new.cron", "@daily x\n");
    for (const Case& c : cases) {
        const auto daemon = E2E::scripted_daemon(EMPTY_FETCH, c.answer);
        for (const Args& args : {Args{"-r"}, Args{file}, Args{}}) {
            const RunResult r = session.run(args, "@daily x\n");
            const std::string what = c.answer + " " + ::testing::PrintToString(args);
            EXPECT_EQ(r.status, c.out == INSTALLED.substr(0, INSTALLED.size() - 1) ? 0 : 1) << what;
            if (c.out.ends_with(": ")) {
                EXPECT_THAT(r.out, StartsWith(c.out)) << what;
                EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << what << r.out;
            } else {
                EXPECT_EQ(r.out, c.out + "\n") << what;
            }
        }
    }
}

TEST_F(DaemonAnswers, DaemonGoneBetweenFetchAndInstallIsAnInstallFailure) {
    const std::string socket = session.root.path(Tarvok::Wrap::TVWRAPD_SOCKET_PATH);
    auto daemon = std::make_unique<TestSupport::FakeDaemon>(
        [&](TestSupport::FakeDaemon& self, int connection) {
            self.read_request(connection);
            self.send_all(connection, EMPTY_FETCH);
            unlink(socket.c_str());
        });
    ASSERT_EQ(chmod(socket.c_str(), 0666), 0);
    const RunResult r = session.run({"-r"});
    EXPECT_THAT(r.out, StartsWith(INSTALL_FAILED));
    EXPECT_THAT(r.out, HasSubstr(socket));
    EXPECT_EQ(r.status, 1);
}

// On a shared host another account may get to the socket's path first. Whatever listens there
// must be root's, and only root may have put it there: otherwise the account's environment
// (passwords, tokens) never leaves, and no crontab of the impostor's is shown.
TEST_F(DaemonAnswers, NothingGoesToASocketAnotherAccountCouldHavePut) {
    const std::string socket = session.root.path(Tarvok::Wrap::TVWRAPD_SOCKET_PATH);
    const std::string dir = socket.substr(0, socket.rfind('/'));
    const std::string impostors = E2E::fetch_answer(R"("* * * * * impostor\n")");
    const uid_t other = TestSupport::PLAIN_UID;
    struct Case {
        const char* what;
        std::function<std::unique_ptr<TestSupport::FakeDaemon>()> start;
        std::string blamed;
    };
    const std::vector<Case> cases{
        {"in a directory anyone can write",
         [&] {
             auto impostor = TestSupport::FakeDaemon::answering(impostors);
             chmod(dir.c_str(), 01777);
             return impostor;
         },
         "'" + dir + "' can be written by its group or by others (mode 1777)"},
        {"socket of another account",
         [&] { return TestSupport::FakeDaemon::answering(impostors, other); },
         "'" + socket + "' belongs to uid 4002, not to root"},
        {"root's socket, another account listening",
         [&] {
             auto impostor = TestSupport::FakeDaemon::answering(impostors, other);
             EXPECT_EQ(lchown(socket.c_str(), 0, 0), 0);
             return impostor;
         },
         "'" + socket + "' is served by a process of uid 4002, not of root"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto impostor = c.start();
        chmod(socket.c_str(), 0666);
        const RunResult r = session.run({"-l"}, {}, {"REMOTE_PASSWORD=secret"});
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.out, StartsWith(FETCH_FAILED + "Refusing to send anything to '" + socket +
                                      "': " + c.blamed + ", "));
        EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
        for (const std::string& request : impostor->requests()) EXPECT_EQ(request, "");
        chmod(dir.c_str(), 0755);
    }
}

}  // namespace
