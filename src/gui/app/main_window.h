#pragma once
#include <QMainWindow>
#include <QStringList>

namespace osprin::gui {

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(const QStringList& images, QWidget* parent = nullptr);
};

}  // namespace osprin::gui
