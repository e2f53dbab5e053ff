// Renders the main window over a given settings file into a PNG, for the
// README. Usage: quayside-screenshot SETTINGS_FILE OUTPUT_PNG
#include "bridge/settings.h"
#include "ui/main_window.h"

#include <QApplication>
#include <QItemSelectionModel>
#include <QPixmap>
#include <QTableView>

#include <cstdio>
#include <string>

namespace {

// No box may wait for a click while the picture is taken.
class SilentPrompter : public quayside::Prompter {
 public:
  void inform(QWidget*, std::string_view, std::string_view text, std::string_view) override {
    std::fprintf(stderr, "box: %.*s\n", static_cast<int>(text.size()), text.data());
  }
  bool askYesNo(QWidget*, std::string_view, std::string_view, std::string_view) override {
    return false;
  }
};

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s SETTINGS_FILE OUTPUT_PNG\n", argv[0]);
    return 2;
  }
  QCoreApplication::setApplicationName(QStringLiteral("quayside"));
  const std::string settingsPath = argv[1];
  quayside::BridgeList bridges = quayside::loadSettings(settingsPath);
  SilentPrompter prompter;
  quayside::MainWindow window(bridges, settingsPath, &prompter);
  window.initialise();
  window.show();
  // Select the top row so the fields show a Bridge, as after a click.
  auto* table = window.findChild<QTableView*>(QStringLiteral("bridgeTable"));
  if (table != nullptr && table->model()->rowCount() > 0) {
    table->selectRow(0);
  }
  QApplication::processEvents();
  if (!window.grab().save(QString::fromLocal8Bit(argv[2]), "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", argv[2]);
    return 1;
  }
  window.closeAllListeners();
  return 0;
}
