#include "mirvo/interfc.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace mirvo {

int ExitRequestHonoredStatus = 0;

namespace {

int __ShowProgress = 1;
int __ShowProgressBar = 1;
int __ProgressCreated = 0;
FILE* __ModuleInfoFlow = nullptr;
FILE* __ProgramInfoFlow = nullptr;
ExitHandler __ExitHandler = nullptr;
MessageHandler __ErrorHandler = nullptr;

// Formats into a stack buffer of the given size, or into a heap string when
// the text is longer, so that no message is ever cut.
template <std::size_t N>
class Formatted {
 public:
  MIRVO_PRINTF(2, 0) Formatted(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(stack_, N, format, args);
    if (length >= static_cast<int>(N)) {
      heap_.resize(static_cast<std::size_t>(length) + 1);
      std::vsnprintf(heap_.data(), heap_.size(), format, copy);
    } else if (length < 0) {
      stack_[0] = '\0';
    }
    va_end(copy);
  }
  const char* c_str() const { return heap_.empty() ? stack_ : heap_.data(); }

 private:
  char stack_[N];
  std::string heap_;
};

// Timed progress: the line appears once the work has taken longer than the
// delay; messages first clear it.
struct TimedProgress {
  using Clock = std::chrono::steady_clock;
  bool enabled = false;
  bool shown = false;
  Clock::duration delay{};
  Clock::time_point start;
  Clock::time_point drawn;
  std::string label;
};
TimedProgress __Timed;

// Columns of standard error's line that a progress indicator has written
// over and that EraseProgressLine blanks; 0 when there is none.
constexpr int kWidestLine = 511;
volatile std::sig_atomic_t __LineShown = 0;

void NoteLineShown(std::size_t columns) {
  __LineShown = static_cast<std::sig_atomic_t>(std::min<std::size_t>(columns, kWidestLine));
}

void ClearTimedProgress() {
  if (__Timed.shown) TimedProgressFinish();
}

void SetUnsetFlows() {
  if (__ModuleInfoFlow == nullptr) __ModuleInfoFlow = stdout;
  if (__ProgramInfoFlow == nullptr) __ProgramInfoFlow = stdout;
}

}  // namespace

int ErrorMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Formatted<1024> text(format, args);
  va_end(args);
  if (__ErrorHandler != nullptr) {
    __ErrorHandler(text.c_str());
    return static_cast<int>(std::strlen(text.c_str()));
  }
  ClearTimedProgress();
  return std::fprintf(stderr, "%s", text.c_str());
}

int PrintMessage(const char* format, ...) {
  SetUnsetFlows();
  va_list args;
  va_start(args, format);
  Formatted<256> text(format, args);
  va_end(args);
  ClearTimedProgress();
  const int written = std::fprintf(__ModuleInfoFlow, "%s", text.c_str());
  std::fflush(__ModuleInfoFlow);
  return written;
}

int PrintProgramMessage(const char* format, ...) {
  SetUnsetFlows();
  va_list args;
  va_start(args, format);
  Formatted<256> text(format, args);
  va_end(args);
  const int written = std::fprintf(__ProgramInfoFlow, "%s", text.c_str());
  std::fflush(__ProgramInfoFlow);
  return written;
}

int OpenInfoFlow(int moduleToStderr) {
  SetUnsetFlows();
  std::fflush(__ModuleInfoFlow);
  __ModuleInfoFlow = moduleToStderr != 0 ? stderr : stdout;
  return 0;
}

int CloseInfoFlow() {
  if (__ModuleInfoFlow != nullptr) std::fflush(__ModuleInfoFlow);
  if (__ProgramInfoFlow != nullptr) std::fflush(__ProgramInfoFlow);
  return 0;
}

void ExitProcessing(int status) {
  ClearTimedProgress();
  if (__ExitHandler != nullptr) __ExitHandler(status);
  std::exit(status);
}

ExitHandler SetExitProcessingHandler(ExitHandler handler) {
  ExitHandler previous = __ExitHandler;
  __ExitHandler = handler;
  return previous;
}

MessageHandler SetErrorMessageHandler(MessageHandler handler) {
  MessageHandler previous = __ErrorHandler;
  __ErrorHandler = handler;
  return previous;
}

int ExitRequested() { return 0; }

int ExitRequestHonored() { return ExitRequestHonoredStatus; }

void SetExitRequestHonored(int status) { ExitRequestHonoredStatus = status; }

void SetProgressVisibility(int visible) { __ShowProgress = visible; }

void FreezeProgress(int freeze) { __ShowProgressBar = freeze == 0 ? 1 : 0; }

int OpenProgressWindow() {
  if (__ShowProgress != 0 && __ProgressCreated == 0) {
    __ProgressCreated = 1;
    std::fflush(stderr);
  }
  return 0;
}

namespace {

int WriteProgressLabel(const char* label) {
  std::fputc('\r', stderr);
  std::fprintf(stderr, "%70s", "");
  std::fputc('\r', stderr);
  const int written = std::fprintf(stderr, "%s", label);
  std::fprintf(stderr, "%12s", "");
  std::fflush(stderr);
  // The label, its blanks and a bar drawn over them.
  NoteLineShown(std::max<std::size_t>(70, std::strlen(label) + 16));
  return written;
}

// The percentage done * 100 / total in 32-bit arithmetic as the indicator has
// always shown it; the product is widened so that large counts cannot
// overflow.
int Percent(int done, int total) { return static_cast<int>(static_cast<long long>(done) * 100 / total); }

}  // namespace

int UpdateProgressLabel(const char* format, ...) {
  if (__ProgressCreated == 0) return 0;
  va_list args;
  va_start(args, format);
  Formatted<256> text(format, args);
  va_end(args);
  return WriteProgressLabel(text.c_str());
}

int UpdateProgressBar(int done, int total) {
  if (__ShowProgress != 0 && __ShowProgressBar != 0 && total != 0) {
    std::fprintf(stderr, "%s%3i %% done  ", "\b\b\b\b\b\b\b\b\b\b\b\b", Percent(done, total));
    std::fflush(stderr);
  }
  return 0;
}

namespace {

// "(%c)%3i %% done": the spinner's next character and the percentage. The
// spinner turns through "-", "\\", "|", "/" across every bar drawn.
std::string SpinnerStep(int done, int total) {
  static int phase = 0;
  static const char kSpinner[4] = {'-', '\\', '|', '/'};
  const char c = kSpinner[phase];
  phase = (phase + 1) % 4;
  char text[32];
  std::snprintf(text, sizeof text, "(%c)%3i %% done", c, Percent(done, total));
  return text;
}

}  // namespace

int UpdateFancyProgressBar(int done, int total) {
  if (__ShowProgress == 0 || __ShowProgressBar == 0) return 0;
  if (total == 0) {
    std::fprintf(stderr, "%s stage complete", "\b\b\b\b\b\b\b\b\b\b\b\b\b\b");
  } else if (done == 0) {
    std::fprintf(stderr, "%s  wait...     ", "\b\b\b\b\b\b\b\b\b\b\b\b");
  } else {
    std::fprintf(stderr, "%s%s", "\b\b\b\b\b\b\b\b\b\b\b\b\b", SpinnerStep(done, total).c_str());
    std::fflush(stderr);
  }
  return 0;
}

int CloseProgressWindow() {
  if (__ShowProgress != 0 && __ProgressCreated != 0) {
    WriteProgressLabel("");
    std::fputc('\r', stderr);
    std::fflush(stderr);
    __LineShown = 0;
  }
  __ProgressCreated = 0;
  return 0;
}

namespace {

// Columns of the terminal on standard error (80 when it does not say).
std::size_t TerminalColumns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// The label cut to `room` columns: its beginning, "..." and its end (where
// the file name is).
std::string Shortened(const std::string& label, std::size_t room) {
  if (label.size() <= room) return label;
  if (room < 5) return label.substr(0, room);
  const std::size_t tail = (room - 3) / 2;
  return label.substr(0, room - 3 - tail) + "..." + label.substr(label.size() - tail);
}

// Redraws the line: the stage's label and the bar, shortened to stay one
// column short of the terminal's width so that it never wraps.
void DrawTimedProgress(const std::string& bar) {
  const std::size_t room = std::min<std::size_t>(TerminalColumns() - 1, kWidestLine);
  std::string line = bar.substr(0, room);
  line.insert(0, Shortened(__Timed.label, room - line.size()));
  const std::size_t previous = std::min<std::size_t>(static_cast<std::size_t>(__LineShown), room);
  const std::size_t shown = std::max(line.size(), previous);
  line.resize(shown, ' ');
  line.insert(0, 1, '\r');
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  NoteLineShown(shown);
}

}  // namespace

void EraseProgressLine() {
  const auto columns = static_cast<int>(__LineShown);
  if (columns <= 0) return;
  char line[kWidestLine + 2];
  line[0] = '\r';
  for (int i = 1; i <= columns; ++i) line[i] = ' ';
  line[columns + 1] = '\r';
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line, static_cast<std::size_t>(columns) + 2);
  __LineShown = 0;
}

void SetTimedProgress(int enabled, int delayMilliseconds) {
  ClearTimedProgress();
  __Timed.enabled = enabled != 0;
  __Timed.delay = std::chrono::milliseconds(delayMilliseconds);
  __Timed.start = TimedProgress::Clock::now();
  __Timed.label.clear();
}

void TimedProgressStage(const char* label) {
  if (!__Timed.enabled) return;
  __Timed.label = label;
  if (__Timed.shown) {
    DrawTimedProgress("");
    __Timed.drawn = TimedProgress::Clock::time_point{};
  }
}

void TimedProgressUpdate(long long done, long long total) {
  if (!__Timed.enabled || total <= 0) return;
  const auto now = TimedProgress::Clock::now();
  if (!__Timed.shown) {
    if (now - __Timed.start <= __Timed.delay || __ShowProgress == 0) return;
    __Timed.shown = true;
  } else if (now - __Timed.drawn < std::chrono::milliseconds(100) && done < total) {
    return;
  }
  __Timed.drawn = now;
  // Thousandths keep the bar's 32-bit arithmetic safe for any count.
  DrawTimedProgress(__ShowProgressBar != 0 ? SpinnerStep(static_cast<int>(done * 1000 / total), 1000) : "");
}

void TimedProgressFinish() {
  if (!__Timed.shown) return;
  __Timed.shown = false;
  EraseProgressLine();
}

}  // namespace mirvo
