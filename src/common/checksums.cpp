#include "common/checksums.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#define VANTREL_HAVE_SSE42_PATH 1
#else
#define VANTREL_HAVE_SSE42_PATH 0
#endif

namespace vantrel {

namespace {

constexpr std::uint64_t mask_of(std::uint32_t width) {
  return width >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
}

// The low `width` bits of `value` in reverse order (per packet, so no loop
// over the bits).
constexpr std::uint64_t reflect(std::uint64_t value, std::uint32_t width) {
  std::uint64_t v = value;
  v = ((v >> 1) & 0x5555555555555555ull) | ((v & 0x5555555555555555ull) << 1);
  v = ((v >> 2) & 0x3333333333333333ull) | ((v & 0x3333333333333333ull) << 2);
  v = ((v >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((v & 0x0F0F0F0F0F0F0F0Full) << 4);
  v = std::byteswap(v);
  return v >> (64 - width);
}

CheckAlgorithm crc(std::string_view name, std::uint32_t width, std::uint64_t poly,
                   std::uint64_t init, bool refin, bool refout, std::uint64_t xorout) {
  CheckAlgorithm a;
  a.kind = CheckKind::Crc;
  a.width = width;
  a.poly = poly;
  a.init = init;
  a.refin = refin;
  a.refout = refout;
  a.xorout = xorout;
  a.name = name;
  return a;
}

CheckAlgorithm sum(std::string_view name, CheckKind kind, std::uint32_t width, bool negate,
                   std::uint64_t xorout) {
  CheckAlgorithm a;
  a.kind = kind;
  a.width = width;
  a.negate = negate;
  a.xorout = xorout;
  a.name = name;
  return a;
}

// One row per algorithm: the catalogue name, its parameters, and the check
// value over "123456789" that the tests hold every path to.
#define VANTREL_CRC(NAME, W, POLY, INIT, REFIN, REFOUT, XOROUT, CHECK)          \
  NamedCheck {                                                                  \
    NAME, [] { return crc(NAME, W, POLY, INIT, REFIN, REFOUT, XOROUT); }, CHECK \
  }
#define VANTREL_SUM(NAME, KIND, W, NEGATE, XOROUT, CHECK)                     \
  NamedCheck {                                                                \
    NAME, [] { return sum(NAME, CheckKind::KIND, W, NEGATE, XOROUT); }, CHECK \
  }

const NamedCheck kNamedChecks[] = {
    VANTREL_CRC("CRC-3/GSM", 3, 0x3, 0x0, false, false, 0x7, 0x4),
    VANTREL_CRC("CRC-4/G-704", 4, 0x3, 0x0, true, true, 0x0, 0x7),
    VANTREL_CRC("CRC-5/USB", 5, 0x05, 0x1f, true, true, 0x1f, 0x19),
    VANTREL_CRC("CRC-5/EPC-C1G2", 5, 0x09, 0x09, false, false, 0x00, 0x00),
    VANTREL_CRC("CRC-6/G-704", 6, 0x03, 0x00, true, true, 0x00, 0x06),
    VANTREL_CRC("CRC-7/MMC", 7, 0x09, 0x00, false, false, 0x00, 0x75),
    VANTREL_CRC("CRC-8/SMBUS", 8, 0x07, 0x00, false, false, 0x00, 0xf4),
    VANTREL_CRC("CRC-8/AUTOSAR", 8, 0x2f, 0xff, false, false, 0xff, 0xdf),
    VANTREL_CRC("CRC-8/BLUETOOTH", 8, 0xa7, 0x00, true, true, 0x00, 0x26),
    VANTREL_CRC("CRC-8/CDMA2000", 8, 0x9b, 0xff, false, false, 0x00, 0xda),
    VANTREL_CRC("CRC-8/DARC", 8, 0x39, 0x00, true, true, 0x00, 0x15),
    VANTREL_CRC("CRC-8/DVB-S2", 8, 0xd5, 0x00, false, false, 0x00, 0xbc),
    VANTREL_CRC("CRC-8/I-432-1", 8, 0x07, 0x00, false, false, 0x55, 0xa1),
    VANTREL_CRC("CRC-8/MAXIM-DOW", 8, 0x31, 0x00, true, true, 0x00, 0xa1),
    VANTREL_CRC("CRC-8/ROHC", 8, 0x07, 0xff, true, true, 0x00, 0xd0),
    VANTREL_CRC("CRC-8/SAE-J1850", 8, 0x1d, 0xff, false, false, 0xff, 0x4b),
    VANTREL_CRC("CRC-8/TECH-3250", 8, 0x1d, 0xff, true, true, 0x00, 0x97),
    VANTREL_CRC("CRC-8/WCDMA", 8, 0x9b, 0x00, true, true, 0x00, 0x25),
    VANTREL_CRC("CRC-10/ATM", 10, 0x233, 0x000, false, false, 0x000, 0x199),
    VANTREL_CRC("CRC-11/FLEXRAY", 11, 0x385, 0x01a, false, false, 0x000, 0x5a3),
    VANTREL_CRC("CRC-12/DECT", 12, 0x80f, 0x000, false, false, 0x000, 0xf5b),
    VANTREL_CRC("CRC-15/CAN", 15, 0x4599, 0x0000, false, false, 0x0000, 0x059e),
    VANTREL_CRC("CRC-16/IBM-3740", 16, 0x1021, 0xffff, false, false, 0x0000, 0x29b1),
    VANTREL_CRC("CRC-16/KERMIT", 16, 0x1021, 0x0000, true, true, 0x0000, 0x2189),
    VANTREL_CRC("CRC-16/XMODEM", 16, 0x1021, 0x0000, false, false, 0x0000, 0x31c3),
    VANTREL_CRC("CRC-16/ARC", 16, 0x8005, 0x0000, true, true, 0x0000, 0xbb3d),
    VANTREL_CRC("CRC-16/MODBUS", 16, 0x8005, 0xffff, true, true, 0x0000, 0x4b37),
    VANTREL_CRC("CRC-16/IBM-SDLC", 16, 0x1021, 0xffff, true, true, 0xffff, 0x906e),
    VANTREL_CRC("CRC-16/GENIBUS", 16, 0x1021, 0xffff, false, false, 0xffff, 0xd64e),
    VANTREL_CRC("CRC-16/USB", 16, 0x8005, 0xffff, true, true, 0xffff, 0xb4c8),
    VANTREL_CRC("CRC-16/MCRF4XX", 16, 0x1021, 0xffff, true, true, 0x0000, 0x6f91),
    VANTREL_CRC("CRC-16/DNP", 16, 0x3d65, 0x0000, true, true, 0xffff, 0xea82),
    VANTREL_CRC("CRC-16/UMTS", 16, 0x8005, 0x0000, false, false, 0x0000, 0xfee8),
    VANTREL_CRC("CRC-16/SPI-FUJITSU", 16, 0x1021, 0x1d0f, false, false, 0x0000, 0xe5cc),
    VANTREL_CRC("CRC-24/OPENPGP", 24, 0x864cfb, 0xb704ce, false, false, 0x000000, 0x21cf02),
    VANTREL_CRC("CRC-32/ISO-HDLC", 32, 0x04c11db7, 0xffffffff, true, true, 0xffffffff, 0xcbf43926),
    VANTREL_CRC("CRC-32/ISCSI", 32, 0x1edc6f41, 0xffffffff, true, true, 0xffffffff, 0xe3069283),
    VANTREL_CRC("CRC-32/BZIP2", 32, 0x04c11db7, 0xffffffff, false, false, 0xffffffff, 0xfc891918),
    VANTREL_CRC("CRC-32/MPEG-2", 32, 0x04c11db7, 0xffffffff, false, false, 0x00000000, 0x0376e6e7),
    VANTREL_CRC("CRC-32/CKSUM", 32, 0x04c11db7, 0x00000000, false, false, 0xffffffff, 0x765e7680),
    VANTREL_CRC("CRC-32/JAMCRC", 32, 0x04c11db7, 0xffffffff, true, true, 0x00000000, 0x340bc6d9),
    VANTREL_CRC("CRC-32/XFER", 32, 0x000000af, 0x00000000, false, false, 0x00000000, 0xbd0be338),
    VANTREL_CRC("CRC-32/AIXM", 32, 0x814141ab, 0x00000000, false, false, 0x00000000, 0x3010bf7f),
    VANTREL_CRC("CRC-32/BASE91-D", 32, 0xa833982b, 0xffffffff, true, true, 0xffffffff, 0x87315576),
    VANTREL_CRC("CRC-64/ECMA-182", 64, 0x42f0e1eba9ea3693, 0x0, false, false, 0x0,
                0x6c40df5f0b497347),
    VANTREL_CRC("CRC-64/WE", 64, 0x42f0e1eba9ea3693, ~std::uint64_t{0}, false, false,
                ~std::uint64_t{0}, 0x62ec59e3f1a4f00a),
    VANTREL_CRC("CRC-64/XZ", 64, 0x42f0e1eba9ea3693, ~std::uint64_t{0}, true, true,
                ~std::uint64_t{0}, 0x995dc9bbdf1939fa),
    VANTREL_CRC("CRC-64/GO-ISO", 64, 0x1b, ~std::uint64_t{0}, true, true, ~std::uint64_t{0},
                0xb90956c775a41001),
    VANTREL_SUM("SUM-8", Sum, 8, false, 0, 0xdd),
    VANTREL_SUM("SUM-16", Sum, 16, false, 0, 0x09d4),
    VANTREL_SUM("SUM-8/TWOS-COMPLEMENT", Sum, 8, true, 0, 0x23),
    VANTREL_SUM("SUM-16/TWOS-COMPLEMENT", Sum, 16, true, 0, 0xf62c),
    VANTREL_SUM("ONES-SUM-8", OnesSum, 8, false, 0, 0xde),
    VANTREL_SUM("ONES-SUM-16", OnesSum, 16, false, 0, 0x09d5),
    VANTREL_SUM("ONES-SUM-8/COMPLEMENT", OnesSum, 8, false, 0xff, 0x21),
    VANTREL_SUM("ONES-SUM-16/COMPLEMENT", OnesSum, 16, false, 0xffff, 0xf62a),
    VANTREL_SUM("FLETCHER-16", Fletcher16, 16, false, 0, 0x1ede),
    VANTREL_SUM("ISO-1155", Xor8, 8, false, 0, 0x31),
};

#undef VANTREL_CRC
#undef VANTREL_SUM

// Other names the same algorithms go by.
struct Alias {
  std::string_view alias;
  std::string_view name;
};
constexpr Alias kAliases[] = {
    {"CRC-8", "CRC-8/SMBUS"},
    {"CRC-8/ITU", "CRC-8/I-432-1"},
    {"CRC-8/MAXIM", "CRC-8/MAXIM-DOW"},
    {"CRC-8/EBU", "CRC-8/TECH-3250"},
    {"CRC-16/CCITT-FALSE", "CRC-16/IBM-3740"},
    {"CRC-16/AUTOSAR", "CRC-16/IBM-3740"},
    {"CRC-16/CCITT", "CRC-16/KERMIT"},
    {"CRC-16/CCITT-TRUE", "CRC-16/KERMIT"},
    {"CRC-16/ACORN", "CRC-16/XMODEM"},
    {"CRC-16/LTE", "CRC-16/XMODEM"},
    {"CRC-16", "CRC-16/ARC"},
    {"CRC-16/LHA", "CRC-16/ARC"},
    {"CRC-16/X-25", "CRC-16/IBM-SDLC"},
    {"CRC-16/ISO-HDLC", "CRC-16/IBM-SDLC"},
    {"X-25", "CRC-16/IBM-SDLC"},
    {"CRC-16/BUYPASS", "CRC-16/UMTS"},
    {"CRC-16/AUG-CCITT", "CRC-16/SPI-FUJITSU"},
    {"CRC-24", "CRC-24/OPENPGP"},
    {"CRC-32", "CRC-32/ISO-HDLC"},
    {"CRC-32C", "CRC-32/ISCSI"},
    {"CRC-32/CASTAGNOLI", "CRC-32/ISCSI"},
    {"CRC-32/POSIX", "CRC-32/CKSUM"},
    {"CRC-32Q", "CRC-32/AIXM"},
    {"CRC-32D", "CRC-32/BASE91-D"},
    {"CRC-64", "CRC-64/ECMA-182"},
    {"FLETCHER16", "FLETCHER-16"},
    {"INTERNET", "ONES-SUM-16/COMPLEMENT"},
    {"RFC-1071", "ONES-SUM-16/COMPLEMENT"},
    {"XOR-8", "ISO-1155"},
    {"LRC", "ISO-1155"},
};

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i] == '_' ? '-' : a[i];
    char y = b[i] == '_' ? '-' : b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

std::uint64_t load_le64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
  return v;
}

std::uint32_t load_le32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
  return v;
}

// ---- The table-driven CRC ------------------------------------------------------

// Eight tables of 256 entries; the register is `Reg` (32 bits for CRCs up to
// 32 bits wide, else 64). Reflected CRCs keep the register reflected in the
// low bits; the others keep it left-aligned in the top bits, so that one
// table shape serves every width.
template <class Reg>
struct SliceTables {
  static constexpr unsigned kBits = sizeof(Reg) * 8;
  Reg table[8][256];

  SliceTables(const CheckAlgorithm& a) {
    if (a.refin) {
      const Reg poly = static_cast<Reg>(reflect(a.poly, a.width));
      for (unsigned b = 0; b < 256; ++b) {
        Reg r = static_cast<Reg>(b);
        for (int k = 0; k < 8; ++k) r = (r & 1u) ? static_cast<Reg>((r >> 1) ^ poly) : (r >> 1);
        table[0][b] = r;
      }
      for (int t = 1; t < 8; ++t) {
        for (unsigned b = 0; b < 256; ++b) {
          const Reg prev = table[t - 1][b];
          table[t][b] = static_cast<Reg>((prev >> 8) ^ table[0][prev & 0xffu]);
        }
      }
    } else {
      const Reg poly = static_cast<Reg>(a.poly << (kBits - a.width));
      for (unsigned b = 0; b < 256; ++b) {
        Reg r = static_cast<Reg>(static_cast<Reg>(b) << (kBits - 8));
        for (int k = 0; k < 8; ++k) {
          r = (r >> (kBits - 1)) ? static_cast<Reg>((r << 1) ^ poly) : static_cast<Reg>(r << 1);
        }
        table[0][b] = r;
      }
      for (int t = 1; t < 8; ++t) {
        for (unsigned b = 0; b < 256; ++b) {
          const Reg prev = table[t - 1][b];
          table[t][b] =
              static_cast<Reg>(static_cast<Reg>(prev << 8) ^ table[0][prev >> (kBits - 8)]);
        }
      }
    }
  }

  Reg reflected(Reg r, const std::uint8_t* p, std::size_t n) const {
    while (n >= 8) {
      if constexpr (kBits == 64) {
        const std::uint64_t x = r ^ load_le64(p);
        r = table[7][x & 0xff] ^ table[6][(x >> 8) & 0xff] ^ table[5][(x >> 16) & 0xff] ^
            table[4][(x >> 24) & 0xff] ^ table[3][(x >> 32) & 0xff] ^ table[2][(x >> 40) & 0xff] ^
            table[1][(x >> 48) & 0xff] ^ table[0][x >> 56];
      } else {
        const std::uint32_t one = r ^ load_le32(p);
        const std::uint32_t two = load_le32(p + 4);
        r = table[7][one & 0xff] ^ table[6][(one >> 8) & 0xff] ^ table[5][(one >> 16) & 0xff] ^
            table[4][one >> 24] ^ table[3][two & 0xff] ^ table[2][(two >> 8) & 0xff] ^
            table[1][(two >> 16) & 0xff] ^ table[0][two >> 24];
      }
      p += 8;
      n -= 8;
    }
    while (n-- > 0) r = static_cast<Reg>((r >> 8) ^ table[0][(r ^ *p++) & 0xffu]);
    return r;
  }

  Reg aligned(Reg r, const std::uint8_t* p, std::size_t n) const {
    while (n >= 8) {
      if constexpr (kBits == 64) {
        const std::uint64_t x = r ^ std::byteswap(load_le64(p));
        r = table[7][x >> 56] ^ table[6][(x >> 48) & 0xff] ^ table[5][(x >> 40) & 0xff] ^
            table[4][(x >> 32) & 0xff] ^ table[3][(x >> 24) & 0xff] ^ table[2][(x >> 16) & 0xff] ^
            table[1][(x >> 8) & 0xff] ^ table[0][x & 0xff];
      } else {
        const std::uint32_t one = r ^ std::byteswap(load_le32(p));
        const std::uint32_t two = std::byteswap(load_le32(p + 4));
        r = table[7][one >> 24] ^ table[6][(one >> 16) & 0xff] ^ table[5][(one >> 8) & 0xff] ^
            table[4][one & 0xff] ^ table[3][two >> 24] ^ table[2][(two >> 16) & 0xff] ^
            table[1][(two >> 8) & 0xff] ^ table[0][two & 0xff];
      }
      p += 8;
      n -= 8;
    }
    while (n-- > 0) {
      r = static_cast<Reg>(static_cast<Reg>(r << 8) ^ table[0][(r >> (kBits - 8)) ^ *p++]);
    }
    return r;
  }
};

}  // namespace

// The engine's state for one CRC: the tables for its register width, and for
// CRC-32C with the crc32 instruction, the operators that move a lane's
// register past the bytes of the lanes after it.
// Data of up to this many 16-byte blocks (the first one padded) folds each
// block straight to the end.
constexpr std::size_t kDirectBlocks = 24;
// Data of up to this many blocks folds four blocks to an instruction where
// the processor has 512-bit carry-less multiplication (VPCLMULQDQ).
constexpr std::size_t kWideBlocks = 64;

struct CrcTables {
  std::optional<SliceTables<std::uint32_t>> narrow;
  std::optional<SliceTables<std::uint64_t>> wide;
  // Carry-less multiplication folding: x^k mod P for the folding steps.
  std::uint64_t k128 = 0, k192 = 0, k512 = 0, k576 = 0;
  // by_distance[d]: x^(128 d) mod P (low) and x^(128 d + 64) mod P (high),
  // for data of up to kDirectBlocks blocks.
  alignas(16) std::uint64_t by_distance[kDirectBlocks][2] = {};
  // The reduction: x^(64+w) mod P, and floor(x^(64+w) / P) without its x^64.
  std::uint64_t k_reduce = 0, mu = 0;
  // The init as the head blocks hold it, by the bytes of the first block.
  alignas(16) std::uint64_t init_blocks[17][4] = {};
  // by_distance as the wide fold reads it: row m holds distance
  // kWideBlocks - 1 - m, so that a packet's blocks, first to last, read
  // consecutive rows; the rows past kWideBlocks are zero (blocks past the
  // packet's end, which are zero too).
  alignas(64) std::uint64_t reversed_distance[kWideBlocks + 16][2] = {};
  // shift[tier][k][j][b]: the register b << 8j advanced over
  // kLanes[tier] << k zero bytes.
  std::uint32_t shift[2][2][4][256];
};

namespace {

// Bytes per lane per round of the three-lane CRC-32C: long rounds while the
// data lasts, then short ones.
constexpr std::size_t kLanes[2] = {256, 32};

#if VANTREL_HAVE_SSE42_PATH
__attribute__((target("sse4.2"))) std::uint32_t crc32c_lane(std::uint32_t r, const std::uint8_t* p,
                                                            std::size_t n) {
  std::uint64_t r64 = r;
  while (n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    r64 = _mm_crc32_u64(r64, word);
    p += 8;
    n -= 8;
  }
  auto r32 = static_cast<std::uint32_t>(r64);
  while (n-- > 0) r32 = _mm_crc32_u8(r32, *p++);
  return r32;
}

std::uint32_t shift_register(const std::uint32_t (&table)[4][256], std::uint32_t r) {
  return table[0][r & 0xff] ^ table[1][(r >> 8) & 0xff] ^ table[2][(r >> 16) & 0xff] ^
         table[3][r >> 24];
}

// Three independent lanes hide the instruction's latency; their registers
// are joined by the shift operators (the CRC is linear in the register).
template <std::size_t kLane>
__attribute__((target("sse4.2"))) std::uint32_t crc32c_rounds(
    const std::uint32_t (&shift)[2][4][256], std::uint32_t r, const std::uint8_t*& p,
    std::size_t& n) {
  while (n >= 3 * kLane) {
    std::uint64_t a = r, b = 0, c = 0;
    for (std::size_t i = 0; i < kLane; i += 8) {
      std::uint64_t wa, wb, wc;
      std::memcpy(&wa, p + i, 8);
      std::memcpy(&wb, p + kLane + i, 8);
      std::memcpy(&wc, p + 2 * kLane + i, 8);
      a = _mm_crc32_u64(a, wa);
      b = _mm_crc32_u64(b, wb);
      c = _mm_crc32_u64(c, wc);
    }
    r = shift_register(shift[1], static_cast<std::uint32_t>(a)) ^
        shift_register(shift[0], static_cast<std::uint32_t>(b)) ^ static_cast<std::uint32_t>(c);
    p += 3 * kLane;
    n -= 3 * kLane;
  }
  return r;
}

std::uint32_t crc32c_hardware(const CrcTables& t, std::uint32_t r, const std::uint8_t* p,
                              std::size_t n) {
  r = crc32c_rounds<kLanes[0]>(t.shift[0], r, p, n);
  r = crc32c_rounds<kLanes[1]>(t.shift[1], r, p, n);
  return crc32c_lane(r, p, n);
}

bool detect_sse42() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse4.2") != 0;
}
const bool kHasSse42 = detect_sse42();
#else
constexpr bool kHasSse42 = false;
#endif

// ---- Carry-less multiplication folding ------------------------------------
//
// The model's register after a message M from init I is (I x^8n + M x^w)
// mod P: the CRC of M with I xored into its first w bits, from a zero
// register. Leading zero bytes leave M's polynomial unchanged, so M is
// padded in front to whole blocks of 16 bytes, read as polynomials (first
// bit highest; each byte's bits reversed first for a reflected input).
// Blocks fold into one: X x^128 + B is congruent to H (x^192 mod P) +
// L (x^128 mod P) + B, X = H x^64 + L, where each product has fewer than
// 128 bits for w <= 64. Four accumulators 64 bytes apart hide the
// multiplier's latency. The last 128-bit X is then reduced without tables:
// X x^w = H x^(64+w) + L x^w is congruent to Y = H (x^(64+w) mod P) + L x^w,
// and Y mod P is Y's low w bits plus the Barrett remainder of its high part.

// x^k mod P as a w-bit polynomial (bit i: the coefficient of x^i).
std::uint64_t x_power_mod(std::uint64_t k, const CheckAlgorithm& a) {
  const std::uint64_t mask = mask_of(a.width);
  std::uint64_t r = 1;
  for (std::uint64_t i = 0; i < k; ++i) {
    const bool carry = ((r >> (a.width - 1)) & 1u) != 0;
    r = (r << 1) & mask;
    if (carry) r ^= a.poly;
  }
  return r;
}

// x^(64 i) mod P for i = 0 to count - 1, in one pass (the constructor's
// cost stays small: framing and learning compile checks per call).
std::vector<std::uint64_t> x_powers_by_64(std::size_t count, const CheckAlgorithm& a) {
  std::vector<std::uint64_t> powers(count);
  const std::uint64_t mask = mask_of(a.width);
  std::uint64_t r = 1;
  for (std::size_t i = 0; i < count; ++i) {
    powers[i] = r;
    for (int bit = 0; bit < 64; ++bit) {
      const bool carry = ((r >> (a.width - 1)) & 1u) != 0;
      r = (r << 1) & mask;
      if (carry) r ^= a.poly;
    }
  }
  return powers;
}

// The low 64 bits of floor(x^(64+w) / P) (its x^64 term is always set): the
// quotient bits are the feedback bits of the model's register shifting in
// the message x^64.
std::uint64_t barrett_quotient(const CheckAlgorithm& a) {
  const std::uint64_t mask = mask_of(a.width);
  const std::uint64_t top = std::uint64_t{1} << (a.width - 1);
  std::uint64_t reg = a.poly;  // after the message's leading 1, whose feedback is 1
  std::uint64_t quotient = 0;
  for (int bit = 63; bit >= 0; --bit) {
    const bool feedback = (reg & top) != 0;
    reg = (reg << 1) & mask;
    if (feedback) {
      reg ^= a.poly;
      quotient |= std::uint64_t{1} << bit;
    }
  }
  return quotient;
}

// Reverses the bits of each byte (a reflected input's bytes, as the model
// register takes them).
constexpr std::uint64_t reverse_bits_in_bytes(std::uint64_t v) {
  v = ((v >> 1) & 0x5555555555555555ull) | ((v & 0x5555555555555555ull) << 1);
  v = ((v >> 2) & 0x3333333333333333ull) | ((v & 0x3333333333333333ull) << 2);
  return ((v >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((v & 0x0F0F0F0F0F0F0F0Full) << 4);
}

// Shorter data goes through the tables: the padded head costs more than it saves.
constexpr std::size_t kFoldMinimum = 16;

#if VANTREL_HAVE_SSE42_PATH
#define VANTREL_FOLD __attribute__((target("pclmul,sse4.1,ssse3")))

// 16 bytes as a 128-bit polynomial, the first byte highest; a reflected
// input's bytes have their bits reversed (by nibble lookups).
VANTREL_FOLD inline __m128i as_polynomial(__m128i v, bool reflected) {
  if (reflected) {
    const __m128i nibbles = _mm_set1_epi8(0x0f);
    const __m128i reversed = _mm_setr_epi8(0x0, 0x8, 0x4, 0xc, 0x2, 0xa, 0x6, 0xe, 0x1, 0x9, 0x5,
                                           0xd, 0x3, 0xb, 0x7, 0xf);
    const __m128i low = _mm_shuffle_epi8(reversed, _mm_and_si128(v, nibbles));
    const __m128i high = _mm_shuffle_epi8(reversed, _mm_and_si128(_mm_srli_epi16(v, 4), nibbles));
    v = _mm_or_si128(_mm_slli_epi16(low, 4), high);
  }
  return _mm_shuffle_epi8(v, _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
}

VANTREL_FOLD inline __m128i fold_block(const std::uint8_t* p, bool reflected) {
  return as_polynomial(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), reflected);
}

// X times x^(64 + distance) and x^distance folded: constants (high lane: the
// one for H, low lane: the one for L).
VANTREL_FOLD inline __m128i fold(__m128i x, __m128i constants) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, constants, 0x11),
                       _mm_clmulepi64_si128(x, constants, 0x00));
}

// Shuffle masks that move a block's first `lead` bytes to its end behind
// zeros: 16 bytes from kPadMasks + lead.
alignas(16) constexpr std::uint8_t kPadMasks[32] = {
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
    0,    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,   13,   14,   15};

// The init as the two head blocks hold it when the first block has `lead`
// bytes of the message (as polynomials; the second is zero when lead is 16).
VANTREL_FOLD void init_blocks(const CheckAlgorithm& a, std::size_t lead, std::uint64_t* out) {
  alignas(16) std::uint8_t head[32] = {};
  std::uint8_t* message = head + (16 - lead);
  const std::uint32_t init_bytes = (a.width + 7) / 8;
  const std::uint64_t init = a.init << (8 * init_bytes - a.width);
  for (std::uint32_t k = 0; k < init_bytes; ++k) {
    const auto byte = static_cast<std::uint8_t>(init >> (8 * (init_bytes - 1 - k)));
    message[k] = a.refin ? static_cast<std::uint8_t>(reverse_bits_in_bytes(byte)) : byte;
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), fold_block(head, a.refin));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2), fold_block(head + 16, a.refin));
}

// The model's register of a message folded into the 128-bit X: X x^w mod P.
VANTREL_FOLD inline std::uint64_t reduce_folded(const CrcTables& t, const CheckAlgorithm& a,
                                                __m128i x) {
  // Y = H (x^(64+w) mod P) + L x^w, split as Yh x^w + Yl.
  const std::uint32_t w = a.width;
  const auto low = static_cast<std::uint64_t>(_mm_cvtsi128_si64(x));
  const __m128i product =
      _mm_clmulepi64_si128(x, _mm_cvtsi64_si128(static_cast<long long>(t.k_reduce)), 0x01);
  const auto product_low = static_cast<std::uint64_t>(_mm_cvtsi128_si64(product));
  const auto product_high = static_cast<std::uint64_t>(_mm_extract_epi64(product, 1));
  const std::uint64_t shifted =
      w == 64 ? product_high : (product_high << (64 - w)) | (product_low >> w);
  const std::uint64_t y_high = low ^ shifted;
  const std::uint64_t y_low = product_low & mask_of(w);
  // Barrett: the quotient of Yh x^w by P is Yh + high(Yh mu_low); the
  // remainder is the low w bits of quotient * P.
  const __m128i yh = _mm_cvtsi64_si128(static_cast<long long>(y_high));
  const __m128i estimate =
      _mm_clmulepi64_si128(yh, _mm_cvtsi64_si128(static_cast<long long>(t.mu)), 0x00);
  const std::uint64_t quotient =
      y_high ^ static_cast<std::uint64_t>(_mm_extract_epi64(estimate, 1));
  const __m128i remainder =
      _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<long long>(quotient)),
                           _mm_cvtsi64_si128(static_cast<long long>(a.poly)), 0x00);
  return (static_cast<std::uint64_t>(_mm_cvtsi128_si64(remainder)) ^ y_low) & mask_of(w);
}

VANTREL_FOLD std::uint64_t fold_model_register(const CrcTables& t, const CheckAlgorithm& a,
                                               const std::uint8_t* p, std::size_t n) {
  const bool reflected = a.refin;
  const __m128i by_block =
      _mm_set_epi64x(static_cast<long long>(t.k192), static_cast<long long>(t.k128));
  const __m128i by_four =
      _mm_set_epi64x(static_cast<long long>(t.k576), static_cast<long long>(t.k512));
  // The head: zeros, then the message up to the end of its first or second
  // block (n >= 16, so both are there when the first is partial), the init
  // xored into the message's first w bits.
  const std::size_t lead = n % 16 == 0 ? 16 : n % 16;
  const auto* init = reinterpret_cast<const __m128i*>(t.init_blocks[lead]);
  const __m128i first =
      _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(kPadMasks + lead)));
  __m128i x = _mm_xor_si128(as_polynomial(first, reflected), _mm_loadu_si128(init));
  const std::size_t head_bytes = lead == 16 ? 16 : lead + 16;
  std::size_t at = head_bytes;  // n - at is a multiple of 16
  const std::size_t blocks = (n - lead) / 16 + 1;
  if (blocks <= kDirectBlocks) {
    // Short data: each block times x^(128 d) mod P for its distance d from
    // the last, all independent (no chain of folds), xored together.
    const auto* by_distance = reinterpret_cast<const __m128i*>(t.by_distance);
    // Block 1 starts where the padded first block's bytes end (the init
    // may reach into it).
    std::size_t distance = blocks - 1;
    if (distance == 0) return reduce_folded(t, a, x);
    x = fold(x, _mm_load_si128(by_distance + distance));
    __m128i other = _mm_xor_si128(fold_block(p + lead, reflected), _mm_loadu_si128(init + 1));
    at = lead + 16;
    if (--distance != 0) other = fold(other, _mm_load_si128(by_distance + distance));
    for (; distance > 1; --distance, at += 16) {
      other = _mm_xor_si128(
          other, fold(fold_block(p + at, reflected), _mm_load_si128(by_distance + distance - 1)));
    }
    x = _mm_xor_si128(x, other);
    if (at < n) x = _mm_xor_si128(x, fold_block(p + at, reflected));
    return reduce_folded(t, a, x);
  }
  if (lead != 16) {
    const __m128i second =
        _mm_xor_si128(fold_block(p + lead, reflected), _mm_loadu_si128(init + 1));
    x = _mm_xor_si128(fold(x, by_block), second);
  }
  if (n - at >= 128) {
    __m128i lanes[4];
    lanes[0] = _mm_xor_si128(fold(x, by_block), fold_block(p + at, reflected));
    for (int k = 1; k < 4; ++k) lanes[k] = fold_block(p + at + 16 * k, reflected);
    at += 64;
    while (at + 64 <= n) {
      for (int k = 0; k < 4; ++k) {
        lanes[k] = _mm_xor_si128(fold(lanes[k], by_four), fold_block(p + at + 16 * k, reflected));
      }
      at += 64;
    }
    x = lanes[0];
    for (int k = 1; k < 4; ++k) x = _mm_xor_si128(fold(x, by_block), lanes[k]);
  }
  for (; at < n; at += 16) x = _mm_xor_si128(fold(x, by_block), fold_block(p + at, reflected));

  return reduce_folded(t, a, x);
}

// The model's register of n bytes in `blocks` = ceil(n / 16) blocks,
// n <= 16 * kDirectBlocks (and 16 bytes readable from p), as the short-data path of
// fold_model_register computes it but with no branch on n but the loop
// over its blocks: run for ranges of one block count after another, that
// loop ends where the branch predictor expects it to.
VANTREL_FOLD inline std::uint64_t fold_blocks(const CrcTables& t, const CheckAlgorithm& a,
                                              const std::uint8_t* p, std::size_t n,
                                              std::size_t blocks) {
  const bool reflected = a.refin;
  const std::size_t lead = n - 16 * (blocks - 1);  // 1 to 16
  const auto* init = reinterpret_cast<const __m128i*>(t.init_blocks[lead]);
  const auto* by_distance = reinterpret_cast<const __m128i*>(t.by_distance);
  const __m128i first =
      _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(kPadMasks + lead)));
  __m128i x = _mm_xor_si128(as_polynomial(first, reflected), _mm_loadu_si128(init));
  if (blocks == 1) return reduce_folded(t, a, x);
  x = fold(x, _mm_load_si128(by_distance + blocks - 1));
  // Block 1 (where the init may reach), then each block by its distance d
  // from the last, which starts 16 (d + 1) bytes before the end.
  const __m128i second = _mm_xor_si128(fold_block(p + lead, reflected), _mm_loadu_si128(init + 1));
  x = _mm_xor_si128(x, fold(second, _mm_load_si128(by_distance + blocks - 2)));
  for (std::size_t d = blocks - 2; d-- > 0;) {
    x = _mm_xor_si128(
        x, fold(fold_block(p + n - 16 * (d + 1), reflected), _mm_load_si128(by_distance + d)));
  }
  return reduce_folded(t, a, x);
}

#define VANTREL_FOLD_WIDE \
  __attribute__((target("avx512f,avx512bw,avx512vl,vpclmulqdq,pclmul,sse4.1,ssse3,bmi2")))

// GCC 12's AVX-512 intrinsics start many results from an undefined register
// (`__m512i __Y = __Y`), which its uninitialized-use warnings report wherever
// they are inlined; nothing here reads such a register.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// Four blocks as polynomials, as as_polynomial makes one.
VANTREL_FOLD_WIDE inline __m512i as_polynomials(__m512i v, bool reflected) {
  if (reflected) {
    const __m512i nibbles = _mm512_set1_epi8(0x0f);
    const __m512i reversed = _mm512_broadcast_i32x4(_mm_setr_epi8(
        0x0, 0x8, 0x4, 0xc, 0x2, 0xa, 0x6, 0xe, 0x1, 0x9, 0x5, 0xd, 0x3, 0xb, 0x7, 0xf));
    const __m512i low = _mm512_shuffle_epi8(reversed, _mm512_and_si512(v, nibbles));
    const __m512i high =
        _mm512_shuffle_epi8(reversed, _mm512_and_si512(_mm512_srli_epi16(v, 4), nibbles));
    v = _mm512_or_si512(_mm512_slli_epi16(low, 4), high);
  }
  return _mm512_shuffle_epi8(v, _mm512_broadcast_i32x4(_mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8,
                                                                     7, 6, 5, 4, 3, 2, 1, 0)));
}

// The folded polynomial of n bytes, init_bytes <= n <= 16 * kWideBlocks,
// as fold_blocks folds it but four blocks to an instruction, left in four
// 128-bit lanes whose exclusive or is the X that reduce_folded takes. The
// data is read as whole blocks ending at its end, 64 bytes at a time, the
// bytes outside it masked (a masked load touches nothing outside it), and
// each block is multiplied by its distance's constants.
VANTREL_FOLD_WIDE inline __m512i fold_wide_lanes(const CrcTables& t, const CheckAlgorithm& a,
                                                 const std::uint8_t* p, std::size_t n) {
  const bool reflected = a.refin;
  const std::size_t blocks = (n + 15) / 16;
  const std::size_t lead = n - 16 * (blocks - 1);  // 1 to 16
  // The first block starts 16 - lead bytes before the data (masked).
  const auto first = reinterpret_cast<std::uintptr_t>(p) + n - 16 * blocks;
  const std::uint64_t* constants = t.reversed_distance[kWideBlocks - blocks];
  std::size_t left = 16 * blocks;  // bytes from the chunk's start to the data's end
  __mmask64 mask = (left >= 64 ? ~std::uint64_t{0} : _bzhi_u64(~std::uint64_t{0}, left)) &
                   (~std::uint64_t{0} << (16 - lead));
  __m512i x = _mm512_xor_si512(
      as_polynomials(_mm512_maskz_loadu_epi8(mask, reinterpret_cast<const void*>(first)),
                     reflected),
      _mm512_maskz_loadu_epi64(0x0f, t.init_blocks[lead]));
  __m512i c = _mm512_loadu_si512(constants);
  __m512i sum =
      _mm512_xor_si512(_mm512_clmulepi64_epi128(x, c, 0x11), _mm512_clmulepi64_epi128(x, c, 0x00));
  for (std::size_t at = 64; at < 16 * blocks; at += 64) {
    left -= 64;
    mask = left >= 64 ? ~std::uint64_t{0} : _bzhi_u64(~std::uint64_t{0}, left);
    x = as_polynomials(_mm512_maskz_loadu_epi8(mask, reinterpret_cast<const void*>(first + at)),
                       reflected);
    c = _mm512_loadu_si512(constants + 2 * (at / 16));
    sum = _mm512_ternarylogic_epi64(sum, _mm512_clmulepi64_epi128(x, c, 0x11),
                                    _mm512_clmulepi64_epi128(x, c, 0x00), 0x96);
  }
  return sum;
}

// fold_wide_lanes over exactly `kChunks` chunks, the ones past the data
// masked whole (no load, no branch on the length: for ranges of unlike
// lengths computed as they are found).
template <std::size_t kChunks>
VANTREL_FOLD_WIDE inline __m512i fold_wide_lanes_fixed(const CrcTables& t, const CheckAlgorithm& a,
                                                       const std::uint8_t* p, std::size_t n) {
  const bool reflected = a.refin;
  const std::size_t blocks = (n + 15) / 16;
  const std::size_t lead = n - 16 * (blocks - 1);
  const auto first = reinterpret_cast<std::uintptr_t>(p) + n - 16 * blocks;
  const std::uint64_t* constants = t.reversed_distance[kWideBlocks - blocks];
  __m512i sum = _mm512_maskz_loadu_epi64(0x0f, t.init_blocks[lead]);
  for (std::size_t j = 0; j < kChunks; ++j) {
    const auto left = static_cast<std::int64_t>(16 * blocks) - static_cast<std::int64_t>(64 * j);
    std::uint64_t mask =
        _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(std::clamp<std::int64_t>(left, 0, 64)));
    if (j == 0) mask &= ~std::uint64_t{0} << (16 - lead);
    __m512i x = as_polynomials(
        _mm512_maskz_loadu_epi8(mask, reinterpret_cast<const void*>(first + 64 * j)), reflected);
    if (j == 0) x = _mm512_xor_si512(x, sum);
    const __m512i c = _mm512_loadu_si512(constants + 8 * j);
    sum = j == 0 ? _mm512_xor_si512(_mm512_clmulepi64_epi128(x, c, 0x11),
                                    _mm512_clmulepi64_epi128(x, c, 0x00))
                 : _mm512_ternarylogic_epi64(sum, _mm512_clmulepi64_epi128(x, c, 0x11),
                                             _mm512_clmulepi64_epi128(x, c, 0x00), 0x96);
  }
  return sum;
}

VANTREL_FOLD_WIDE std::uint64_t fold_wide(const CrcTables& t, const CheckAlgorithm& a,
                                          const std::uint8_t* p, std::size_t n) {
  const __m512i sum = fold_wide_lanes(t, a, p, n);
  const __m256i half =
      _mm256_xor_si256(_mm512_castsi512_si256(sum), _mm512_extracti64x4_epi64(sum, 1));
  return reduce_folded(
      t, a, _mm_xor_si128(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1)));
}

// The model's registers of four ranges at once: their lanes summed by a
// transpose, then reduce_folded's steps run on the four in the low halves
// of the lanes (the reduction's chain of three products is what a range
// costs beyond its blocks; four share each instruction).
template <std::size_t kFixedChunks>
VANTREL_FOLD_WIDE inline __m512i fold_wide_lanes_of(const CrcTables& t, const CheckAlgorithm& a,
                                                    const std::uint8_t* p, std::size_t n) {
  if constexpr (kFixedChunks == 0) {
    return fold_wide_lanes(t, a, p, n);
  } else {
    return fold_wide_lanes_fixed<kFixedChunks>(t, a, p, n);
  }
}

// kFixedChunks: 0 for ranges of any length up to 16 * kWideBlocks, else
// ranges of at most that many chunks, folded without a branch on their length.
template <std::size_t kFixedChunks>
VANTREL_FOLD_WIDE void fold_wide_four(const CrcTables& t, const CheckAlgorithm& a,
                                      const std::uint8_t* const p[4], const std::size_t n[4],
                                      std::uint64_t out[4]) {
  const __m512i s0 = fold_wide_lanes_of<kFixedChunks>(t, a, p[0], n[0]);
  const __m512i s1 = fold_wide_lanes_of<kFixedChunks>(t, a, p[1], n[1]);
  const __m512i s2 = fold_wide_lanes_of<kFixedChunks>(t, a, p[2], n[2]);
  const __m512i s3 = fold_wide_lanes_of<kFixedChunks>(t, a, p[3], n[3]);
  // Lane k of `x` ends as the sum of the lanes of range k.
  const __m512i w01 =
      _mm512_xor_si512(_mm512_shuffle_i64x2(s0, s1, 0x88), _mm512_shuffle_i64x2(s0, s1, 0xdd));
  const __m512i w23 =
      _mm512_xor_si512(_mm512_shuffle_i64x2(s2, s3, 0x88), _mm512_shuffle_i64x2(s2, s3, 0xdd));
  const __m512i x =
      _mm512_xor_si512(_mm512_shuffle_i64x2(w01, w23, 0x88), _mm512_shuffle_i64x2(w01, w23, 0xdd));
  // As reduce_folded, in each lane's low 64 bits.
  const std::uint32_t w = a.width;
  const __m512i mask = _mm512_set1_epi64(static_cast<long long>(mask_of(w)));
  const __m512i product =
      _mm512_clmulepi64_epi128(x, _mm512_set1_epi64(static_cast<long long>(t.k_reduce)), 0x01);
  const __m512i shifted =
      _mm512_or_si512(_mm512_srl_epi64(product, _mm_cvtsi32_si128(static_cast<int>(w))),
                      _mm512_sll_epi64(_mm512_unpackhi_epi64(product, product),
                                       _mm_cvtsi32_si128(static_cast<int>(64 - w))));
  const __m512i y_high = _mm512_xor_si512(x, shifted);
  const __m512i estimate =
      _mm512_clmulepi64_epi128(y_high, _mm512_set1_epi64(static_cast<long long>(t.mu)), 0x00);
  const __m512i quotient = _mm512_xor_si512(y_high, _mm512_unpackhi_epi64(estimate, estimate));
  const __m512i remainder =
      _mm512_clmulepi64_epi128(quotient, _mm512_set1_epi64(static_cast<long long>(a.poly)), 0x00);
  const __m512i reg = _mm512_and_si512(_mm512_xor_si512(remainder, product), mask);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                      _mm512_castsi512_si256(_mm512_maskz_compress_epi64(0x55, reg)));
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

bool detect_wide_folding() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("vpclmulqdq") != 0 && __builtin_cpu_supports("avx512bw") != 0 &&
         __builtin_cpu_supports("avx512vl") != 0 && __builtin_cpu_supports("bmi2") != 0;
}
const bool kHasWideFolding = detect_wide_folding();

bool detect_pclmul() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("pclmul") != 0 && __builtin_cpu_supports("sse4.1") != 0;
}
const bool kHasPclmul = detect_pclmul();
#else
constexpr bool kHasPclmul = false;
constexpr bool kHasWideFolding = false;
#endif

bool is_crc32c(const CheckAlgorithm& a) {
  return a.kind == CheckKind::Crc && a.width == 32 && a.poly == 0x1edc6f41 && a.refin;
}

// ---- The sums --------------------------------------------------------------------

std::uint64_t compute_sum(const CheckAlgorithm& a, ByteSpan data) {
  const std::uint8_t* p = data.data();
  const std::size_t n = data.size();
  const std::uint64_t mask = mask_of(a.width);
  std::uint64_t value = 0;
  switch (a.kind) {
    case CheckKind::Sum:
    case CheckKind::OnesSum: {
      // Wide accumulator; carries folded at the end (end-around for ones'
      // complement), which gives the same value as folding every step.
      std::uint64_t total = 0;
      if (a.width == 8) {
        for (std::size_t i = 0; i < n; ++i) total += p[i];
      } else {
        std::size_t i = 0;
        for (; i + 1 < n; i += 2) total += (std::uint64_t{p[i]} << 8) | p[i + 1];
        if (i < n) total += std::uint64_t{p[i]} << 8;  // an odd last byte, padded with zero
      }
      if (a.kind == CheckKind::OnesSum) {
        while (total > mask) total = (total & mask) + (total >> a.width);
      }
      value = total & mask;
      break;
    }
    case CheckKind::Fletcher16: {
      std::uint64_t sum1 = 0, sum2 = 0;
      std::size_t i = 0;
      while (i < n) {
        // Reduced every 4096 bytes: the sums stay far below 2^64 between.
        const std::size_t stop = std::min(n, i + 4096);
        for (; i < stop; ++i) {
          sum1 += p[i];
          sum2 += sum1;
        }
        sum1 %= 255;
        sum2 %= 255;
      }
      value = (sum2 << 8) | sum1;
      break;
    }
    case CheckKind::Xor8: {
      std::uint8_t x = 0;
      for (std::size_t i = 0; i < n; ++i) x ^= p[i];
      value = x;
      break;
    }
    case CheckKind::Crc: break;
  }
  if (a.negate) value = (~value + 1) & mask;
  return (value ^ a.xorout) & mask;
}

std::uint64_t crc_result(const CheckAlgorithm& a, std::uint64_t reg) {
  // `reg` is the register as the model defines it (not reflected).
  if (a.refout) reg = reflect(reg, a.width);
  return (reg ^ a.xorout) & mask_of(a.width);
}

// Runs `run` on items 0 to count - 1 grouped by their key (1 to
// `most`; items of key 0 go to `other` at once), a counting sort per stretch
// of 512 items: where a loop's length follows the key, it then ends where
// the branch predictor expects it to.
template <class Key, class Run, class Other>
void in_groups(std::size_t count, std::size_t most, Key key, Run run, Other other) {
  constexpr std::size_t kStretch = 512;
  constexpr std::size_t kMostKeys = 64;
  std::uint16_t order[kStretch];
  std::uint8_t keys[kStretch];
  for (std::size_t base = 0; base < count; base += kStretch) {
    const std::size_t stretch = std::min(kStretch, count - base);
    std::uint16_t group_start[kMostKeys + 2] = {};
    for (std::size_t i = 0; i < stretch; ++i) {
      keys[i] = static_cast<std::uint8_t>(key(base + i));
      if (keys[i] == 0) {
        other(base + i);
      } else {
        ++group_start[keys[i] + 1];
      }
    }
    for (std::size_t g = 1; g <= most + 1; ++g) group_start[g] += group_start[g - 1];
    std::uint16_t next[kMostKeys + 1];
    std::copy(group_start, group_start + most + 1, next);
    for (std::size_t i = 0; i < stretch; ++i) {
      if (keys[i] != 0) order[next[keys[i]]++] = static_cast<std::uint16_t>(i);
    }
    for (std::size_t k = group_start[1]; k < group_start[most + 1]; ++k) run(base + order[k]);
  }
}

}  // namespace

std::span<const NamedCheck> named_checks() { return kNamedChecks; }

Result<CheckAlgorithm> check_by_name(std::string_view name) {
  for (const NamedCheck& row : kNamedChecks) {
    if (same_name(row.name, name)) return row.make();
  }
  for (const Alias& alias : kAliases) {
    if (same_name(alias.alias, name)) return check_by_name(alias.name);
  }
  return value_error(std::string("unknown check '") + std::string(name) +
                     "'; known checks include CRC-16/IBM-3740, CRC-16/KERMIT, CRC-16/XMODEM, "
                     "CRC-32/ISO-HDLC, CRC-32C, CRC-8/SMBUS, SUM-8, SUM-16, ONES-SUM-16, "
                     "FLETCHER-16 and ISO-1155");
}

Result<CheckAlgorithm> crc_from_parameters(std::uint32_t width, std::uint64_t poly,
                                           std::uint64_t init, bool refin, bool refout,
                                           std::uint64_t xorout) {
  if (width < 3 || width > 64) {
    return value_error("a CRC's width must be 3 to 64 bits, not " + std::to_string(width));
  }
  const std::uint64_t mask = mask_of(width);
  const auto too_wide = [&](const char* what, std::uint64_t value) {
    return value_error(std::string("a CRC's ") + what + " must fit its width of " +
                       std::to_string(width) + " bits, not " + std::to_string(value));
  };
  if ((poly & ~mask) != 0) return too_wide("poly", poly);
  if ((poly & 1u) == 0) {
    return value_error("a CRC's poly must be odd (its x^0 term set), not " + std::to_string(poly));
  }
  if ((init & ~mask) != 0) return too_wide("init", init);
  if ((xorout & ~mask) != 0) return too_wide("xorout", xorout);
  CheckAlgorithm a = crc("", width, poly, init, refin, refout, xorout);
  // Named after the catalogue's algorithm when the parameters are one.
  for (const NamedCheck& row : kNamedChecks) {
    const CheckAlgorithm known = row.make();
    if (known.kind == CheckKind::Crc && known.width == width && known.poly == poly &&
        known.init == init && known.refin == refin && known.refout == refout &&
        known.xorout == xorout) {
      return known;
    }
  }
  char text[160];
  std::snprintf(
      text, sizeof text, "CRC width=%u poly=0x%llx init=0x%llx refin=%s refout=%s xorout=0x%llx",
      width, static_cast<unsigned long long>(poly), static_cast<unsigned long long>(init),
      refin ? "true" : "false", refout ? "true" : "false", static_cast<unsigned long long>(xorout));
  a.name = text;
  return a;
}

Checksum::Checksum(CheckAlgorithm algorithm, Vectors vectors) : algorithm_(std::move(algorithm)) {
  if (algorithm_.kind != CheckKind::Crc) return;
  tables_ = std::make_unique<CrcTables>();
  if (algorithm_.width <= 32) {
    tables_->narrow.emplace(algorithm_);
  } else {
    tables_->wide.emplace(algorithm_);
  }
  if (kHasPclmul && !(is_crc32c(algorithm_) && kHasSse42)) {
    const std::vector<std::uint64_t> powers = x_powers_by_64(2 * kWideBlocks, algorithm_);
    tables_->k128 = powers[2];
    tables_->k192 = powers[3];
    tables_->k512 = powers[8];
    tables_->k576 = powers[9];
    for (std::size_t d = 0; d < kDirectBlocks; ++d) {
      tables_->by_distance[d][0] = powers[2 * d];
      tables_->by_distance[d][1] = powers[2 * d + 1];
    }
    for (std::size_t d = 0; d < kWideBlocks; ++d) {
      tables_->reversed_distance[kWideBlocks - 1 - d][0] = powers[2 * d];
      tables_->reversed_distance[kWideBlocks - 1 - d][1] = powers[2 * d + 1];
    }
    tables_->k_reduce = x_power_mod(64 + algorithm_.width, algorithm_);
    tables_->mu = barrett_quotient(algorithm_);
#if VANTREL_HAVE_SSE42_PATH
    for (std::size_t lead = 1; lead <= 16; ++lead) {
      init_blocks(algorithm_, lead, tables_->init_blocks[lead]);
    }
#endif
    folding_ = true;
    wide_folding_ = kHasWideFolding && vectors == Vectors::Widest;
  }
  if (is_crc32c(algorithm_) && kHasSse42) {
    // The zero-byte operators for one and two lanes, from the byte table:
    // advancing register x over zeros is x -> (x >> 8) ^ T[x & 0xff].
    const SliceTables<std::uint32_t>& slice = *tables_->narrow;
    for (int tier = 0; tier < 2; ++tier) {
      for (int k = 0; k < 2; ++k) {
        const std::size_t zeros = kLanes[tier] << k;
        for (int j = 0; j < 4; ++j) {
          for (unsigned b = 0; b < 256; ++b) {
            std::uint32_t r = static_cast<std::uint32_t>(b) << (8 * j);
            for (std::size_t z = 0; z < zeros; ++z) r = (r >> 8) ^ slice.table[0][r & 0xff];
            tables_->shift[tier][k][j][b] = r;
          }
        }
      }
    }
    hardware_ = true;
  }
}

Checksum::~Checksum() = default;

std::uint64_t Checksum::compute_tables(ByteSpan data) const {
  const CheckAlgorithm& a = algorithm_;
  if (a.kind != CheckKind::Crc) return compute_sum(a, data);
  const std::uint8_t* p = data.data();
  const std::size_t n = data.size();
  std::uint64_t reg = 0;  // the model's register after the data
  if (a.refin) {
    const std::uint64_t start = reflect(a.init, a.width);
    const std::uint64_t r =
        a.width <= 32 ? tables_->narrow->reflected(static_cast<std::uint32_t>(start), p, n)
                      : tables_->wide->reflected(start, p, n);
    // The register reflected back, and reflected again when refout asks.
    return ((a.refout ? r : reflect(r, a.width)) ^ a.xorout) & mask_of(a.width);
  } else if (a.width <= 32) {
    const auto start = static_cast<std::uint32_t>(a.init << (32 - a.width));
    reg = tables_->narrow->aligned(start, p, n) >> (32 - a.width);
  } else {
    const std::uint64_t start = a.init << (64 - a.width);
    reg = tables_->wide->aligned(start, p, n) >> (64 - a.width);
  }
  return crc_result(a, reg);
}

std::uint64_t Checksum::compute(ByteSpan data) const {
#if VANTREL_HAVE_SSE42_PATH
  if (wide_folding_ && data.size() >= (algorithm_.width + 7) / 8 &&
      data.size() <= 16 * kWideBlocks) {
    return crc_result(algorithm_, fold_wide(*tables_, algorithm_, data.data(), data.size()));
  }
  if (folding_ && data.size() >= kFoldMinimum) {
    const std::uint64_t reg = fold_model_register(*tables_, algorithm_, data.data(), data.size());
    return crc_result(algorithm_, reg);
  }
  if (hardware_) {
    const CheckAlgorithm& a = algorithm_;
    const auto start = static_cast<std::uint32_t>(reflect(a.init, 32));
    const std::uint32_t r = crc32c_hardware(*tables_, start, data.data(), data.size());
    return ((a.refout ? r : reflect(r, 32)) ^ a.xorout) & 0xffffffffu;
  }
#endif
  return compute_tables(data);
}

void Checksum::compute_many(ByteSpan data, std::span<const std::uint64_t> starts,
                            std::span<const std::uint64_t> sizes,
                            std::span<std::uint64_t> values) const {
  const std::size_t count = starts.size();
#if VANTREL_HAVE_SSE42_PATH
  if (wide_folding_) {
    // Grouped by their count of 64-byte chunks, so that the loop over a
    // range's chunks ends where the branch predictor expects it to.
    const std::size_t init_bytes = (algorithm_.width + 7) / 8;
    std::size_t pending[4], lengths[4], waiting = 0;
    const std::uint8_t* pointers[4];
    std::uint64_t registers[4];
    in_groups(
        count, kWideBlocks / 4,
        [&](std::size_t i) -> std::size_t {
          const std::uint64_t n = sizes[i];
          return n >= init_bytes && n <= 16 * kWideBlocks ? (n + 63) / 64 : 0;
        },
        [&](std::size_t i) {
          // Four at a time: the last of each four computes them.
          pending[waiting] = i;
          pointers[waiting] = data.data() + starts[i];
          lengths[waiting] = sizes[i];
          if (++waiting < 4) return;
          fold_wide_four<0>(*tables_, algorithm_, pointers, lengths, registers);
          for (std::size_t k = 0; k < 4; ++k)
            values[pending[k]] = crc_result(algorithm_, registers[k]);
          waiting = 0;
        },
        [&](std::size_t i) { values[i] = compute(data.subspan(starts[i], sizes[i])); });
    for (std::size_t k = 0; k < waiting; ++k) {
      values[pending[k]] =
          crc_result(algorithm_, fold_wide(*tables_, algorithm_, pointers[k], lengths[k]));
    }
    return;
  }
  if (folding_) {
    // Grouped by block count; ranges out of the short-data path's reach go
    // one by one. A range shorter than a block is one padded block when 16
    // bytes can be read from its start and it holds the init (which then
    // stays in that block).
    const std::size_t init_bytes = (algorithm_.width + 7) / 8;
    in_groups(
        count, kDirectBlocks,
        [&](std::size_t i) -> std::size_t {
          const std::uint64_t n = sizes[i];
          const bool direct = n >= kFoldMinimum ? n <= 16 * kDirectBlocks
                                                : n >= init_bytes && data.size() - starts[i] >= 16;
          return direct ? (n + 15) / 16 : 0;
        },
        [&](std::size_t i) {
          const std::uint64_t n = sizes[i];
          values[i] = crc_result(
              algorithm_,
              fold_blocks(*tables_, algorithm_, data.data() + starts[i], n, (n + 15) / 16));
        },
        [&](std::size_t i) { values[i] = compute(data.subspan(starts[i], sizes[i])); });
    return;
  }
#endif
  for (std::size_t i = 0; i < count; ++i) values[i] = compute(data.subspan(starts[i], sizes[i]));
}

void Checksum::compute_four(const std::uint8_t* const data[4], const std::size_t sizes[4],
                            std::uint64_t values[4], std::size_t longest) const {
#if VANTREL_HAVE_SSE42_PATH
  if (wide_folding_) {
    // As many 64-byte chunks per range as the longest needs.
    switch ((std::min(longest, kFourAtOnceBytes) + 63) / 64) {
      case 0:
      case 1: fold_wide_four<1>(*tables_, algorithm_, data, sizes, values); break;
      case 2: fold_wide_four<2>(*tables_, algorithm_, data, sizes, values); break;
      case 3: fold_wide_four<3>(*tables_, algorithm_, data, sizes, values); break;
      default: fold_wide_four<4>(*tables_, algorithm_, data, sizes, values); break;
    }
    for (std::size_t k = 0; k < 4; ++k) values[k] = crc_result(algorithm_, values[k]);
    return;
  }
#endif
  for (std::size_t k = 0; k < 4; ++k) values[k] = compute({data[k], sizes[k]});
}

std::uint64_t Checksum::compute_reference(ByteSpan data) const {
  const CheckAlgorithm& a = algorithm_;
  if (a.kind != CheckKind::Crc) return compute_sum(a, data);
  // The model as written: the register shifts each message bit in, most
  // significant first, after reflecting each byte when refin says so.
  const std::uint64_t top = std::uint64_t{1} << (a.width - 1);
  const std::uint64_t mask = mask_of(a.width);
  std::uint64_t reg = a.init;
  for (const std::uint8_t byte : data) {
    const std::uint8_t in = a.refin ? static_cast<std::uint8_t>(reflect(byte, 8)) : byte;
    for (int bit = 7; bit >= 0; --bit) {
      const bool feedback = ((reg & top) != 0) != (((in >> bit) & 1u) != 0);
      reg = (reg << 1) & mask;
      if (feedback) reg ^= a.poly;
    }
  }
  return crc_result(a, reg);
}

bool crc32c_hardware_available() { return kHasSse42; }

}  // namespace vantrel
