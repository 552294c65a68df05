// The library's fatal paths inside a test or fuzz process: messages are
// collected instead of written, and ExitProcessing unwinds instead of ending
// the process.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace mirvo::test {

// Thrown by ExitProcessing while an ErrorCapture is alive.
struct FatalExit {
  int status;
};

// While alive (one at a time), every ErrorMessage text is kept, up to
// `limit` bytes in all, and ExitProcessing throws FatalExit. The previous
// handlers come back when it goes.
class ErrorCapture {
 public:
  explicit ErrorCapture(std::size_t limit = std::string::npos);
  ~ErrorCapture();
  ErrorCapture(const ErrorCapture&) = delete;
  ErrorCapture& operator=(const ErrorCapture&) = delete;

  // The messages, one by one and joined.
  const std::vector<std::string>& messages() const { return messages_; }
  const std::string& text() const { return text_; }
  void Clear();
  // Runs body: no value when it returned, else the status given to
  // ExitProcessing.
  std::optional<int> Run(const std::function<void()>& body);

 private:
  static void Collect(const char* text);
  static void Throw(int status);

  std::size_t limit_;
  std::vector<std::string> messages_;
  std::string text_;
  void (*previousMessages_)(const char*);
  void (*previousExit_)(int);
};

}  // namespace mirvo::test
