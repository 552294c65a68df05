// Where the readers of the data files send their refusals.
#pragma once

#include <string>
#include <vector>

#include "mirvo/interfc.h"

namespace mirvo {

namespace cbdetail {

// Where a reader's refusals go. Reported at once: the message, then the end
// of the process. Deferred: the messages are kept and a Deferred exception
// unwinds the reader, so that the caller can first finish reading a file
// whose messages come before; Report then gives what was kept. Warnings are
// kept alike while deferred.
class Refusals {
 public:
  struct Deferred {};
  explicit Refusals(bool deferred) : deferred_(deferred) {}
  Refusals(const Refusals&) = delete;
  Refusals& operator=(const Refusals&) = delete;

  // A message that goes before the refusal that follows it, kept with it.
  void Note(const char* format, ...) MIRVO_PRINTF(2, 3);
  [[noreturn]] void Refuse(const char* format, ...) MIRVO_PRINTF(2, 3);
  // A refusal of a place in the file before that of the refusal kept, if
  // any: it takes that one's place, with its notes.
  [[noreturn]] void RefuseBefore(const char* format, ...) MIRVO_PRINTF(2, 3);
  // The named input cannot be opened: FileOpen says why.
  [[noreturn]] void Unopened(const char* name);
  // For the module information stream.
  void Warn(const char* format, ...) MIRVO_PRINTF(2, 3);
  bool Refused() const { return refused_; }
  const std::vector<std::string>& Messages() const { return messages_; }
  // The kept warnings, then the kept refusal, which ends the process.
  void Report();

 private:
  [[noreturn]] void Stop();

  bool deferred_;
  bool refused_ = false;
  std::vector<std::string> messages_;
  std::string unopened_;
  std::string warnings_;
};

}  // namespace cbdetail

}  // namespace mirvo
