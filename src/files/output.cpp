#include "files/output.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
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

// Whether the folder can hold a file of that name: its last component within
// the folder's limit on names (255 bytes on most file systems), the whole
// within the system's limit on paths.
bool NameFits(const std::string& name) {
  const std::string folder = FolderOf(name);
  const long limit = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
  const std::size_t longest = limit > 0 ? static_cast<std::size_t>(limit) : NAME_MAX;
  return name.size() - folder.size() <= longest && name.size() < PATH_MAX;
}

// ---- Signals ---------------------------------------------------------------
//
// Every signal whose default action ends the process is caught while a
// temporary file exists (all of them but SIGKILL and SIGSTOP, which cannot
// be). The handler may run on any thread, at any moment, and several at
// once: the temporary file changes hands (created, put in place, removed)
// only while `changing` is held, by a thread that holds the signals back
// meanwhile; a handler takes it first and keeps it until the process ends,
// so that nothing changes hands between the removal and the end.

// The temporary file a signal removes; null while none is written.
std::atomic<const char*> pendingTemporary{nullptr};
std::atomic_flag changing = ATOMIC_FLAG_INIT;
// Set by CatchInterrupts: the run is the program's own, and ends with its
// own status once an output is in place (`placed`).
std::atomic<bool> ownRun{false};
std::atomic<bool> placed{false};
int lastWrite = 0;
OutputHook outputHook = nullptr;

// The set of those signals.
const sigset_t& EndingSignals() {
  static const sigset_t set = [] {
    sigset_t s;
    sigemptyset(&s);
    for (const int signal :
         {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1, SIGSEGV,
          SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGSYS}) {
      sigaddset(&s, signal);
    }
#ifdef SIGSTKFLT
    sigaddset(&s, SIGSTKFLT);
#endif
#ifdef SIGPWR
    sigaddset(&s, SIGPWR);
#endif
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) sigaddset(&s, signal);
    return s;
  }();
  return set;
}

// Faults of the program itself: they end it whatever its state.
bool IsFault(int signal) {
  return signal == SIGILL || signal == SIGTRAP || signal == SIGBUS || signal == SIGFPE || signal == SIGSEGV ||
         signal == SIGSYS;
}

void TakeChanging() {
  while (changing.test_and_set(std::memory_order_acquire)) ::sched_yield();
}

// Removes the temporary file and clears the progress line, then ends the
// process by the same signal, raised again with its default action and
// delivered as the handler returns. Once the output of the program's own
// run is in place, a signal other than a fault is ignored instead.
extern "C" void OnSignal(int signal) {
  const int saved = errno;
  TakeChanging();
  if (placed.load() && !IsFault(signal)) {
    changing.clear(std::memory_order_release);
    errno = saved;
    return;
  }
  const char* temporary = pendingTemporary.load();
  if (temporary != nullptr) ::unlink(temporary);
  EraseProgressLine();
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
  ::raise(signal);
  errno = saved;
}

// Catches every one of those signals whose action is the default; the set
// of the ones caught.
sigset_t CatchDefaultSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_mask = EndingSignals();
  action.sa_flags = SA_RESTART;
  sigset_t caught;
  sigemptyset(&caught);
  for (int signal = 1; signal < NSIG; ++signal) {
    struct sigaction current {};
    if (sigismember(&EndingSignals(), signal) == 1 && ::sigaction(signal, nullptr, &current) == 0 &&
        (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL &&
        ::sigaction(signal, &action, nullptr) == 0) {
      sigaddset(&caught, signal);
    }
  }
  return caught;
}

// Gives the signals caught by CatchDefaultSignals their default back.
void ReleaseSignals(const sigset_t& caught) {
  for (int signal = 1; signal < NSIG; ++signal) {
    if (sigismember(&caught, signal) == 1) std::signal(signal, SIG_DFL);
  }
}

// A change of hands of the temporary file: only system calls and atomic
// stores inside, since a handler on another thread may be waiting for it.
class Changing {
 public:
  Changing() {
    ::pthread_sigmask(SIG_BLOCK, &EndingSignals(), &previous_);
    TakeChanging();
  }
  ~Changing() {
    changing.clear(std::memory_order_release);
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  Changing(const Changing&) = delete;
  Changing& operator=(const Changing&) = delete;

 private:
  sigset_t previous_;
};

// A process that ends through exit() (every fatal path does) removes the
// temporary file too.
void RemoveAtExit() {
  static std::once_flag registered;
  std::call_once(registered, [] { std::atexit(RemoveTemporaryOutput); });
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

int LastWriteFailed() { return lastWrite; }

void RemoveTemporaryOutput() {
  TakeChanging();
  const char* temporary = pendingTemporary.load();
  if (temporary != nullptr) ::unlink(temporary);
  changing.clear(std::memory_order_release);
}

void CatchInterrupts() {
  ownRun = true;
  CatchDefaultSignals();
}

void SetOutputHook(OutputHook hook) { outputHook = hook; }

SafeOutput::SafeOutput() {
  lastWrite = -1;
  sigemptyset(&caught_);
}

SafeOutput::~SafeOutput() { Discard(); }

void SafeOutput::Discard() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (temporary_.empty()) return;
  {
    Changing held;
    ::unlink(temporary_.c_str());
    pendingTemporary = outerTemporary_;
    ReleaseSignals(caught_);
  }
  sigemptyset(&caught_);
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

bool SafeOutput::Create() {
  RemoveAtExit();
  // A file that replaces another starts private and gets the old one's
  // permissions below.
  struct stat old {};
  const bool replacing = overwrite_ == 1 && ::lstat(target_.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  writeback_ = 0;
  for (unsigned attempt = 0; fd_ < 0; ++attempt) {
    temporary_ = TemporaryName(target_, attempt);
    int error = 0;
    {
      Changing held;
      fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, replacing ? 0600 : 0666);
      if (fd_ >= 0) {
        outerTemporary_ = pendingTemporary.exchange(temporary_.c_str());
        caught_ = CatchDefaultSignals();
      } else {
        error = errno;
      }
    }
    if (fd_ < 0 && (error != EEXIST || attempt > 100)) {
      temporary_.clear();
      return false;
    }
  }
  if (replacing) {
    // The owner and group where the process may give them (root; a group
    // of the user's own), then the permission bits: never the set-user-ID,
    // set-group-ID and sticky bits, which the new owner did not ask for.
    if (::fchown(fd_, old.st_uid, old.st_gid) != 0 && ::fchown(fd_, static_cast<uid_t>(-1), old.st_gid) != 0) {
      // The process's own owner and group stay.
    }
    ::fchmod(fd_, old.st_mode & 0777);
  }
  return true;
}

bool SafeOutput::Open(const char* name, int overwrite) {
  target_ = name;
  overwrite_ = overwrite;
  if (Keeps(name, overwrite)) {
    ReportExisting(name);
    return false;
  }
  if (!NameFits(target_) || !Create()) {
    ErrorMessage("ERROR: Couldn't open the file: %s", name);
    return false;
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
  if (used_ > 0 && error_ == 0) {
    WriteAll(fd_, buffer_.data(), used_, error_);
    holeAtEnd_ = false;
    StartWriteback();
  }
  used_ = 0;
  if (!hooked_ && outputHook != nullptr) {
    hooked_ = true;
    outputHook(OutputMoment::FirstBlock);
  }
}

void SafeOutput::StartWriteback() {
#if defined(__linux__)
  // What is written goes to the disk in the background as the run goes on,
  // so that the fsync before the rename waits for little; its failures,
  // if any, are the fsync's to report.
  constexpr std::int64_t kStep = std::int64_t{1} << 20;
  const off_t at = ::lseek(fd_, 0, SEEK_CUR);
  if (at >= 0 && at >= writeback_ + kStep) {
    ::sync_file_range(fd_, writeback_, at - writeback_, SYNC_FILE_RANGE_WRITE);
    writeback_ = at;
  }
#endif
}

bool SafeOutput::Flush() {
  if (used_ > 0 && error_ == 0) {
    WriteAll(fd_, buffer_.data(), used_, error_);
    holeAtEnd_ = false;
  }
  used_ = 0;
  return error_ == 0 || Fail("Writing", error_);
}

void SafeOutput::WriteSlow(const void* data, std::size_t size) {
  Drain();
  if (size >= buffer_.size()) {
    if (error_ == 0) WriteAll(fd_, static_cast<const char*>(data), size, error_);
    holeAtEnd_ = false;
    return;
  }
  std::memcpy(buffer_.data(), data, size);
  used_ = size;
}

void SafeOutput::Zeros(std::uint64_t n) {
  if (n < buffer_.size()) {
    std::memset(Reserve(n), 0, n);
    Advance(n);
    return;
  }
  Drain();
  if (error_ != 0) return;
  const off_t at = ::lseek(fd_, 0, SEEK_CUR);
  if (at < 0 || n > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max() - at)) {
    error_ = at < 0 ? errno : EFBIG;
  } else if (::lseek(fd_, static_cast<off_t>(n), SEEK_CUR) < 0) {
    error_ = errno;
  }
  holeAtEnd_ = true;
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

int SafeOutput::PutInPlace() {
  Changing held;
  int result = 0;
  if (overwrite_ == 1) {
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) result = errno;
  } else if (::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE) != 0) {
    result = errno;
    // File systems without the no-replace rename: the target was checked
    // when the file was opened.
    if (result == EINVAL || result == ENOSYS) result = ::rename(temporary_.c_str(), target_.c_str()) == 0 ? 0 : errno;
  }
  if (result != 0) return result;
  // In place: nothing is left to remove, and the program's own run ends
  // with its own status from now on.
  pendingTemporary = outerTemporary_;
  if (ownRun.load()) placed = true;
  ReleaseSignals(caught_);
  return 0;
}

bool SafeOutput::Commit() {
  Drain();
  if (error_ == 0 && holeAtEnd_) {
    const off_t end = ::lseek(fd_, 0, SEEK_CUR);
    if (end < 0 || ::ftruncate(fd_, end) != 0) error_ = errno;
  }
  if (error_ != 0) return Fail("Writing", error_);
  if (::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) return Fail("Writing", errno);
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) return Fail("Writing", errno);
  const int error = PutInPlace();
  if (error == EEXIST && overwrite_ != 1) {
    Discard();
    ReportExisting(target_.c_str());
    return false;
  }
  if (error != 0) return Fail(overwrite_ == 1 ? "Replacing" : "Creating", error);
  sigemptyset(&caught_);
  temporary_.clear();
  if (outputHook != nullptr) outputHook(OutputMoment::InPlace);
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
