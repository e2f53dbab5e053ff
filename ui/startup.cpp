#include "ui/startup.h"

#include "bridge/settings.h"
#include "platform/process.h"
#include "relay/registry.h"
#include "ui/app_icon.h"
#include "ui/main_window.h"

#include <QApplication>

#include <string>

namespace quayside {

int runWindowProgram(int& argc, char** argv) {
  QApplication application(argc, argv);
  // No organisation: Qt's configuration folder is then ~/.config/quayside,
  // the folder the per-user settings file lives in.
  QCoreApplication::setApplicationName(QStringLiteral("quayside"));
  QCoreApplication::setOrganizationName(QString());
  QGuiApplication::setWindowIcon(applicationIcon());
  // Hiding the window behind the tray icon must not end the program.
  QApplication::setQuitOnLastWindowClosed(false);

  platform::ignoreSigpipe();
  platform::raiseDescriptorLimit();

  const std::string path = settingsPath();
  std::string settingsProblem;
  BridgeList bridges = loadSettings(path, &settingsProblem);
  {
    MainWindow window(bridges, path);
    QObject::connect(&window, &MainWindow::windowEnded, &application, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    window.initialise(settingsProblem);
    window.show();
    QApplication::exec();
    window.closeAllListeners();
    // Each session quits its IRC server before the program ends.
    stopRelays(kRelayStopBound);
  }
  // Relays keep their own copies and are not waited for beyond that.
  bridges.clear();
  return 0;
}

}  // namespace quayside
