#include "file/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "file/file.h"
#include "interfc/interfc.h"

namespace {

constexpr std::size_t kBufferSize = std::size_t{1} << 20;

std::string FolderOf(const std::string& name) {
  const auto slash = name.find_last_of('/');
  return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

// A hidden name in the target's folder; short enough for any file system
// whatever the length of the target's own name.
std::string TemporaryName(const std::string& target, unsigned attempt) {
  static std::minstd_rand random(static_cast<unsigned>(getpid()) ^ std::random_device{}());
  std::string base = target.substr(FolderOf(target).size(), 200);
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".%08x%02x.tmp", static_cast<unsigned>(random()), attempt & 0xFFu);
  return FolderOf(target) + "." + base + suffix;
}

bool WriteAll(int fd, const char* data, std::size_t size, int& error) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

SafeOutput::~SafeOutput() { Discard(); }

void SafeOutput::Discard() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!temporary_.empty()) {
    ::unlink(temporary_.c_str());
    temporary_.clear();
  }
}

void SafeOutput::Fail(const char* what, int error) {
  Discard();
  ErrorMessage("ERROR: %s the file %s failed: %s\n", what, target_.c_str(), std::strerror(error));
  ExitProcessing(-1);
}

bool SafeOutput::Keeps(const char* name, int overwrite) {
  struct stat info {};
  return overwrite != 1 && ::lstat(name, &info) == 0;
}

void SafeOutput::ReportExisting(const char* name) { ErrorMessage("ERROR: File already exists: %s", name); }

bool SafeOutput::Open(const char* name, int overwrite) {
  target_ = name;
  overwrite_ = overwrite;
  if (Keeps(name, overwrite)) {
    ReportExisting(name);
    return false;
  }
  for (unsigned attempt = 0; fd_ < 0; ++attempt) {
    temporary_ = TemporaryName(target_, attempt);
    fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0 && (errno != EEXIST || attempt > 100)) {
      temporary_.clear();
      ErrorMessage("ERROR: Couldn't open the file: %s", name);
      ExitProcessing(-1);
    }
  }
  buffer_.resize(kBufferSize);
  used_ = 0;
  return true;
}

void SafeOutput::Drain() {
  if (used_ > 0 && error_ == 0) WriteAll(fd_, buffer_.data(), used_, error_);
  used_ = 0;
}

void SafeOutput::WriteSlow(const void* data, std::size_t size) {
  Drain();
  if (size >= buffer_.size()) {
    if (error_ == 0) WriteAll(fd_, static_cast<const char*>(data), size, error_);
    return;
  }
  std::memcpy(buffer_.data(), data, size);
  used_ = size;
}

char* SafeOutput::Reserve(std::size_t n) {
  if (n > buffer_.size() - used_) {
    Drain();
    if (n > buffer_.size()) buffer_.resize(n);
  }
  return buffer_.data() + used_;
}

void SafeOutput::Decimal(std::int64_t v) {
  char* p = Reserve(24);
  char digits[24];
  int n = 0;
  std::uint64_t magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  std::size_t length = 0;
  if (v < 0) p[length++] = '-';
  while (n > 0) p[length++] = digits[--n];
  Advance(length);
}

bool SafeOutput::Commit() {
  Drain();
  if (error_ != 0) Fail("Writing", error_);
  if (::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) Fail("Writing", errno);
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) Fail("Writing", errno);
  if (overwrite_ == 1) {
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) Fail("Replacing", errno);
  } else if (::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno == EEXIST) {
      Discard();
      ReportExisting(target_.c_str());
      return false;
    }
    // File systems without the no-replace rename: the target was checked
    // when the file was opened.
    if ((errno != EINVAL && errno != ENOSYS) || ::rename(temporary_.c_str(), target_.c_str()) != 0) {
      Fail("Creating", errno);
    }
  }
  temporary_.clear();
  const std::string folder = FolderOf(target_);
  const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}
