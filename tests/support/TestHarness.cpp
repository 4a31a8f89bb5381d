// The test binary is a test harness: objects alive at its exit may still clean up after
// themselves.
#include "Tarvok/Destruct.hpp"

namespace {

[[maybe_unused]] const bool g_harness_declared = [] {
    Tarvok::Destruct::set_test_harness_loaded(true);
    return true;
}();

}  // namespace
