// Buffered reading of the data files: text header lines with the integer
// rules of the "%i" conversion, and binary records decoded in large blocks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "file/coding.h"

class FileReader {
 public:
  // Reads from an open stream that the caller keeps owning. The stream's
  // size is known for regular files; anything else (a pipe) is read whole
  // into memory first so that sizes can be checked before allocating.
  explicit FileReader(std::FILE* stream);

  int Get();
  int Peek();
  // fgets: up to size-1 characters or through the first line feed, which is
  // kept. Returns the number of bytes read, 0 when nothing could be read; a
  // zero byte in the line makes it shorter than that as a text.
  std::size_t ReadLine(char* out, std::size_t size);
  // Consumes characters through the next line feed or to the end.
  void SkipLine();
  void SkipWhitespace();

  using Scan = ScanResult;
  // One integer under the rules of "%i" (file/coding.h).
  Scan ScanInt(std::int64_t& value) { return ScanInteger(*this, value); }

  // Makes at least n bytes available at Data() unless the input ends first;
  // returns the number available (at most the buffer's content).
  std::size_t Ensure(std::size_t n);
  const unsigned char* Data() const { return buffer_.data() + begin_; }
  std::size_t Available() const { return end_ - begin_; }
  void Consume(std::size_t n) { begin_ += n; position_ += n; }

  // Bytes left in the input when its size is known.
  std::optional<std::uint64_t> Remaining() const;

 private:
  bool Refill();

  std::FILE* stream_;
  std::vector<unsigned char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::uint64_t position_ = 0;
  std::optional<std::uint64_t> size_;
  bool eof_ = false;
};

// Decodes `count` unsigned big-endian integers of `width` bytes (1 to 4;
// width 4 is two's complement) into out. Returns the number decoded, which is
// less than count only when the input ends.
std::size_t ReadBigEndianBlock(FileReader& reader, int* out, std::size_t count, int width);
