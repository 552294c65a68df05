// The coding of numbers in the data files, by the rules mirvo/coding.h
// states: binary integer fields a block at a time, and "%i" text integers.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace mirvo {

// ---- Binary fields ---------------------------------------------------------

// The big-endian unsigned word at p (Word: uint16_t or uint32_t), one load
// and a byte swap on little-endian hosts.
template <class Word>
inline Word BigEndianWord(const unsigned char* p) {
  Word word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::little) {
    if constexpr (sizeof(Word) == 2) {
      word = __builtin_bswap16(word);
    } else {
      word = __builtin_bswap32(word);
    }
  }
  return word;
}

// Decodes n big-endian fields of `width` bytes (1 to 4) from p into out,
// whose type must hold them: uint8_t for width 1, uint16_t for widths 1 and
// 2, int for any.
template <class T>
inline void DecodeBigEndian(const unsigned char* p, T* out, std::size_t n, int width) {
  switch (width) {
    case 1:
      if constexpr (sizeof(T) == 1) {
        // Rows are short as a rule: whole words, without a call.
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8) std::memcpy(out + i, p + i, 8);
        for (; i < n; ++i) out[i] = p[i];
      } else {
        for (std::size_t i = 0; i < n; ++i) out[i] = p[i];
      }
      break;
    case 2:
      for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<T>(BigEndianWord<std::uint16_t>(p + 2 * i));
      break;
    case 3:
      for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<T>((p[3 * i] << 16) | (p[3 * i + 1] << 8) | p[3 * i + 2]);
      break;
    default:
      for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<T>(BigEndianWord<std::uint32_t>(p + 4 * i));
      break;
  }
}

// Encodes n values (uint8_t, uint16_t or int) into big-endian fields of
// `width` bytes (1 to 4) at p: the low `width` bytes of each value.
template <class T>
inline void EncodeBigEndian(const T* values, std::size_t n, int width, unsigned char* p) {
  switch (width) {
    case 1:
      if constexpr (sizeof(T) == 1) {
        std::memcpy(p, values, n);
      } else {
        for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(values[i]);
      }
      break;
    case 2:
      for (std::size_t i = 0; i < n; ++i) {
        const auto u = static_cast<std::uint32_t>(values[i]);
        p[2 * i] = static_cast<unsigned char>(u >> 8);
        p[2 * i + 1] = static_cast<unsigned char>(u);
      }
      break;
    case 3:
      for (std::size_t i = 0; i < n; ++i) {
        const auto u = static_cast<std::uint32_t>(values[i]);
        p[3 * i] = static_cast<unsigned char>(u >> 16);
        p[3 * i + 1] = static_cast<unsigned char>(u >> 8);
        p[3 * i + 2] = static_cast<unsigned char>(u);
      }
      break;
    default:
      for (std::size_t i = 0; i < n; ++i) {
        const auto u = static_cast<std::uint32_t>(values[i]);
        p[4 * i] = static_cast<unsigned char>(u >> 24);
        p[4 * i + 1] = static_cast<unsigned char>(u >> 16);
        p[4 * i + 2] = static_cast<unsigned char>(u >> 8);
        p[4 * i + 3] = static_cast<unsigned char>(u);
      }
      break;
  }
}

// One little-endian field of `width` bytes (0 to 4) from p.
inline int DecodeLittleEndian(const unsigned char* p, int width) {
  std::uint32_t value = 0;
  for (int k = 0; k < width; ++k) value |= std::uint32_t{p[k]} << (8 * k);
  return static_cast<int>(value);
}

// ---- Text integers ("%i") -------------------------------------------------

// White space as the scanf conversions skip it.
inline bool IsScanSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

enum class ScanResult { Ok, NoNumber, Overflow };

// One integer under the rules of mirvo/coding.h from a source with int
// Peek() and int Get() (EOF at the end), starting with its white space.
template <class Source>
ScanResult ScanInteger(Source& in, std::int64_t& value) {
  while (IsScanSpace(in.Peek())) in.Get();
  const auto digitValue = [](int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
  };
  bool negative = false;
  int c = in.Peek();
  if (c == '+' || c == '-') {
    negative = c == '-';
    in.Get();
    c = in.Peek();
  }
  int base = 10;
  if (c == '0') {
    in.Get();
    c = in.Peek();
    if (c == 'x' || c == 'X') {
      in.Get();
      base = 16;
    } else {
      base = 8;
    }
    // The leading zero is itself a digit: "0", "0x" and "08" all read as 0.
  } else if (!(c >= '0' && c <= '9')) {
    return ScanResult::NoNumber;
  }
  std::uint64_t magnitude = 0;
  bool overflow = false;
  for (;;) {
    const int digit = digitValue(in.Peek());
    if (digit >= base) break;
    in.Get();
    if (magnitude > (std::numeric_limits<std::uint64_t>::max() - static_cast<unsigned>(digit)) / base) {
      overflow = true;
      magnitude = std::numeric_limits<std::uint64_t>::max();
    } else if (!overflow) {
      magnitude = magnitude * base + static_cast<unsigned>(digit);
    }
  }
  constexpr auto kMax64 = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (magnitude > kMax64) magnitude = kMax64;
  value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  if (overflow || value > std::numeric_limits<int>::max() || value < std::numeric_limits<int>::min()) {
    return ScanResult::Overflow;
  }
  return ScanResult::Ok;
}

}  // namespace mirvo
