// pen_safe_crontab: the crontab command for restricted hosting accounts.
#include <cstdio>

#include "Frontend.hpp"
#include "Tarvok/Process.hpp"
#include "Tarvok/SysRoot.hpp"

int main(int argc, char** argv) {
    if (auto problem = Tarvok::SysRoot::init()) {
        std::fprintf(stderr, "%s: %s\n", argc > 0 ? argv[0] : "pen_safe_crontab", problem->c_str());
        return 2;
    }
    return Tarvok::Process::run([&] { return PenSafeCrontab::real_main(argc, argv); });
}
