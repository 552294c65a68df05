// File utilities: opening under the overwrite rule, fixed-width binary
// integers, bit streams and file-name operations.
//
// Failures: these functions never end the process (except OpenFile and a
// broken OutputBit precondition); they print an "ERROR: ..." message with
// ErrorMessage and return null or a short count, and the caller decides.
// Streams are opened and closed by the caller, which keeps owning them.
// Byte order, widths and sign rules of the integer fields: mirvo/coding.h.
//
// Threads: no process-wide state of its own; a stream or BitStream must be
// used by one thread at a time.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace mirvo {

// ---- Opening -------------------------------------------------------------

enum FileMode { FileModeWrite = 0, FileModeRead = 1 };

// 1 when the file can be opened for reading, else 0. Prints nothing.
int ExistFile(const char* name);
// Mode 0 creates the file for writing ("wb+"); an existing file is replaced
// only when overwrite is exactly 1, otherwise "ERROR: File already exists: %s"
// is printed and null returned. Mode 1 opens an existing file for reading
// ("rb"). Failures print their message and return null.
std::FILE* FileOpen(const char* name, int mode, int overwrite);
// As FileOpen, but a failure ends the process.
std::FILE* OpenFile(const char* name, int mode, int overwrite);

// ---- Output files ----------------------------------------------------------
//
// WriteCodebook, WritePartitioning and GraphWrite write a temporary file
// ".NAME.XXXXXXXXXX.tmp" (a dot, the target's name, ten hexadecimal digits,
// ".tmp") in the target's folder and rename it over the target once every
// byte is on disk: the target is always either the old file or the complete
// new one. A file that replaces another gets the old one's permission bits
// (not its set-user-ID, set-group-ID and sticky bits), and its owner and
// group where the process may give them (root may; others may keep a group
// they belong to). The new file is a new file: a hard link to the old one
// keeps the old content, and a symbolic link of the target's name is
// replaced, not followed. None of them ends the process when the file
// cannot be written.

// How the last of those writers ended: 0 when it wrote its file; 1 when it
// wrote nothing because the file exists and overwriting was not allowed; -1
// when it failed ("ERROR: ..." said why: the file could not be created,
// written or put in place, there was no memory for its buffer, or the graph
// had an empty slot). Whenever it is
// not 0, the target is as it was and no temporary file is left.
int LastWriteFailed();

// Signals. While a temporary file exists, every signal whose default action
// ends the process (all but SIGKILL and SIGSTOP, which cannot be caught:
// SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGXCPU, SIGALRM, SIGUSR1, the
// real-time signals, SIGABRT, SIGSEGV ...) and whose action is the default
// is caught: the handler removes the temporary file, clears the progress
// line and ends the process by the same signal (the shell sees 128 + its
// number: 130, 143, 129, 141 ...). It may run on any thread, and any number
// of signals may come at once: the file is removed before the first of them
// ends the process. Signals the program ignores stay ignored. A process
// that ends through exit() while a writer works (every fatal error does)
// removes the temporary file too. A program that has handlers of its own
// for these signals must call RemoveTemporaryOutput (and EraseProgressLine,
// interfc.h) from them before it ends; otherwise the temporary file stays
// behind, as after SIGKILL or a power cut (it is never read and may be
// deleted).
//
// CatchInterrupts installs that handler for the rest of the run, so that a
// signal at any moment also leaves the terminal clean; and once a writer has
// put its file in place, these signals (but the program's own faults:
// SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS) are ignored for the rest
// of the run, which then ends with its own status, not as killed. It is for
// a program that writes one output and ends: the command line calls it
// before anything else.
void CatchInterrupts();
// Removes the temporary file being written, if any. Async-signal-safe.
void RemoveTemporaryOutput();

// ---- Binary integers -----------------------------------------------------

// Writes the low `width` bytes of value, most significant first. Widths 0 to
// 3 refuse values that do not fit ("ERROR: Vector element value is too
// big (%d). Increase bytes/elem ratio.", 0 returned, nothing written);
// negative values pass with their low bytes. Widths outside 1 to 4 write
// nothing. Returns the number of bytes written, short after "ERROR: unable
// to write to file.".
int WriteIntegerToFile(std::FILE* stream, int value, int width);
// Reads `width` bytes (1 to 4, else 0 stored and returned), most
// significant first. Returns the number of bytes read, short after "ERROR:
// unable to read from file."; the value is stored in every case (a short
// read keeps the bytes read followed by one zero byte).
int ReadIntegerFromFile(std::FILE* stream, int* value, int width);
// As ReadIntegerFromFile with the least significant byte first; a short
// read stores the bytes read.
int ReadLittleEndianIntegerFromFile(std::FILE* stream, int* value, int width);

// ---- Bit streams ---------------------------------------------------------

struct BitStream {
  std::FILE* Stream;
  int BitCount;
  int Buffer;
};

// Bits go out most significant first within each byte; values least
// significant bit first. Failed writes are not noticed.
void InitializeBitStream(BitStream* bits, std::FILE* stream);
// Requires bit 0 or 1: anything else stops the process as a failed
// assertion, in every build.
void OutputBit(BitStream* bits, int bit);
// The low count bits of value (none for count <= 0).
void OutputValue(BitStream* bits, int value, int count);
// Writes the bits collected so far, padded with zeros to a byte.
void FlushOutput(BitStream* bits);
// 0 or 1; -1 at the end of the file after "Unexpected EOF in input file.".
int InputBit(BitStream* bits);
// count bits (0 for count <= 0), the first one lowest; an end-of-file bit
// counts as 1.
int InputValue(BitStream* bits, int count);
// Drops the rest of the current byte.
void FlushInput(BitStream* bits);

// ---- File names ----------------------------------------------------------
//
// Each takes the caller's zero-terminated text buffers, as well as
// std::string ones; a char buffer changed in place or written requires room
// for the result, which the caller provides. They never fail.

// The source name cut at its first '.' (anywhere, folders included). The
// destination requires room for the source name; it may be the source.
void PickFileName(std::string_view source, std::string& destination);
void PickFileName(const char* source, char* destination);
// Appends '.' and the extension when the last path component ('/' and '\'
// both separate) has no '.'. The char buffer requires room for the name, the
// '.', the extension and the terminating zero.
void CheckFileName(std::string& name, std::string_view extension);
void CheckFileName(char* name, const char* extension);
// 1 when the whole text after the first '.' equals the extension.
int CheckExtention(std::string_view name, std::string_view extension);
// 1 when the names are equal regardless of letter case.
int EqualFileNames(std::string_view first, std::string_view second);

}  // namespace mirvo
