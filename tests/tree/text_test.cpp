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

TEST(DateText, IsoFileTimesAreUtcAndAgreeWithTheDisplayText) {
  struct Case {
    std::uint64_t ft;
    const char* iso;
  };
  const Case cases[] = {
      {0, ""},  // not set
      {1, "1601-01-01T00:00:00Z"},
      {116444736000000000ULL, "1970-01-01T00:00:00Z"},
      {116444736000000000ULL + 1796652202ULL * 10000000ULL + 9999999ULL, "2026-12-07T14:03:22Z"},  // 100 ns dropped
      {116444736000000000ULL + 951782400ULL * 10000000ULL, "2000-02-29T00:00:00Z"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isoFileTime(c.ft), c.iso) << c.ft;
    EXPECT_EQ(isoTime(fileTimeStored(c.ft)), c.iso);
  }
  // The same day and time of day as the display text, for random times.
  std::mt19937_64 rng(99);
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t ft = rng() >> 8;  // years up to about 3800
    unsigned d, m, y, h, mi, s;
    ASSERT_EQ(std::sscanf(ntfsTimeText(ft).c_str(), "%u-%u-%u %u:%u:%u", &d, &m, &y, &h, &mi, &s), 6);
    char want[40];
    std::snprintf(want, sizeof want, "%04u-%02u-%02uT%02u:%02u:%02uZ", y, m, d, h, mi, s);
    ASSERT_EQ(isoFileTime(ft), ft ? want : "") << ft;
  }
}

TEST(DateText, IsoFatTimesAreLocalWithoutAnOffset) {
  auto date = [](unsigned y, unsigned m, unsigned d) { return static_cast<std::uint16_t>((y - 1980) << 9 | m << 5 | d); };
  auto time = [](unsigned h, unsigned m, unsigned s) { return static_cast<std::uint16_t>(h << 11 | m << 5 | s / 2); };
  struct Case {
    std::uint16_t date, time;
    bool withTime;
    const char* iso;
  };
  const Case cases[] = {
      {date(2026, 12, 7), time(14, 3, 22), true, "2026-12-07T14:03:22"},
      {date(2026, 12, 7), 0, false, "2026-12-07"},  // a date alone (the access date)
      {date(1980, 1, 1), 0, true, "1980-01-01T00:00:00"},
      {date(2107, 12, 31), time(23, 59, 58), true, "2107-12-31T23:59:58"},
      {date(2000, 2, 29), 0, false, "2000-02-29"},
      {date(2001, 2, 29), 0, false, ""},  // not a leap year
      {date(2026, 4, 31), 0, false, ""},
      {0, 0, false, ""},                  // month 0, day 0: never written
      {date(2026, 13, 1), 0, false, ""},
      {date(2026, 1, 1), time(24, 0, 0), true, ""},
      {date(2026, 1, 1), time(1, 60, 0), true, ""},
      {date(2026, 1, 1), 0x1Fu, true, ""},  // 62 seconds
  };
  // Creation times carry 10 ms units: their whole seconds count.
  EXPECT_EQ(isoFatTime(date(2026, 12, 7), time(14, 3, 22), true, 150), "2026-12-07T14:03:23");
  EXPECT_EQ(isoTime(fatStoredDateTime(date(2026, 12, 7), time(14, 3, 58), 199)), "2026-12-07T14:03:59");
  for (const auto& c : cases) {
    EXPECT_EQ(isoFatTime(c.date, c.time, c.withTime), c.iso) << c.date << " " << c.time;
    EXPECT_EQ(isoTime(c.withTime ? fatStoredDateTime(c.date, c.time) : fatStoredDate(c.date)), c.iso);
  }
  // Every valid date agrees with the display text.
  for (unsigned d = 0; d <= 0xFFFF; ++d) {
    const std::string iso = isoFatTime(static_cast<std::uint16_t>(d), 0, false);
    if (iso.empty()) continue;
    const std::string shown = fatDateText(static_cast<std::uint16_t>(d));  // "DD-MM-YYYY "
    ASSERT_EQ(iso, shown.substr(6, 4) + "-" + shown.substr(3, 2) + "-" + shown.substr(0, 2)) << d;
  }
  EXPECT_EQ(isoTime(StoredTime{}), "");
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
