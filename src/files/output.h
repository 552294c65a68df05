// All-or-nothing output of a data file.
//
// The data is written through a large buffer into a temporary file in the
// target's folder; Commit checks every write, flushes the file to disk and
// renames it over the target. On any failure the temporary file is removed,
// the target stays as it was, an "ERROR: ..." message names the file and the
// writer returns false; LastWriteFailed (file.h) tells the writer's caller.
// The overwrite rule is the one of FileOpen: an existing file is replaced
// only when overwrite is exactly 1, and the new file then gets the old one's
// permission bits (and its owner and group where the process may give
// them). While the temporary file exists, a signal that ends the process
// removes it first (see CatchInterrupts in file.h), and so does exit().
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "files/buffer.h"

namespace mirvo {

class SafeOutput {
 public:
  // The last write counts as failed until Commit succeeds.
  SafeOutput();
  SafeOutput(const SafeOutput&) = delete;
  SafeOutput& operator=(const SafeOutput&) = delete;
  ~SafeOutput();

  // Whether the overwrite rule keeps an existing target; nothing reported.
  static bool Keeps(const char* name, int overwrite);
  // "ERROR: File already exists: %s", the overwrite rule's refusal.
  static void ReportExisting(const char* name);

  // Applies the overwrite rule and creates the temporary file. Returns false
  // after "ERROR: File already exists: %s" when the target exists and may not
  // be replaced, or after "ERROR: Couldn't open the file: %s" when no file
  // of that name can be created there (its name too long for the folder
  // included).
  bool Open(const char* name, int overwrite);

  void Write(const void* data, std::size_t size) {
    if (size > buffer_.size() - used_) {
      WriteSlow(data, size);
      return;
    }
    std::memcpy(buffer_.data() + used_, data, size);
    used_ += size;
  }
  void Put(char c) {
    if (used_ == buffer_.size()) Drain();
    buffer_[used_++] = c;
  }
  void Text(std::string_view text) { Write(text.data(), text.size()); }
  // Decimal digits of v, as "%i" / "%d" write them.
  void Decimal(std::int64_t v);
  // n zero bytes. Long runs are left as a hole in the file (it reads as
  // zeros and takes no room on disks that allow holes), so that they cost
  // neither time nor space.
  void Zeros(std::uint64_t n);
  // Room for at least n bytes at Cursor(); Advance(n) commits them.
  char* Reserve(std::size_t n);
  void Advance(std::size_t n) { used_ += n; }

  // Writes what is buffered now, so that a full disk or a file-size limit
  // shows before long work: returns false after a message, as Commit does.
  bool Flush();

  // Finishes the file and puts it in place. Returns false after a message
  // when it could not be written or put in place, or when the target
  // appeared in the meantime and may not be replaced.
  bool Commit();
  // Gives up: the temporary file is removed and the target left as it was.
  void Abandon() { Discard(); }

 private:
  void WriteSlow(const void* data, std::size_t size);
  void Drain();
  // Starts the disk's writing of what has been written since the last
  // start, once that is a megabyte or more.
  void StartWriteback();
  bool Fail(const char* what, int error);
  void Discard();
  // The temporary file, with the old target's permissions when it replaces
  // one; false when it cannot be created.
  bool Create();
  // Renames the temporary file over the target: 0, or the error.
  int PutInPlace();

  std::string target_;
  std::string temporary_;
  const char* outerTemporary_ = nullptr;  // the one an interrupt removed before this
  sigset_t caught_;                       // signals this output catches itself
  int fd_ = -1;
  int overwrite_ = 0;
  int error_ = 0;
  bool hooked_ = false;
  bool holeAtEnd_ = false;  // the file ends in a hole: its length is set at the end
  Buffer<char> buffer_;
  std::size_t used_ = 0;
  std::int64_t writeback_ = 0;  // bytes of the file whose writing has started
};

// For tests: called once per output at each of these moments (null: none).
enum class OutputMoment {
  FirstBlock,  // right after its first block has reached the temporary file
  InPlace,     // right after it has been renamed over the target
};
using OutputHook = void (*)(OutputMoment moment);
void SetOutputHook(OutputHook hook);

}  // namespace mirvo
