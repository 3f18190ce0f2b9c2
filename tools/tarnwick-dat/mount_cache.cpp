#include "mount_cache.hpp"

#include <algorithm>
#include <cstring>

namespace tarnwick_dat_tool {

namespace {

std::size_t copy_from(const tarnwick_dat::Bytes& bytes, std::uint64_t offset,
                      std::span<std::uint8_t> out) {
    if (offset >= bytes.size()) {
        return 0;
    }
    const std::size_t count =
        std::min<std::size_t>(out.size(), bytes.size() - static_cast<std::size_t>(offset));
    std::memcpy(out.data(), bytes.data() + offset, count);
    return count;
}

}  // namespace

ContentBudget::Outcome ContentBudget::read_kept(
    std::uint64_t key, std::size_t need, const std::function<bool(tarnwick_dat::Bytes&)>& fetch,
    std::uint64_t offset, std::span<std::uint8_t> out, std::size_t& copied) {
    copied = 0;
    std::unique_lock lock(mutex_);
    for (auto found = kept_.find(key); found != kept_.end(); found = kept_.find(key)) {
        if (found->second.ready) {
            recent_.splice(recent_.begin(), recent_, found->second.recent);
            copied = copy_from(found->second.bytes, offset, out);
            return Outcome::Ok;
        }
        changed_.wait(lock);  // another thread is fetching it
    }
    if (need > limit_ || limit_ - need < kKeptOverhead) {
        return Outcome::TooLarge;
    }
    const std::size_t charge = need + kKeptOverhead;
    kept_.emplace(key, Kept{});  // pending: others wait for it
    make_room(lock, charge);
    used_ += charge;
    lock.unlock();

    tarnwick_dat::Bytes bytes;
    const bool fetched = fetch(bytes);
    bytes.shrink_to_fit();

    lock.lock();
    used_ -= charge;
    Kept& slot = kept_.at(key);
    if (!fetched || bytes.size() > need) {
        kept_.erase(key);
        changed_.notify_all();
        return Outcome::Failed;
    }
    used_ += bytes.size() + kKeptOverhead;
    slot.bytes = std::move(bytes);
    slot.ready = true;
    recent_.push_front(key);
    slot.recent = recent_.begin();
    copied = copy_from(slot.bytes, offset, out);
    changed_.notify_all();
    return Outcome::Ok;
}

bool ContentBudget::reserve(std::size_t bytes) {
    if (bytes > limit_) {
        return false;
    }
    std::unique_lock lock(mutex_);
    make_room(lock, bytes);
    used_ += bytes;
    return true;
}

void ContentBudget::release(std::size_t bytes) {
    const std::lock_guard lock(mutex_);
    used_ -= bytes;
    changed_.notify_all();
}

std::size_t ContentBudget::used() const {
    const std::lock_guard lock(mutex_);
    return used_;
}

void ContentBudget::make_room(std::unique_lock<std::mutex>& lock, std::size_t bytes) {
    while (limit_ - used_ < bytes) {
        if (recent_.empty()) {
            // Only reads in flight hold the rest; each gives it back when
            // it ends, and none waits while holding any.
            changed_.wait(lock);
            continue;
        }
        const auto oldest = kept_.find(recent_.back());
        used_ -= oldest->second.bytes.size() + kKeptOverhead;
        recent_.pop_back();
        kept_.erase(oldest);
    }
}

std::optional<tarnwick_dat::FileReader> ReaderPool::take(std::uint64_t key, std::uint64_t offset) {
    const std::lock_guard lock(mutex_);
    auto best = idle_.end();
    for (auto at = idle_.begin(); at != idle_.end(); ++at) {
        if (at->first == key && at->second.position() <= offset &&
            (best == idle_.end() || at->second.position() > best->second.position())) {
            best = at;
        }
    }
    if (best == idle_.end()) {
        return std::nullopt;
    }
    std::optional<tarnwick_dat::FileReader> reader(std::move(best->second));
    idle_.erase(best);
    return reader;
}

void ReaderPool::give(std::uint64_t key, tarnwick_dat::FileReader reader) {
    const std::lock_guard lock(mutex_);
    if (capacity_ == 0) {
        return;
    }
    idle_.emplace_front(key, std::move(reader));
    if (idle_.size() > capacity_) {
        idle_.pop_back();
    }
}

std::size_t ReaderPool::size() const {
    const std::lock_guard lock(mutex_);
    return idle_.size();
}

}  // namespace tarnwick_dat_tool
