// A growable block of bytes on a 64-byte boundary, as Arrow recommends for
// column buffers (whole cache lines, aligned vector loads). Never empty: even
// a zero-length buffer has an address, which consumers of Arrow arrays may
// require.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vantrel {

// Where column buffers come from: malloc and free, unless the host sets
// its own (the binding sets the interpreter's raw allocator, so that its
// memory accounting, tracemalloc, sees the columns as it sees numpy's
// arrays). Both must be callable on any thread; allocate returns nullptr
// when it cannot.
struct BufferAllocator {
  void* (*allocate)(std::size_t size) = std::malloc;
  void (*free)(void* block) = std::free;
};
inline BufferAllocator buffer_allocator;

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
    if (data_ == nullptr || extra > capacity_ - old) [[unlikely]]
      grow_to(old + extra);
    size_ = old + extra;
    return data_ + old;
  }
  // The growth of extend(), out of the line of its loops.
  [[gnu::noinline]] void grow_to(std::size_t size) {
    reserve(size > capacity_ ? grown(size) : size);
  }
  void shrink(std::size_t size) {
    if (size < size_) size_ = size;
  }
  void reserve(std::size_t capacity) {
    if (capacity < kAlignment) capacity = kAlignment;
    if (data_ != nullptr && capacity <= capacity_) return;
    std::uint8_t* fresh = allocate_aligned(capacity);
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
  // `size` bytes on a kAlignment boundary, with room before them for the
  // address the allocator returned. Throws std::bad_alloc.
  static std::uint8_t* allocate_aligned(std::size_t size) {
    constexpr std::size_t kExtra = kAlignment + sizeof(void*);
    if (size > SIZE_MAX - kExtra) throw std::bad_alloc();
    void* block = buffer_allocator.allocate(size + kExtra);
    if (block == nullptr) throw std::bad_alloc();
    const auto address = reinterpret_cast<std::uintptr_t>(block) + sizeof(void*);
    auto* aligned = reinterpret_cast<std::uint8_t*>((address + kAlignment - 1) & ~(kAlignment - 1));
    std::memcpy(aligned - sizeof block, &block, sizeof block);
    advise_huge_pages(aligned, size);
    return aligned;
  }

  // Large buffers ask for huge pages where the system gives them only on
  // request, as numpy does for its arrays: a column of tens of megabytes
  // then costs a few page faults, not thousands.
  static void advise_huge_pages(std::uint8_t* data, std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t kHugePage = std::size_t{1} << 21;
    if (size < 2 * kHugePage) return;
    const auto first = (reinterpret_cast<std::uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
    const auto last = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(kHugePage - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
  }

  void free() {
    if (data_ == nullptr) return;
    // The allocator's own block starts where the word before data_ says.
    void* block;
    std::memcpy(&block, data_ - sizeof block, sizeof block);
    buffer_allocator.free(block);
    data_ = nullptr;
  }

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace vantrel
