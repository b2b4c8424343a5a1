// Output that other programs consume: JSON strings that are always valid
// UTF-8, shell words for eval, and standard output written in full.
#ifndef TAMO_SETTINGS_TOOL_OUTPUT_H
#define TAMO_SETTINGS_TOOL_OUTPUT_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tamo_tool {

// The offset of the first byte of text that does not begin a well-formed
// UTF-8 sequence (overlong forms, surrogates, code points above U+10FFFF and
// cut sequences are all ill-formed), or nothing when the whole text is.
std::optional<std::size_t> firstInvalidUtf8(std::string_view text);

// The length of the well-formed UTF-8 sequence at text[at], or 0.
std::size_t sequenceLength(std::string_view text, std::size_t at);
// Whether sequence is one of the C1 controls U+0080 to U+009F.
bool isC1Control(std::string_view sequence);

// A JSON string of text, control characters (C0, DEL, C1) escaped. Each ill-formed byte
// becomes U+FFFD, so the output is always JSON; callers that must not change
// a value (a setting's key or value) check it first with firstInvalidUtf8.
std::string jsonString(std::string_view text);
std::string jsonValue(std::optional<std::string> const& text);

// Whether name is a POSIX shell variable name.
bool isShellName(std::string_view name);
// text as one single-quoted shell word.
std::string shellQuoted(std::string_view text);

// Writes text to standard output and flushes it; false when that failed
// (errno says why).
bool writeOut(std::string_view text);

}  // namespace tamo_tool

#endif  // TAMO_SETTINGS_TOOL_OUTPUT_H
