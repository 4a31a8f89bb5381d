#include "Turns.hpp"

#include <utility>

namespace Tvwrapd {

void Turns::add(Job job) {
    const uid_t uid = job.uid;
    auto& queue = waiting_[uid];
    if (queue.empty() && !out_.count(uid)) line_.push_back(uid);
    queue.push_back(std::move(job));
}

Job Turns::take() {
    const uid_t uid = line_.front();
    line_.pop_front();
    const auto queue = waiting_.find(uid);
    Job job = std::move(queue->second.front());
    queue->second.pop_front();
    if (queue->second.empty()) waiting_.erase(queue);
    out_.insert(uid);
    return job;
}

bool Turns::done(uid_t uid) {
    kept_.erase(uid);
    if (out_.erase(uid) == 0 || !waiting_.count(uid)) return false;
    line_.push_back(uid);
    return true;
}

bool Turns::claim(uid_t uid) {
    if (out_.count(uid) || waiting_.count(uid)) return false;
    out_.insert(uid);
    return true;
}

void Turns::keep(uid_t uid) {
    if (out_.count(uid)) kept_.insert(uid);
}

void Turns::done_kept() {
    for (const uid_t uid : kept_) {
        out_.erase(uid);
        if (waiting_.count(uid)) line_.push_back(uid);
    }
    kept_.clear();
}

}  // namespace Tvwrapd
