// Where text codecs write their results. The calling frame hands out the
// buffer of the interpreter object it will return, so results are written
// once, in place; other callers collect the bytes in a std::string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/types.hpp"

namespace vantrel {

// Results at least this large are filled with the host's lock released: the
// fill touches nothing but the input and the buffer, and other threads may
// run meanwhile.
inline constexpr std::size_t kUnlockedFill = std::size_t{1} << 16;

// A host that can let other threads run while a long fill works on plain
// memory (the interpreter, by releasing its global lock).
class HostLock {
 public:
  virtual void release_host() {}
  virtual void reacquire_host() {}

  template <class Fill>
  void run(std::size_t bytes, Fill&& fill) {
    if (bytes < kUnlockedFill) {
      fill();
      return;
    }
    // The host is taken back on every path, a throwing fill included.
    struct Reacquire {
      HostLock& host;
      ~Reacquire() { host.reacquire_host(); }
    };
    release_host();
    const Reacquire reacquire{*this};
    fill();
  }

 protected:
  ~HostLock() = default;
};

class ByteSink : public HostLock {
 public:
  // The result's buffer of exactly `size` bytes. Throws std::bad_alloc when
  // it cannot be had. Called at most once per result.
  virtual char* allocate(std::size_t size) = 0;

  template <class Fill>
  void write(std::size_t size, Fill fill) {
    char* out = allocate(size);
    run(size, [&] { fill(out); });
  }
  void copy(std::string_view bytes) {
    char* out = allocate(bytes.size());
    if (!bytes.empty()) run(bytes.size(), [&] { std::memcpy(out, bytes.data(), bytes.size()); });
  }

 protected:
  ~ByteSink() = default;
};

class StringSink final : public ByteSink {
 public:
  char* allocate(std::size_t size) override {
    bytes.resize(size);
    return bytes.data();
  }
  std::string bytes;
};

// Decoders a host may have of its own, which give exactly the text the
// decoders here give for well-formed input and refuse the rest.
enum class NativeCodec : std::uint8_t { Utf8, Utf16Little, Utf16Big, Utf32Little, Utf32Big };

// Decoded text as the interpreter stores it: one unit per code point, of 1
// byte when every code point is below U+0100, 2 below U+10000, else 4.
class TextSink : public HostLock {
 public:
  // Room for `length` code points. `max_code_point` must be the exact
  // largest one: it fixes the unit size and whether the text is ASCII.
  virtual void* allocate(std::size_t length, char32_t max_code_point) = 0;

  // Lets the host decode `bytes` with its own codec. True when it did (the
  // result is complete); false when it has no such codec or the input is
  // malformed, having written nothing: the caller then decodes, and words
  // the failure, itself.
  virtual bool decode_natively(NativeCodec, ByteSpan) { return false; }

  // Calls `fill` with a pointer to the units of the right size (uint8_t,
  // char16_t or char32_t).
  template <class Fill>
  void write(std::size_t length, char32_t max_code_point, Fill fill) {
    void* units = allocate(length, max_code_point);
    if (max_code_point < 0x100) {
      run(length, [&] { fill(static_cast<std::uint8_t*>(units)); });
    } else if (max_code_point < 0x10000) {
      run(2 * length, [&] { fill(static_cast<char16_t*>(units)); });
    } else {
      run(4 * length, [&] { fill(static_cast<char32_t*>(units)); });
    }
  }

 protected:
  ~TextSink() = default;
};

}  // namespace vantrel
