#include "Tarvok/Process.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "Tarvok/Error.hpp"
#include "Tarvok/Exception.hpp"
#include "Tarvok/FHUtils/WholeIO.hpp"

namespace Tarvok::Process {
namespace {

int g_child_status = 0;

}  // namespace

void exit(int status) {
    throw ExitRequest{status};
}

void set_child_status(int wait_status) {
    g_child_status = wait_status;
}

int child_status() {
    return g_child_status;
}

int uncaught_failure_status(int pending_errno) {
    if ((pending_errno & 0xff) != 0) return pending_errno & 0xff;
    if (((g_child_status >> 8) & 0xff) != 0) return (g_child_status >> 8) & 0xff;
    return 255;
}

int pending_errno(const std::exception& failure, int errno_at_catch) {
    int saved = 0;
    if (const auto* e = dynamic_cast<const Exception::Base*>(&failure)) {
        saved = e->saved_errno();
    } else if (const auto* e = dynamic_cast<const Error*>(&failure)) {
        saved = e->saved_errno();
    }
    return saved != 0 ? saved : errno_at_catch;
}

int report_uncaught(std::string_view text, int pending_errno) {
    std::fflush(stdout);
    std::string line(text);
    if (line.empty() || line.back() != '\n') line.push_back('\n');
    // Nowhere is left to report a failure to.
    FHUtils::WholeIO::write_all(FHUtils::Handle{STDERR_FILENO}, line);
    return uncaught_failure_status(pending_errno);
}

int run(const std::function<int()>& body) {
    try {
        return body();
    } catch (const ExitRequest& request) {
        return request.status;
    } catch (const std::exception& failure) {
        const int at_catch = errno;
        return report_uncaught(failure.what(), pending_errno(failure, at_catch));
    } catch (...) {
        const int at_catch = errno;
        return report_uncaught("Unknown failure", at_catch);
    }
}

}  // namespace Tarvok::Process
