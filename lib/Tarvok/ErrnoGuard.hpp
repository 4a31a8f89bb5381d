// Tarvok::ErrnoGuard: keeps the caller's errno across work done on its behalf (logging, loading,
// opening files), so that a failure the caller is about to report is never disturbed.
#pragma once

#include <cerrno>

namespace Tarvok {

class ErrnoGuard {
public:
    /// Saves errno; with `clear`, also sets it to 0 for the guarded work.
    explicit ErrnoGuard(bool clear = false) : saved_(errno) {
        if (clear) errno = 0;
    }
    ~ErrnoGuard() { errno = saved_; }
    ErrnoGuard(const ErrnoGuard&) = delete;
    ErrnoGuard& operator=(const ErrnoGuard&) = delete;

    int saved() const { return saved_; }

private:
    int saved_;
};

}  // namespace Tarvok
