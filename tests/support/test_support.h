// Helpers shared by the tests: a temporary folder, file bytes, running the
// mirvo binary, and building small records in memory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "mirvo/cb.h"
#include "mirvo/engine.h"
#include "mirvo/mirvo.h"
#include "support/file_bytes.h"

// Built with AddressSanitizer: address-space limits do not apply.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MIRVO_TEST_SANITIZED 1
#endif
#elif defined(__SANITIZE_ADDRESS__)
#define MIRVO_TEST_SANITIZED 1
#endif

namespace mirvo::test {

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

// Feeds bytes into a FIFO made at the path, from a thread of its own; a
// reader that stops early or never opens it does not keep the writer
// waiting.
class Fifo {
 public:
  Fifo(const std::string& path, std::string bytes);
  ~Fifo();
  Fifo(const Fifo&) = delete;
  Fifo& operator=(const Fifo&) = delete;

 private:
  std::string path_;
  std::thread writer_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs the built mirvo binary with the arguments in the folder.
RunResult RunMirvo(const std::vector<std::string>& args, const std::string& folder);

// Limits put on the process by RunMirvoLimited.
struct RunLimits {
  long long fileSize = -1;    // RLIMIT_FSIZE in bytes, with SIGXFSZ ignored; -1: none
  bool unprivileged = false;  // as root: without the capabilities that pass over file permissions
  // Standard output and error on a pseudo-terminal: `out` then holds all the
  // terminal shows, `err` stays empty. With stderrFile set, standard error
  // goes to that file in the folder instead.
  bool terminal = false;
  std::string stderrFile;
  int columns = 0;              // width of the terminal; 0: as the system opens it
  long long addressSpace = -1;  // RLIMIT_AS in bytes; -1: none
  // The binary run: MIRVO_BINARY, or MIRVO_PAUSED_BINARY, which stops itself
  // once the first block of its output is in its temporary file (with the
  // progress line drawn on a terminal), or with pauseInPlace once its output
  // has been put in place. Whenever the process stops itself, whenStopped
  // gets its id and must let it go on (SIGCONT); unset, it goes on at once.
  std::string binary = MIRVO_BINARY;
  bool pauseInPlace = false;
  // MIRVO_PAUSED_BINARY that does not stop but shows the progress after this
  // delay (milliseconds) instead of a second; -1: as the binary does.
  int progressDelay = -1;
  std::function<void(int pid)> whenStopped;
  // Standard output a pipe whose reading end is closed (`out` stays empty).
  bool closedOutput = false;
};
// As RunMirvo, with the limits set in the child before the binary starts.
RunResult RunMirvoLimited(const std::vector<std::string>& args, const std::string& folder, const RunLimits& limits);

// Every level of the engine's kernels, the portable one first.
const std::vector<mirvo::KernelLevel>& EveryLevel();

// Forces a level of the engine's kernels while alive (lowered to what the
// processor offers), then puts back the best one.
class ForcedLevel {
 public:
  explicit ForcedLevel(mirvo::KernelLevel level);
  ~ForcedLevel();
  ForcedLevel(const ForcedLevel&) = delete;
  ForcedLevel& operator=(const ForcedLevel&) = delete;
  // Whether the processor offers the level asked for.
  bool Offered() const { return offered_; }

 private:
  bool offered_;
};

// A training set (or, with codebook = true, a codebook) of the given vectors
// with frequencies and optional names (empty: no name), header fields as the
// writer fills them.
void MakeSet(Codebook* cb, const std::vector<VectorSpec>& vectors, int vectorSizeX, int vectorSizeY,
             int bytesPerElement, bool codebook = false);

}  // namespace mirvo::test
