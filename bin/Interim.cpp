// Interim stand-in for the edit operation: until it is in place, -e ends after the start-up
// fetch with a notice.
#include "Operations.hpp"
#include "Tarvok/Process.hpp"

namespace PenSafeCrontab {

void _edit_crontab() {
    print("Editing a crontab is not available yet.\n");
    Tarvok::Process::exit(1);
}

}  // namespace PenSafeCrontab
