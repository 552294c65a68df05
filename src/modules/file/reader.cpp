#include "file/reader.h"

#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <limits>

namespace {

constexpr std::size_t kBlock = std::size_t{1} << 20;

}  // namespace

FileReader::FileReader(std::FILE* stream) : stream_(stream), buffer_(kBlock) {
  struct stat info {};
  const long offset = std::ftell(stream_);
  if (fstat(fileno(stream_), &info) == 0 && S_ISREG(info.st_mode) && offset >= 0) {
    size_ = static_cast<std::uint64_t>(info.st_size) - static_cast<std::uint64_t>(offset);
    return;
  }
  // Not a regular file: take everything now, so that the size is known.
  while (Refill()) {
    if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
  }
  size_ = end_;
}

bool FileReader::Refill() {
  if (eof_) return false;
  if (begin_ > 0 && end_ == buffer_.size()) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == buffer_.size()) return true;  // full; the caller grows it
  const std::size_t got = std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, stream_);
  end_ += got;
  if (got == 0) eof_ = true;
  return got > 0;
}

std::size_t FileReader::Ensure(std::size_t n) {
  while (end_ - begin_ < n) {
    if (begin_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (buffer_.size() < n) buffer_.resize(n);
    if (!Refill()) break;
  }
  return end_ - begin_;
}

int FileReader::Get() {
  if (begin_ == end_ && Ensure(1) == 0) return EOF;
  ++position_;
  return buffer_[begin_++];
}

int FileReader::Peek() {
  if (begin_ == end_ && Ensure(1) == 0) return EOF;
  return buffer_[begin_];
}

std::size_t FileReader::ReadLine(char* out, std::size_t size) {
  std::size_t n = 0;
  while (n + 1 < size) {
    const int c = Get();
    if (c == EOF) break;
    out[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  out[n] = '\0';
  return n;
}

void FileReader::SkipLine() {
  for (;;) {
    if (begin_ == end_ && Ensure(1) == 0) return;
    const void* nl = std::memchr(buffer_.data() + begin_, '\n', end_ - begin_);
    if (nl != nullptr) {
      Consume(static_cast<const unsigned char*>(nl) - (buffer_.data() + begin_) + 1);
      return;
    }
    Consume(end_ - begin_);
  }
}

void FileReader::SkipWhitespace() {
  while (IsScanSpace(Peek())) Get();
}

std::optional<std::uint64_t> FileReader::Remaining() const {
  if (!size_) return std::nullopt;
  return *size_ >= position_ ? *size_ - position_ : 0;
}

std::size_t ReadBigEndianBlock(FileReader& reader, int* out, std::size_t count, int width) {
  std::size_t done = 0;
  const auto w = static_cast<std::size_t>(width);
  while (done < count) {
    std::size_t available = reader.Available();
    if (available < w) available = reader.Ensure(std::min(count - done, kBlock / w) * w);
    std::size_t n = std::min(count - done, available / w);
    if (n == 0) break;
    DecodeBigEndian(reader.Data(), out + done, n, width);
    reader.Consume(n * w);
    done += n;
  }
  return done;
}
