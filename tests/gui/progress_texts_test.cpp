// The window's texts for counters, text values and phases: each is the
// program's own text, and a value added to the protocol without a text is
// caught here.
#include <gtest/gtest.h>

#include "app/progress_texts.h"
#include "support/progress_texts_table.h"

namespace osprin::gui {
namespace {

using test::CounterText;
using test::PhaseText;
using test::TextFieldText;

class GuiCounterText : public ::testing::TestWithParam<CounterText> {};
TEST_P(GuiCounterText, IsTheProgramsOwn) { EXPECT_EQ(guiText(GetParam().which), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(All, GuiCounterText, ::testing::ValuesIn(test::kCounterTexts));

class GuiTextFieldText : public ::testing::TestWithParam<TextFieldText> {};
TEST_P(GuiTextFieldText, IsTheProgramsOwn) { EXPECT_EQ(guiText(GetParam().which), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(All, GuiTextFieldText, ::testing::ValuesIn(test::kTextFieldTexts));

class GuiPhaseText : public ::testing::TestWithParam<PhaseText> {};
TEST_P(GuiPhaseText, IsTheProgramsOwn) { EXPECT_EQ(guiText(GetParam().phase), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(All, GuiPhaseText, ::testing::ValuesIn(test::kPhaseTexts));

TEST(GuiProgressTexts, EveryValueHasAText) {
  EXPECT_TRUE(test::coversAll(test::kCounterTexts, kCounterKinds, &CounterText::which));
  EXPECT_TRUE(test::coversAll(test::kTextFieldTexts, kTextFieldKinds, &TextFieldText::which));
  EXPECT_TRUE(test::coversAllPhases());
  for (int k = 0; k < kCounterKinds; ++k) EXPECT_FALSE(guiText(static_cast<Counter>(k)).isEmpty()) << k;
  for (int k = 0; k < kTextFieldKinds; ++k) EXPECT_FALSE(guiText(static_cast<TextField>(k)).isEmpty()) << k;
  for (int k = 1; k < kPhaseKinds; ++k) EXPECT_FALSE(guiText(PhaseInfo{static_cast<Phase>(k)}).isEmpty()) << k;
  // A value past the counts has no text: the counts name every value.
  EXPECT_TRUE(guiText(static_cast<Counter>(kCounterKinds)).isEmpty());
  EXPECT_TRUE(guiText(static_cast<TextField>(kTextFieldKinds)).isEmpty());
  EXPECT_TRUE(guiText(PhaseInfo{static_cast<Phase>(kPhaseKinds)}).isEmpty());
}

}  // namespace
}  // namespace osprin::gui
