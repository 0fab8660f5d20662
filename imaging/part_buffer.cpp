// Part buffers come straight from the large-page allocator of the platform layer.
#include "imaging/part_buffer.h"

#include <utility>

#include "platform/memory.h"

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

PartBuffer PartBufferPool::take(size_t capacity) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = idle_.begin(); it != idle_.end(); ++it) {
            if (it->capacity() >= capacity) {
                PartBuffer found = std::move(*it);
                idle_.erase(it);
                found.set_size(0);
                return found;
            }
        }
    }
    return PartBuffer(capacity);
}

void PartBufferPool::give(PartBuffer buffer) {
    if (!buffer.valid()) return;
    std::lock_guard<std::mutex> guard(lock_);
    if (idle_.size() < keep_) idle_.push_back(std::move(buffer));
    // Otherwise it is released here, as it goes out of scope.
}
