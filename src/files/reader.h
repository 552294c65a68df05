// Buffered reading of the data files: text header lines with the integer
// rules of the "%i" conversion, and binary records decoded in large blocks.
// Regular files and streams that can be read once only (pipes, FIFOs,
// /dev/stdin) are read alike, a buffer at a time: nothing is read ahead of
// need, so memory does not grow with the input.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "files/buffer.h"
#include "files/coding.h"

namespace mirvo {

class FileReader {
 public:
  // Reads from an open stream that the caller keeps owning, from its current
  // position. The size of what is left is known for regular files only.
  explicit FileReader(std::FILE* stream);
  // Reads from a stream it owns and closes.
  explicit FileReader(std::unique_ptr<std::FILE, int (*)(std::FILE*)> owned);

  int Get();
  int Peek();
  // The first line as ReadLine would read it, without consuming anything.
  std::size_t PeekLine(char* out, std::size_t size);
  // fgets: up to size-1 characters or through the first line feed, which is
  // kept. Returns the number of bytes read, 0 when nothing could be read; a
  // zero byte in the line makes it shorter than that as a text.
  std::size_t ReadLine(char* out, std::size_t size);
  // Consumes characters through the next line feed or to the end.
  void SkipLine();
  void SkipWhitespace();

  using Scan = ScanResult;
  // One integer under the rules of "%i" (mirvo/coding.h).
  Scan ScanInt(std::int64_t& value) { return ScanInteger(*this, value); }

  // Makes at least n bytes available at Data() unless the input ends first;
  // returns the number available (at most the buffer's content).
  std::size_t Ensure(std::size_t n);
  const unsigned char* Data() const { return buffer_->data() + begin_; }
  // Goes on reading into the caller's buffer (null: the reader's own), the
  // bytes not yet consumed copied to its front. Bytes made available before
  // stay where they are, in the buffer they were read into: a caller that
  // lends its buffer, then takes bytes from it, may work on them (from any
  // thread) until it lends that buffer again, as long as every caller
  // lends a buffer of its own before reading. A buffer lent must last until
  // another one is lent.
  void Lend(Buffer<unsigned char>* buffer);
  std::size_t Available() const { return end_ - begin_; }
  void Consume(std::size_t n) {
    begin_ += n;
    position_ += n;
  }

  // Bytes left in the input when its size is known (regular files).
  std::optional<std::uint64_t> Remaining() const;

 private:
  bool Refill();
  // The bytes not consumed to the front of the buffer, grown to `size`.
  void Shift(std::size_t size);

  std::unique_ptr<std::FILE, int (*)(std::FILE*)> owned_{nullptr, nullptr};
  std::FILE* stream_;
  Buffer<unsigned char> own_;
  Buffer<unsigned char>* buffer_;  // own_, or a caller's (Lend)
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::uint64_t position_ = 0;
  std::optional<std::uint64_t> size_;
  bool eof_ = false;
};

// Opens a data file for reading; null when it cannot be opened (nothing is
// reported). A regular file is opened afresh at every call. A stream that can
// be read once only is opened at its first call and kept, and every later
// call for the same name gets that same reader, positioned where its reader
// left it; TakeInput hands the reader over and forgets it. This is what lets
// the kind of a pipe be learnt from its first line (PeekLine) and the pipe
// then be read from its first byte. The table of kept inputs is process-wide
// and locked.
std::shared_ptr<FileReader> OpenInput(const char* name);
std::shared_ptr<FileReader> TakeInput(const char* name);

// Decodes `count` big-endian integers of `width` bytes into out, as
// DecodeBigEndian does. Returns the number decoded, which is less than count
// only when the input ends.
template <class T>
std::size_t ReadBigEndianBlock(FileReader& reader, T* out, std::size_t count, int width) {
  std::size_t done = 0;
  const auto w = static_cast<std::size_t>(width);
  while (done < count) {
    std::size_t available = reader.Available();
    if (available < w) available = reader.Ensure(std::min<std::size_t>(count - done, (std::size_t{1} << 20) / w) * w);
    const std::size_t n = std::min(count - done, available / w);
    if (n == 0) break;
    DecodeBigEndian(reader.Data(), out + done, n, width);
    reader.Consume(n * w);
    done += n;
  }
  return done;
}

}  // namespace mirvo
