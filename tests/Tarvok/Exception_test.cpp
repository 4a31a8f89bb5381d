#include "Tarvok/Exception.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>

#include "Tarvok/Error.hpp"
#include "Tarvok/Exception/CORE.hpp"
#include "Tarvok/Process.hpp"
#include "support/FreshProcess.hpp"

using namespace Tarvok::Exception;

TEST(ExceptionLoading, ARunThatRaisesNothingNeverBuildsTheImplementation) {
    RUN_IN_FRESH_PROCESS();
    // Work that touches the family without raising.
    EXPECT_EQ(fill_template("length %s", {"x"}), "length x");
    EXPECT_FALSE(is_a(std::runtime_error("plain"), "TempCreateFailed"));
    EXPECT_EQ(Tarvok::Process::uncaught_failure_status(0), 255);
    EXPECT_FALSE(core_loaded());
    EXPECT_EQ(core_load_count(), 0);
}

TEST(ExceptionLoading, RaisingTwiceBuildsTheImplementationOnceAndKeepsErrno) {
    RUN_IN_FRESH_PROCESS();
    for (int round = 0; round < 2; ++round) {
        errno = EACCES;
        try {
            throw create<TempCreateFailed>({{"path", "/tmp/x"}, {"error", EACCES}});
        } catch (const TempCreateFailed& e) {
            EXPECT_EQ(errno, EACCES);
            EXPECT_EQ(e.saved_errno(), EACCES);
        }
        EXPECT_TRUE(core_loaded());
        EXPECT_EQ(core_load_count(), 1);
    }
}

TEST(ExceptionText, EveryClassNamesItsParameters) {
    struct Case {
        Base failure;
        std::string text;
    };
    const Case cases[] = {
        {create<TempCreateFailed>({{"path", "/tmp/x.abc"}, {"error", EEXIST}}),
         "Could not create a temporary file at '/tmp/x.abc': File exists"},
        {create<FcntlFailed>({{"error", EBADF}}),
         "The fcntl system call failed: Bad file descriptor"},
        // The directory creator passes the OS error as a text already.
        {create<DirCreateFailed>({{"path", "/home/u/.tmp"}, {"error", "Permission denied"}}),
         "Could not create the directory '/home/u/.tmp': Permission denied"},
        {create<JSONDecodeFailure>(ParamMap{
             {"error", "Missing a comma"}, {"path", "/etc/x.json"}, {"dataref", "{\"a\" 1}"}}),
         "Could not decode JSON from '/etc/x.json': Missing a comma"},
        {create<JSONDecodeFailure>(ParamMap{{"error", "Invalid value"}, {"dataref", ""}}),
         "Could not decode JSON: Invalid value"},
        {create<OpenFailed>({{"path", "/etc/shadow"}, {"error", EACCES}, {"mode", "<"}}),
         "Could not open '/etc/shadow' (mode <): Permission denied"},
        {create<SeekFailed>(
             {{"path", "/f"}, {"position", 70000}, {"whence", 0}, {"error", EINVAL}}),
         "Could not seek to offset 70000 (whence 0) in '/f': Invalid argument"},
        {create<ReadFailed>({{"path", "/f"}, {"error", EIO}}),
         "Could not read '/f': Input/output error"},
        {create<FileNotFound>({{"path", "/nope"}, {"error", 2}}),
         "The file '/nope' does not exist: No such file or directory"},
        {create<BadArgument>("The length '%s' is not a whole number.", {"1x"}),
         "The length '1x' is not a whole number."},
        {create<BadArgument>("The alphabet must hold from 1 to 256 characters."),
         "The alphabet must hold from 1 to 256 characters."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.failure.to_string(), c.text) << c.failure.short_name();
        EXPECT_EQ(std::string(c.failure.what()), c.text);
        EXPECT_EQ(to_en_string_no_id(c.failure), c.text);
    }
}

TEST(ExceptionText, OnlyTheIdFormsCarryTheMessageId) {
    auto first = create<ReadFailed>({{"path", "/f"}, {"error", EIO}});
    auto second = create<ReadFailed>({{"path", "/f"}, {"error", EIO}});
    EXPECT_NE(first.id(), second.id());
    EXPECT_EQ(to_string(first), to_string_no_id(first) + " (XID " + first.id() + ")");
    EXPECT_EQ(get_string(first), to_string(first));
    EXPECT_EQ(get_string_no_id(first), first.what());
    EXPECT_EQ(get_string(std::runtime_error("plain")), "plain");
    set_id(first, "fixed");
    EXPECT_EQ(to_en_string(first), "Could not read '/f': Input/output error (XID fixed)");
}

TEST(ExceptionText, SettingAParameterChangesTheText) {
    auto failure = create<ReadFailed>({{"path", "/old"}, {"error", EIO}});
    EXPECT_STREQ(failure.what(), "Could not read '/old': Input/output error");
    set(failure, "path", std::string("/new"));
    EXPECT_STREQ(failure.what(), "Could not read '/new': Input/output error");
    ASSERT_NE(get(failure, "path"), nullptr);
    EXPECT_EQ(std::get<std::string>(*get(failure, "path")), "/new");
}

TEST(ExceptionIsA, TestsByClassNotByFamilyAlone) {
    try {
        throw create<TempCreateFailed>({{"path", "/tmp/x"}, {"error", EEXIST}});
    } catch (const std::exception& e) {
        EXPECT_TRUE(is_a(e, "Tarvok::Exception::TempCreateFailed"));
        EXPECT_TRUE(is_a(e, "TempCreateFailed"));
        EXPECT_TRUE(is_a(e, "Tarvok::Exception"));
        EXPECT_FALSE(is_a(e, "Tarvok::Exception::DirCreateFailed"));
        EXPECT_FALSE(is_a(e, "DirCreateFailed"));
    }
    EXPECT_FALSE(is_a(Tarvok::Error("plain"), "Tarvok::Exception"));
}

TEST(ExceptionByName, ObjectsMadeByNameRaiseAsTheirOwnClass) {
    auto made = create("DirCreateFailed", {{"path", "/d"}, {"error", ENOSPC}});
    EXPECT_EQ(made->full_name(), "Tarvok::Exception::DirCreateFailed");
    EXPECT_THROW(made->raise(), DirCreateFailed);
    EXPECT_THROW(new_("Tarvok::Exception::SeekFailed", {})->raise(), SeekFailed);
    EXPECT_EQ(create("BadArgument", "%s is bad", {"x"})->to_string(), "x is bad");
    EXPECT_EQ(create_raw("BadArgument", "%s stays")->to_string(), "%s stays");
    // An unknown class is a mistake of the raise site, reported as a plain error.
    EXPECT_THROW(create("NoSuchClass", Params{}), Tarvok::Error);
    EXPECT_THROW(_create("SeekFailed", {}), Tarvok::Error);
}

TEST(ExceptionLongmess, AddsTheCallTraceAndTheAuxiliaryFailures) {
    CORE::ENABLE_BACKTRACE = 1;
    auto traced = create<ReadFailed>({{"path", "/f"}, {"error", EIO}});
    auto untraced = [] {
        auto suppressor = get_stack_trace_suppressor();
        return create<ReadFailed>({{"path", "/f"}, {"error", EIO}});
    }();
    CORE::ENABLE_BACKTRACE = 0;
    EXPECT_NE(longmess(traced).find("\n\tat "), std::string::npos);
    EXPECT_EQ(longmess(untraced), to_string(untraced));

    add_auxiliary_exception(untraced, std::make_exception_ptr(Tarvok::Error("cleanup failed")));
    ASSERT_EQ(get_auxiliary_exceptions(untraced).size(), 1u);
    EXPECT_EQ(longmess(untraced), to_string(untraced) + "\n\tauxiliary failure: cleanup failed");
}
