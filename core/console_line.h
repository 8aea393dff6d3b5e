// Formatting of one console log line: "HH:MM:SS name   text\n" in UTC, the
// time coloured by level and the name in cyan when the console allows colour.
#ifndef CORE_CONSOLE_LINE_H_
#define CORE_CONSOLE_LINE_H_

#include <cstdint>
#include <string>

namespace core {

// ANSI colour digit for `level` (35 magenta below 25, 32 green, 33 yellow,
// 31 red from 75 to 100), or -1 for levels outside 0..100 (no colour).
int LevelColour(int32_t level);

// The full line for `seconds` since 1970 (UTC), the module's name (shown in a
// six-character column) and the text.
std::string FormatConsoleLine(bool colour, int32_t level, int64_t seconds,
                              const std::string& name, const char* text);

}  // namespace core

#endif  // CORE_CONSOLE_LINE_H_
