// A mount namespace of the test process's own, for tests that mount: throwaway roots, tmpfs
// spools, bind mounts over system files. Everything mounted afterwards lives and dies with the
// process and never reaches the machine. It takes more than uid 0: CAP_SYS_ADMIN, and a "/"
// that is a mount point (not so in a plain chroot).
//
//     const std::string problem = TestSupport::enter_private_mount_namespace();
//     ASSERT_EQ(problem, "");
#pragma once

#include <string>

namespace TestSupport {

/// Moves this process (call it before any thread starts) into a mount namespace of its own
/// whose mounts do not propagate back. Returns "" when done, else what is missing and why.
std::string enter_private_mount_namespace();

}  // namespace TestSupport
