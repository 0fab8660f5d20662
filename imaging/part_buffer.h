// Owner of one image part's bytes, and a small pool that lets a job reuse part buffers instead of
// paying for fresh pages on every part.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
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

// Buffers given back are handed out again to later parts; at most `keep` are held idle.
class PartBufferPool {
public:
    explicit PartBufferPool(size_t keep) : keep_(keep) {}
    // An idle buffer of at least `capacity` bytes, or a fresh one; invalid when memory is short.
    PartBuffer take(size_t capacity);
    void give(PartBuffer buffer);

private:
    std::mutex lock_;
    size_t keep_;
    std::vector<PartBuffer> idle_;  // guarded by lock_
};
