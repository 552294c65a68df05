// Console messages, the fatal exit and the text progress indicator.
//
// Every library module talks to the console through this module: errors go
// to standard error with ErrorMessage, the library's own listings to the
// module information stream with PrintMessage, a front end's output to the
// program information stream with PrintProgramMessage. Fatal errors are an
// ErrorMessage followed by ExitProcessing(-1). None of these functions fails:
// a stream that cannot be written is not reported.
//
// Threads and process-wide state: the information streams, the exit and
// message handlers and the progress indicator are process-wide and not
// locked. Install handlers and choose streams before other threads use the
// library; ErrorMessage and PrintMessage may be called from any thread (each
// message is one stream write), the progress functions from one thread at
// a time (the library's worker threads never call them). A handler is
// called on the thread that reports or exits.
#pragma once

#include <cstdio>

#define MIRVO_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

namespace mirvo {

// Formats and writes to standard error. Never ends the process; messages are
// never truncated. Returns what the stream write reported.
int ErrorMessage(const char* format, ...) MIRVO_PRINTF(1, 2);
// Formats and writes to the module information stream (standard output until
// OpenInfoFlow redirects it), then flushes it.
int PrintMessage(const char* format, ...) MIRVO_PRINTF(1, 2);
// Formats and writes to the program information stream (always standard
// output), then flushes it.
int PrintProgramMessage(const char* format, ...) MIRVO_PRINTF(1, 2);

// Non-zero sends the module stream to standard error, 0 to standard output;
// returns 0.
int OpenInfoFlow(int moduleToStderr);
// Flushes both information streams; returns 0.
int CloseInfoFlow();

// Ends the process with the given status (-1 is 255 in a shell) after the
// open streams are flushed. A library user may install a handler that is
// called first; a handler may throw to unwind instead of exiting. When the
// handler returns, the process still exits.
[[noreturn]] void ExitProcessing(int status);
using ExitHandler = void (*)(int status);
// Installs a handler (null restores the default); returns the previous one.
ExitHandler SetExitProcessingHandler(ExitHandler handler);

// A library user may take the text of every ErrorMessage instead of standard
// error (null restores standard error); returns the previous handler.
using MessageHandler = void (*)(const char* text);
MessageHandler SetErrorMessageHandler(MessageHandler handler);

// No exit is ever requested from outside: always 0.
int ExitRequested();
// The status stored by SetExitRequestHonored (initially 0).
int ExitRequestHonored();
void SetExitRequestHonored(int status);
extern int ExitRequestHonoredStatus;

// Progress indicator on standard error: a label and a percentage on one
// line, redrawn in place. Visibility 0 (SetProgressVisibility) makes every
// call silent, a freeze (FreezeProgress(1)) the bars. Results are 0, except
// UpdateProgressLabel's: the characters of the label written (0 before
// OpenProgressWindow).
void SetProgressVisibility(int visible);
void FreezeProgress(int freeze);
int OpenProgressWindow();
int UpdateProgressLabel(const char* format, ...) MIRVO_PRINTF(1, 2);
// "done * 100 / total %"; a total of 0 shows nothing.
int UpdateProgressBar(int done, int total);
// As UpdateProgressBar with a spinner; total 0 shows "stage complete",
// done 0 "wait...".
int UpdateFancyProgressBar(int done, int total);
// Clears the line; the label is gone until the next OpenProgressWindow.
int CloseProgressWindow();

// Progress of long work, for a terminal. Once enabled (the front end enables
// it when standard error is a terminal and the quiet level is 2 or more),
// work that has gone on for more than delayMilliseconds since this call
// opens the progress window and shows the current stage's label with a
// percentage bar, redrawn at most ten times a second. Updates come from one
// thread; all of it is silent while disabled.
void SetTimedProgress(int enabled, int delayMilliseconds);
void TimedProgressStage(const char* label);
void TimedProgressUpdate(long long done, long long total);
// Clears the line and closes the window, if it was opened. Every fatal exit
// through ExitProcessing does this first.
void TimedProgressFinish();
// Clears the progress line shown, if any, with a single write to standard
// error; async-signal-safe, for signal handlers.
void EraseProgressLine();

}  // namespace mirvo
