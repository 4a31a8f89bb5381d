#include "Daemon.hpp"

#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "Listener.hpp"
#include "Policy.hpp"
#include "PolicyCheck.hpp"
#include "Printable.hpp"
#include "Server.hpp"
#include "Service.hpp"
#include "Spool.hpp"
#include "Tarvok/Debug.hpp"
#include "Tarvok/Error.hpp"
#include "Tarvok/Logger.hpp"
#include "Tarvok/SysRoot.hpp"

namespace Tvwrapd::Daemon {
namespace {

// Freed heap kept for the next requests rather than given back to the system.
constexpr int KEPT_FREE_HEAP = 4 * 1024 * 1024;

std::atomic<Server*> g_server{nullptr};
// A stop asked for before the server exists is kept until it does.
volatile std::sig_atomic_t g_stop_requested = 0;

extern "C" void _on_stop_signal(int) {
    g_stop_requested = 1;
    if (Server* server = g_server.load()) server->stop();
}

void _catch_stop_signals() {
    struct sigaction action {};
    action.sa_handler = _on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    // A client that hangs up early must not end the daemon.
    signal(SIGPIPE, SIG_IGN);
}

// Why the daemon cannot serve, on standard error; in the journal at error priority, so that
// `journalctl -p err` shows why the service failed.
void _cannot_serve(const std::string& why) {
    const char* priority = Tarvok::Logger::stderr_is_journal() ? "<3>" : "";
    std::fprintf(stderr, "%stvwrapd: %s\n", priority, why.c_str());
}

int _serve() {
    if (!Tarvok::SysRoot::is_sandbox() && geteuid() != 0) {
        _cannot_serve("must run as root: it writes the cron spool for every account");
        return 1;
    }
    _catch_stop_signals();
    // Each request allocates and frees a few hundred KB. By default the C library gives the top
    // of the heap back once it is free, so that the next request faults the same pages in again
    // (zeroed), which more than doubled what a fetch costs in CPU; up to this much stays.
    mallopt(M_TRIM_THRESHOLD, KEPT_FREE_HEAP);
    Listener listener = Listener::open();
    // No other daemon runs now (the listener saw to that): the temporary files in the spool were
    // left by one killed half-way through an install, or belong to a restore under way (and stay).
    if (const std::size_t removed = Spool::remove_leftovers()) {
        Tarvok::Debug::log_info("removed " + std::to_string(removed) +
                                " temporary file(s) of interrupted installs");
    }
    // The policy's state (or what is wrong with it) is in the log from the start.
    Policy::installed();
    Server server(listener.fd());
    g_server = &server;
    if (g_stop_requested) server.stop();
    Tarvok::Debug::log_info(
        listener.handed_over() ? std::string("tvwrapd serving on the socket handed over by systemd")
                               : "tvwrapd serving on '" + listener.path() + "'");
    try {
        server.run();
    } catch (...) {
        g_server = nullptr;
        throw;
    }
    g_server = nullptr;
    Tarvok::Debug::log_info("tvwrapd stopped");
    return 0;
}

int _restore(const char* account) {
    if (!Tarvok::SysRoot::is_sandbox() && geteuid() != 0) {
        std::fputs("tvwrapd: must run as root to restore a crontab\n", stderr);
        return 1;
    }
    if (auto problem = Service::restore(account)) {
        std::fprintf(stderr, "tvwrapd: cannot restore the crontab of '%s': %s\n",
                     Printable::printable(account).c_str(), problem->c_str());
        return 1;
    }
    std::printf("tvwrapd: restored the crontab of '%s' from its backup\n",
                Printable::printable(account).c_str());
    for (const std::string& problem : PolicyCheck::stored_problems(account)) {
        std::printf("tvwrapd: note: the restored crontab breaks the policy: %s\n", problem.c_str());
    }
    return 0;
}

}  // namespace

int real_main(int argc, char** argv) {
    if (argc == 3 && std::string_view(argv[1]) == "--restore") return _restore(argv[2]);
    if (argc >= 2 &&
        (std::string_view(argv[1]) == "--check" || std::string_view(argv[1]) == "--audit")) {
        const std::vector<std::string_view> args(argv + 2, argv + argc);
        return std::string_view(argv[1]) == "--check" ? PolicyCheck::check_command(args)
                                                      : PolicyCheck::audit_command(args);
    }
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--restore") {
            std::fprintf(stderr, "tvwrapd: --restore needs one account name\n%s", USAGE);
            return 2;
        }
        if (arg == "--help" || arg == "-h") {
            std::fputs(USAGE, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("tvwrapd %s\n", TARVOK_VERSION);
            return 0;
        }
        std::fprintf(stderr, "tvwrapd: unknown argument '%s'\n%s", argv[i], USAGE);
        return 2;
    }
    try {
        return _serve();
    } catch (const Tarvok::Error& failure) {
        _cannot_serve(failure.what());
        return 1;
    }
}

}  // namespace Tvwrapd::Daemon
