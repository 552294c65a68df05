#include "support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace mirvo::test {
namespace {

void RemoveTree(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    ::chmod(path.c_str(), 0700);
    for (const auto& name : ListFolder(path)) RemoveTree(path + "/" + name);
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

std::string Drain(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/mirvo-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

TempDir::~TempDir() { RemoveTree(path_); }

Fifo::Fifo(const std::string& path, std::string bytes) : path_(path) {
  std::signal(SIGPIPE, SIG_IGN);
  ::mkfifo(path.c_str(), 0600);
  writer_ = std::thread([this, bytes = std::move(bytes)] {
    const int fd = ::open(path_.c_str(), O_WRONLY);
    for (std::size_t at = 0; fd >= 0 && at < bytes.size();) {
      const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    if (fd >= 0) ::close(fd);
  });
}

Fifo::~Fifo() {
  const int unblock = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK);
  writer_.join();
  if (unblock >= 0) ::close(unblock);
}

std::string TempDir::File(const std::string& name) const { return path_ + "/" + name; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

RunResult RunMirvo(const std::vector<std::string>& args, const std::string& folder) {
  return RunMirvoLimited(args, folder, RunLimits{});
}

RunResult RunMirvoLimited(const std::vector<std::string>& args, const std::string& folder, const RunLimits& limits) {
  TempDir capture;
  const std::string outPath = capture.File("out"), errPath = capture.File("err");
  int terminal = -1;
  if (limits.terminal) {
    terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (terminal < 0 || ::grantpt(terminal) != 0 || ::unlockpt(terminal) != 0) return RunResult{};
  }
  const pid_t child = ::fork();
  if (child == 0) {
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int closed[2];
    if (limits.closedOutput && ::pipe(closed) == 0) {
      ::close(closed[0]);
      ::dup2(closed[1], 1);
    } else {
      ::dup2(out, 1);
    }
    ::dup2(err, 2);
    // Signals that dump core leave no core file among the test's files.
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    if (limits.pauseInPlace) ::setenv("MIRVO_PAUSE", "placed", 1);
    if (limits.progressDelay >= 0) ::setenv("MIRVO_PROGRESS_DELAY", std::to_string(limits.progressDelay).c_str(), 1);
    if (limits.fileSize >= 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit size{static_cast<rlim_t>(limits.fileSize), static_cast<rlim_t>(limits.fileSize)};
      if (::setrlimit(RLIMIT_FSIZE, &size) != 0) ::_exit(126);
    }
    if (limits.addressSpace >= 0) {
      const rlimit space{static_cast<rlim_t>(limits.addressSpace), static_cast<rlim_t>(limits.addressSpace)};
      if (::setrlimit(RLIMIT_AS, &space) != 0) ::_exit(126);
    }
    if (limits.unprivileged && ::geteuid() == 0) {
      // Still root, owner of the test's files, but subject to their
      // permission bits: the binary started below gets none of these.
      for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
        if (::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) ::_exit(126);
      }
    }
    if (::chdir(folder.c_str()) != 0) ::_exit(127);
    if (terminal >= 0) {
      ::setsid();
      const int slave = ::open(::ptsname(terminal), O_RDWR);
      ::ioctl(slave, TIOCSCTTY, 0);
      if (limits.columns > 0) {
        const winsize size{24, static_cast<unsigned short>(limits.columns), 0, 0};
        ::ioctl(slave, TIOCSWINSZ, &size);
      }
      ::dup2(slave, 0);
      ::dup2(slave, 1);
      if (limits.stderrFile.empty()) {
        ::dup2(slave, 2);
      } else {
        ::dup2(::open(limits.stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
      }
      ::close(slave);
      ::close(terminal);
    }
    std::vector<char*> argv;
    std::string program = limits.binary;
    argv.push_back(program.data());
    std::vector<std::string> copies(args);
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  std::string shown;
  std::thread reader;
  if (terminal >= 0) {
    // The terminal is read while the program runs, so that it never waits
    // for room to write.
    reader = std::thread([&] { shown = Drain(terminal); });
  }
  int status = 0;
  while (::waitpid(child, &status, WUNTRACED) == child && WIFSTOPPED(status)) {
    if (limits.whenStopped) {
      limits.whenStopped(child);
    } else {
      ::kill(child, SIGCONT);
    }
  }
  if (terminal >= 0) {
    reader.join();
    ::close(terminal);
  }
  RunResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  const int out = ::open(outPath.c_str(), O_RDONLY);
  const int err = ::open(errPath.c_str(), O_RDONLY);
  result.out = terminal >= 0 ? shown : Drain(out);
  result.err = Drain(err);
  ::close(out);
  ::close(err);
  return result;
}

const std::vector<mirvo::KernelLevel>& EveryLevel() {
  static const std::vector<mirvo::KernelLevel> levels = [] {
    std::vector<mirvo::KernelLevel> all;
    for (int l = 0; l <= static_cast<int>(mirvo::KernelLevel::Avx512Vbmi); ++l)
      all.push_back(static_cast<mirvo::KernelLevel>(l));
    return all;
  }();
  return levels;
}

ForcedLevel::ForcedLevel(mirvo::KernelLevel level) : offered_(mirvo::SetKernelLevel(level) == level) {}

ForcedLevel::~ForcedLevel() { mirvo::SetKernelLevel(mirvo::BestKernelLevel()); }

void MakeSet(Codebook* cb, const std::vector<VectorSpec>& vectors, int vectorSizeX, int vectorSizeY,
             int bytesPerElement, bool codebook) {
  CreateNewTrainingSet(cb, static_cast<int>(vectors.size()), vectorSizeX, vectorSizeY, bytesPerElement, 0, 0, 0, "");
  if (codebook) SetVerString(cb->VersionString, KindCodebook);
  int total = 0;
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    BookNode& node = cb->Book[i];
    std::int64_t sum = 0;
    for (std::size_t k = 0; k < vectors[i].elements.size(); ++k) {
      node.Vector[k] = vectors[i].elements[k];
      sum += vectors[i].elements[k];
    }
    node.Freq = vectors[i].freq;
    node.VectorMean =
        static_cast<int>(static_cast<double>(sum) / static_cast<double>(vectors[i].elements.size()) + 0.5);
    ChangeVectorName(&node, vectors[i].name.empty() ? nullptr : vectors[i].name.c_str());
    total += vectors[i].freq;
  }
  cb->TotalFreq = total;
}

}  // namespace mirvo::test
