#include "support/FreshProcess.hpp"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace TestSupport {
namespace {

constexpr const char* kVariable = "TARVOK_FRESH_PROCESS";

std::string _current_test() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info == nullptr) throw std::logic_error("not inside a test");
    return std::string(info->test_suite_name()) + "." + info->name();
}

}  // namespace

bool in_fresh_process() {
    const char* selected = std::getenv(kVariable);
    return selected != nullptr && selected == _current_test();
}

RunResult run_current_test_in_fresh_process() {
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) throw std::runtime_error("cannot find the test binary");
    exe[n] = '\0';
    const std::string test = _current_test();
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (entry.starts_with("GTEST_OUTPUT=") || entry.starts_with(std::string(kVariable) + "=")) {
            continue;
        }
        env.push_back(entry);
    }
    env.push_back(std::string(kVariable) + "=" + test);
    return run({exe, "--gtest_filter=" + test}, env);
}

}  // namespace TestSupport
