#pragma once
// Drives the window through the wizard as a user would, without a human:
// used by the screenshot mode of osprin-gui (the documentation's pictures).
#include <QString>

namespace osprin::gui {

class MainWindow;

// From step 0 to `step` (0..3) on the last drive of the list: 0 the drive
// chosen; 1 its partitions with the first one chosen; 2 an advanced scan of
// the second partition (or the first) with the first found file system
// chosen; 3 a standard scan of the first partition. Message boxes must be
// answered by a hook (setMessageBoxHook). False with a reason in `error`.
bool driveToStep(MainWindow& w, int step, QString& error);

}  // namespace osprin::gui
