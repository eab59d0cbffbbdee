// The texts of the file list against plain reference versions: dates
// against a calendar walk, decoded UTF-16 names against a decoding that
// first collects the units and then pairs the surrogates.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "common/text.h"
#include "tree/file_list.h"

namespace osprin {
namespace {

// Walks the calendar year by year and month by month from 1601-01-01.
std::string walkedNtfsTime(std::uint64_t filetime) {
  std::uint64_t secs = filetime / 10000000ULL;
  std::uint64_t days = secs / 86400ULL;
  std::uint64_t rem = secs % 86400ULL;
  auto leap = [](std::uint64_t yr) { return (yr % 4 == 0 && yr % 100 != 0) || yr % 400 == 0; };
  std::uint64_t y = 1601 + 400 * (days / 146097);
  std::uint64_t d = days % 146097;
  while (d >= (leap(y) ? 366u : 365u)) d -= leap(y) ? 366 : 365, ++y;
  static const unsigned mdays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  unsigned m = 0;
  while (m < 12 && d >= mdays[m] + (m == 1 && leap(y) ? 1u : 0u)) d -= mdays[m] + (m == 1 && leap(y) ? 1u : 0u), ++m;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%u-%u-%llu %u:%u:%u", static_cast<unsigned>(d + 1), m + 1,
                static_cast<unsigned long long>(y), static_cast<unsigned>(rem / 3600),
                static_cast<unsigned>(rem / 60 % 60), static_cast<unsigned>(rem % 60));
  return buf;
}

TEST(DateText, NtfsTimesMatchACalendarWalk) {
  constexpr std::uint64_t kDay = 864000000000ULL;  // 100 ns units
  // Every day of the first 1,200 years (leap centuries included), at a time
  // of day that moves along.
  for (std::uint64_t day = 0; day < 1200 * 366; ++day) {
    const std::uint64_t ft = day * kDay + (day * 7919 % 86400) * 10000000ULL;
    ASSERT_EQ(ntfsTimeText(ft), walkedNtfsTime(ft)) << ft;
  }
  std::mt19937_64 rng(12345);
  for (int i = 0; i < 200000; ++i) {
    const std::uint64_t ft = rng();
    ASSERT_EQ(ntfsTimeText(ft), walkedNtfsTime(ft)) << ft;
  }
  for (std::uint64_t ft : {0ULL, 1ULL, 9999999ULL, 116444736000000000ULL, ~0ULL, ~0ULL - 1})
    EXPECT_EQ(ntfsTimeText(ft), walkedNtfsTime(ft)) << ft;
  EXPECT_EQ(ntfsTimeText(0), "1-1-1601 0:0:0");
  EXPECT_EQ(ntfsTimeText(116444736000000000ULL), "1-1-1970 0:0:0");
}

TEST(DateText, FatDatesArePaddedWithATrailingBlank) {
  for (unsigned date = 0; date <= 0xFFFF; ++date) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02u-%02u-%u ", date & 0x1Fu, (date >> 5) & 0x0Fu, 1980u + (date >> 9));
    ASSERT_EQ(fatDateText(static_cast<std::uint16_t>(date)), buf) << date;
  }
  EXPECT_EQ(fatDateText(0x3A21), "01-01-2009 ");
}

std::string collectedThenDecoded(Bytes b, std::size_t off, std::size_t count, bool stopAtNul) {
  std::u16string units;
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t p = off + 2 * i;
    if (p > b.size() || b.size() - p < 2) break;
    char16_t c = rd16(b, p);
    if (c == 0) {
      if (stopAtNul) break;
      c = 0xFFFD;
    }
    units.push_back(c);
  }
  return utf16ToUtf8(units.data(), units.size());
}

TEST(NameText, Utf16NamesDecodeLikeCollectedUnits) {
  std::mt19937 rng(7);
  // Units drawn mostly from the awkward places: NUL, ASCII, surrogates of
  // both halves, the last units of the plane.
  const char16_t picks[] = {0, 'a', 'Z', 0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFD, 0xFFFF};
  for (int round = 0; round < 100000; ++round) {
    std::vector<std::uint8_t> buf(rng() % 24);
    for (auto& byte : buf) byte = static_cast<std::uint8_t>(rng());
    for (std::size_t i = 0; i + 1 < buf.size(); i += 2)
      if (rng() % 2) {
        const char16_t u = picks[rng() % std::size(picks)];
        buf[i] = static_cast<std::uint8_t>(u);
        buf[i + 1] = static_cast<std::uint8_t>(u >> 8);
      }
    const Bytes b(buf);
    const std::size_t off = rng() % 4, count = rng() % 14;
    for (bool stop : {true, false})
      ASSERT_EQ(utf16leToUtf8(b, off, count, stop), collectedThenDecoded(b, off, count, stop)) << round;
  }
  const std::uint8_t pair[] = {0x3D, 0xD8, 0x00, 0xDE, 'x', 0};  // U+1F600, 'x'
  EXPECT_EQ(utf16leToUtf8(Bytes(pair), 0, 3), "\xF0\x9F\x98\x80x");
}

// Names printed on a terminal: plain names stay as they are; anything that
// could drive the terminal or fake a line is quoted as ls does.
struct QuoteCase {
  std::string name;
  std::string shown;
};
class TerminalQuoting : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(TerminalQuoting, QuotesAsLsDoes) { EXPECT_EQ(terminalQuoted(GetParam().name), GetParam().shown); }

INSTANTIATE_TEST_SUITE_P(
    NameText, TerminalQuoting,
    ::testing::Values(QuoteCase{"letter one.txt", "letter one.txt"}, QuoteCase{"caf\xC3\xA9 \xE6\x97\xA5.doc", "caf\xC3\xA9 \xE6\x97\xA5.doc"},
                      QuoteCase{"it's", "it's"}, QuoteCase{"two\nlines", "$'two\\nlines'"},
                      QuoteCase{"\x1B]0;owned\x07x", "$'\\e]0;owned\\x07x'"},
                      QuoteCase{"red\x1B[31m'q'\\", "$'red\\e[31m\\'q\\'\\\\'"}, QuoteCase{"tab\there", "$'tab\\there'"},
                      QuoteCase{"c1\xC2\x9B" "2J", "$'c1\\xC2\\x9B2J'"}, QuoteCase{"bad\xFF", "$'bad\\xFF'"},
                      QuoteCase{"del\x7F", "$'del\\x7F'"}, QuoteCase{"rlo\xE2\x80\xAEtxt.exe", "$'rlo\\xE2\\x80\\xAEtxt.exe'"}));

TEST(NameText, MessagesKeepTheirWordsAndLoseTheirEscapes) {
  EXPECT_EQ(terminalSafe("cannot create /d/a\nb: No space"), "cannot create /d/a\\nb: No space");
  EXPECT_EQ(terminalSafe("plain text"), "plain text");
}

}  // namespace
}  // namespace osprin
