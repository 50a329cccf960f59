// Whole-buffer loops over text units shared by the text encoders: converting
// units one for one (widening, narrowing, byte order), and the scans that
// measure or check text before it is converted. Each has a plain version
// (SSE2 on x86-64) and, where the processor has it, an AVX2 version of the
// same loop chosen once at load time; both give the same results.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel::kernels {

// Writes `count` units of `in` as units of `sizeof(Out)` bytes in the given
// byte order. A narrowing conversion keeps the low bits: callers only narrow
// units known to fit.
void convert_units(const std::uint8_t* in, std::size_t count, char* out, int out_size, bool little);
void convert_units(const char16_t* in, std::size_t count, char* out, int out_size, bool little);
void convert_units(const char32_t* in, std::size_t count, char* out, int out_size, bool little);

// The largest unit (0 for none).
char32_t max_unit(const std::uint8_t* in, std::size_t count);
char32_t max_unit(const char16_t* in, std::size_t count);
char32_t max_unit(const char32_t* in, std::size_t count);

// Whether any unit is a surrogate (U+D800..U+DFFF).
bool has_surrogate(const char16_t* in, std::size_t count);
bool has_surrogate(const char32_t* in, std::size_t count);

// How many units are at least `threshold`.
std::size_t count_at_least(const std::uint8_t* in, std::size_t count, char32_t threshold);
std::size_t count_at_least(const char16_t* in, std::size_t count, char32_t threshold);
std::size_t count_at_least(const char32_t* in, std::size_t count, char32_t threshold);

// The bytes of UTF-8 that the units take (each unit a Unicode scalar value).
std::size_t utf8_size(const std::uint8_t* in, std::size_t count);
std::size_t utf8_size(const char16_t* in, std::size_t count);
std::size_t utf8_size(const char32_t* in, std::size_t count);

// Whether the AVX2 versions are in use (for tests that compare the two).
bool avx2_in_use();
// Chooses the plain versions (false) or, where available, AVX2 (true).
void use_avx2(bool wanted);

}  // namespace vantrel::kernels
