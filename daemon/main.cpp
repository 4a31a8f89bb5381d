// tvwrapd: the reference daemon that keeps restricted accounts' crontabs.
#include <cstdio>

#include "Daemon.hpp"
#include "Tarvok/Process.hpp"
#include "Tarvok/SysRoot.hpp"

int main(int argc, char** argv) {
    if (auto problem = Tarvok::SysRoot::init()) {
        std::fprintf(stderr, "%s: %s\n", argc > 0 ? argv[0] : "tvwrapd", problem->c_str());
        return 2;
    }
    return Tarvok::Process::run([&] { return Tvwrapd::Daemon::real_main(argc, argv); });
}
