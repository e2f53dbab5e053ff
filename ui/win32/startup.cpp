#include "ui/win32/startup.h"

#include "bridge/settings.h"
#include "relay/registry.h"
#include "ui/win32/main_window.h"

#include <commctrl.h>

#include <string>

namespace quayside::win32 {

int runWindowProgram(HINSTANCE instance, int show) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  // Counted by the system: harmless where the platform layer starts it too.
  WSADATA sockets{};
  if (WSAStartup(MAKEWORD(2, 2), &sockets) != 0) {
    MessageBoxW(nullptr, L"Windows Sockets could not be started.", L"Quayside",
                MB_OK | MB_ICONERROR);
    return 1;
  }

  const std::string path = settingsPath();
  std::string settingsProblem;
  BridgeList bridges = loadSettings(path, &settingsProblem);
  int code = 0;
  {
    MainWindow window(instance, bridges, path);
    if (!window.create()) {
      MessageBoxW(nullptr, L"The window could not be created.", L"Quayside", MB_OK | MB_ICONERROR);
      return 1;
    }
    window.initialise(settingsProblem);
    window.show(show);

    MSG message{};
    for (;;) {
      const BOOL got = GetMessageW(&message, nullptr, 0, 0);
      if (got == 0) {
        code = static_cast<int>(message.wParam);
        break;
      }
      if (got == -1) {
        code = 1;
        break;
      }
      // The dialog's keys: Tab, Enter for Add, Escape for Exit.
      const HWND dialog = window.handle();
      if (dialog == nullptr || IsDialogMessageW(dialog, &message) == FALSE) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
    }
    window.closeAllListeners();
    // Each session quits its IRC server before the program ends.
    stopRelays(kRelayStopBound);
  }
  // Relays keep their own copies and are not waited for beyond that.
  bridges.clear();
  return code;
}

}  // namespace quayside::win32
