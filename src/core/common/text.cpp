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

std::string utf16ToUtf8(const char16_t* u, std::size_t n) {
  std::string out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    char32_t c = u[i];
    if (c == 0) break;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 < n && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (u[i + 1] - 0xDC00);
        ++i;
      } else {
        c = 0xFFFD;
      }
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    appendUtf8(out, c);
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
    char16_t u;
    if (!unitAt(i, u)) break;
    char32_t c = u;
    if (c >= 0xD800 && c <= 0xDBFF) {
      char16_t v;
      if (i + 1 < count && unitAt(i + 1, v) && v >= 0xDC00 && v <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (v - 0xDC00);
        ++i;
      } else {
        c = 0xFFFD;
      }
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    appendUtf8(out, c);
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

}  // namespace osprin
