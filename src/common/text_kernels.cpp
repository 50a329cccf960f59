#include "common/text_kernels.hpp"

#include <atomic>
#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define VANTREL_HAVE_AVX2_PATH 1
#define VANTREL_AVX2 __attribute__((target("avx2")))
#else
#define VANTREL_HAVE_AVX2_PATH 0
#define VANTREL_AVX2
#endif

namespace vantrel::kernels {

namespace {

// The loops are written plainly, with no branch that depends on the data, so
// that the compiler vectorises them; the AVX2 entry points below inline the
// same templates under a wider target.

template <class T>
[[gnu::always_inline]] inline T byte_swapped(T value) {
  if constexpr (sizeof(T) == 1) return value;
  if constexpr (sizeof(T) == 2) return static_cast<T>(__builtin_bswap16(value));
  if constexpr (sizeof(T) == 4) return static_cast<T>(__builtin_bswap32(value));
}

template <class In, class Out, bool Swap>
[[gnu::always_inline]] inline void convert_loop(const In* in, std::size_t count, char* out) {
  for (std::size_t i = 0; i < count; ++i) {
    Out unit = static_cast<Out>(in[i]);
    if constexpr (Swap && sizeof(In) == 1) {
      // A single byte moves to the far end: a shift, cheaper than a swap.
      unit = static_cast<Out>(unit << (8 * (sizeof(Out) - 1)));
    } else if constexpr (Swap) {
      unit = byte_swapped(unit);
    }
    std::memcpy(out + i * sizeof(Out), &unit, sizeof unit);
  }
}

template <class In>
[[gnu::always_inline]] inline char32_t max_loop(const In* in, std::size_t count) {
  In largest = 0;
  for (std::size_t i = 0; i < count; ++i) largest = in[i] > largest ? in[i] : largest;
  return largest;
}

template <class In>
[[gnu::always_inline]] inline bool surrogate_loop(const In* in, std::size_t count) {
  // Blocks, so that a surrogate near the front ends the scan early.
  constexpr std::size_t kBlock = 256;
  for (std::size_t start = 0; start < count; start += kBlock) {
    const std::size_t end = count - start < kBlock ? count : start + kBlock;
    In found = 0;
    for (std::size_t i = start; i < end; ++i) {
      found |= static_cast<In>(static_cast<In>(in[i] - 0xD800) < 0x800);
    }
    if (found != 0) return true;
  }
  return false;
}

// Counts in lanes of the input's width; blocks short enough that a lane
// cannot overflow.
template <class In, class Counter>
[[gnu::always_inline]] inline std::size_t count_loop(const In* in, std::size_t count,
                                                     Counter counter) {
  constexpr std::size_t kBlock = sizeof(In) == 1 ? 128 : 8192;
  std::size_t total = 0;
  for (std::size_t start = 0; start < count; start += kBlock) {
    const std::size_t end = count - start < kBlock ? count : start + kBlock;
    In sum = 0;
    for (std::size_t i = start; i < end; ++i) sum += counter(in[i]);
    total += sum;
  }
  return total;
}

template <class In>
[[gnu::always_inline]] inline std::size_t at_least_loop(const In* in, std::size_t count,
                                                        char32_t threshold) {
  if (threshold > static_cast<char32_t>(static_cast<In>(~In{0}))) return 0;
  const auto limit = static_cast<In>(threshold);
  return count_loop(in, count, [limit](In unit) { return static_cast<In>(unit >= limit); });
}

template <class In>
[[gnu::always_inline]] inline std::size_t utf8_size_loop(const In* in, std::size_t count) {
  // One byte each, one more from U+0080, U+0800 and U+10000 up.
  return count + count_loop(in, count, [](In unit) {
           In extra = static_cast<In>(unit >= 0x80);
           if constexpr (sizeof(In) > 1) extra = static_cast<In>(extra + (unit >= 0x800));
           if constexpr (sizeof(In) > 2) extra = static_cast<In>(extra + (unit >= 0x10000));
           return extra;
         });
}

// Every entry point, instantiated once for each path.
#define VANTREL_TEXT_KERNELS(ATTRIBUTE)                                                       \
  template <class In, class Out, bool Swap>                                                   \
  ATTRIBUTE void convert(const In* in, std::size_t count, char* out) {                        \
    convert_loop<In, Out, Swap>(in, count, out);                                              \
  }                                                                                           \
  template <class In>                                                                         \
  ATTRIBUTE char32_t max_unit(const In* in, std::size_t count) {                              \
    return max_loop(in, count);                                                               \
  }                                                                                           \
  template <class In>                                                                         \
  ATTRIBUTE bool has_surrogate(const In* in, std::size_t count) {                             \
    return surrogate_loop(in, count);                                                         \
  }                                                                                           \
  template <class In>                                                                         \
  ATTRIBUTE std::size_t count_at_least(const In* in, std::size_t count, char32_t threshold) { \
    return at_least_loop(in, count, threshold);                                               \
  }                                                                                           \
  template <class In>                                                                         \
  ATTRIBUTE std::size_t utf8_size(const In* in, std::size_t count) {                          \
    return utf8_size_loop(in, count);                                                         \
  }

namespace plain {
VANTREL_TEXT_KERNELS()
}  // namespace plain

#if VANTREL_HAVE_AVX2_PATH
namespace avx2 {
VANTREL_TEXT_KERNELS(VANTREL_AVX2)
}  // namespace avx2

bool detect_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}
const bool kHasAvx2 = detect_avx2();
#else
namespace avx2 = plain;
constexpr bool kHasAvx2 = false;
#endif

// Checked once at load; a call that ran before would take the plain path,
// which gives the same results. Atomic because tests switch it while text
// may be encoded without the interpreter lock; a relaxed load is a plain
// load.
std::atomic<bool> use_avx2_path{kHasAvx2};

bool avx2_chosen() { return use_avx2_path.load(std::memory_order_relaxed); }

#undef VANTREL_TEXT_KERNELS

template <class In, class Out>
void convert_to(const In* in, std::size_t count, char* out, bool little) {
  const bool swap = little != (std::endian::native == std::endian::little);
  if (avx2_chosen()) {
    swap ? avx2::convert<In, Out, true>(in, count, out)
         : avx2::convert<In, Out, false>(in, count, out);
  } else {
    swap ? plain::convert<In, Out, true>(in, count, out)
         : plain::convert<In, Out, false>(in, count, out);
  }
}

template <class In>
void convert_any(const In* in, std::size_t count, char* out, int out_size, bool little) {
  switch (out_size) {
    case 1: return convert_to<In, std::uint8_t>(in, count, out, little);
    case 2: return convert_to<In, std::uint16_t>(in, count, out, little);
    default: return convert_to<In, std::uint32_t>(in, count, out, little);
  }
}

}  // namespace

void convert_units(const std::uint8_t* in, std::size_t count, char* out, int out_size,
                   bool little) {
  convert_any(in, count, out, out_size, little);
}
void convert_units(const char16_t* in, std::size_t count, char* out, int out_size, bool little) {
  convert_any(reinterpret_cast<const std::uint16_t*>(in), count, out, out_size, little);
}
void convert_units(const char32_t* in, std::size_t count, char* out, int out_size, bool little) {
  convert_any(reinterpret_cast<const std::uint32_t*>(in), count, out, out_size, little);
}

#define VANTREL_DISPATCH(CALL) return avx2_chosen() ? avx2::CALL : plain::CALL

char32_t max_unit(const std::uint8_t* in, std::size_t count) {
  VANTREL_DISPATCH(max_unit(in, count));
}
char32_t max_unit(const char16_t* in, std::size_t count) {
  VANTREL_DISPATCH(max_unit(reinterpret_cast<const std::uint16_t*>(in), count));
}
char32_t max_unit(const char32_t* in, std::size_t count) {
  VANTREL_DISPATCH(max_unit(reinterpret_cast<const std::uint32_t*>(in), count));
}

bool has_surrogate(const char16_t* in, std::size_t count) {
  VANTREL_DISPATCH(has_surrogate(reinterpret_cast<const std::uint16_t*>(in), count));
}
bool has_surrogate(const char32_t* in, std::size_t count) {
  VANTREL_DISPATCH(has_surrogate(reinterpret_cast<const std::uint32_t*>(in), count));
}

std::size_t count_at_least(const std::uint8_t* in, std::size_t count, char32_t threshold) {
  VANTREL_DISPATCH(count_at_least(in, count, threshold));
}
std::size_t count_at_least(const char16_t* in, std::size_t count, char32_t threshold) {
  VANTREL_DISPATCH(count_at_least(reinterpret_cast<const std::uint16_t*>(in), count, threshold));
}
std::size_t count_at_least(const char32_t* in, std::size_t count, char32_t threshold) {
  VANTREL_DISPATCH(count_at_least(reinterpret_cast<const std::uint32_t*>(in), count, threshold));
}

std::size_t utf8_size(const std::uint8_t* in, std::size_t count) {
  VANTREL_DISPATCH(utf8_size(in, count));
}
std::size_t utf8_size(const char16_t* in, std::size_t count) {
  VANTREL_DISPATCH(utf8_size(reinterpret_cast<const std::uint16_t*>(in), count));
}
std::size_t utf8_size(const char32_t* in, std::size_t count) {
  VANTREL_DISPATCH(utf8_size(reinterpret_cast<const std::uint32_t*>(in), count));
}

#undef VANTREL_DISPATCH

bool avx2_in_use() { return avx2_chosen(); }
void use_avx2(bool wanted) { use_avx2_path.store(wanted && kHasAvx2, std::memory_order_relaxed); }

}  // namespace vantrel::kernels
