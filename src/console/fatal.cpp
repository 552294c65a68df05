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

namespace {

// The length of the valid UTF-8 sequence of a printable character that
// starts text, or 0.
std::size_t PrintableSequence(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead >= 0x20 && lead < 0x7f) return 1;
  // Lengths and the range of the second byte that keep the sequence short,
  // below U+110000 and clear of the surrogates.
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    if (lead == 0xc2) low = 0xa0;  // U+0080 to U+009F are controls
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  }
  if (length == 0 || text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
  }
  return length;
}

}  // namespace

std::string Printable(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  while (!text.empty()) {
    std::size_t length = PrintableSequence(text);
    if (length > 0) {
      shown.append(text.substr(0, length));
    } else {
      static constexpr char kDigits[] = "0123456789abcdef";
      const auto c = static_cast<unsigned char>(text[0]);
      shown += {'\\', 'x', kDigits[c >> 4], kDigits[c & 0xf]};
      length = 1;
    }
    text.remove_prefix(length);
  }
  return shown;
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
