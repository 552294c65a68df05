#include "files/reader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <string>

namespace mirvo {

namespace {

constexpr std::size_t kBlock = std::size_t{1} << 18;
constexpr std::size_t kPipeBuffer = std::size_t{1} << 20;

}  // namespace

FileReader::FileReader(std::FILE* stream) : stream_(stream), own_(kBlock), buffer_(&own_) {
  struct stat info {};
  const long offset = std::ftell(stream_);
  if (fstat(fileno(stream_), &info) == 0 && S_ISREG(info.st_mode) && offset >= 0) {
    size_ = static_cast<std::uint64_t>(info.st_size) - static_cast<std::uint64_t>(offset);
  } else if (S_ISFIFO(info.st_mode)) {
    // A larger pipe buffer: fewer switches between the writer and this
    // reader. Where the system refuses it, the default stays.
    ::fcntl(fileno(stream_), F_SETPIPE_SZ, static_cast<int>(kPipeBuffer));
  }
}

FileReader::FileReader(std::unique_ptr<std::FILE, int (*)(std::FILE*)> owned)
    : FileReader((std::setvbuf(owned.get(), nullptr, _IONBF, 0), owned.get())) {
  owned_ = std::move(owned);
}

void FileReader::Shift(std::size_t size) {
  const std::size_t kept = end_ - begin_;
  std::memmove(buffer_->data(), buffer_->data() + begin_, kept);
  if (buffer_->size() < size) buffer_->resize(size);
  begin_ = 0;
  end_ = kept;
}

void FileReader::Lend(Buffer<unsigned char>* buffer) {
  Buffer<unsigned char>* next = buffer != nullptr ? buffer : &own_;
  if (next == buffer_) return;
  const std::size_t kept = end_ - begin_;
  if (next->size() < std::max(kBlock, kept)) next->resize(std::max(kBlock, kept));
  std::memcpy(next->data(), buffer_->data() + begin_, kept);
  buffer_ = next;
  begin_ = 0;
  end_ = kept;
}

bool FileReader::Refill() {
  if (eof_) return false;
  if (begin_ > 0 && end_ == buffer_->size()) Shift(0);
  if (end_ == buffer_->size()) return true;  // full; the caller grows it
  // A read error (a folder, a device that fails) ends the input like its end.
  const std::size_t got = std::fread(buffer_->data() + end_, 1, std::min(buffer_->size() - end_, kBlock), stream_);
  end_ += got;
  if (got == 0) eof_ = true;
  return got > 0;
}

std::size_t FileReader::PeekLine(char* out, std::size_t size) {
  const std::size_t available = Ensure(size - 1);
  const unsigned char* data = Data();
  std::size_t n = 0;
  while (n + 1 < size && n < available) {
    out[n] = static_cast<char>(data[n]);
    if (data[n++] == '\n') break;
  }
  out[n] = '\0';
  return n;
}

std::size_t FileReader::Ensure(std::size_t n) {
  while (end_ - begin_ < n) {
    if (begin_ > 0 || buffer_->size() < n) Shift(n);
    if (!Refill()) break;
  }
  return end_ - begin_;
}

int FileReader::Get() {
  if (begin_ == end_ && Ensure(1) == 0) return EOF;
  ++position_;
  return (*buffer_)[begin_++];
}

int FileReader::Peek() {
  if (begin_ == end_ && Ensure(1) == 0) return EOF;
  return (*buffer_)[begin_];
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
    const void* nl = std::memchr(buffer_->data() + begin_, '\n', end_ - begin_);
    if (nl != nullptr) {
      Consume(static_cast<const unsigned char*>(nl) - (buffer_->data() + begin_) + 1);
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

namespace {

struct KeptInputs {
  std::mutex lock;
  std::map<std::string, std::shared_ptr<FileReader>> readers;
};
KeptInputs& Kept() {
  static KeptInputs kept;
  return kept;
}

// The kept reader of the name, else a new one, kept when `keep` is set and
// the input can be read once only.
std::shared_ptr<FileReader> Open(const char* name, bool keep) {
  KeptInputs& kept = Kept();
  const std::lock_guard<std::mutex> guard(kept.lock);
  const auto found = kept.readers.find(name);
  if (found != kept.readers.end()) {
    auto reader = found->second;
    if (!keep) kept.readers.erase(found);
    return reader;
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(name, "rb"), &std::fclose);
  if (!file) return nullptr;
  struct stat info {};
  const bool once = fstat(fileno(file.get()), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
  auto reader = std::make_shared<FileReader>(std::move(file));
  if (once && keep) kept.readers.emplace(name, reader);
  return reader;
}

}  // namespace

std::shared_ptr<FileReader> OpenInput(const char* name) { return Open(name, true); }
std::shared_ptr<FileReader> TakeInput(const char* name) { return Open(name, false); }

}  // namespace mirvo
