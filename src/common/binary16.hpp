// IEEE 754 binary16 <-> binary32 conversions.
//
// Two implementations that must agree bit for bit, NaNs included: a portable
// one on integer bit patterns, and one on the x86 F16C instructions. The
// plain entry points pick the F16C one when the processor has it (checked once
// per process). Both are exposed so that tests can compare them.
#pragma once

#include <cstdint>

namespace vantrel {

// Nearest binary16, ties to even; 65520 and beyond become infinities, values
// up to 2^-25 signed zeros. A NaN keeps its sign and the top 10 bits of its
// fraction, and is quieted (bit 0x200 set).
std::uint16_t binary16_from_float(float value);

// Exact widening. A NaN keeps its sign and fraction (moved to the top of the
// binary32 fraction) and is quieted.
float binary16_to_float(std::uint16_t pattern);

std::uint16_t binary16_from_float_software(float value);
float binary16_to_float_software(std::uint16_t pattern);

// True when the processor (and operating system) support F16C. The hardware
// entry points below may only be called then.
bool binary16_hardware_available();
std::uint16_t binary16_from_float_hardware(float value);
float binary16_to_float_hardware(std::uint16_t pattern);

}  // namespace vantrel
