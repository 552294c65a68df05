#include "mirvo/file.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "files/coding.h"
#include "mirvo/interfc.h"

namespace mirvo {

// The C library's assertion failure, which stays available when assertions
// are compiled out.
extern "C" [[noreturn]] void __assert_fail(const char* expression, const char* file, unsigned int line,
                                           const char* function) noexcept;

int ExistFile(const char* name) {
  std::FILE* f = std::fopen(name, "rb");
  if (f == nullptr) return 0;
  std::fclose(f);
  return 1;
}

std::FILE* FileOpen(const char* name, int mode, int overwrite) {
  std::FILE* f = nullptr;
  switch (mode) {
    case FileModeWrite:
      if (ExistFile(name) == 1) {
        if (overwrite != 1) {
          ErrorMessage("ERROR: File already exists: %s", name);
          return nullptr;
        }
        // unlink, not remove: an empty folder of that name is not deleted
        // (creating the file then fails and is reported).
        ::unlink(name);
      }
      f = std::fopen(name, "wb+");
      if (f == nullptr) ErrorMessage("ERROR: Couldn't open the file: %s", name);
      return f;
    case FileModeRead:
      f = std::fopen(name, "rb");
      if (f == nullptr) ErrorMessage("ERROR: Cannot find the file: %s", name);
      return f;
    default:
      ErrorMessage("ERROR: Invalid file mode:%d", mode);
      return nullptr;
  }
}

std::FILE* OpenFile(const char* name, int mode, int overwrite) {
  std::FILE* f = FileOpen(name, mode, overwrite);
  if (f == nullptr) ExitProcessing(-1);
  return f;
}

// Widths above 4 bytes have no meaning in any file of the library: they
// write and read nothing.
int WriteIntegerToFile(std::FILE* stream, int value, int width) {
  if (width >= 0 && width <= 3 && (value >> (8 * width)) > 0) {
    ErrorMessage("ERROR: Vector element value is too big (%d). Increase bytes/elem ratio.", value);
    return 0;
  }
  if (width <= 0 || width > 4) return 0;
  unsigned char bytes[4];
  EncodeBigEndian(&value, 1, width, bytes);
  for (int k = 0; k < width; ++k) {
    if (std::putc(bytes[k], stream) == EOF) {
      ErrorMessage("ERROR: unable to write to file.");
      return k;
    }
  }
  return width;
}

namespace {

// Reads up to width bytes into bytes (the rest zero); returns how many.
int ReadBytes(std::FILE* stream, unsigned char (&bytes)[4], int width) {
  for (int k = 0; k < width; ++k) {
    const int c = std::getc(stream);
    if (c == EOF) {
      ErrorMessage("ERROR: unable to read from file.");
      return k;
    }
    bytes[k] = static_cast<unsigned char>(c);
  }
  return width;
}

}  // namespace

int ReadIntegerFromFile(std::FILE* stream, int* value, int width) {
  if (width < 1 || width > 4) {
    *value = 0;
    return 0;
  }
  unsigned char bytes[4] = {};
  const int got = ReadBytes(stream, bytes, width);
  // A short read keeps the bytes read so far followed by one zero byte.
  DecodeBigEndian(bytes, value, 1, got < width ? got + 1 : width);
  return got;
}

int ReadLittleEndianIntegerFromFile(std::FILE* stream, int* value, int width) {
  if (width < 1 || width > 4) {
    *value = 0;
    return 0;
  }
  unsigned char bytes[4] = {};
  const int got = ReadBytes(stream, bytes, width);
  *value = DecodeLittleEndian(bytes, got);
  return got;
}

void InitializeBitStream(BitStream* bits, std::FILE* stream) {
  bits->Stream = stream;
  bits->Buffer = 0;
  bits->BitCount = 0;
}

void OutputBit(BitStream* bits, int bit) {
  // A bit other than 0 or 1 is a programming error and stops the process
  // also in release builds.
  if (!(bit == 0 || bit == 1)) __assert_fail("bit == 0 || bit == 1", __FILE__, __LINE__, __func__);
  bits->Buffer = bits->Buffer * 2 + bit;
  if (++bits->BitCount == 8) {
    std::putc(bits->Buffer & 0xFF, bits->Stream);
    bits->Buffer = 0;
    bits->BitCount = 0;
  }
}

void OutputValue(BitStream* bits, int value, int count) {
  for (int k = 0; k < count; ++k) {
    OutputBit(bits, value & 1);
    value >>= 1;
  }
}

void FlushOutput(BitStream* bits) {
  if (bits->BitCount == 0) return;
  std::putc((bits->Buffer << (8 - bits->BitCount)) & 0xFF, bits->Stream);
  bits->Buffer = 0;
  bits->BitCount = 0;
}

int InputBit(BitStream* bits) {
  if (bits->BitCount == 0) {
    const int c = std::getc(bits->Stream);
    if (c == EOF) {
      ErrorMessage("Unexpected EOF in input file.");
      return -1;
    }
    bits->Buffer = c;
    bits->BitCount = 8;
  }
  --bits->BitCount;
  const int bit = (bits->Buffer >> 7) & 1;
  bits->Buffer = (bits->Buffer << 1) & 0xFF;
  return bit;
}

int InputValue(BitStream* bits, int count) {
  unsigned value = 0;
  for (int k = 0; k < count; ++k) {
    if (InputBit(bits) != 0 && k < 32) value |= 1u << k;
  }
  return static_cast<int>(value);
}

void FlushInput(BitStream* bits) { bits->BitCount = 0; }

namespace {

// Whether the last path component ('/' and '\' both separate) has a '.'.
bool HasExtension(std::string_view name) {
  for (auto i = name.size(); i-- > 0;) {
    if (name[i] == '.') return true;
    if (name[i] == '/' || name[i] == '\\') return false;
  }
  return false;
}

}  // namespace

void PickFileName(std::string_view source, std::string& destination) {
  destination.assign(source.substr(0, source.find('.')));
}

void PickFileName(const char* source, char* destination) {
  const std::string_view name(source);
  const std::size_t kept = std::min(name.find('.'), name.size());
  std::memmove(destination, source, kept);
  destination[kept] = '\0';
}

void CheckFileName(std::string& name, std::string_view extension) {
  if (HasExtension(name)) return;
  name += '.';
  name += extension;
}

void CheckFileName(char* name, const char* extension) {
  if (HasExtension(name)) return;
  const std::size_t length = std::strlen(name);
  name[length] = '.';
  std::strcpy(name + length + 1, extension);
}

int CheckExtention(std::string_view name, std::string_view extension) {
  const auto dot = name.find('.');
  if (dot == std::string_view::npos) return 0;
  return name.substr(dot + 1) == extension ? 1 : 0;
}

int EqualFileNames(std::string_view first, std::string_view second) {
  if (first.size() != second.size()) return 0;
  for (std::size_t i = 0; i < first.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(first[i])) != std::toupper(static_cast<unsigned char>(second[i]))) {
      return 0;
    }
  }
  return 1;
}

}  // namespace mirvo
