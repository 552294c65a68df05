#include "support/error_capture.h"

#include "mirvo/interfc.h"
#include "mirvo/mirvo.h"

namespace mirvo::test {
namespace {

ErrorCapture* g_current = nullptr;

}  // namespace

ErrorCapture::ErrorCapture(std::size_t limit) : limit_(limit) {
  g_current = this;
  previousMessages_ = SetErrorMessageHandler(Collect);
  previousExit_ = SetExitProcessingHandler(Throw);
}

ErrorCapture::~ErrorCapture() {
  SetExitProcessingHandler(previousExit_);
  SetErrorMessageHandler(previousMessages_);
  g_current = nullptr;
}

void ErrorCapture::Clear() {
  messages_.clear();
  text_.clear();
}

std::optional<int> ErrorCapture::Run(const std::function<void()>& body) {
  try {
    body();
  } catch (const FatalExit& exit) {
    return exit.status;
  }
  return std::nullopt;
}

void ErrorCapture::Collect(const char* text) {
  ErrorCapture& c = *g_current;
  if (c.text_.size() >= c.limit_) return;  // a runaway message only slows down
  c.messages_.emplace_back(text);
  c.text_ += text;
}

void ErrorCapture::Throw(int status) { throw FatalExit{status}; }

}  // namespace mirvo::test
