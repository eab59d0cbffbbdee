#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "common/bytes.h"

namespace osprin {

// Appends one code point as UTF-8.
void appendUtf8(std::string& out, char32_t cp);

// Decodes count UTF-16LE units at b[off...] to UTF-8. Stops early at a unit
// of 0 when stopAtNul is set, and at the end of the buffer. Unpaired
// surrogates become U+FFFD.
std::string utf16leToUtf8(Bytes b, std::size_t off, std::size_t count, bool stopAtNul = true);

// Decodes UTF-16 units (already in host order) to UTF-8; unpaired surrogates
// become U+FFFD, a unit of 0 ends the text.
std::string utf16ToUtf8(const char16_t* units, std::size_t count);

// ASCII upper case (bytes >= 128 are left as they are).
std::string asciiUpper(std::string_view s);

// Decimal text of an unsigned number (no grouping).
std::string dec(std::uint64_t v);

// Parses an unsigned decimal number; false when text is not one (or overflows).
bool parseUnsigned(std::string_view text, std::uint64_t& out);

// A name as a terminal may show it: unchanged when it holds only printable
// characters (valid UTF-8 without control characters); otherwise quoted as
// ls does, $'...', with control characters, escape sequences and bytes that
// are not UTF-8 written as \n, \t, \e, \xHH (and ' and \ escaped), so that a
// name can neither drive the terminal nor pose as more than one line.
std::string terminalQuoted(std::string_view name);
// The same escapes inside a longer text (a message that holds names), without
// the $'...' around it.
std::string terminalSafe(std::string_view text);

}  // namespace osprin
