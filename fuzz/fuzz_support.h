// Shared parts of the fuzz targets: a private working folder, the exit and
// message handlers that turn a fatal path into an exception, and the checks
// whose failure is a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/error_capture.h"

namespace mirvo::fuzz {

// Thrown by the installed exit handler instead of ending the process.
using mirvo::test::FatalExit;

// Installs the handlers, sends standard output to /dev/null (usage texts
// and reports are not what is tested) and creates the working folder.
void Setup();

// A per-process folder on a memory file system, removed at exit.
const std::string& Folder();
std::string PathOf(std::string_view name);
void WriteBytes(std::string_view name, const std::uint8_t* data, std::size_t size);
void WriteBytes(std::string_view name, std::string_view bytes);
// Names in the folder, sorted.
std::vector<std::string> Entries();
// Removes every entry of the folder except the ones named.
void RemoveAllBut(const std::vector<std::string>& keep);

// A finding: prints the reason and aborts, so that libFuzzer keeps the input.
[[noreturn]] void Defect(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Messages written with ErrorMessage since the last Run.
const std::string& Messages();

// Runs f. True when it returned; false when it took a fatal path, which is
// accepted only with status -1 and, when messageRequired, after an "ERROR"
// message.
template <class F>
bool Run(F&& f, bool messageRequired = true);

// Implementation of Run.
void BeginRun();
void CheckFatal(const FatalExit& exit, bool messageRequired);

template <class F>
bool Run(F&& f, bool messageRequired) {
  BeginRun();
  try {
    f();
    return true;
  } catch (const FatalExit& exit) {
    CheckFatal(exit, messageRequired);
    return false;
  }
}

// Runs MirvoMain with the arguments inside the working folder. True when it
// returned 0.
bool RunMirvo(const std::vector<std::string>& args, bool messageRequired);

// Splits data at every occurrence of the separator.
std::vector<std::string_view> Split(std::string_view data, std::string_view separator);

}  // namespace mirvo::fuzz
