#include "Service.hpp"

#include <mutex>
#include <optional>
#include <variant>

#include "Access.hpp"
#include "CrontabCheck.hpp"
#include "PolicyCheck.hpp"
#include "Printable.hpp"
#include "Protocol.hpp"
#include "Spool.hpp"
#include "Tarvok/Debug.hpp"
#include "Tarvok/PwCache.hpp"

namespace Tvwrapd::Service {
namespace {

using Printable::printable;

// The account cache and the logger keep process-wide state of their own and were made for a
// single thread: the workers take turns at each.
std::mutex& _account_lock() {
    static std::mutex lock;
    return lock;
}

std::mutex& _log_lock() {
    static std::mutex lock;
    return lock;
}

struct Account {
    std::string name;
    /// The name leads back to another uid (two password lines share it).
    bool shared = false;
};

std::optional<Account> _account(uid_t uid) {
    namespace PwCache = Tarvok::PwCache;
    std::lock_guard hold(_account_lock());
    const auto name =
        PwCache::field(PwCache::getpwuid_noshadow(std::to_string(uid)), PwCache::Pos::NAME);
    if (!name || name->empty()) return std::nullopt;
    // The crontab is kept under the name, so the name must belong to this uid and no other.
    return Account{*name, PwCache::getpwnam_noshadow_uid(*name) != std::to_string(uid)};
}

void _audit(uid_t uid, std::string_view account, std::string_view function,
            std::string_view outcome) {
    const std::string line = "uid=" + std::to_string(uid) + " account=" + printable(account, 64) +
                             " function=" + printable(function, 64) +
                             " outcome=" + printable(outcome, 300);
    std::lock_guard hold(_log_lock());
    Tarvok::Debug::log_info(line);
}

std::string _fetch(uid_t uid, const std::string& account, bool allowed) {
    if (!allowed) {
        _audit(uid, account, Protocol::Wire::FETCH_FUNCTION, "denied");
        return Protocol::fetch_answer("", true);
    }
    const std::string text = Spool::read(account, uid);
    _audit(uid, account, Protocol::Wire::FETCH_FUNCTION,
           "sent " + std::to_string(text.size()) + " bytes");
    return Protocol::fetch_answer(text, false);
}

// Why a save is refused: cron's rules, then the host's policy, in one reading of the text; the
// account's primary group comes from the cache the workers share.
std::optional<std::string> _save_refusal(const std::string& account, std::string_view text) {
    return PolicyCheck::save_refusal(account, text, [&] {
        namespace PwCache = Tarvok::PwCache;
        std::lock_guard hold(_account_lock());
        return PwCache::field(PwCache::getpwnam_noshadow(account), PwCache::Pos::GID);
    });
}

// Stores `text` as the crontab of `account` when it may and cron would take it; why not
// otherwise. `held` is the account's lock when the caller holds it already.
std::optional<std::string> _store(uid_t uid, const std::string& account, bool allowed,
                                  std::string text, std::string_view function,
                                  const Spool::AccountLock* held = nullptr) {
    if (!allowed) {
        _audit(uid, account, function, "denied");
        return not_allowed_reason(account);
    }
    // The host's policy holds for a save, not for an administrator's restore.
    if (auto problem = function == Protocol::Wire::SAVE_FUNCTION ? _save_refusal(account, text)
                                                                 : CrontabCheck::check(text)) {
        _audit(uid, account, function, "refused: " + *problem);
        return problem;
    }
    // cron needs every line ended, the last one too.
    if (!text.empty() && text.back() != '\n') text.push_back('\n');
    if (held) {
        Spool::install(*held, uid, text);
    } else {
        Spool::install(account, uid, text);
    }
    _audit(uid, account, function,
           text.empty() ? "removed" : "installed " + std::to_string(text.size()) + " bytes");
    return std::nullopt;
}

std::string _save(uid_t uid, const std::string& account, bool allowed, std::string text) {
    const auto problem =
        _store(uid, account, allowed, std::move(text), Protocol::Wire::SAVE_FUNCTION);
    return Protocol::save_answer(!problem, problem.value_or(""));
}

// What an account is told of a failure inside the daemon: the paths and the system's reasons are
// the administrator's business, and go to the log.
std::string _plain_failure(std::string_view function, const std::exception& failure) {
    if (const auto* unflushed = dynamic_cast<const Spool::NotFlushed*>(&failure)) {
        return "Not flushed to disk: " + unflushed->in_place() + "; ask your administrator";
    }
    if (function == Protocol::Wire::FETCH_FUNCTION) {
        return "Your crontab could not be read; ask your administrator";
    }
    if (function == Protocol::Wire::SAVE_FUNCTION) {
        return "Your crontab could not be stored and is unchanged; ask your administrator";
    }
    return "The crontab service failed; ask your administrator";
}

}  // namespace

std::string not_allowed_reason(std::string_view account) {
    return "You (" + printable(account) + ") are not allowed to use cron; ask your administrator";
}

std::string answer(uid_t uid, std::string_view request) {
    std::string account = "-";
    std::string function = "-";
    try {
        const auto caller = _account(uid);
        if (!caller) {
            _audit(uid, account, function, "error: unknown account");
            return Protocol::error_answer("uid " + std::to_string(uid) +
                                          " has no account on this system");
        }
        account = caller->name;
        if (caller->shared) {
            _audit(uid, account, function, "error: account name belongs to another uid too");
            return Protocol::error_answer("account name '" + printable(account) + "' of uid " +
                                          std::to_string(uid) +
                                          " belongs to another uid too; ask your administrator");
        }
        if (!Spool::usable_name(account)) {
            _audit(uid, account, function, "error: account name cannot name a crontab");
            return Protocol::error_answer("account name '" + printable(account) +
                                          "' cannot hold a crontab");
        }
        auto parsed = Protocol::parse_request(request);
        if (auto* bad = std::get_if<Protocol::BadRequest>(&parsed)) {
            if (!bad->function.empty()) function = bad->function;
            _audit(uid, account, function,
                   "error: " + bad->reason + (bad->detail.empty() ? "" : " (" + bad->detail + ")"));
            return Protocol::error_answer(bad->reason);
        }
        auto& served = std::get<Protocol::Request>(parsed);
        const bool allowed = Access::may_use_cron(account, uid);
        if (served.function == Protocol::Function::fetch) {
            function = Protocol::Wire::FETCH_FUNCTION;
            return _fetch(uid, account, allowed);
        }
        function = Protocol::Wire::SAVE_FUNCTION;
        return _save(uid, account, allowed, std::move(served.crontab));
    } catch (const std::exception& failure) {
        _audit(uid, account, function, std::string("error: ") + failure.what());
        return Protocol::error_answer(_plain_failure(function, failure));
    }
}

std::optional<std::string> restore(std::string_view name) {
    constexpr std::string_view function = "restore";
    const std::string account(name);
    uid_t uid = static_cast<uid_t>(-1);
    try {
        if (!Spool::usable_name(account)) {
            return "'" + printable(account) + "' cannot name a crontab";
        }
        std::optional<std::string> uid_text;
        {
            std::lock_guard hold(_account_lock());
            uid_text = Tarvok::PwCache::getpwnam_noshadow_uid(account);
        }
        if (!uid_text || uid_text->empty() || uid_text->size() > 10 ||
            uid_text->find_first_not_of("0123456789") != std::string::npos) {
            return "no account '" + printable(account) + "' on this system";
        }
        uid = static_cast<uid_t>(std::stoul(*uid_text));
        // No save of the account comes between the backup read here and its install.
        const Spool::AccountLock held(account);
        auto backup = Spool::read_backup(account);
        if (!backup) {
            _audit(uid, account, function, "error: no backup");
            return "no backup of the crontab of '" + printable(account) + "' is kept";
        }
        return _store(uid, account, Access::may_use_cron(account, uid), std::move(*backup),
                      function, &held);
    } catch (const std::exception& failure) {
        _audit(uid, account, function, std::string("error: ") + failure.what());
        return failure.what();
    }
}

std::string refuse(uid_t uid, std::string_view reason) {
    try {
        const auto caller = _account(uid);
        _audit(uid, caller ? caller->name : "-", "-", "error: " + std::string(reason));
    } catch (const std::exception&) {
        // The answer matters more than the audit line of a request that never arrived.
    }
    return Protocol::error_answer(reason);
}

}  // namespace Tvwrapd::Service
