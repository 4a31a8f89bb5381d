#include "support/MountNamespace.hpp"

#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>

namespace TestSupport {

std::string enter_private_mount_namespace() {
    if (unshare(CLONE_NEWNS) != 0) {
        const int error = errno;
        std::string why = "unshare(CLONE_NEWNS): " + std::string(std::strerror(error));
        if (error == EPERM) {
            why +=
                ": a mount namespace of its own needs CAP_SYS_ADMIN, which uid 0 alone does not "
                "give (an unprivileged container, a capability bounding set without it); run "
                "the tests as root on the machine or in a privileged container";
        }
        return why;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        const int error = errno;
        std::string why = "making '/' private: " + std::string(std::strerror(error));
        if (error == EINVAL) {
            why +=
                ": '/' is not a mount point here (a chroot?); make it one before running the "
                "tests (mount --bind DIR DIR, then chroot DIR)";
        }
        return why;
    }
    return "";
}

}  // namespace TestSupport
