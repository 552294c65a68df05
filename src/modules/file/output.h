// All-or-nothing output of a data file.
//
// The data is written through a large buffer into a temporary file in the
// target's folder; Commit checks every write, flushes the file to disk and
// renames it over the target. On any failure the temporary file is removed,
// the target stays as it was, an "ERROR: ..." message names the file and the
// process ends. The overwrite rule is the one of FileOpen: an existing file
// is replaced only when overwrite is exactly 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

class SafeOutput {
 public:
  SafeOutput() = default;
  SafeOutput(const SafeOutput&) = delete;
  SafeOutput& operator=(const SafeOutput&) = delete;
  ~SafeOutput();

  // Whether the overwrite rule keeps an existing target; nothing reported.
  static bool Keeps(const char* name, int overwrite);
  // "ERROR: File already exists: %s", the overwrite rule's refusal.
  static void ReportExisting(const char* name);

  // Applies the overwrite rule and creates the temporary file. Returns false
  // after "ERROR: File already exists: %s" when the target exists and may not
  // be replaced; a target that cannot be created is fatal.
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
  // Room for at least n bytes at Cursor(); Advance(n) commits them.
  char* Reserve(std::size_t n);
  void Advance(std::size_t n) { used_ += n; }

  // Finishes the file and puts it in place; fatal on failure. Returns false
  // (after "ERROR: File already exists: %s") when the target appeared in the
  // meantime and may not be replaced.
  bool Commit();
  // Gives up: the temporary file is removed and the target left as it was.
  void Abandon() { Discard(); }

 private:
  void WriteSlow(const void* data, std::size_t size);
  void Drain();
  [[noreturn]] void Fail(const char* what, int error);
  void Discard();

  std::string target_;
  std::string temporary_;
  int fd_ = -1;
  int overwrite_ = 0;
  int error_ = 0;
  std::vector<char> buffer_;
  std::size_t used_ = 0;
};
