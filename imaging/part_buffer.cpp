// Part buffers come straight from the large-page allocator of the platform layer; the pool keeps
// them between parts and jobs, within a byte budget, and a reaper thread gives back the ones left
// idle.
#include "imaging/part_buffer.h"

#include <algorithm>
#include <string>
#include <utility>

#include "core/log.h"
#include "core/periods.h"
#include "platform/memory.h"
#include "platform/thread.h"

PartBuffer::PartBuffer(size_t capacity) {
    // A zero-length part still gets a real (one-page) buffer, so that valid() means "usable".
    size_t want = capacity ? capacity : 1;
    data_ = static_cast<uint8_t*>(mem_alloc_large(want));
    capacity_ = data_ ? capacity : 0;
}

PartBuffer::~PartBuffer() {
    if (data_) mem_free_large(data_, capacity_ ? capacity_ : 1);
}

PartBuffer::PartBuffer(PartBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      size_(std::exchange(other.size_, 0)) {}

PartBuffer& PartBuffer::operator=(PartBuffer&& other) noexcept {
    if (this != &other) {
        if (data_) mem_free_large(data_, capacity_ ? capacity_ : 1);
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

PartBufferPool::PartBufferPool(uint64_t budget, uint32_t idle_ms) : budget_(budget), idle_time_(idle_ms) {}

PartBufferPool::~PartBufferPool() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    reaper_wake_.notify_all();
    if (reaper_) reaper_->join();
}

PartBuffer PartBufferPool::take(size_t capacity, size_t min_count) {
    std::unique_lock<std::mutex> guard(lock_);
    const uint64_t limit = std::max<uint64_t>(budget_, uint64_t{capacity} * std::max<size_t>(min_count, 1));
    std::vector<PartBuffer> released;  // unmapped outside the lock, as `guard` is let go first
    // Idle buffers give way, the largest first, while the pool holds more than the limit.
    auto shed = [&](uint64_t wanted) {
        while (!idle_.empty() && in_use_ + idle_bytes_ + wanted > limit) {
            auto largest = std::max_element(idle_.begin(), idle_.end(), [](const Idle& a, const Idle& b) {
                return a.buffer.capacity() < b.buffer.capacity();
            });
            idle_bytes_ -= largest->buffer.capacity();
            released.push_back(std::move(largest->buffer));
            idle_.erase(largest);
        }
    };
    for (;;) {
        // The smallest idle buffer that holds the part. A larger one is still better than fresh
        // memory: its pages are there already, and the part touches only what it fills.
        auto fit = idle_.end();
        for (auto it = idle_.begin(); it != idle_.end(); ++it) {
            const size_t have = it->buffer.capacity();
            if (have >= capacity && (fit == idle_.end() || have < fit->buffer.capacity())) fit = it;
        }
        if (fit != idle_.end()) {
            PartBuffer found = std::move(fit->buffer);
            idle_.erase(fit);
            idle_bytes_ -= found.capacity();
            in_use_ += found.capacity();
            shed(0);
            guard.unlock();
            found.set_size(0);
            return found;
        }
        shed(capacity);
        if (in_use_ + idle_bytes_ + capacity <= limit) {
            in_use_ += capacity;
            guard.unlock();
            released.clear();
            PartBuffer fresh(capacity);
            if (!fresh.valid()) {
                guard.lock();
                in_use_ -= capacity;
                space_.notify_all();
            }
            return fresh;
        }
        guard.unlock();
        released.clear();
        guard.lock();
        if (in_use_ + idle_bytes_ + capacity > limit && idle_.empty()) space_.wait(guard);
    }
}

void PartBufferPool::give(PartBuffer buffer) {
    if (!buffer.valid()) return;
    std::lock_guard<std::mutex> guard(lock_);
    const size_t capacity = buffer.capacity();
    in_use_ -= std::min<uint64_t>(in_use_, capacity);
    idle_bytes_ += capacity;
    idle_.push_back({std::move(buffer), std::chrono::steady_clock::now()});
    if (!reaper_ && !stopping_) {
        std::string error;
        reaper_ = thread_spawn([this] { reap(); }, &error);
        if (!reaper_) log_write(LOG_WARN, "imaging: idle part buffers stay held: %s", error.c_str());
    }
    space_.notify_all();
    reaper_wake_.notify_all();
}

void PartBufferPool::reap() {
    std::unique_lock<std::mutex> guard(lock_);
    while (!stopping_) {
        if (idle_.empty()) {
            reaper_wake_.wait(guard);
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        auto oldest = now;
        std::vector<PartBuffer> released;
        for (auto it = idle_.begin(); it != idle_.end();) {
            if (now - it->since >= idle_time_) {
                idle_bytes_ -= it->buffer.capacity();
                released.push_back(std::move(it->buffer));
                it = idle_.erase(it);
            } else {
                oldest = std::min(oldest, it->since);
                ++it;
            }
        }
        if (!released.empty()) {
            guard.unlock();
            released.clear();
            guard.lock();
            continue;
        }
        reaper_wake_.wait_until(guard, oldest + idle_time_);
    }
}

uint64_t PartBufferPool::held_bytes() {
    std::lock_guard<std::mutex> guard(lock_);
    return in_use_ + idle_bytes_;
}

size_t PartBufferPool::idle_count() {
    std::lock_guard<std::mutex> guard(lock_);
    return idle_.size();
}

uint64_t part_buffer_budget(uint64_t physical) {
    constexpr uint64_t kBudget = 3ull << 29;  // 1.5 GiB
    return physical ? std::min(kBudget, physical / 4) : kBudget;
}

PartBufferPool& part_buffer_pool() {
    // Never destroyed: detached job threads may give buffers back while the process ends.
    static PartBufferPool* const pool = new PartBufferPool(part_buffer_budget(mem_physical_total()), period_ms(60000));
    return *pool;
}
