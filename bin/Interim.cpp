// Interim stand-ins for the operations that talk to the crontab daemon: until the daemon client
// is in place, a restricted account's run ends at the start-up fetch with a notice. Each
// stand-in is replaced by the real operation.
#include "Operations.hpp"
#include "Tarvok/Process.hpp"

namespace PenSafeCrontab {
namespace {

constexpr std::string_view NOT_AVAILABLE =
    "The crontab service for restricted accounts is not available yet.";

[[noreturn]] void _not_available() {
    print(std::string(NOT_AVAILABLE) + "\n");
    Tarvok::Process::exit(1);
}

}  // namespace

StatusText _get_crontab_text() {
    return {false, std::string(NOT_AVAILABLE)};
}

StatusText _install_new_crontab(std::string_view) {
    return {false, std::string(NOT_AVAILABLE)};
}

void _display_crontab() {
    _not_available();
}
void _remove_crontab() {
    _not_available();
}
void _install_crontab_from_file() {
    _not_available();
}
void _install_crontab_from_stdin() {
    _not_available();
}

}  // namespace PenSafeCrontab
