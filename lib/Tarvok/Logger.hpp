// Tarvok::Logger: the process logger behind Tarvok::Debug.
//
// Writes one line per message to standard error, with the time (UTC), the level and the program
// name, as a single write:
//
//     [2024-05-01 12:00:00 +0000] warn [pen_safe_crontab] Could not create '/tmp/x'
//
// When standard error is systemd's journal (JOURNAL_STREAM names it, as systemd sets it for a
// service), each line starts with its syslog priority instead of the time, which the journal
// records itself, so that `journalctl -p warning` finds the warnings:
//
//     <4>warn [tvwrapd] cannot read '/etc/cron.allow': Permission denied
//
// Logging never changes errno and never fails loudly: a line that cannot be written (standard
// error closed, full or gone) is dropped and the operation answers false. `die` logs and then
// raises its message as a Tarvok::Error. With ENABLE_BACKTRACE on, `warn` adds a short call
// trace below its line.
//
// The operations are virtual so that a program (or a test) can install its own logger through
// Tarvok::Debug::logger().
#pragma once

#include <string_view>

namespace Tarvok {

class Logger {
  public:
    /// Process-wide switch: non-zero makes `warn` add a call trace. Off by default: warnings
    /// are read by the account's user, not by a developer.
    static int ENABLE_BACKTRACE;

    Logger();
    virtual ~Logger() = default;
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    /// Each writes one line at its level; true when the line was written.
    virtual bool info(std::string_view message);
    virtual bool warn(std::string_view message);
    virtual bool error(std::string_view message);
    virtual bool panic(std::string_view message);
    virtual bool invalid(std::string_view message);
    virtual bool deprecated(std::string_view message);
    virtual bool debug(std::string_view message);
    /// Logs the message, then raises it as a Tarvok::Error. Never returns (not declared
    /// [[noreturn]], so that Debug::log_die can still stop a replacement logger that does).
    virtual void die(std::string_view message);

    /// How many loggers this process has constructed.
    static int instances_created();

    /// Whether standard error is systemd's journal (JOURNAL_STREAM names descriptor 2's stream):
    /// there a line starts with its syslog priority, "<3>" for an error.
    static bool stderr_is_journal();

  protected:
    /// Writes "[time] level [program] message" (and `trailer`, if any) to standard error; into
    /// the journal, "<priority>level [program] message", every line of it at that priority.
    bool write_line(std::string_view level, std::string_view message,
                    std::string_view trailer = {});

  private:
    /// Whether standard error was the journal when the logger was made.
    bool journal_ = false;
};

}  // namespace Tarvok
