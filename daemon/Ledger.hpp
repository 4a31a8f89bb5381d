// Tvwrapd::Ledger: what callers hold of the daemon, per account and in total: connections, and
// bytes of memory (requests being read, answers being written out), and whether more fits.
//
// Part of the connections is kept for accounts that have none open, so that a few accounts
// holding many cannot shut the others out. Whatever the others hold, each holder may hold a few
// bytes (`free_bytes`: an ordinary request or answer); beyond that, an account's bound and the
// bound of all together apply. A holder is known only to its caller, which tells what it holds.
//
// Not synchronised: the event loop alone keeps it.
//
//     if (const auto why = ledger.over_a_bound(uid)) refuse(*why);
//     ledger.count_in(uid);
//     if (ledger.may_hold(uid, held, wanted)) held = ledger.charge(uid, held, wanted);
//     ...
//     ledger.charge(uid, held, 0);
//     ledger.count_out(uid);
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string_view>
#include <unordered_map>

namespace Tvwrapd {

/// What a caller is told when the daemon has no room for it now.
inline constexpr std::string_view BUSY = "The crontab service is busy; try again shortly";

struct LedgerBounds {
    std::size_t connections;
    std::size_t connections_per_account;
    /// Connections that only an account with none open may take.
    std::size_t reserved_connections;
    std::size_t memory;
    std::size_t memory_per_account;
    /// Bytes any holder may hold, whatever the others hold.
    std::size_t free_bytes;
};

class Ledger {
  public:
    explicit Ledger(LedgerBounds bounds) : bounds_(bounds) {}

    /// Why a new connection from `uid` cannot be taken, if it cannot.
    std::optional<std::string_view> over_a_bound(uid_t uid) const;
    void count_in(uid_t uid);
    void count_out(uid_t uid);
    /// Whether a holder of `uid` that holds `held` bytes may hold `bytes` instead.
    bool may_hold(uid_t uid, std::size_t held, std::size_t bytes) const;
    /// Books a holder of `uid` at `bytes` instead of `held`; returns `bytes`.
    std::size_t charge(uid_t uid, std::size_t held, std::size_t bytes);
    /// Forgets everything held.
    void clear();

  private:
    struct Account {
        std::size_t connections = 0;
        std::size_t bytes = 0;
    };
    void forget_if_idle(uid_t uid);

    LedgerBounds bounds_;
    std::unordered_map<uid_t, Account> accounts_;
    std::size_t connections_ = 0;
    std::size_t bytes_ = 0;
};

}  // namespace Tvwrapd
