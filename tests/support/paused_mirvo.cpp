// mirvo that stops itself (SIGSTOP) once the first block of its output is in
// the temporary file, with the progress line drawn when standard error is a
// terminal: the tests interrupt it at a known moment of the write.
#include <unistd.h>

#include <csignal>

#include "files/output.h"
#include "mirvo.h"
#include "mirvo/global.h"
#include "mirvo/interfc.h"

namespace {

void StopWhileWriting() {
  if (::isatty(STDERR_FILENO) != 0) {
    SetTimedProgress(1, 0);
    TimedProgressStage("Writing ");
    TimedProgressUpdate(1, 2);
  }
  ::raise(SIGSTOP);
}

}  // namespace

int main(int argc, char** argv) {
  SetOutputHook(StopWhileWriting);
  return MirvoMain(argc, argv);
}
