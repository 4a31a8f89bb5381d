#include "Tarvok/Process.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <string>

namespace Tarvok::Process {
namespace {
int g_child_status = 0;
}

void exit(int status) { throw ExitRequest{status}; }

void set_child_status(int wait_status) { g_child_status = wait_status; }

int child_status() { return g_child_status; }

int uncaught_failure_status(int pending_errno) {
    if ((pending_errno & 0xff) != 0) return pending_errno & 0xff;
    if (((g_child_status >> 8) & 0xff) != 0) return (g_child_status >> 8) & 0xff;
    return 255;
}

int report_uncaught(std::string_view text, int pending_errno) {
    std::fflush(stdout);
    std::string line(text);
    if (line.empty() || line.back() != '\n') line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    return uncaught_failure_status(pending_errno);
}

int run(const std::function<int()>& body) {
    try {
        return body();
    } catch (const ExitRequest& request) {
        return request.status;
    } catch (const std::exception& failure) {
        const int pending = errno;
        return report_uncaught(failure.what(), pending);
    } catch (...) {
        const int pending = errno;
        return report_uncaught("Unknown failure", pending);
    }
}

}  // namespace Tarvok::Process
