// Formatting of message texts and the fatal end used throughout the library.
#pragma once

#include <cstdarg>
#include <string>

#include "mirvo/interfc.h"

namespace mirvo {

namespace cbdetail {

// The text printf would write.
std::string Format(const char* format, ...) MIRVO_PRINTF(1, 2);
std::string FormatList(const char* format, va_list args) MIRVO_PRINTF(1, 0);
// ErrorMessage, then ExitProcessing(-1).
[[noreturn]] void Fatal(const char* format, ...) MIRVO_PRINTF(1, 2);

}  // namespace cbdetail

}  // namespace mirvo
