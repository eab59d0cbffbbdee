#pragma once
// The information panel of the wizard: up to five label/value rows whose
// labels follow the step (drive, partition, standard scan, deep scan, found
// file system). The scan modes' rows are the workers' counters and text
// values; the others' rows come labelled (PanelRow).
#include <QGroupBox>
#include <QLabel>
#include <QString>
#include <variant>
#include <vector>

#include "common/observer.h"
#include "disk/drives.h"

namespace osprin::gui {

class InfoPanel : public QGroupBox {
  Q_OBJECT
 public:
  enum class Mode { None, Drive, Partition, StandardScan, DeepScanFat, DeepScanNtfs, FoundFsFat, FoundFsNtfs };
  static constexpr int kRows = 6;

  explicit InfoPanel(QWidget* parent = nullptr);

  // Sets the labels of a mode; every value is cleared (the deep-scan modes
  // start at "0").
  void setMode(Mode m);
  Mode mode() const { return mode_; }
  // The labels of a mode, in order.
  static QStringList labelsOf(Mode m);
  // A row that a worker fills: a counter or a text value.
  using Field = std::variant<Counter, TextField>;
  // The rows of a scan mode, in order (none for the other modes).
  static std::vector<Field> fieldsOf(Mode m);
  // The row of `f` in mode m, or -1.
  static int rowOf(Mode m, Field f);

  // Sets the value beside `label`; false when the mode has no such label.
  bool setValue(const QString& label, const QString& value);
  // Sets a worker's value; false when the mode has no row for it.
  bool setCounter(Counter which, quint64 value);
  bool setText(TextField which, const QString& value);
  // Sets values from rows whose labels belong to the mode.
  void setRows(const std::vector<PanelRow>& rows);
  void clearValues();

  QString value(const QString& label) const;
  QStringList labels() const;  // of the rows shown

  // Below the rows of Mode::Drive: an image file's format and own details
  // (an EnCase image's case number, examiner, hashes), one "Label: value"
  // line each; cleared by setMode.
  void setImageRows(const std::vector<PanelRow>& rows);
  QString imageText() const;

 private:
  Mode mode_ = Mode::None;
  QLabel* labels_[kRows] = {};
  QLabel* values_[kRows] = {};
  QLabel* details_ = nullptr;
};

}  // namespace osprin::gui
