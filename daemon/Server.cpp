#include "Server.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <variant>
#include <vector>

#include "Ledger.hpp"
#include "Protocol.hpp"
#include "Tarvok/Debug.hpp"
#include "Tarvok/Error.hpp"
#include "Tarvok/FDPass.hpp"
#include "Tarvok/UniqueFd.hpp"
#include "Turns.hpp"

namespace Tvwrapd {
namespace {

using Tarvok::UniqueFd;
using Clock = std::chrono::steady_clock;

// epoll tags: connections are numbered from FIRST_CONNECTION on and never reuse a number, so a
// late event or answer for a closed connection finds nothing instead of a stranger.
constexpr std::uint64_t LISTENER = 0;
constexpr std::uint64_t WAKE = 1;
constexpr std::uint64_t FIRST_CONNECTION = 2;
constexpr std::size_t READ_CHUNK = 65536;
// A connection may always hold this much, whatever the others hold: an ordinary request fits, and
// an ordinary answer goes out without asking. A larger answer is first let in under the bounds.
constexpr std::size_t FREE_BUFFER = READ_CHUNK;
// Descriptors kept free for the spool, the account files and the logger.
constexpr rlim_t SPARE_DESCRIPTORS = 64;
// Descriptors a client may pass in one message; the kernel closes any beyond.
constexpr std::size_t MOST_PASSED = 8;
// A refused caller still sending is cut off after this many bytes, whatever the time.
constexpr std::size_t MOST_DRAINED_REQUESTS = 4;
// How much the install workers yield the processors to the loop and the fetches.
constexpr int DISK_NICENESS = 10;
// Requests up to this size are routed by the loop itself, and fetches among them answered there.
constexpr std::size_t MOST_SERVED_HERE = 4096;
// Answer bytes the loop may make between two waits for events: a fetch costs about in
// proportion to its crontab, and a large one takes more than a whole turn of the loop.
constexpr std::size_t SERVING_HERE_BUDGET = 256 * 1024;
// An account that got an answer this large from the loop is served by the workers for a while:
// it cannot have the loop make one for it turn after turn while everybody else waits.
constexpr std::size_t LARGE_ANSWER = 64 * 1024;
constexpr auto LARGE_ANSWER_AWAY = std::chrono::seconds(10);

/// Sends what the socket takes now without waiting; returns how much went out, or nothing when
/// the peer is gone.
std::optional<std::size_t> send_now(int fd, std::string_view bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            return std::nullopt;
        }
    }
    return sent;
}

/// Reads like recv(). A client may pass descriptors along; the daemon has no use for them and
/// closes them at once. `carried` tells whether this read brought any.
ssize_t receive(int fd, char* buffer, std::size_t size, bool& carried) {
    iovec data{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * MOST_PASSED)];
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
    carried = n >= 0 && (message.msg_flags & MSG_CTRUNC) != 0;
    if (n < 0) return n;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
        carried = true;
        const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int passed = -1;
            std::memcpy(&passed, CMSG_DATA(header) + i * sizeof(int), sizeof passed);
            ::close(passed);
        }
    }
    return n;
}

/// Whether the request (marker removed) is a well-formed install, which waits for the disk.
bool is_save(std::string_view request) noexcept {
    try {
        const auto parsed = Protocol::parse_request(request);
        const auto* served = std::get_if<Protocol::Request>(&parsed);
        return served != nullptr && served->function == Protocol::Function::save;
    } catch (const std::exception&) {
        return false;  // answered, as an error, by the quick workers
    }
}

std::size_t _descriptor_budget(std::size_t wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return wanted;
    const rlim_t needed = static_cast<rlim_t>(wanted) + SPARE_DESCRIPTORS;
    if (limit.rlim_cur < needed) {
        rlimit raised = limit;
        raised.rlim_cur =
            limit.rlim_max == RLIM_INFINITY ? needed : std::min(needed, limit.rlim_max);
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    if (limit.rlim_cur <= SPARE_DESCRIPTORS * 2) return 2;
    return std::min<std::size_t>(wanted, limit.rlim_cur - SPARE_DESCRIPTORS);
}

std::string seconds_text(std::chrono::milliseconds limit) {
    std::string text = std::to_string(std::chrono::duration<double>(limit).count());
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') text.pop_back();
    return text;
}

}  // namespace

std::optional<uid_t> peer_credentials(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return std::nullopt;
    return credentials.uid;
}

struct Server::Loop {
    enum class State { reading, working, writing, draining };
    struct Pool;

    struct Connection {
        /// Empty while a worker holds the request: the worker owns the descriptor then.
        UniqueFd fd;
        uid_t uid = 0;
        State state = State::reading;
        /// Counted against the connection bounds (a refused caller being drained is not).
        bool counted = false;
        bool watched = false;
        bool timed = false;
        /// Something was read: a descriptor's carrier byte can only come first.
        bool started = false;
        Clock::time_point deadline;
        /// The request while reading, the rest of the answer while writing.
        std::string data;
        std::size_t sent = 0;
        /// Where the marker search resumes.
        std::size_t scanned = 0;
        /// Bytes drained from a refused caller.
        std::size_t drained = 0;
        /// Bytes of memory counted against the account (its request, then its answer).
        std::size_t charged = 0;
        /// The pool whose turn of the account this connection keeps until its answer is out.
        Pool* turn = nullptr;
    };

    struct Done {
        std::uint64_t id;
        uid_t uid;
        /// Empty when the worker closed the connection: its answer is out, or the peer is gone.
        UniqueFd fd;
        /// What the worker could not send at once.
        std::string rest;
        /// Nothing of the answer has gone out: it waits to be let in under the memory bounds.
        bool whole = false;
        /// The pool whose turn of the account goes with the connection.
        Pool* turn = nullptr;
    };

    using Connections = std::map<std::uint64_t, Connection>;

    Loop(int listen_fd, ServerConfig config) : listen_fd_(listen_fd), config_(std::move(config)) {
        const std::size_t wanted = config_.max_connections + config_.max_draining;
        const std::size_t budget = _descriptor_budget(wanted);
        if (budget < wanted) {
            config_.max_draining = std::min(config_.max_draining, budget / 8);
            config_.max_connections = std::max<std::size_t>(1, budget - config_.max_draining);
        }
        most_ = config_.max_request + Protocol::Wire::END_OF_REQUEST_MARKER.size();
        if (config_.max_memory_per_account == 0) config_.max_memory_per_account = 4 * most_;
        ledger_ = Ledger({
            .connections = config_.max_connections,
            .connections_per_account = config_.max_connections_per_account,
            .reserved_connections =
                std::min(config_.reserved_connections.value_or(config_.max_connections / 8),
                         config_.max_connections - 1),
            .memory = config_.max_memory,
            .memory_per_account = config_.max_memory_per_account,
            .free_bytes = FREE_BUFFER,
        });
        if (config_.quick_workers == 0) {
            config_.quick_workers = std::clamp(std::thread::hardware_concurrency(), 2u, 8u);
        }
        config_.disk_workers = std::max(1u, config_.disk_workers);
        epoll_.reset(epoll_create1(EPOLL_CLOEXEC));
        if (!epoll_)
            throw Tarvok::Error(std::string("Cannot create epoll: ") + std::strerror(errno));
        wake_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        if (!wake_)
            throw Tarvok::Error(std::string("Cannot create eventfd: ") + std::strerror(errno));
        watch(LISTENER, listen_fd_, EPOLLIN, EPOLL_CTL_ADD);
        watch(WAKE, wake_.get(), EPOLLIN, EPOLL_CTL_ADD);
    }

    ~Loop() {
        stopping_ = true;
        ended_ = true;
        stop_workers();
        settle_finished();
    }

    void watch(std::uint64_t tag, int fd, std::uint32_t events, int operation) {
        epoll_event event{};
        event.events = events;
        event.data.u64 = tag;
        if (epoll_ctl(epoll_.get(), operation, fd, &event) != 0) {
            throw Tarvok::Error(std::string("epoll_ctl failed: ") + std::strerror(errno));
        }
    }

    // ---- workers -------------------------------------------------------------------------

    /// Workers and the requests waiting for them, served account by account in turn. An
    /// account's turn lasts until its answer is out: a worker ends it when it sent the whole
    /// answer, the loop when it closes a connection whose answer it was left to write.
    struct Pool {
        std::vector<std::thread> threads;
        std::mutex mutex;
        std::condition_variable ready;
        Turns turns;
        bool quit = false;

        void add(Job job) {
            {
                std::lock_guard hold(mutex);
                turns.add(std::move(job));
            }
            ready.notify_one();
        }

        bool claim(uid_t uid) {
            std::lock_guard hold(mutex);
            return turns.claim(uid);
        }

        /// Leaves the account's turn to the loop, which ends it once the answer is out; false
        /// when the pool stops, and the turn must end now.
        bool keep(uid_t uid) {
            std::lock_guard hold(mutex);
            if (quit) return false;
            turns.keep(uid);
            return true;
        }

        void done(uid_t uid) {
            bool lined = false;
            {
                std::lock_guard hold(mutex);
                lined = turns.done(uid);
            }
            // Only then: waking an idle worker for nothing costs the loop's fetches a processor.
            if (lined) ready.notify_one();
        }
    };

    void start_workers() {
        // Signals belong to the loop's thread; workers never see them.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        for (unsigned i = 0; i < config_.quick_workers; ++i) {
            quick_.threads.emplace_back([this] { work(quick_); });
        }
        for (unsigned i = 0; i < config_.disk_workers; ++i) {
            disk_.threads.emplace_back([this] {
                // Installs wait for the disk anyway; when the processors are short, the loop and
                // the fetches of other accounts go first. (A thread's nice value is its own.)
                setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), DISK_NICENESS);
                work(disk_);
            });
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    void stop_workers() {
        // The quick workers hand installs on to the disk workers: they stop first.
        for (Pool* pool : {&quick_, &disk_}) {
            {
                std::lock_guard hold(pool->mutex);
                pool->quit = true;
                // The loop writes no more answers out: the turns they kept are over.
                pool->turns.done_kept();
            }
            pool->ready.notify_all();
            for (auto& worker : pool->threads) worker.join();
            pool->threads.clear();
        }
    }

    void work(Pool& pool) {
        std::unique_lock hold(pool.mutex);
        for (;;) {
            // Requests already taken in are still answered when the daemon stops.
            pool.ready.wait(
                hold, [&pool] { return pool.turns.ready() || (pool.quit && pool.turns.empty()); });
            if (!pool.turns.ready()) return;
            Job job = pool.turns.take();
            hold.unlock();
            const uid_t uid = job.uid;
            bool kept = false;
            if (&pool == &quick_ && is_save(job.request)) {
                disk_.add(std::move(job));
            } else {
                std::string answer = answer_to(job);
                kept = deliver(std::move(job), std::move(answer), &pool);
            }
            hold.lock();
            if (!kept) pool.turns.done(uid);
            if (pool.quit) pool.ready.notify_all();
        }
    }

    std::string answer_to(Job& job) {
        std::string answer;
        try {
            answer = config_.answer(job.uid, job.request);
        } catch (const std::exception& failure) {
            answer = Protocol::error_answer(std::string("Internal error: ") + failure.what());
        }
        job.request = std::string();
        return answer;
    }

    /// Sends the answer, or what of it the socket takes now. Returns whether the loop was left
    /// the rest to write out, and `pool`'s turn of the account with it.
    bool deliver(Job job, std::string answer, Pool* pool) {
        // Nothing of a large answer goes out before the loop lets it in under the memory bounds:
        // a caller that does not read could otherwise have it held whatever they say.
        const bool whole = answer.size() > FREE_BUFFER;
        if (!whole) {
            const auto sent = send_now(job.fd.get(), answer);
            if (!sent || *sent == answer.size()) {
                // The client reads until the end: close now rather than after a trip through the
                // loop, which only settles its books whenever it next wakes. The books are handed
                // over first: a client that calls again at once must find its slot free.
                UniqueFd done = std::move(job.fd);
                finished(Done{job.id, job.uid, {}, {}});
                done.reset();
                return false;
            }
            answer.erase(0, *sent);
        }
        // Kept before the loop can see the connection, which may end the turn at once.
        const bool kept = pool->keep(job.uid);
        finished(Done{job.id, job.uid, std::move(job.fd), std::move(answer), whole,
                      kept ? pool : nullptr});
        return kept;
    }

    void finished(Done done) {
        // A stopping loop waits for the last connections' books to be settled.
        const bool urgent = done.fd.valid() || stopping_;
        bool wake_now = false;
        {
            std::lock_guard hold(done_mutex_);
            done_.push_back(std::move(done));
            has_done_ = true;
            if (urgent && !wake_pending_) wake_now = wake_pending_ = true;
        }
        if (wake_now) wake();
    }

    void wake() noexcept {
        const std::uint64_t one = 1;
        const int saved = errno;
        [[maybe_unused]] const ssize_t n = write(wake_.get(), &one, sizeof one);
        errno = saved;
    }

    // ---- bounds ----------------------------------------------------------------------------

    void count_in(Connection& c) {
        c.counted = true;
        ledger_.count_in(c.uid);
    }

    /// Sets the memory `c` holds to `bytes`.
    void charge(Connection& c, std::size_t bytes) {
        c.charged = ledger_.charge(c.uid, c.charged, bytes);
    }

    bool may_hold(const Connection& c, std::size_t bytes) const {
        return ledger_.may_hold(c.uid, c.charged, bytes);
    }

    /// Makes room for `size` bytes of request; false when the bounds do not allow it.
    bool reserve_request(Connection& c, std::size_t size) {
        if (size <= c.data.capacity()) return true;
        std::size_t wanted = std::min(most_, std::max(size, c.data.capacity() * 3 / 2));
        if (!may_hold(c, wanted)) {
            // Answers already out may not have been counted off yet.
            settle_finished();
            if (!may_hold(c, wanted)) wanted = size;
            if (!may_hold(c, wanted)) return false;
        }
        c.data.reserve(wanted);
        charge(c, c.data.capacity());
        return true;
    }

    /// Takes `c` off the books of its account: its connection and its memory.
    void release(Connection& c) {
        charge(c, 0);
        if (!c.counted) return;
        c.counted = false;
        ledger_.count_out(c.uid);
    }

    // ---- connections -----------------------------------------------------------------------

    void set_deadline(Connections::iterator it, std::optional<Clock::time_point> deadline) {
        Connection& c = it->second;
        if (c.timed) timers_.erase({c.deadline, it->first});
        c.timed = deadline.has_value();
        if (deadline) {
            c.deadline = *deadline;
            timers_.insert({c.deadline, it->first});
        }
    }

    void close_connection(Connections::iterator it) {
        Connection& c = it->second;
        set_deadline(it, std::nullopt);
        release(c);
        // The account's next request may be served: this one's answer is out, or nobody takes it.
        if (c.turn != nullptr) c.turn->done(c.uid);
        if (c.state == State::draining) --draining_;
        connections_.erase(it);
        if (!accepting_ && !stopping_) {
            accepting_ = true;
            watch(LISTENER, listen_fd_, EPOLLIN, EPOLL_CTL_MOD);
        }
    }

    /// Sends `answer` as an error answer and ends the connection. With `linger`, what the caller
    /// still sends is read and dropped until it is done, so that it can send all of its request
    /// and then read the answer without meeting a reset.
    void turn_away(Connections::iterator it, std::string_view answer, bool linger) {
        Connection& c = it->second;
        send_now(c.fd.get(), answer);
        if (!linger || draining_ >= config_.max_draining) {
            close_connection(it);
            return;
        }
        release(c);
        c.data = std::string();
        shutdown(c.fd.get(), SHUT_WR);
        c.state = State::draining;
        ++draining_;
        set_deadline(it, Clock::now() + config_.drain_limit);
        watch(it->first, c.fd.get(), EPOLLIN, c.watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD);
        c.watched = true;
        drain(it);
    }

    void refuse(Connections::iterator it, std::string_view reason, bool linger) {
        turn_away(it, config_.refuse(it->second.uid, reason), linger);
    }

    void drain(Connections::iterator it) {
        Connection& c = it->second;
        for (;;) {
            bool carried = false;
            const ssize_t n = receive(c.fd.get(), read_buffer_, sizeof read_buffer_, carried);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            if (n > 0) c.drained += static_cast<std::size_t>(n);
            if (n <= 0 || c.drained > MOST_DRAINED_REQUESTS * most_) {
                close_connection(it);
                return;
            }
        }
    }

    Connections::iterator add_connection(UniqueFd fd, uid_t uid) {
        const std::uint64_t id = next_id_++;
        const auto it = connections_.emplace(id, Connection{}).first;
        it->second.fd = std::move(fd);
        it->second.uid = uid;
        return it;
    }

    /// Takes in one waiting connection: the listener stays readable while more wait, and the
    /// next turn of the loop takes the next, so no call is spent on finding the queue empty.
    void accept_ready() {
        for (;;) {
            UniqueFd fd(accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (!fd) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) return;
                // Out of descriptors or memory: stop accepting until a connection closes, rather
                // than spin on a listener that stays readable.
                Tarvok::Debug::log_warn(std::string("accept failed: ") + std::strerror(errno));
                if (!connections_.empty()) {
                    accepting_ = false;
                    watch(LISTENER, listen_fd_, 0, EPOLL_CTL_MOD);
                }
                return;
            }
            const auto uid = config_.peer_uid(fd.get());
            if (!uid) {
                // Never served as anyone, least of all as root.
                Tarvok::Debug::log_warn("connection without peer credentials refused");
                turn_away(add_connection(std::move(fd), 0),
                          Protocol::error_answer("Cannot tell who is calling"), true);
                continue;
            }
            if (ledger_.over_a_bound(*uid)) settle_finished();
            if (const auto reason = ledger_.over_a_bound(*uid)) {
                refuse(add_connection(std::move(fd), *uid), *reason, true);
                continue;
            }
            const auto it = add_connection(std::move(fd), *uid);
            count_in(it->second);
            set_deadline(it, Clock::now() + config_.time_limit);
            // Most clients have sent their whole request by now: read before waiting.
            if (read_request(it) && it->second.state == State::reading) {
                watch(it->first, it->second.fd.get(), EPOLLIN, EPOLL_CTL_ADD);
                it->second.watched = true;
            }
            return;
        }
    }

    /// Reads what has arrived; hands a complete request to the workers. Returns false when the
    /// connection was closed or refused meanwhile.
    bool read_request(Connections::iterator it) {
        Connection& c = it->second;
        for (;;) {
            if (c.data.size() >= most_) {
                refuse(it,
                       "Request too large (over " + std::to_string(config_.max_request) + " bytes)",
                       true);
                return false;
            }
            bool carried = false;
            const ssize_t n =
                receive(c.fd.get(), read_buffer_,
                        std::min(sizeof read_buffer_, most_ - c.data.size()), carried);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
                close_connection(it);  // reset by the peer: nobody to answer
                return false;
            }
            if (n == 0) {
                refuse(it, "Request ended before the end-of-request marker", false);
                return false;
            }
            std::string_view got(read_buffer_, static_cast<std::size_t>(n));
            // The one byte that carried a descriptor passed before the request is not part of it.
            if (!c.started && carried && got.front() == Tarvok::FDPass::CARRIER_BYTE) {
                got.remove_prefix(1);
            }
            c.started = true;
            if (!reserve_request(c, c.data.size() + got.size())) {
                refuse(it, BUSY, true);
                return false;
            }
            c.data.append(got);
            const auto marker =
                std::string_view(c.data).find(Protocol::Wire::END_OF_REQUEST_MARKER, c.scanned);
            if (marker != std::string_view::npos) {
                c.data.resize(marker);
                hand_over(it);
                return true;
            }
            c.scanned = c.data.size() >= Protocol::Wire::END_OF_REQUEST_MARKER.size() - 1
                            ? c.data.size() - (Protocol::Wire::END_OF_REQUEST_MARKER.size() - 1)
                            : 0;
        }
    }

    /// Gives the request, and the descriptor with it, to the workers. The memory stays charged
    /// until the answer is out.
    void hand_over(Connections::iterator it) {
        Connection& c = it->second;
        if (c.watched) {
            epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, c.fd.get(), nullptr);
            c.watched = false;
        }
        c.state = State::working;
        // The time limit is for sending the request; serving and answering take what they take.
        set_deadline(it, std::nullopt);
        Job job{it->first, c.uid, std::move(c.fd), std::move(c.data)};
        c.data = std::string();
        if (job.request.size() > MOST_SERVED_HERE || served_here_ >= SERVING_HERE_BUDGET ||
            answers_large(job.uid)) {
            quick_.add(std::move(job));
            return;
        }
        // A short request is parsed here; a fetch is answered at once, with no worker to wake.
        // Past the budget, requests go to the workers, which take accounts in turn.
        if (is_save(job.request)) {
            disk_.add(std::move(job));
            return;
        }
        // One answer of an account at a time, here too: the workers' if they have one of its
        // requests, else the loop's, which takes the account's turn from them until it is out.
        if (!quick_.claim(job.uid)) {
            quick_.add(std::move(job));
            return;
        }
        const uid_t uid = job.uid;
        std::string answer = answer_to(job);
        const std::size_t length = answer.size();
        if (!deliver(std::move(job), std::move(answer), &quick_)) quick_.done(uid);
        served_here_ += length;
        if (length >= LARGE_ANSWER) large_answers_[uid] = Clock::now() + LARGE_ANSWER_AWAY;
    }

    /// Whether `uid` got a large answer from the loop lately.
    bool answers_large(uid_t uid) {
        const auto found = large_answers_.find(uid);
        if (found == large_answers_.end()) return false;
        if (found->second > Clock::now()) return true;
        large_answers_.erase(found);
        return false;
    }

    void write_rest(Connections::iterator it) {
        Connection& c = it->second;
        const auto sent = send_now(c.fd.get(), std::string_view(c.data).substr(c.sent));
        if (!sent) {
            close_connection(it);
            return;
        }
        c.sent += *sent;
        if (c.sent == c.data.size()) {
            close_connection(it);
        } else if (*sent > 0) {
            set_deadline(it, Clock::now() + config_.write_idle_limit);
        }
    }

    void woken() {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = read(wake_.get(), &count, sizeof count);
        {
            std::lock_guard hold(done_mutex_);
            wake_pending_ = false;
        }
        settle_finished();
    }

    void settle_finished() {
        if (!has_done_.exchange(false)) return;
        std::vector<Done> done;
        {
            std::lock_guard hold(done_mutex_);
            done.swap(done_);
        }
        for (Done& d : done) {
            auto it = connections_.find(d.id);
            if (it == connections_.end()) {
                if (d.turn != nullptr) d.turn->done(d.uid);
                continue;
            }
            Connection& c = it->second;
            c.turn = d.turn;
            if (!d.fd || ended_) {
                close_connection(it);
                continue;
            }
            c.fd = std::move(d.fd);
            c.state = State::writing;
            if (d.whole && !may_hold(c, d.rest.capacity())) {
                // Held until the caller takes it, it would pass the account's or the daemon's
                // bound: the caller hears so instead, and may try again shortly.
                d.rest = config_.refuse(c.uid, BUSY);
            }
            c.data = std::move(d.rest);
            c.sent = 0;
            charge(c, c.data.capacity());
            set_deadline(it, Clock::now() + config_.write_idle_limit);
            watch(it->first, c.fd.get(), EPOLLOUT, EPOLL_CTL_ADD);
            c.watched = true;
        }
    }

    void on_event(std::uint64_t id) {
        auto it = connections_.find(id);
        if (it == connections_.end()) return;
        switch (it->second.state) {
            case State::reading:
                read_request(it);
                break;
            case State::writing:
                write_rest(it);
                break;
            case State::draining:
                drain(it);
                break;
            case State::working:
                break;
        }
    }

    void expire(Clock::time_point now) {
        while (!timers_.empty() && timers_.begin()->first <= now) {
            auto it = connections_.find(timers_.begin()->second);
            if (it == connections_.end()) {
                timers_.erase(timers_.begin());
                continue;
            }
            if (it->second.state == State::reading) {
                refuse(
                    it,
                    "Request not complete within " + seconds_text(config_.time_limit) + " seconds",
                    false);
            } else {
                close_connection(it);  // an answer nobody takes, or a refused caller done
            }
        }
    }

    int timeout_ms(Clock::time_point now) const {
        // While accepting is paused, look in now and then: connections the workers closed
        // free their slots without waking the loop.
        const int paused_check = accepting_ ? -1 : 100;
        if (timers_.empty()) return paused_check;
        const auto left = timers_.begin()->first - now;
        if (left <= Clock::duration::zero()) return 0;
        // Round up: waking a moment early would only spin.
        const auto ms =
            static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        return paused_check < 0 ? ms : std::min(ms, paused_check);
    }

    void run() {
        start_workers();
        epoll_event events[64];
        bool taking_in = true;
        while (taking_in || !connections_.empty()) {
            if (taking_in && stopping_) {
                // Stop taking in, but answer every connection taken in, each within its own
                // limits: a socket handed over by systemd stays open across a restart, and the
                // next daemon serves only what is still queued on it.
                taking_in = false;
                epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, listen_fd_, nullptr);
                continue;
            }
            const int n = epoll_wait(epoll_.get(), events, 64, timeout_ms(Clock::now()));
            if (n < 0 && errno != EINTR) {
                throw Tarvok::Error(std::string("epoll_wait failed: ") + std::strerror(errno));
            }
            settle_finished();
            served_here_ = 0;
            for (int i = 0; i < n; ++i) {
                const std::uint64_t tag = events[i].data.u64;
                if (tag == LISTENER) {
                    if (taking_in) accept_ready();
                } else if (tag == WAKE) {
                    woken();
                } else {
                    on_event(tag);
                }
            }
            expire(Clock::now());
        }
        ended_ = true;
        stop_workers();
        settle_finished();
        connections_.clear();
        timers_.clear();
        ledger_.clear();
        draining_ = 0;
    }

    int listen_fd_;
    ServerConfig config_;
    /// The longest request with its marker.
    std::size_t most_ = 0;
    char read_buffer_[READ_CHUNK];
    UniqueFd epoll_;
    UniqueFd wake_;
    std::atomic<bool> stopping_{false};
    /// The loop no longer runs: answers the workers finish can no longer be written.
    bool ended_ = false;
    bool accepting_ = true;
    /// Answer bytes made on the loop's thread since it last waited for events.
    std::size_t served_here_ = 0;
    /// Accounts served by the workers until the time given (see LARGE_ANSWER).
    std::unordered_map<uid_t, Clock::time_point> large_answers_;

    Connections connections_;
    std::set<std::pair<Clock::time_point, std::uint64_t>> timers_;
    Ledger ledger_{{}};
    std::size_t draining_ = 0;
    std::uint64_t next_id_ = FIRST_CONNECTION;

    Pool quick_;
    Pool disk_;

    std::mutex done_mutex_;
    std::vector<Done> done_;
    bool wake_pending_ = false;
    std::atomic<bool> has_done_{false};
};

Server::Server(int listen_fd, ServerConfig config)
    : loop_(std::make_unique<Loop>(listen_fd, std::move(config))) {}

Server::~Server() = default;

void Server::run() {
    loop_->run();
}

void Server::stop() noexcept {
    loop_->stopping_ = true;
    loop_->wake();
}

}  // namespace Tvwrapd
