// Tvwrapd::Turns: the requests waiting for a pool of workers, and which account goes next.
//
// Accounts take turns in the order they became ready. An account has at most one request out at
// a time: from take() (or claim()) until done(), while it is served and, once kept, while its
// answer is still being written out. Its other requests wait behind it, so an account that floods
// the daemon waits behind itself only, and a pool never makes or holds two answers for one
// account at once.
//
// Not synchronised: the pool that owns it holds its lock around every call.
//
//     turns.add(Job{id, uid, std::move(fd), std::move(request)});
//     Job job = turns.take();  // when ready()
//     ...                      // served, answer out
//     turns.done(job.uid);
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "Tarvok/UniqueFd.hpp"

namespace Tvwrapd {

/// A complete request and the connection it came on.
struct Job {
    std::uint64_t id;
    uid_t uid;
    Tarvok::UniqueFd fd;
    /// The request text, marker removed.
    std::string request;
};

class Turns {
  public:
    void add(Job job);
    /// Whether take() has a request to give.
    bool ready() const noexcept { return !line_.empty(); }
    /// Whether no request waits at all, ready or not.
    bool empty() const noexcept { return waiting_.empty(); }
    /// The oldest request of the account whose turn it is (ready() must hold); that account has
    /// a request out until done().
    Job take();
    /// The account's request out is finished: its next one waits behind the accounts already
    /// ready. Whether it has one, so that ready() may have become true.
    bool done(uid_t uid);
    /// Lets an account have a request out that is served elsewhere, when it has none out and
    /// none waiting; false otherwise. done() ends it.
    bool claim(uid_t uid);
    /// The account's request out is served, and its answer left to be written out: the turn
    /// lasts until done(), or done_kept().
    void keep(uid_t uid);
    /// Ends the turns kept for answers being written out, for a pool that stops: nobody writes
    /// them out any more. Those still being served end as they are done.
    void done_kept();

  private:
    std::unordered_map<uid_t, std::deque<Job>> waiting_;
    /// Accounts with a request waiting and none out, in the order they are served.
    std::deque<uid_t> line_;
    std::unordered_set<uid_t> out_;
    std::unordered_set<uid_t> kept_;
};

}  // namespace Tvwrapd
