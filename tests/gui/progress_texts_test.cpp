// The window's texts for counters, text values and phases: each is the
// program's own text, and a value added to the protocol without a text is
// caught here.
#include <gtest/gtest.h>

#include <QThread>
#include <vector>

#include "app/progress_texts.h"
#include "app/qt_observer.h"
#include "dialog_support.h"
#include "support/progress_texts_table.h"

namespace osprin::gui {
namespace {

using osprin::test::CounterText;
using osprin::test::PhaseText;
using osprin::test::TextFieldText;

class GuiCounterText : public ::testing::TestWithParam<CounterText> {};
TEST_P(GuiCounterText, IsTheProgramsOwn) { EXPECT_EQ(guiText(GetParam().which), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(All, GuiCounterText, ::testing::ValuesIn(osprin::test::kCounterTexts));

class GuiTextFieldText : public ::testing::TestWithParam<TextFieldText> {};
TEST_P(GuiTextFieldText, IsTheProgramsOwn) { EXPECT_EQ(guiText(GetParam().which), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(All, GuiTextFieldText, ::testing::ValuesIn(osprin::test::kTextFieldTexts));

class GuiPhaseText : public ::testing::TestWithParam<PhaseText> {};
TEST_P(GuiPhaseText, IsTheProgramsOwn) { EXPECT_EQ(guiText(GetParam().phase), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(All, GuiPhaseText, ::testing::ValuesIn(osprin::test::kPhaseTexts));

TEST(GuiProgressTexts, EveryValueHasAText) {
  EXPECT_TRUE(osprin::test::coversAll(osprin::test::kCounterTexts, kCounterKinds, &CounterText::which));
  EXPECT_TRUE(osprin::test::coversAll(osprin::test::kTextFieldTexts, kTextFieldKinds, &TextFieldText::which));
  EXPECT_TRUE(osprin::test::coversAllPhases());
  for (int k = 0; k < kCounterKinds; ++k) EXPECT_FALSE(guiText(static_cast<Counter>(k)).isEmpty()) << k;
  for (int k = 0; k < kTextFieldKinds; ++k) EXPECT_FALSE(guiText(static_cast<TextField>(k)).isEmpty()) << k;
  for (int k = 1; k < kPhaseKinds; ++k) EXPECT_FALSE(guiText(PhaseInfo{static_cast<Phase>(k)}).isEmpty()) << k;
  // A value past the counts has no text: the counts name every value.
  EXPECT_TRUE(guiText(static_cast<Counter>(kCounterKinds)).isEmpty());
  EXPECT_TRUE(guiText(static_cast<TextField>(kTextFieldKinds)).isEmpty());
  EXPECT_TRUE(guiText(PhaseInfo{static_cast<Phase>(kPhaseKinds)}).isEmpty());
}

// What a worker reports reaches the window thread typed: the last value of
// each counter and text value, and the last phase with its numbers.
TEST(QtObserverTest, DeliversTheLastValueOfEachKind) {
  QtObserver obs(nullptr);
  std::map<Counter, quint64> counters;
  std::map<TextField, QString> texts;
  std::vector<PhaseInfo> phases;
  QObject::connect(&obs, &QtObserver::counterChanged, [&](Counter c, quint64 v) { counters[c] = v; });
  QObject::connect(&obs, &QtObserver::textChanged, [&](TextField f, const QString& v) { texts[f] = v; });
  QObject::connect(&obs, &QtObserver::phaseChanged, [&](const PhaseInfo& p) { phases.push_back(p); });
  QThread* worker = QThread::create([&] {
    obs.counter(Counter::FoldersFound, 1);
    obs.counter(Counter::FoldersFound, 2);
    obs.counter(Counter::CurrentSector, 4242);
    obs.text(TextField::LastFileFolder, "a.txt");
    obs.phase({Phase::MountStep, 4, 5});
  });
  worker->start();
  ASSERT_TRUE(dtest::waitFor([&] { return worker->isFinished() && !phases.empty(); }));
  delete worker;
  EXPECT_EQ(counters, (std::map<Counter, quint64>{{Counter::FoldersFound, 2}, {Counter::CurrentSector, 4242}}));
  EXPECT_EQ(texts, (std::map<TextField, QString>{{TextField::LastFileFolder, "a.txt"}}));
  EXPECT_EQ(phases, (std::vector<PhaseInfo>{{Phase::MountStep, 4, 5}}));
  EXPECT_EQ(guiText(phases.back()), "Step 4 / 5 ....");
}

}  // namespace
}  // namespace osprin::gui
