// Lets the test binary stand in for a system command whose argument vector a test must see
// exactly, argv[0] included (a #! script cannot show its argv[0]: the kernel replaces it).
// Started with TARVOK_TEST_ARGV_ECHO=<status> in its environment, the binary prints each element
// of its argument vector on a line of its own and exits with that status before any test runs.
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

[[gnu::constructor]] void argv_echo(int argc, char** argv, char** envp) {
    const char* status = nullptr;
    for (char** e = envp; e != nullptr && *e != nullptr; ++e) {
        if (std::string_view(*e).starts_with("TARVOK_TEST_ARGV_ECHO=")) status = *e + 22;
    }
    if (status == nullptr) return;
    std::string out;
    for (int i = 0; i < argc; ++i) out.append(argv[i]).push_back('\n');
    (void)!write(1, out.data(), out.size());
    _exit(std::atoi(status));
}

}  // namespace
