// Makes fsync() of one directory fail with EIO while the object lives, as a disk that lost a
// write-back does: the one failure of a directory that a test cannot provoke by other means. The
// test program defines fsync() itself, so the daemon's code linked into it calls this one; every
// other descriptor is flushed as usual.
//
//     TestSupport::FailingSync broken("/var/spool/cron/crontabs");  // matches the path's end
#pragma once

#include <string>

namespace TestSupport {

class FailingSync {
  public:
    /// Fails the flush of every directory whose path ends with `path_end`.
    explicit FailingSync(std::string path_end);
    ~FailingSync();
    FailingSync(const FailingSync&) = delete;
    FailingSync& operator=(const FailingSync&) = delete;
};

}  // namespace TestSupport
