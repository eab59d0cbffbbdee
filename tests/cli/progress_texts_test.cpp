// The command line's texts for counters, text values and phases: each is
// the program's own text, and a value added to the protocol without a text
// is caught here.
#include <gtest/gtest.h>

#include "progress_texts.h"
#include "support/progress_texts_table.h"

namespace osprin::cli {
namespace {

using osprin::test::CounterText;
using osprin::test::PhaseText;
using osprin::test::TextFieldText;

class CliCounterText : public ::testing::TestWithParam<CounterText> {};
TEST_P(CliCounterText, IsTheProgramsOwn) { EXPECT_STREQ(cliText(GetParam().which), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(All, CliCounterText, ::testing::ValuesIn(osprin::test::kCounterTexts));

class CliTextFieldText : public ::testing::TestWithParam<TextFieldText> {};
TEST_P(CliTextFieldText, IsTheProgramsOwn) { EXPECT_STREQ(cliText(GetParam().which), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(All, CliTextFieldText, ::testing::ValuesIn(osprin::test::kTextFieldTexts));

class CliPhaseText : public ::testing::TestWithParam<PhaseText> {};
TEST_P(CliPhaseText, IsTheProgramsOwn) { EXPECT_EQ(cliText(GetParam().phase), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(All, CliPhaseText, ::testing::ValuesIn(osprin::test::kPhaseTexts));

TEST(CliProgressTexts, EveryValueHasAText) {
  EXPECT_TRUE(osprin::test::coversAll(osprin::test::kCounterTexts, kCounterKinds, &CounterText::which));
  EXPECT_TRUE(osprin::test::coversAll(osprin::test::kTextFieldTexts, kTextFieldKinds, &TextFieldText::which));
  EXPECT_TRUE(osprin::test::coversAllPhases());
  for (int k = 0; k < kCounterKinds; ++k) EXPECT_STRNE(cliText(static_cast<Counter>(k)), "") << k;
  for (int k = 0; k < kTextFieldKinds; ++k) EXPECT_STRNE(cliText(static_cast<TextField>(k)), "") << k;
  for (int k = 1; k < kPhaseKinds; ++k) EXPECT_NE(cliText(PhaseInfo{static_cast<Phase>(k)}), "") << k;
  // A value past the counts has no text: the counts name every value.
  EXPECT_STREQ(cliText(static_cast<Counter>(kCounterKinds)), "");
  EXPECT_STREQ(cliText(static_cast<TextField>(kTextFieldKinds)), "");
  EXPECT_EQ(cliText(PhaseInfo{static_cast<Phase>(kPhaseKinds)}), "");
}

}  // namespace
}  // namespace osprin::cli
