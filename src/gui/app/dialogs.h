#pragma once
// The dialogs of the browse step, called by the main window's commands.
// Each takes the Session it works on; none of them runs while a scan runs.
#include <QUrl>
#include <QWidget>
#include <functional>
#include <vector>

#include "app/session.h"

namespace osprin::gui {

// "Recovery Settings": edits s.settings (OK) or leaves it (Cancel).
void showRecoverySettings(QWidget* parent, Session& s);

// "&Recover Selected..." / "Recover &All...": asks for the destination
// ("Please select the path to recover the data"), then shows the modal
// "Saving the data please wait" dialog while a worker copies the rows.
// Returns when the dialog has closed; false when the user cancelled the
// folder chooser. `destination` skips the chooser when not empty (tests).
// With a parent, a summary (RecoverySummaryDialog) stays open after the run;
// `openUrl` opens the destination folder from it.
// The chooser's "Save report" (or `report`, with `destination`) writes the
// recovery report (RecoveryReport: .json, .csv or .xml) when the copy ends;
// a report that cannot be written is shown as an error.
bool recoverRows(QWidget* parent, Session& s, const std::vector<ListRow>& rows, const QString& destination = {},
                 std::function<bool(const QUrl&)> openUrl = {}, const QString& report = {});

// The report's file from what the user typed: "" gives FOLDER-report.json
// beside the destination folder; a name without .json, .csv or .xml gets
// ".json"; a relative name is taken beside the destination folder.
QString reportFileName(const QString& typed, const QString& destination);

// "&Open" / "Open &With...": copies the file row to the temporary folder and
// hands it to its application, or to the chooser of applications.
void openFileRow(QWidget* parent, Session& s, const ListRow& row, bool openWith);

// "&Save Recovery Snapshot..." / "&Load Recovery Snapshot...": the file
// dialogs with the "*.ZQRT" filter and the messages. Load returns true when
// a snapshot was loaded (the window then moves to the browse step).
void saveSnapshotCommand(QWidget* parent, Session& s);
bool loadSnapshotCommand(QWidget* parent, Session& s);

// "File Filters": edits s.filters; the caller refreshes the root listing.
void showFileFilters(QWidget* parent, Session& s);

// "Find File(s)". A hit leads where `actions` say: its folder with the file
// selected (double-click), recovery, Open and Open With (context menu).
struct FindActions {
  std::function<void(const FindHit& hit)> goTo;
  std::function<void(const std::vector<ListRow>& rows)> recover;
  std::function<void(const ListRow& row, bool openWith)> open;
};
void showFindFiles(QWidget* parent, Session& s, FindActions actions = {});

// "Drive Information" and "File/Folder Properties".
void showDriveInformation(QWidget* parent, Session& s);
void showProperties(QWidget* parent, Session& s, const ListRow& row);

}  // namespace osprin::gui
