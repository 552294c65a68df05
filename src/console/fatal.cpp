// Formatting of message texts and the fatal end.
#include "console/fatal.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "mirvo/interfc.h"

namespace mirvo {

namespace cbdetail {

std::string FormatList(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(static_cast<std::size_t>(std::max(length, 0)) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.pop_back();
  return text;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatList(format, args);
  va_end(args);
  return text;
}

void Fatal(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = FormatList(format, args);
  va_end(args);
  ErrorMessage("%s", text.c_str());
  ExitProcessing(-1);
}

}  // namespace cbdetail

}  // namespace mirvo
