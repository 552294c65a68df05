// Formatting of message texts and the fatal end used throughout the library.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

#include "mirvo/interfc.h"

namespace mirvo {

namespace cbdetail {

// The text printf would write.
std::string Format(const char* format, ...) MIRVO_PRINTF(1, 2);
std::string FormatList(const char* format, va_list args) MIRVO_PRINTF(1, 0);
// Text from a file as a message shows it, so that it cannot drive the
// terminal: control bytes (below 0x20, 0x7f), the C1 controls (U+0080 to
// U+009F) and bytes that are not part of valid UTF-8 become "\xNN" escapes
// (two lower-case hexadecimal digits); everything else, UTF-8 included,
// stays as it is.
std::string Printable(std::string_view text);
// ErrorMessage, then ExitProcessing(-1).
[[noreturn]] void Fatal(const char* format, ...) MIRVO_PRINTF(1, 2);

}  // namespace cbdetail

}  // namespace mirvo
