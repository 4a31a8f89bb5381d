#include "support/MachineClone.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace TestSupport {
namespace {

std::string _mount(const char* source, const std::string& target, const char* type,
                   unsigned long flags, const std::string& options = {}) {
    if (mount(source, target.c_str(), type, flags, options.empty() ? nullptr : options.c_str()) ==
        0) {
        return "";
    }
    return "mount " + target + ": " + std::strerror(errno);
}

std::string _first_deb(const std::string& dir, const std::string& prefix) {
    for (const auto& name : entries(dir)) {
        if (name.starts_with(prefix) && name.ends_with(".deb")) return dir + "/" + name;
    }
    return "";
}

}  // namespace

MachineClone::MachineClone() {
    const std::string base = scratch_.dir();
    problem_ = _mount("tmpfs", base, "tmpfs", 0, "mode=0755");
    if (!problem_.empty()) return;
    mounted_ = true;
    for (const char* dir : {"/upper", "/work", "/root", "/scratch"}) make_dirs(base + dir);
    root_ = base + "/root";
    problem_ = _mount("overlay", root_, "overlay", 0,
                      "lowerdir=/,upperdir=" + base + "/upper,workdir=" + base + "/work");
    if (problem_.empty()) problem_ = _mount("/dev", at("/dev"), nullptr, MS_BIND | MS_REC);
    if (problem_.empty()) problem_ = _mount("proc", at("/proc"), "proc", 0);
    devices_ = problem_.empty();
    if (!problem_.empty()) return;
    // No service starts from a maintainer script run by chroot, and man-db does not rebuild its
    // index after each step.
    write_file(at("/usr/sbin/policy-rc.d"), "#!/bin/sh\nexit 101\n", 0755);
    unlink(at("/var/lib/man-db/auto-update").c_str());
}

MachineClone::~MachineClone() {
    unmount_devices();
    if (mounted_) umount2(scratch_.dir().c_str(), MNT_DETACH);
}

void MachineClone::unmount_devices() {
    if (!devices_) return;
    umount2(at("/proc").c_str(), MNT_DETACH);
    umount2(at("/dev").c_str(), MNT_DETACH);
    devices_ = false;
}

RunResult MachineClone::in_root(const std::string& command) const {
    return run({"/usr/sbin/chroot", root_, "/bin/sh", "-c", command},
               {std::string(ROOT_PATH), "HOME=/root", "LC_ALL=C"});
}

std::string debian_package(const std::string& name) {
    const std::string dir = built("debs");
    make_dirs(dir);
    if (_first_deb(dir, name + "_").empty()) {
        const RunResult r =
            run({"/bin/sh", "-c", "cd \"$1\" && apt-get download -q \"$2\"", "sh", dir, name},
                {std::string(ROOT_PATH)});
        EXPECT_EQ(r.status, 0) << "apt-get download " << name
                               << " (apt-get update first?): " << r.out << r.err;
    }
    return _first_deb(dir, name + "_");
}

std::string our_package(const std::string& dir) {
    const RunResult r =
        run({"/usr/bin/cpack", "-G", "DEB", "--config", built("CPackConfig.cmake"), "-B", dir},
            {std::string(ROOT_PATH)});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return _first_deb(dir, "");
}

std::string package_as_version(const std::string& deb, const std::string& version,
                               const std::string& dir) {
    const std::string out = dir + "/pen-safe-crontab_" + version + ".deb";
    const RunResult r = run({"/bin/sh", "-c",
                             "set -e; t=$(mktemp -d); dpkg-deb -R \"$1\" \"$t\"; "
                             "sed -i \"s/^Version: .*/Version: $2/\" \"$t/DEBIAN/control\"; "
                             "dpkg-deb -b \"$t\" \"$3\" >/dev/null; rm -rf \"$t\"",
                             "sh", deb, version, out},
                            {std::string(ROOT_PATH)});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return out;
}

}  // namespace TestSupport
