#include "fuzz_support.h"

#include "support/file_bytes.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mirvo.h"
#include "mirvo/interfc.h"
#include "mirvo/mirvo.h"

namespace mirvo::fuzz {
namespace {

std::string folder;
// Installed for the life of the process; a runaway message would only slow
// the target down.
mirvo::test::ErrorCapture* capture = nullptr;

void RemoveFolder() {
  if (folder.empty()) return;
  RemoveAllBut({});
  ::rmdir(folder.c_str());
}

}  // namespace

void Setup() {
  if (!folder.empty()) return;
  capture = new mirvo::test::ErrorCapture(65536);
  const int null = ::open("/dev/null", O_WRONLY);
  if (null >= 0) {
    ::dup2(null, 1);
    ::close(null);
  }
  struct stat info {};
  std::string pattern = (::stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode)) ? "/dev/shm" : "/tmp";
  pattern += "/mirvo-fuzz-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) Defect("cannot create the working folder %s", pattern.c_str());
  folder = buffer.data();
  std::atexit(RemoveFolder);
  // A partitioning of a few bytes may announce a codebook of any size: the
  // outputs are kept small enough to be read back, larger ones fail to be
  // written (as on a full disk).
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit size{};
  if (::getrlimit(RLIMIT_FSIZE, &size) == 0) {
    size.rlim_cur = std::min<rlim_t>(size.rlim_max, rlim_t{16} << 20);
    ::setrlimit(RLIMIT_FSIZE, &size);
  }
}

const std::string& Folder() { return folder; }

std::string PathOf(std::string_view name) { return folder + "/" + std::string(name); }

void WriteBytes(std::string_view name, const std::uint8_t* data, std::size_t size) {
  const std::string path = PathOf(name);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) Defect("cannot create %s", path.c_str());
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) Defect("cannot write %s", path.c_str());
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  ::close(fd);
}

void WriteBytes(std::string_view name, std::string_view bytes) {
  WriteBytes(name, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

std::vector<std::string> Entries() { return mirvo::test::ListFolder(folder); }

void RemoveAllBut(const std::vector<std::string>& keep) {
  for (const auto& name : Entries()) {
    if (std::find(keep.begin(), keep.end(), name) == keep.end()) ::unlink(PathOf(name).c_str());
  }
}

void Defect(const char* format, ...) {
  std::fprintf(stderr, "\n==== MIRVO FUZZ DEFECT: ");
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fprintf(stderr, "\n==== messages so far:\n%s\n", Messages().c_str());
  std::abort();
}

const std::string& Messages() {
  static const std::string none;
  return capture != nullptr ? capture->text() : none;
}

void BeginRun() { capture->Clear(); }

void CheckFatal(const FatalExit& exit, bool messageRequired) {
  if (exit.status != -1) Defect("fatal path with status %d instead of -1", exit.status);
  if (messageRequired && Messages().find("ERROR") == std::string::npos) {
    Defect("fatal path without an ERROR message");
  }
}

bool RunMirvo(const std::vector<std::string>& args, bool messageRequired) {
  std::vector<std::string> copies;
  copies.reserve(args.size() + 1);
  copies.emplace_back("mirvo");
  copies.insert(copies.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);

  char previous[4096];
  if (::getcwd(previous, sizeof previous) == nullptr) Defect("getcwd failed");
  if (::chdir(folder.c_str()) != 0) Defect("cannot enter %s", folder.c_str());
  int status = -2;
  const bool returned = Run([&] { status = MirvoMain(static_cast<int>(copies.size()), argv.data()); }, messageRequired);
  std::fflush(stdout);
  if (::chdir(previous) != 0) Defect("cannot return to %s", previous);
  if (returned && status != 0) Defect("MirvoMain returned %d", status);
  return returned;
}

std::vector<std::string_view> Split(std::string_view data, std::string_view separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto at = data.find(separator);
    if (at == std::string_view::npos) break;
    parts.push_back(data.substr(0, at));
    data.remove_prefix(at + separator.size());
  }
  parts.push_back(data);
  return parts;
}

}  // namespace mirvo::fuzz
