#include "Tarvok/Debug.hpp"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "Tarvok/Error.hpp"
#include "support/FreshProcess.hpp"
#include "support/SandboxRoot.hpp"
#include "support/StderrCapture.hpp"

namespace Debug = Tarvok::Debug;
using Tarvok::Logger;

namespace {

// Records what each operation received, and the errno it found on entry.
struct Recorded {
    std::string operation;
    std::string message;
    int errno_on_entry;
    int backtrace_switch;
};

class RecordingLogger : public Logger {
  public:
    explicit RecordingLogger(std::vector<Recorded>& log) : log_(log) {}
    bool info(std::string_view m) override { return note("info", m); }
    bool warn(std::string_view m) override {
        note("warn", m);
        if (throw_from_warn) throw Tarvok::Error("warn failed");
        return true;
    }
    bool error(std::string_view m) override { return note("error", m); }
    bool panic(std::string_view m) override { return note("panic", m); }
    bool invalid(std::string_view m) override { return note("invalid", m); }
    bool deprecated(std::string_view m) override { return note("deprecated", m); }
    bool debug(std::string_view m) override { return note("debug", m); }
    void die(std::string_view m) override {
        note("die", m);
        throw Tarvok::Error(std::string(m));
    }
    bool throw_from_warn = false;

  private:
    bool note(const char* operation, std::string_view m) {
        log_.push_back({operation, std::string(m), errno, Logger::ENABLE_BACKTRACE});
        errno = EIO;  // a logger may leave errno changed: the caller must not see it
        return true;
    }
    std::vector<Recorded>& log_;
};

class DebugWithRecorder : public ::testing::Test {
  protected:
    void SetUp() override {
        auto owned = std::make_unique<RecordingLogger>(log);
        recorder = owned.get();
        Debug::logger(std::move(owned));
    }
    void TearDown() override {
        Logger::ENABLE_BACKTRACE = 0;
        Debug::reset();
    }
    std::vector<Recorded> log;
    RecordingLogger* recorder = nullptr;
};

}  // namespace

TEST(DebugLogger, ARunThatLogsNothingCreatesNoLogger) {
    RUN_IN_FRESH_PROCESS();
    Debug::debug_level(3);
    (void)Debug::dump(std::map<std::string, std::string>{{"a", "b"}});
    EXPECT_EQ(Logger::instances_created(), 0);
    TestSupport::StderrCapture capture;
    errno = ENOSPC;
    Debug::log_debug("first");
    EXPECT_EQ(errno, ENOSPC);  // creating the logger kept it too
    Debug::log_info("second");
    EXPECT_EQ(Logger::instances_created(), 1);
}

TEST_F(DebugWithRecorder, EachFunctionReachesItsOperationWithErrnoClearedThenRestored) {
    using Function = bool (*)(std::string_view);
    const std::pair<Function, const char*> functions[] = {
        {Debug::log_info, "info"},       {Debug::log_warn, "warn"},
        {Debug::log_error, "error"},     {Debug::log_panic, "panic"},
        {Debug::log_invalid, "invalid"}, {Debug::log_deprecated, "deprecated"},
        {Debug::log_debug, "debug"},     {Debug::log_warn_no_backtrace, "warn"},
    };
    for (const auto& [function, operation] : functions) {
        log.clear();
        errno = EACCES;
        EXPECT_TRUE(function("message"));
        EXPECT_EQ(errno, EACCES) << operation;
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].operation, operation);
        EXPECT_EQ(log[0].message, "message");
        EXPECT_EQ(log[0].errno_on_entry, 0) << operation;
    }
}

TEST(DebugMessages, KeepErrnoWhenTheRealLoggerCannotWrite) {
    for (const std::string target : {"/dev/full", ""}) {
        TestSupport::StderrCapture redirect(target);
        errno = EACCES;
        EXPECT_FALSE(Debug::log_warn("lost")) << target;
        EXPECT_EQ(errno, EACCES) << target;
        EXPECT_THROW(Debug::log_die("lost"), Tarvok::Error);
        EXPECT_EQ(errno, EACCES) << target;
    }
    Debug::reset();
}

TEST_F(DebugWithRecorder, DieDoesNotReturn) {
    bool returned = false;
    errno = EEXIST;
    try {
        Debug::log_die("fatal");
        returned = true;
    } catch (const Tarvok::Error& e) {
        EXPECT_STREQ(e.what(), "fatal");
        EXPECT_EQ(errno, EEXIST);
    }
    EXPECT_FALSE(returned);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].operation, "die");

    // Even a logger whose die() comes back does not make log_die return.
    struct ReturningDie : Logger {
        void die(std::string_view) override {}
    };
    Debug::logger(std::make_unique<ReturningDie>());
    EXPECT_THROW(Debug::log_die("again"), Tarvok::Error);
}

TEST_F(DebugWithRecorder, WarnWithoutBacktraceRestoresTheSwitchEvenWhenWarnRaises) {
    Logger::ENABLE_BACKTRACE = 1;
    recorder->throw_from_warn = true;
    EXPECT_THROW(Debug::log_warn_no_backtrace("w"), Tarvok::Error);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].backtrace_switch, 0);
    EXPECT_EQ(Logger::ENABLE_BACKTRACE, 1);
    recorder->throw_from_warn = false;
    Debug::log_warn("w");
    EXPECT_EQ(log[1].backtrace_switch, 1);
}

TEST_F(DebugWithRecorder, DumpsSortKeysAtEveryDepth) {
    rapidjson::Document value;
    value.Parse(R"({"b":1,"a":{"d":[-2,"x\ny",1.5],"c":null,"e":{}},"f":true,"g":[]})");
    ASSERT_FALSE(value.HasParseError());
    EXPECT_TRUE(Debug::log_dump(value));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].operation, "info");
    EXPECT_EQ(log[0].message,
              "{\n"
              "    \"a\": {\n"
              "        \"c\": null,\n"
              "        \"d\": [\n"
              "            -2,\n"
              "            \"x\\ny\",\n"
              "            1.5\n"
              "        ],\n"
              "        \"e\": {}\n"
              "    },\n"
              "    \"b\": 1,\n"
              "    \"f\": true,\n"
              "    \"g\": []\n"
              "}");
    Debug::log_dump(std::map<std::string, std::string>{{"z", "1"}, {"y", "\x01"}});
    EXPECT_EQ(log[1].message, "{\n    \"y\": \"\\x01\",\n    \"z\": \"1\"\n}");
}

TEST(DebugHooks, TheFileIsExaminedOncePerProcess) {
    TestSupport::SandboxRoot root;
    Debug::reset();
    errno = EACCES;
    EXPECT_EQ(Debug::debug_hooks_value(), 0);
    EXPECT_EQ(errno, EACCES);
    root.write(std::string(Debug::HOOKS_DEBUG_FILE), "12345");
    EXPECT_EQ(Debug::debug_hooks_value(), 0);
    Debug::reset();  // a new process, as far as the value goes
    EXPECT_EQ(Debug::debug_hooks_value(), 5);
    Debug::reset();
}
