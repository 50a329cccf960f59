// Every checksum path must agree with the bit-at-a-time model and with the
// catalogue's check value over "123456789": the slice-by-8 tables and (for
// CRC-32C where the processor has it) the crc32 instruction, on random
// lengths and alignments. CRCs by parameters are compared the same way over
// random widths, polynomials and flags.
#include "common/checksums.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

int failures = 0;

void expect(bool ok, const std::string& what) {
  if (ok) return;
  if (++failures <= 20) std::printf("FAIL: %s\n", what.c_str());
}

std::string hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

void compare_paths(const vantrel::Checksum& checksum, std::mt19937_64& random) {
  std::vector<std::uint8_t> buffer(4096 + 16);
  for (auto& byte : buffer) byte = static_cast<std::uint8_t>(random());
  const std::string& name = checksum.algorithm().name;
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t offset = random() % 16;
    // Mostly short, some past the 768 bytes of one three-lane round.
    const std::size_t length = trial % 5 == 0 ? random() % 4096 : random() % 80;
    const vantrel::ByteSpan data(buffer.data() + offset, length);
    const std::uint64_t reference = checksum.compute_reference(data);
    const std::uint64_t tables = checksum.compute_tables(data);
    const std::uint64_t fast = checksum.compute(data);
    expect(tables == reference, name + " tables " + hex(tables) + " reference " + hex(reference) +
                                    " at length " + std::to_string(length));
    expect(fast == reference, name + " compute " + hex(fast) + " reference " + hex(reference) +
                                  " at length " + std::to_string(length));
  }
}

// Every length through the direct fold (up to 24 blocks), the wide fold
// (up to 64 blocks), the four-lane fold past them, and every place of the
// first block's end.
void compare_every_length(const vantrel::Checksum& checksum) {
  std::vector<std::uint8_t> buffer(1120);
  for (std::size_t i = 0; i < buffer.size(); ++i)
    buffer[i] = static_cast<std::uint8_t>(i * 167 + 13);
  for (std::size_t length = 0; length <= 1100; ++length) {
    const vantrel::ByteSpan data(buffer.data() + length % 7, length);
    expect(checksum.compute(data) == checksum.compute_reference(data),
           checksum.algorithm().name + " compute at every length, " + std::to_string(length));
  }
}

// Many ranges at once: every length up to 400 bytes (past the direct
// fold's reach), at random places, some ending at the buffer's end (where
// a range shorter than a block cannot be read as one) or starting at its
// start (where the wide fold's first block begins before it), in more than
// one stretch of the counting sort and in fours of unlike lengths.
void compare_many(const vantrel::Checksum& checksum, std::mt19937_64& random) {
  std::vector<std::uint8_t> buffer(2048);
  for (auto& byte : buffer) byte = static_cast<std::uint8_t>(random());
  std::vector<std::uint64_t> starts, sizes;
  for (std::uint64_t length = 0; length <= 400; ++length) {
    for (int copy = 0; copy < 3; ++copy) {
      sizes.push_back(length);
      const std::uint64_t room = buffer.size() - length;
      starts.push_back(copy == 0 ? room : copy == 1 ? 0 : random() % (room + 1));
    }
  }
  std::vector<std::uint64_t> values(starts.size());
  const vantrel::ByteSpan data(buffer.data(), buffer.size());
  checksum.compute_many(data, starts, sizes, values);
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const std::uint64_t one = checksum.compute_reference(data.subspan(starts[i], sizes[i]));
    expect(values[i] == one, checksum.algorithm().name + " compute_many over " +
                                 std::to_string(sizes[i]) + " bytes at " +
                                 std::to_string(starts[i]) + ": " + hex(values[i]) +
                                 ", reference " + hex(one));
  }
}

// Four ranges at once, as framing and layouts call it: lengths from the
// shortest it folds that way to 256 bytes, unlike or alike, some at the
// buffer's start and end, with `longest` as tight as the caller knows it.
void compare_four(const vantrel::Checksum& checksum, std::mt19937_64& random) {
  const std::size_t least = std::max<std::size_t>(checksum.four_at_once_least(), 1);
  std::vector<std::uint8_t> buffer(1024);
  for (auto& byte : buffer) byte = static_cast<std::uint8_t>(random());
  const vantrel::ByteSpan all(buffer.data(), buffer.size());
  for (int trial = 0; trial < 400; ++trial) {
    const std::size_t alike = trial % 3 == 0 ? least + random() % (257 - least) : 0;
    const std::uint8_t* data[4];
    std::size_t sizes[4], longest = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      sizes[k] = alike != 0 ? alike : least + random() % (257 - least);
      const std::size_t room = buffer.size() - sizes[k];
      const std::size_t at = trial % 4 == 1 ? (k % 2 == 0 ? 0 : room) : random() % (room + 1);
      data[k] = buffer.data() + at;
      longest = std::max(longest, sizes[k]);
    }
    std::uint64_t values[4];
    checksum.compute_four(data, sizes, values, trial % 2 == 0 ? longest : 256);
    for (std::size_t k = 0; k < 4; ++k) {
      const auto at = static_cast<std::size_t>(data[k] - buffer.data());
      const std::uint64_t one = checksum.compute_reference(all.subspan(at, sizes[k]));
      expect(values[k] == one, checksum.algorithm().name + " compute_four over " +
                                   std::to_string(sizes[k]) + " bytes at " + std::to_string(at) +
                                   " (longest " + std::to_string(longest) + "): " + hex(values[k]) +
                                   ", reference " + hex(one));
    }
  }
}

}  // namespace

int main() {
  std::mt19937_64 random(31);
  const std::string digits = "123456789";
  const vantrel::ByteSpan check_input(reinterpret_cast<const std::uint8_t*>(digits.data()),
                                      digits.size());
  for (const vantrel::NamedCheck& row : vantrel::named_checks()) {
    for (const auto vectors :
         {vantrel::Checksum::Vectors::Widest, vantrel::Checksum::Vectors::Narrow}) {
      const vantrel::Checksum checksum(row.make(), vectors);
      const std::string name(row.name);
      expect(checksum.compute_reference(check_input) == row.check,
             name + " reference check value " + hex(checksum.compute_reference(check_input)) +
                 ", catalogue " + hex(row.check));
      expect(checksum.compute(check_input) == row.check, name + " check value");
      compare_paths(checksum, random);
      if (checksum.algorithm().kind == vantrel::CheckKind::Crc) compare_every_length(checksum);
      compare_many(checksum, random);
      // The name finds the row; parameters find the same name.
      const auto by_name = vantrel::check_by_name(name);
      expect(by_name.has_value() && by_name->name == name, name + " by name");
    }
  }
  for (const char* alias : {"crc-32c", "CRC_16/CCITT_FALSE", "crc-16/kermit", "CRC-32"}) {
    expect(vantrel::check_by_name(alias).has_value(), std::string("alias ") + alias);
  }
  expect(!vantrel::check_by_name("CRC-17/NONE").has_value(), "unknown name refused");
  const auto hardware = vantrel::check_by_name("CRC-32C");
  if (vantrel::crc32c_hardware_available()) {
    expect(vantrel::Checksum(*hardware).uses_hardware(), "CRC-32C uses the crc32 instruction");
  }
  // Where the processor has PCLMULQDQ, the other CRCs fold: the comparisons
  // above then held that path to the model from 64 bytes on.
  const bool folds = vantrel::Checksum(*vantrel::check_by_name("CRC-16/IBM-3740")).uses_folding();
  std::printf("checksums: carry-less folding %s\n", folds ? "used" : "not available");
  const bool wide =
      vantrel::Checksum(*vantrel::check_by_name("CRC-16/IBM-3740")).uses_wide_folding();
  std::printf("checksums: 512-bit folding %s\n", wide ? "used" : "not available");

  // Random parameters, every width.
  for (std::uint32_t width = 3; width <= 64; ++width) {
    for (int round = 0; round < 4; ++round) {
      const std::uint64_t mask = width == 64 ? ~0ull : (1ull << width) - 1;
      const auto made =
          vantrel::crc_from_parameters(width, (random() & mask) | 1u, random() & mask,
                                       (round & 1) != 0, (round & 2) != 0, random() & mask);
      expect(made.has_value(), "parameters of width " + std::to_string(width));
      if (made) {
        for (const auto vectors :
             {vantrel::Checksum::Vectors::Widest, vantrel::Checksum::Vectors::Narrow}) {
          const vantrel::Checksum checksum(*made, vectors);
          compare_paths(checksum, random);
          compare_many(checksum, random);
          compare_four(checksum, random);
        }
      }
    }
  }
  expect(!vantrel::crc_from_parameters(16, 0x1020, 0, false, false, 0).has_value(),
         "even polynomial refused");
  expect(!vantrel::crc_from_parameters(8, 0x107, 0, false, false, 0).has_value(),
         "polynomial wider than the width refused");
  const auto named = vantrel::crc_from_parameters(16, 0x1021, 0xffff, false, false, 0);
  expect(named && named->name == "CRC-16/IBM-3740", "parameters of a catalogue CRC take its name");

  if (failures != 0) {
    std::printf("%d failures\n", failures);
    return 1;
  }
  std::printf("checksums: every path agrees\n");
  return 0;
}
