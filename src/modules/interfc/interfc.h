// Console messages, the fatal exit and the text progress indicator.
//
// Every library module talks to the console through this module: errors go
// to standard error with ErrorMessage, the library's own listings to the
// module information stream with PrintMessage, a front end's output to the
// program information stream with PrintProgramMessage. Fatal errors are an
// ErrorMessage followed by ExitProcessing(-1).
#pragma once

#include <cstdio>

#define MIRVO_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

// Formats and writes to standard error. Never ends the process; messages are
// never truncated. Returns what the stream write reported.
int ErrorMessage(const char* format, ...) MIRVO_PRINTF(1, 2);
// Formats and writes to the module information stream (standard output until
// OpenInfoFlow redirects it), then flushes it.
int PrintMessage(const char* format, ...) MIRVO_PRINTF(1, 2);
// Formats and writes to the program information stream (always standard
// output), then flushes it.
int PrintProgramMessage(const char* format, ...) MIRVO_PRINTF(1, 2);

// Non-zero sends the module stream to standard error, 0 to standard output.
int OpenInfoFlow(int moduleToStderr);
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

int ExitRequested();
int ExitRequestHonored();
void SetExitRequestHonored(int status);
extern int ExitRequestHonoredStatus;

// Progress indicator on standard error.
void SetProgressVisibility(int visible);
void FreezeProgress(int freeze);
int OpenProgressWindow();
int UpdateProgressLabel(const char* format, ...) MIRVO_PRINTF(1, 2);
int UpdateProgressBar(int done, int total);
int UpdateFancyProgressBar(int done, int total);
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
