// A throwaway root that is a copy-on-write clone of this machine: an overlay over / whose upper
// layer is a tmpfs, mounted in the test process's own mount namespace. dpkg, maintainer scripts
// and whole boots act in it as on a server, and all of it is gone with the object; this
// machine's own files and dpkg database are never changed. Needs root and a mount namespace of
// the process's own (TestSupport::enter_private_mount_namespace, first).
//
//     ASSERT_EQ(TestSupport::enter_private_mount_namespace(), "");
//     TestSupport::MachineClone clone;
//     clone.in_root("dpkg -i /root/pen-safe-crontab.deb");
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "support/SandboxRoot.hpp"

namespace TestSupport {

class MachineClone {
  public:
    /// Mounts the clone, with the machine's /dev and a /proc for programs run in it by chroot.
    MachineClone();
    ~MachineClone();
    MachineClone(const MachineClone&) = delete;
    MachineClone& operator=(const MachineClone&) = delete;

    /// "" when the clone is in place, else why not.
    const std::string& problem() const { return problem_; }
    /// The clone's root directory.
    const std::string& root() const { return root_; }
    /// The system path `absolute` inside the clone.
    std::string at(std::string_view absolute) const { return root_ + std::string(absolute); }
    /// A directory for the test's own files, outside the clone.
    std::string scratch() const { return scratch_.dir() + "/scratch"; }

    /// Runs a shell command in the clone by chroot, as an administrator logged in as root.
    RunResult in_root(const std::string& command) const;
    /// Takes /dev and /proc away again, for a boot that brings its own.
    void unmount_devices();

  private:
    SandboxRoot scratch_;
    std::string root_;
    std::string problem_;
    bool mounted_ = false;
    bool devices_ = false;
};

/// Root's PATH on Debian, which an administrator's shell starts with.
inline constexpr std::string_view ROOT_PATH =
    "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

/// Debian's package `name` as apt has it, fetched once into the build directory's debs/; ""
/// (with a test failure saying why) when it cannot be had.
std::string debian_package(const std::string& name);

/// This build packaged as scripts/package.sh packages it, into `dir`; "" when CPack failed.
std::string our_package(const std::string& dir);

/// A copy of the package file `deb` in `dir` that says it is version `version`.
std::string package_as_version(const std::string& deb, const std::string& version,
                               const std::string& dir);

}  // namespace TestSupport
