#include "Tarvok/BinCheck.hpp"

#include <gnu/libc-version.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>

#include "Tarvok/Error.hpp"
#include "Tarvok/LoadFile.hpp"
#include "Tarvok/Process.hpp"

namespace Tarvok::BinCheck {
namespace {

void _print(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

// Reads a decimal number at the front of `text` and drops it from there.
std::optional<int> _take_number(std::string_view& text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data()) return std::nullopt;
    text.remove_prefix(static_cast<size_t>(end - text.data()));
    return value;
}

}  // namespace

void process(std::optional<std::string_view> first_argument) {
    if (!first_argument) return;
    if (*first_argument == BINCHECK_OPTION) bincheck();
    if (*first_argument == BASEMEM_OPTION) basemem();
}

std::string built_libc_version() {
    return std::to_string(__GLIBC__) + "." + std::to_string(__GLIBC_MINOR__);
}

std::string running_libc_version() {
    return gnu_get_libc_version();
}

bool libc_older_than(std::string_view running, int major, int minor) {
    const auto running_major = _take_number(running);
    if (!running_major || running.empty() || running.front() != '.') return true;
    running.remove_prefix(1);
    const auto running_minor = _take_number(running);
    if (!running_minor) return true;
    if (*running_major != major) return *running_major < major;
    return *running_minor < minor;
}

void bincheck() {
    const std::string running = running_libc_version();
    if (libc_older_than(running, __GLIBC__, __GLIBC_MINOR__)) {
        _print("Running libc: " + running + "\n");
        throw Error("The C library is older than the one this program was built for (" +
                    built_libc_version() + ")");
    }
    _print("BinCheck ok\n");
    Process::exit(0);
}

std::string memory_report(std::string_view status_text) {
    std::string report;
    while (!status_text.empty()) {
        const size_t end = status_text.find('\n');
        const std::string_view line = status_text.substr(0, end);
        status_text.remove_prefix(end == std::string_view::npos ? status_text.size() : end + 1);
        if (line.find(MEMORY_MARKER) == std::string_view::npos) continue;
        const size_t first = line.find_first_of("0123456789");
        if (first == std::string::npos) continue;
        const size_t last = line.find_first_not_of("0123456789", first);
        report += "Base memory in kB: ";
        report += line.substr(first, last - first);  // npos - first still reaches the end
        report += "\n";
    }
    return report;
}

void basemem() {
    if (const auto status =
            LoadFile::loadbinfile("/proc/" + std::to_string(getpid()) + "/status")) {
        _print(memory_report(*status));
    }
    Process::exit(0);
}

}  // namespace Tarvok::BinCheck
