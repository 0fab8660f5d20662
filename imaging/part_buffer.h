// Owner of one image part's bytes, and the pool every imaging job takes its part buffers from.
// Fresh memory costs a page fault per page on first touch (on some virtual machines less than
// 0.5 GB/s), so buffers are kept for the next part and the next job, and handed back to the
// system only after an idle minute. The pool also bounds the memory of the parts in flight by
// bytes, whatever the part size.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class PartBuffer {
public:
    PartBuffer() = default;
    // Room for `capacity` bytes; check valid() afterwards.
    explicit PartBuffer(size_t capacity);
    ~PartBuffer();
    PartBuffer(PartBuffer&& other) noexcept;
    PartBuffer& operator=(PartBuffer&& other) noexcept;
    PartBuffer(const PartBuffer&) = delete;
    PartBuffer& operator=(const PartBuffer&) = delete;

    bool valid() const { return data_ != nullptr; }
    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t capacity() const { return capacity_; }
    // Bytes in use, at most capacity().
    size_t size() const { return size_; }
    void set_size(size_t size) { size_ = size <= capacity_ ? size : capacity_; }

private:
    uint8_t* data_ = nullptr;
    size_t capacity_ = 0;
    size_t size_ = 0;
};

class PartBufferPool {
public:
    // Holds at most `budget` bytes of buffers, in use and idle together; a buffer idle for
    // `idle_ms` is released.
    PartBufferPool(uint64_t budget, uint32_t idle_ms);
    // Every buffer taken must have been given back.
    ~PartBufferPool();
    PartBufferPool(const PartBufferPool&) = delete;
    PartBufferPool& operator=(const PartBufferPool&) = delete;

    // A buffer of at least `capacity` bytes: the smallest idle one that holds it, else a fresh one.
    // Waits while taking it would pass the budget, which is raised for this call to `min_count`
    // buffers of this capacity when it holds fewer: a pipeline with one buffer per stage always
    // moves. Idle buffers give way to it first. Invalid when the system has no memory for it.
    PartBuffer take(size_t capacity, size_t min_count);
    // Takes a buffer back (an invalid one is ignored).
    void give(PartBuffer buffer);

    uint64_t held_bytes();  // buffers in use and idle
    size_t idle_count();

private:
    struct Idle {
        PartBuffer buffer;
        std::chrono::steady_clock::time_point since;
    };
    void reap();

    const uint64_t budget_;
    const std::chrono::milliseconds idle_time_;
    std::mutex lock_;
    std::condition_variable space_;  // a buffer came back
    std::condition_variable reaper_wake_;
    uint64_t in_use_ = 0;  // bytes; these and the members below are guarded by lock_
    uint64_t idle_bytes_ = 0;
    std::vector<Idle> idle_;
    bool stopping_ = false;
    std::optional<std::thread> reaper_;  // started at the first buffer given back
};

// The pool of the imaging jobs: a budget of 1.5 GiB, or a quarter of the physical memory when that
// is less, and an idle minute (a waiting period: the test scale shortens it).
PartBufferPool& part_buffer_pool();

// That budget for a computer with this much physical memory (0: unknown).
uint64_t part_buffer_budget(uint64_t physical);
