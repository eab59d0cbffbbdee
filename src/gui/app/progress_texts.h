#pragma once
// The window's texts for what long work reports: the information panel's
// labels of the counters and text values, and the status line of each phase.
#include <QString>

#include "common/observer.h"

namespace osprin::gui {

QString guiText(Counter c);
QString guiText(TextField f);
QString guiText(const PhaseInfo& p);

}  // namespace osprin::gui
