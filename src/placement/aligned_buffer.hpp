// A growable block of bytes on a 64-byte boundary, as Arrow recommends for
// column buffers (whole cache lines, aligned vector loads). Never empty: even
// a zero-length buffer has an address, which consumers of Arrow arrays may
// require.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace vantrel {

class AlignedBuffer {
 public:
  static constexpr std::size_t kAlignment = 64;

  AlignedBuffer() = default;
  explicit AlignedBuffer(std::size_t size) { resize(size); }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  AlignedBuffer(AlignedBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  AlignedBuffer& operator=(AlignedBuffer&& other) noexcept {
    if (this != &other) {
      free();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~AlignedBuffer() { free(); }

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

  // Keeps the first min(size, new size) bytes; new bytes are left
  // uninitialised. Throws std::bad_alloc.
  void resize(std::size_t size) {
    if (size > capacity_ || data_ == nullptr) reserve(size > capacity_ ? grown(size) : size);
    size_ = size;
  }
  // Room for `extra` more bytes at the end; returns where they start.
  std::uint8_t* extend(std::size_t extra) {
    const std::size_t old = size_;
    resize(old + extra);
    return data_ + old;
  }
  void shrink(std::size_t size) {
    if (size < size_) size_ = size;
  }
  void reserve(std::size_t capacity) {
    if (capacity < kAlignment) capacity = kAlignment;
    if (data_ != nullptr && capacity <= capacity_) return;
    auto* fresh = static_cast<std::uint8_t*>(::operator new(capacity, std::align_val_t{kAlignment}));
    if (size_ != 0) std::memcpy(fresh, data_, size_);
    free();
    data_ = fresh;
    capacity_ = capacity;
  }

 private:
  std::size_t grown(std::size_t needed) const {
    const std::size_t doubled = capacity_ * 2;
    return needed > doubled ? needed : doubled;
  }
  void free() {
    if (data_ != nullptr) ::operator delete(data_, std::align_val_t{kAlignment});
    data_ = nullptr;
  }

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace vantrel
