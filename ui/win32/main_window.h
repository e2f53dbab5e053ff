#pragma once

#include "bridge/listener.h"
#include "core/random.h"
#include "ui/bridge_table_logic.h"
#include "ui/relay_event_post.h"

// winsock2.h first: windows.h would otherwise bring the older winsock.h.
#include <winsock2.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quayside::win32 {

// Messages of the window's own, above the accept messages (which count up
// from kFirstAcceptMessage and stay below WM_APP).
inline constexpr UINT kRelayReportMessage = WM_APP + 1;  // lParam: a RelayReport to take
inline constexpr UINT kTrayMessage = WM_APP + 2;         // the notification-area icon

// The main window on Windows: a dialog from the resource script, a thin
// native view over BridgeTableLogic. Listeners deliver their accepts as
// window messages (WSAAsyncSelect, one number per Bridge from 1124), relay
// events arrive as posted messages, and the modal boxes are message boxes.
// The Bridge list belongs to the caller and must outlive the window.
class MainWindow final : private BridgeTableView, private ListenerHost {
 public:
  MainWindow(HINSTANCE instance, BridgeList& bridges, std::string settingsPath,
             BridgeTableLogic::RandomSource random = randomWord);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Creates the dialog; false when it could not be made.
  bool create();
  // Rows of the Bridge list and their listeners; call before the first show.
  void initialise(std::string_view settingsProblem = {}) { logic_.initialise(settingsProblem); }
  void show(int how);
  HWND handle() const { return window_; }

  // Shutdown: closes every Bridge's listener.
  void closeAllListeners();

 private:
  static INT_PTR CALLBACK dialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK logProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                       UINT_PTR id, DWORD_PTR data);
  INT_PTR dispatch(UINT message, WPARAM wParam, LPARAM lParam);
  void initialiseDialog();
  // Remembers where the dialog put each control, then moves and stretches
  // them as the window is resized.
  void recordLayout();
  void layOut(int width, int height);
  void fitStateColumn();
  void command(int id, int code);
  // Closes the charset or login drop-down when one is open; false when none is.
  bool closeDropDown();
  void listNotified(const NMHDR& header);
  void acceptEvent(UINT message, LPARAM lParam);
  void logContextMenu(LPARAM lParam);
  void refreshTrustButton();
  void trustCertificateAt(int line);
  void minimizeToTray();
  void restoreFromTray();
  bool addTrayIcon();
  void removeTrayIcon();

  HWND control(int id) const { return GetDlgItem(window_, id); }
  std::string controlText(int id) const;
  void setControlText(int id, const std::string& text);

  // BridgeTableView
  int rowCount() const override;
  int insertRow(int position, Bridge* bridge, const std::string& portText) override;
  void setRow(int row, Bridge* bridge, const std::string& portText) override;
  void setServerText(int row, const std::string& text) override;
  void setStateText(int row, const std::string& text) override;
  void setRowChecked(int row, bool checked) override;
  void removeRow(int row) override;
  Bridge* bridgeAt(int row) const override;
  int selectedRow() const override;
  void selectRow(int row) override;
  BridgeFields fields() const override;
  void setFields(const BridgeFields& fields) override;
  std::string localAddressField() const override;
  void setLocalAddressField(const std::string& text) override;
  // An option's controls (its field, and a number's spin or a secret's
  // Remove box) as the logic takes them, and given to them.
  OptionField readOption(const OptionRow& optionRow, int field, int partner) const;
  void writeOption(const OptionRow& optionRow, int field, int partner, const OptionField& option);
  void appendLogLine(const std::string& text) override;
  void showNotice(const Notice& notice) override;
  void setTrayToolTip(const std::string& text) override;
  void copyToClipboard(const std::string& text) override;
  void inform(std::string_view caption, std::string_view text, std::string_view detail) override;
  bool askYesNo(std::string_view caption, std::string_view text, std::string_view detail) override;
  void endWindow() override;

  // ListenerHost
  void watchAccepts(SocketHandle listener, std::uint32_t acceptMessage) override;
  void unwatchAccepts(SocketHandle listener) override;
  void errorOpeningPort(const Bridge& bridge, std::string_view reason) override;
  void uncheckCurrentRow() override;
  void noteAccept(const Bridge& bridge, AcceptNote note, std::uint32_t peerAddress,
                  std::uint16_t peerPort, std::string_view reason) override;

  // Listeners as the logic's ListenerControl.
  class ListenersControl : public ListenerControl {
   public:
    explicit ListenersControl(Listeners& listeners) : listeners_(listeners) {}
    void openListener(Bridge& bridge) override { listeners_.openListener(bridge); }
    void closeListener(Bridge& bridge) override { listeners_.closeListener(bridge); }

   private:
    Listeners& listeners_;
  };

  HINSTANCE instance_;
  BridgeList& bridges_;
  HWND window_ = nullptr;
  // The window relay threads post to; null before it exists and once it is gone.
  std::atomic<HWND> postTarget_{nullptr};
  HICON bigIcon_ = nullptr;
  HICON smallIcon_ = nullptr;
  // Freed by itself once released here and every relay it watches ended.
  RelayEventPost* post_;
  Listeners listeners_;
  ListenersControl control_;
  BridgeTableLogic logic_;

  // Listening sockets and their accept messages; a listener whose accept
  // failed rests for a moment (a timer) instead of firing in a busy loop.
  std::map<SocketHandle, std::uint32_t> watched_;
  std::map<UINT_PTR, SocketHandle> resting_;
  UINT_PTR nextTimer_ = 1;

  struct Placed {
    HWND control;
    RECT at;                           // in client coordinates at the dialog's own size
    float moveX, moveY, growX, growY;  // shares of the change in size
  };
  std::vector<Placed> layout_;
  SIZE designedClient_{};
  SIZE minimumWindow_{};
  UINT dpi_ = 0;  // the DPI the layout is recorded for

  // Whether each secret's field (by control number) stands for one set,
  // as its cue shows.
  std::map<int, bool> secretSet_;

  std::size_t logLines_ = 0;
  std::wstring trayToolTip_;
  bool trayShown_ = false;
  UINT taskbarCreatedMessage_ = 0;

  bool ending_ = false;
  // Set while the window itself changes rows, so the list's notifications
  // are not taken for the user's.
  bool fillingRow_ = false;
  bool removingRow_ = false;
  // Set by an accept that started a relay, so a relay that then fails to
  // start is not counted as holding the post.
  bool relayStartedInAccept_ = false;
};

}  // namespace quayside::win32
