// mirvo that stops itself (SIGSTOP) at a known moment of its write, for the
// tests that signal it there: once the first block of its output is in the
// temporary file (with the progress line drawn when standard error is a
// terminal), or, when MIRVO_PAUSE is "placed", once the output has been put
// in place, before the run has ended. With MIRVO_PROGRESS_DELAY set (in
// milliseconds) it does not stop, and shows the progress after that delay
// instead of a second.
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

#include "files/output.h"
#include "mirvo.h"
#include "mirvo/interfc.h"
#include "mirvo/mirvo.h"

namespace mirvo::test {
namespace {

OutputMoment pauseAt = OutputMoment::FirstBlock;

void Stop(OutputMoment moment) {
  if (moment != pauseAt) return;
  if (moment == OutputMoment::FirstBlock && ::isatty(STDERR_FILENO) != 0) {
    SetTimedProgress(1, 0);
    TimedProgressStage("Writing ");
    TimedProgressUpdate(1, 2);
  }
  ::raise(SIGSTOP);
}

}  // namespace

int Main(int argc, char** argv) {
  const char* delay = std::getenv("MIRVO_PROGRESS_DELAY");
  if (delay != nullptr) return MirvoMain(argc, argv, std::atoi(delay));
  const char* at = std::getenv("MIRVO_PAUSE");
  if (at != nullptr && std::strcmp(at, "placed") == 0) pauseAt = OutputMoment::InPlace;
  SetOutputHook(Stop);
  return MirvoMain(argc, argv);
}

}  // namespace mirvo::test

int main(int argc, char** argv) { return mirvo::test::Main(argc, argv); }
