#include "Ledger.hpp"

namespace Tvwrapd {

std::optional<std::string_view> Ledger::over_a_bound(uid_t uid) const {
    const auto account = accounts_.find(uid);
    const std::size_t held = account == accounts_.end() ? 0 : account->second.connections;
    if (held >= bounds_.connections_per_account) {
        return "Too many connections from this account at once";
    }
    // The last few connections are kept for accounts that have none open.
    const std::size_t cap =
        held == 0 ? bounds_.connections : bounds_.connections - bounds_.reserved_connections;
    if (connections_ >= cap) return BUSY;
    return std::nullopt;
}

void Ledger::count_in(uid_t uid) {
    ++accounts_[uid].connections;
    ++connections_;
}

void Ledger::count_out(uid_t uid) {
    --accounts_[uid].connections;
    --connections_;
    forget_if_idle(uid);
}

bool Ledger::may_hold(uid_t uid, std::size_t held, std::size_t bytes) const {
    if (bytes <= bounds_.free_bytes) return true;
    const auto account = accounts_.find(uid);
    const std::size_t mine = account == accounts_.end() ? 0 : account->second.bytes;
    return mine - held + bytes <= bounds_.memory_per_account &&
           bytes_ - held + bytes <= bounds_.memory;
}

std::size_t Ledger::charge(uid_t uid, std::size_t held, std::size_t bytes) {
    if (bytes == held) return bytes;
    Account& account = accounts_[uid];
    account.bytes = account.bytes - held + bytes;
    bytes_ = bytes_ - held + bytes;
    forget_if_idle(uid);
    return bytes;
}

void Ledger::clear() {
    accounts_.clear();
    connections_ = bytes_ = 0;
}

void Ledger::forget_if_idle(uid_t uid) {
    const auto account = accounts_.find(uid);
    if (account->second.connections == 0 && account->second.bytes == 0) accounts_.erase(account);
}

}  // namespace Tvwrapd
