#include "files/output.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <random>

#include "mirvo/file.h"
#include "mirvo/interfc.h"

namespace mirvo {

namespace {

constexpr std::size_t kBufferSize = std::size_t{1} << 16;

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

// ---- Interrupts ------------------------------------------------------------

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// The temporary file an interrupt removes; null while none is written.
std::atomic<const char*> pendingTemporary{nullptr};
int lastWrite = 0;
OutputHook outputHook = nullptr;

sigset_t InterruptSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : kInterrupts) sigaddset(&set, signal);
  return set;
}

// Removes the temporary file and clears the progress line, then ends the
// process by the same signal: the action is back to the default, and the
// signal raised again is delivered as soon as the handler returns.
extern "C" void OnInterrupt(int signal) {
  RemoveTemporaryOutput();
  EraseProgressLine();
  ::raise(signal);
}

// Catches every interrupt whose action is the default; the bits of the ones
// caught.
unsigned CatchDefaultInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  action.sa_mask = InterruptSet();
  action.sa_flags = SA_RESETHAND;
  unsigned caught = 0;
  for (unsigned i = 0; i < std::size(kInterrupts); ++i) {
    struct sigaction current {};
    if (::sigaction(kInterrupts[i], nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
        current.sa_handler == SIG_DFL && ::sigaction(kInterrupts[i], &action, nullptr) == 0) {
      caught |= 1u << i;
    }
  }
  return caught;
}

// Gives the interrupts caught by CatchDefaultInterrupts their default back.
void ReleaseInterrupts(unsigned caught) {
  for (unsigned i = 0; i < std::size(kInterrupts); ++i) {
    if ((caught & (1u << i)) != 0) std::signal(kInterrupts[i], SIG_DFL);
  }
}

// Interrupts wait while the temporary file changes hands.
class InterruptsHeld {
 public:
  InterruptsHeld() {
    const sigset_t set = InterruptSet();
    ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
  }
  ~InterruptsHeld() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;

 private:
  sigset_t previous_;
};

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

int LastWriteFailed() { return lastWrite; }

void RemoveTemporaryOutput() {
  const char* temporary = pendingTemporary.load();
  if (temporary != nullptr) ::unlink(temporary);
}

void CatchInterrupts() { CatchDefaultInterrupts(); }

void SetOutputHook(OutputHook hook) { outputHook = hook; }

SafeOutput::SafeOutput() { lastWrite = -1; }

SafeOutput::~SafeOutput() { Discard(); }

void SafeOutput::Discard() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (temporary_.empty()) return;
  InterruptsHeld held;
  ::unlink(temporary_.c_str());
  pendingTemporary = outerTemporary_;
  ReleaseInterrupts(caught_);
  caught_ = 0;
  temporary_.clear();
}

bool SafeOutput::Fail(const char* what, int error) {
  Discard();
  ErrorMessage("ERROR: %s the file %s failed: %s\n", what, target_.c_str(), std::strerror(error));
  return false;
}

bool SafeOutput::Keeps(const char* name, int overwrite) {
  struct stat info {};
  return overwrite != 1 && ::lstat(name, &info) == 0;
}

void SafeOutput::ReportExisting(const char* name) {
  ErrorMessage("ERROR: File already exists: %s", name);
  lastWrite = 1;
}

bool SafeOutput::Open(const char* name, int overwrite) {
  target_ = name;
  overwrite_ = overwrite;
  if (Keeps(name, overwrite)) {
    ReportExisting(name);
    return false;
  }
  {
    InterruptsHeld held;
    for (unsigned attempt = 0; fd_ < 0; ++attempt) {
      temporary_ = TemporaryName(target_, attempt);
      fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd_ < 0 && (errno != EEXIST || attempt > 100)) {
        temporary_.clear();
        ErrorMessage("ERROR: Couldn't open the file: %s", name);
        return false;
      }
    }
    outerTemporary_ = pendingTemporary.exchange(temporary_.c_str());
    caught_ = CatchDefaultInterrupts();
  }
  try {
    buffer_.resize(kBufferSize);
  } catch (const std::bad_alloc&) {
    Discard();
    ErrorMessage("ERROR: Not enough memory for the output buffer of %s.\n", name);
    return false;
  }
  used_ = 0;
  return true;
}

void SafeOutput::Drain() {
  if (used_ > 0 && error_ == 0) WriteAll(fd_, buffer_.data(), used_, error_);
  used_ = 0;
  if (!hooked_ && outputHook != nullptr) {
    hooked_ = true;
    outputHook();
  }
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
  if (error_ != 0) return Fail("Writing", error_);
  if (::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) return Fail("Writing", errno);
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) return Fail("Writing", errno);
  {
    InterruptsHeld held;
    if (overwrite_ == 1) {
      if (::rename(temporary_.c_str(), target_.c_str()) != 0) return Fail("Replacing", errno);
    } else if (::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE) != 0) {
      if (errno == EEXIST) {
        Discard();
        ReportExisting(target_.c_str());
        return false;
      }
      // File systems without the no-replace rename: the target was checked
      // when the file was opened.
      if ((errno != EINVAL && errno != ENOSYS) || ::rename(temporary_.c_str(), target_.c_str()) != 0) {
        return Fail("Creating", errno);
      }
    }
    // In place: nothing is left to remove.
    pendingTemporary = outerTemporary_;
    ReleaseInterrupts(caught_);
    caught_ = 0;
    temporary_.clear();
  }
  const std::string folder = FolderOf(target_);
  const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  lastWrite = 0;
  return true;
}

}  // namespace mirvo
