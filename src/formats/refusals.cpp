#include <cstdarg>

#include "console/fatal.h"
#include "formats/refusals.h"
#include "mirvo/file.h"

namespace mirvo {

namespace cbdetail {

void Refusals::Note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  messages_.push_back(FormatList(format, args));
  va_end(args);
}

void Refusals::Refuse(const char* format, ...) {
  va_list args;
  va_start(args, format);
  messages_.push_back(FormatList(format, args));
  va_end(args);
  Stop();
}

void Refusals::RefuseBefore(const char* format, ...) {
  messages_.clear();
  va_list args;
  va_start(args, format);
  messages_.push_back(FormatList(format, args));
  va_end(args);
  Stop();
}

void Refusals::Unopened(const char* name) {
  unopened_ = name;
  Stop();
}

void Refusals::Stop() {
  refused_ = true;
  if (deferred_) throw Deferred{};
  deferred_ = true;  // nothing left to keep: report what is there
  Report();
  ExitProcessing(-1);
}

void Refusals::Warn(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatList(format, args);
  va_end(args);
  if (deferred_) {
    warnings_ += text;
  } else {
    PrintMessage("%s", text.c_str());
  }
}

void Refusals::Report() {
  if (!warnings_.empty()) PrintMessage("%s", warnings_.c_str());
  warnings_.clear();
  if (!refused_) return;
  if (!unopened_.empty()) {
    std::FILE* file = FileOpen(unopened_.c_str(), FileModeRead, 0);  // says why
    if (file != nullptr) std::fclose(file);
  }
  for (const std::string& message : messages_) ErrorMessage("%s", message.c_str());
  ExitProcessing(-1);
}

}  // namespace cbdetail

}  // namespace mirvo
