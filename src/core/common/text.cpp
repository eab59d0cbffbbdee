#include "common/text.h"

#include <charconv>

namespace osprin {

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

namespace {

// The character of unit u, given the unit after it when there is one
// (haveNext). A high surrogate followed by a low one makes one character
// and sets pairUsed; any other surrogate becomes U+FFFD.
char32_t decodeUnit(char16_t u, bool haveNext, char16_t next, bool& pairUsed) {
  pairUsed = false;
  if (u >= 0xD800 && u <= 0xDBFF) {
    if (haveNext && next >= 0xDC00 && next <= 0xDFFF) {
      pairUsed = true;
      return 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (next - 0xDC00);
    }
    return 0xFFFD;
  }
  if (u >= 0xDC00 && u <= 0xDFFF) return 0xFFFD;
  return u;
}

}  // namespace

std::string utf16ToUtf8(const char16_t* u, std::size_t n) {
  std::string out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (u[i] == 0) break;
    bool pairUsed = false;
    appendUtf8(out, decodeUnit(u[i], i + 1 < n, i + 1 < n ? u[i + 1] : 0, pairUsed));
    if (pairUsed) ++i;
  }
  return out;
}

std::string utf16leToUtf8(Bytes b, std::size_t off, std::size_t count, bool stopAtNul) {
  // Decodes straight from the buffer (names are decoded for every record
  // of a scan): the units that utf16ToUtf8 would be given, with the same
  // pairing of surrogates.
  auto unitAt = [&](std::size_t i, char16_t& c) {
    const std::size_t p = off + 2 * i;
    if (p > b.size() || b.size() - p < 2) return false;
    c = rd16(b, p);
    if (c == 0) {
      if (stopAtNul) return false;
      c = 0xFFFD;  // keep the position visible rather than end the text
    }
    return true;
  };
  std::string out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    char16_t u, v = 0;
    if (!unitAt(i, u)) break;
    const bool haveNext = u >= 0xD800 && u <= 0xDBFF && i + 1 < count && unitAt(i + 1, v);
    bool pairUsed = false;
    appendUtf8(out, decodeUnit(u, haveNext, v, pairUsed));
    if (pairUsed) ++i;
  }
  return out;
}

std::string asciiUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::string dec(std::uint64_t v) { return std::to_string(v); }

bool parseUnsigned(std::string_view text, std::uint64_t& out) {
  if (text.empty()) return false;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && p == text.data() + text.size();
}

namespace {

// Length of the valid, printable UTF-8 sequence at s[i] (0 when the byte
// there must be escaped).
std::size_t printableAt(std::string_view s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x20 || c == 0x7F) return 0;
  if (c < 0x80) return 1;
  std::size_t len;
  char32_t cp;
  if ((c & 0xE0) == 0xC0) {
    len = 2;
    cp = c & 0x1Fu;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    cp = c & 0x0Fu;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    cp = c & 0x07u;
  } else {
    return 0;
  }
  if (s.size() - i < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3Fu);
  }
  static const char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  // C1 controls (U+0080..U+009F: 8-bit CSI and friends), the line and
  // paragraph separators and the bidirectional overrides.
  if (cp <= 0x9F || cp == 0x2028 || cp == 0x2029 || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069))
    return 0;
  return len;
}

void appendEscaped(std::string& out, unsigned char c) {
  static const char kHex[] = "0123456789ABCDEF";
  switch (c) {
    case '\n': out += "\\n"; return;
    case '\t': out += "\\t"; return;
    case '\r': out += "\\r"; return;
    case 0x1B: out += "\\e"; return;
    default:
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
  }
}

// Escapes what is not printable; with quote set, ' and \ as well.
std::string escaped(std::string_view s, bool quote, bool& changed) {
  std::string out;
  changed = false;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = printableAt(s, i);
    if (n == 0) {
      changed = true;
      appendEscaped(out, static_cast<unsigned char>(s[i]));
      ++i;
      continue;
    }
    if (quote && (s[i] == '\'' || s[i] == '\\')) out += '\\';
    out.append(s, i, n);
    i += n;
  }
  return out;
}

}  // namespace

std::string terminalQuoted(std::string_view name) {
  bool changed = false;
  std::string plain = escaped(name, false, changed);
  if (!changed) return std::string(name);
  return "$'" + escaped(name, true, changed) + "'";
}

std::string terminalSafe(std::string_view text) {
  bool changed = false;
  return escaped(text, false, changed);
}

}  // namespace osprin
