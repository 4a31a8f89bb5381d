#include "Frontend.hpp"

namespace PenSafeCrontab {

int real_main(int, char**) { return 0; }

}  // namespace PenSafeCrontab
