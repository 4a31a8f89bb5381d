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
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Protocol.hpp"
#include "Tarvok/Debug.hpp"
#include "Tarvok/Error.hpp"
#include "Tarvok/UniqueFd.hpp"

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
// How a compact save request names its function; a request that names it so may write to disk.
constexpr std::string_view SAVE_HINT = "\"function\":\"save\"";
// Descriptors kept free for the spool, the account files and the logger.
constexpr rlim_t SPARE_DESCRIPTORS = 64;

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
    if (limit.rlim_cur <= SPARE_DESCRIPTORS * 2) return 1;
    return std::min<std::size_t>(wanted, limit.rlim_cur - SPARE_DESCRIPTORS);
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

    struct Connection {
        UniqueFd fd;
        uid_t uid = 0;
        Clock::time_point deadline;
        State state = State::reading;
        /// The request while reading, the rest of the answer while writing.
        std::string data;
        std::size_t sent = 0;
        /// Where the marker search resumes.
        std::size_t scanned = 0;
        bool watched = false;
    };

    struct Job {
        std::uint64_t id;
        uid_t uid;
        int fd;
        std::string request;
    };

    struct Done {
        std::uint64_t id;
        /// The worker closed the connection: its answer is out, or the peer is gone.
        bool closed;
        /// What the worker could not send at once.
        std::string rest;
    };

    Loop(int listen_fd, ServerConfig config) : listen_fd_(listen_fd), config_(std::move(config)) {
        config_.max_connections = _descriptor_budget(config_.max_connections);
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
        stop_workers();
        // Connections the workers closed must not be closed a second time.
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

    /// Workers and the requests waiting for them.
    struct Pool {
        std::vector<std::thread> threads;
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<Job> jobs;
        bool quit = false;
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
            disk_.threads.emplace_back([this] { work(disk_); });
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    void stop_workers() {
        for (Pool* pool : {&quick_, &disk_}) {
            {
                std::lock_guard hold(pool->mutex);
                pool->quit = true;
            }
            pool->ready.notify_all();
        }
        for (Pool* pool : {&quick_, &disk_}) {
            for (auto& worker : pool->threads) worker.join();
            pool->threads.clear();
        }
    }

    void work(Pool& pool) {
        for (;;) {
            Job job;
            {
                std::unique_lock hold(pool.mutex);
                pool.ready.wait(hold, [&pool] { return !pool.jobs.empty() || pool.quit; });
                // Requests already taken in are still answered when the daemon stops.
                if (pool.jobs.empty()) return;
                job = std::move(pool.jobs.front());
                pool.jobs.pop_front();
            }
            std::string answer;
            try {
                answer = config_.answer(job.uid, job.request);
            } catch (const std::exception& failure) {
                answer = Protocol::error_answer(std::string("Internal error: ") + failure.what());
            }
            const auto sent = send_now(job.fd, answer);
            if (!sent || *sent == answer.size()) {
                // The client reads until the end: close now rather than after a trip through
                // the loop. The loop only settles its books, whenever it next wakes.
                ::close(job.fd);
                finished(Done{job.id, true, {}});
            } else {
                finished(Done{job.id, false, answer.substr(*sent)});
            }
        }
    }

    void finished(Done done) {
        const bool urgent = !done.closed;
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

    // ---- connections -----------------------------------------------------------------------

    void close_connection(std::map<std::uint64_t, Connection>::iterator it) {
        Connection& c = it->second;
        timers_.erase({c.deadline, it->first});
        if (auto count = per_uid_.find(c.uid); count != per_uid_.end() && --count->second == 0) {
            per_uid_.erase(count);
        }
        connections_.erase(it);
        if (!accepting_ && !stopping_) {
            accepting_ = true;
            watch(LISTENER, listen_fd_, EPOLLIN, EPOLL_CTL_MOD);
        }
    }

    /// Refuses a connection with an error answer, sent at once as far as the socket takes it.
    void refuse_now(int fd, uid_t uid, std::string_view reason) {
        send_now(fd, config_.refuse(uid, reason));
    }

    bool over_a_bound(uid_t uid) const {
        const auto count = per_uid_.find(uid);
        return connections_.size() >= config_.max_connections ||
               (count != per_uid_.end() && count->second >= config_.max_connections_per_account);
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
                Tarvok::Debug::log_warn("connection without peer credentials refused");
                send_now(fd.get(), Protocol::error_answer("Cannot tell who is calling"));
                continue;
            }
            // Answers already out may not have been counted off yet: settle them first.
            if (over_a_bound(*uid)) settle_finished();
            if (connections_.size() >= config_.max_connections) {
                refuse_now(fd.get(), *uid, "The crontab service is busy; try again shortly");
                continue;
            }
            if (per_uid_[*uid] >= config_.max_connections_per_account) {
                refuse_now(fd.get(), *uid, "Too many connections from this account at once");
                continue;
            }
            ++per_uid_[*uid];
            const std::uint64_t id = next_id_++;
            Connection& c = connections_[id];
            c.fd = std::move(fd);
            c.uid = *uid;
            c.deadline = Clock::now() + config_.time_limit;
            timers_.insert({c.deadline, id});
            // Most clients have sent their whole request by now: read before waiting.
            if (read_request(connections_.find(id))) {
                auto it = connections_.find(id);
                if (it != connections_.end() && it->second.state == State::reading) {
                    watch(id, it->second.fd.get(), EPOLLIN, EPOLL_CTL_ADD);
                    it->second.watched = true;
                }
            }
            return;
        }
    }

    /// Reads what has arrived; hands a complete request to the workers. Returns false when the
    /// connection was closed meanwhile.
    bool read_request(std::map<std::uint64_t, Connection>::iterator it) {
        Connection& c = it->second;
        const std::size_t most = config_.max_request + Protocol::END_OF_REQUEST.size();
        for (;;) {
            if (c.data.size() >= most) {
                refuse_now(
                    c.fd.get(), c.uid,
                    "Request too large (over " + std::to_string(config_.max_request) + " bytes)");
                drain(it);
                return true;
            }
            const ssize_t n = recv(c.fd.get(), read_buffer_,
                                   std::min(sizeof read_buffer_, most - c.data.size()), 0);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
                close_connection(it);  // reset by the peer: nobody to answer
                return false;
            }
            if (n == 0) {
                refuse_now(c.fd.get(), c.uid, "Request ended before the end-of-request marker");
                close_connection(it);
                return false;
            }
            c.data.append(read_buffer_, static_cast<std::size_t>(n));
            const auto marker = std::string_view(c.data).find(Protocol::END_OF_REQUEST, c.scanned);
            if (marker != std::string_view::npos) {
                c.data.resize(marker);
                hand_over(it);
                return true;
            }
            c.scanned = c.data.size() >= Protocol::END_OF_REQUEST.size() - 1
                            ? c.data.size() - (Protocol::END_OF_REQUEST.size() - 1)
                            : 0;
        }
    }

    /// After an early answer: the client is still sending, and a close now would reset the
    /// connection under it before it reads the answer. Take in and drop the rest of the request
    /// until the client ends it (or its time is up), then close.
    void drain(std::map<std::uint64_t, Connection>::iterator it) {
        Connection& c = it->second;
        shutdown(c.fd.get(), SHUT_WR);
        c.state = State::draining;
        c.data = std::string();
        if (!c.watched) {
            watch(it->first, c.fd.get(), EPOLLIN, EPOLL_CTL_ADD);
            c.watched = true;
        }
        discard(it);
    }

    void discard(std::map<std::uint64_t, Connection>::iterator it) {
        for (;;) {
            const ssize_t n = recv(it->second.fd.get(), read_buffer_, sizeof read_buffer_, 0);
            if (n > 0) continue;
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            close_connection(it);
            return;
        }
    }

    void hand_over(std::map<std::uint64_t, Connection>::iterator it) {
        Connection& c = it->second;
        if (c.watched) {
            epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, c.fd.get(), nullptr);
            c.watched = false;
        }
        c.state = State::working;
        timers_.erase({c.deadline, it->first});
        // Installs wait for the disk; fetches must not wait behind them. Routing only: a request
        // sent to the other pool is served all the same.
        Pool& pool = c.data.find(SAVE_HINT) != std::string::npos ? disk_ : quick_;
        {
            std::lock_guard hold(pool.mutex);
            pool.jobs.push_back(Job{it->first, c.uid, c.fd.get(), std::move(c.data)});
        }
        c.data.clear();
        pool.ready.notify_one();
    }

    void write_rest(std::map<std::uint64_t, Connection>::iterator it) {
        Connection& c = it->second;
        const auto sent = send_now(c.fd.get(), std::string_view(c.data).substr(c.sent));
        if (!sent) {
            close_connection(it);
            return;
        }
        c.sent += *sent;
        if (c.sent == c.data.size()) close_connection(it);
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
            if (it == connections_.end()) continue;
            Connection& c = it->second;
            if (d.closed) {
                // Its number may already belong to a newer connection.
                c.fd.acquire();
                close_connection(it);
                continue;
            }
            if (stopping_ || Clock::now() >= c.deadline) {
                close_connection(it);
                continue;
            }
            c.state = State::writing;
            c.data = std::move(d.rest);
            c.sent = 0;
            timers_.insert({c.deadline, it->first});
            watch(it->first, c.fd.get(), EPOLLOUT, EPOLL_CTL_ADD);
            c.watched = true;
        }
    }

    void on_event(std::uint64_t id) {
        auto it = connections_.find(id);
        if (it == connections_.end()) return;
        if (it->second.state == State::reading) {
            read_request(it);
        } else if (it->second.state == State::writing) {
            write_rest(it);
        } else if (it->second.state == State::draining) {
            discard(it);
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
                const auto seconds = std::chrono::duration<double>(config_.time_limit).count();
                std::string limit = std::to_string(seconds);
                limit.erase(limit.find_last_not_of('0') + 1);
                if (limit.back() == '.') limit.pop_back();
                refuse_now(it->second.fd.get(), it->second.uid,
                           "Request not complete within " + limit + " seconds");
            }
            close_connection(it);
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
        while (!stopping_) {
            const int n = epoll_wait(epoll_.get(), events, 64, timeout_ms(Clock::now()));
            if (n < 0 && errno != EINTR) {
                throw Tarvok::Error(std::string("epoll_wait failed: ") + std::strerror(errno));
            }
            settle_finished();
            for (int i = 0; i < n && !stopping_; ++i) {
                const std::uint64_t tag = events[i].data.u64;
                if (tag == LISTENER) {
                    accept_ready();
                } else if (tag == WAKE) {
                    woken();
                } else {
                    on_event(tag);
                }
            }
            expire(Clock::now());
        }
        // Stop taking in; answer what the workers already have, then let everything go.
        epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, listen_fd_, nullptr);
        stop_workers();
        settle_finished();
        connections_.clear();
        timers_.clear();
        per_uid_.clear();
    }

    int listen_fd_;
    ServerConfig config_;
    char read_buffer_[READ_CHUNK];
    UniqueFd epoll_;
    UniqueFd wake_;
    std::atomic<bool> stopping_{false};
    bool accepting_ = true;

    std::map<std::uint64_t, Connection> connections_;
    std::set<std::pair<Clock::time_point, std::uint64_t>> timers_;
    std::unordered_map<uid_t, std::size_t> per_uid_;
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
