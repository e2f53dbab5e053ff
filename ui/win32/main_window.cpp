#include "ui/win32/main_window.h"

#include "ui/win32/resource.h"
#include "ui/win32/wide_text.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <utility>

namespace quayside::win32 {

namespace {

// The dialog's option controls (quayside.rc), by the option table's key:
// the field, and a number's spin or a secret's Remove box.
struct OptionControl {
  std::string_view key;
  int field;
  int partner = 0;
};
constexpr OptionControl kOptionControls[] = {
    {"charset", IDC_CHARSET},
    {"fingerprint", IDC_FINGERPRINT},
    {"login", IDC_LOGIN},
    {"pace", IDC_PACE},
    {"max-sessions", IDC_MAX_SESSIONS, IDC_MAX_SESSIONS_SPIN},
    {"password", IDC_PASSWORD, IDC_REMOVE_PASSWORD},
    {"room", IDC_ROOMS},
};

// Whether the row's field is a combo box: choices, or a text's suggestions.
bool hasDropDown(const OptionRow& optionRow) {
  return optionRow.kind == OptionKind::kChoice || !optionRow.choices.empty();
}

constexpr int kPortColumn = 0;
constexpr int kServerColumn = 1;
constexpr int kStateColumn = 2;

// A failing accept (out of sockets, say) leaves the listener signalled; it
// rests this long instead of firing in a busy loop.
constexpr UINT kAcceptRestMilliseconds = 100;

constexpr UINT kTrayIconId = 1;
constexpr UINT_PTR kLogSubclassId = 1;

// The state image of a list view row: 1 unchecked, 2 checked, 0 none yet.
UINT checkImage(UINT state) {
  return (state & LVIS_STATEIMAGEMASK) >> 12;
}

LocalTime localNow() {
  SYSTEMTIME time{};
  GetLocalTime(&time);
  return {static_cast<std::int64_t>(GetTickCount64() / 1000),
          time.wHour,
          time.wMinute,
          time.wSecond,
          time.wYear,
          time.wMonth,
          time.wDay};
}

// Copies `text` into a fixed WCHAR field of a Shell structure, cut to fit.
template <std::size_t N>
void copyInto(WCHAR (&field)[N], const std::wstring& text) {
  const std::size_t length = std::min(text.size(), N - 1);
  std::copy_n(text.data(), length, field);
  field[length] = L'\0';
}

// The window's DPI: GetDpiForWindow where Windows has it (10 1607 on), else
// the screen's, which is the window's for a program that is not per-monitor.
UINT windowDpi(HWND window) {
  using GetDpi = UINT(WINAPI*)(HWND);
  static const auto getDpi = reinterpret_cast<GetDpi>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (getDpi != nullptr) {
    return getDpi(window);
  }
  const HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96U;
}

LONG scaled(LONG value, UINT to, UINT from) {
  return MulDiv(value, static_cast<int>(to), static_cast<int>(from));
}

std::string trimmed(std::string text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.back())) {
    text.pop_back();
  }
  const auto first = std::find_if_not(text.begin(), text.end(), blank);
  text.erase(text.begin(), first);
  return text;
}

}  // namespace

MainWindow::MainWindow(HINSTANCE instance, BridgeList& bridges, std::string settingsPath,
                       BridgeTableLogic::RandomSource random)
    : instance_(instance),
      bridges_(bridges),
      post_(new RelayEventPost([this](RelayReport report) {
        // The message owns the copy once posted; a window that is gone takes none.
        const HWND target = postTarget_.load();
        auto* posted = new (std::nothrow) RelayReport(std::move(report));
        if (posted != nullptr &&
            (target == nullptr ||
             PostMessageW(target, kRelayReportMessage, 0, reinterpret_cast<LPARAM>(posted)) == 0)) {
          delete posted;
        }
      })),
      listeners_(bridges, *this, post_),
      control_(listeners_),
      logic_(bridges, *this, control_, std::move(settingsPath), std::move(random), localNow) {}

MainWindow::~MainWindow() {
  post_->release();
  closeAllListeners();
  if (window_ != nullptr) {
    DestroyWindow(window_);
  }
  for (HICON icon : {bigIcon_, smallIcon_}) {
    if (icon != nullptr) {
      DestroyIcon(icon);
    }
  }
}

void MainWindow::closeAllListeners() {
  for (Bridge& bridge : bridges_) {
    listeners_.closeListener(bridge);
  }
}

bool MainWindow::create() {
  CreateDialogParamW(instance_, MAKEINTRESOURCEW(IDD_MAIN), nullptr, dialogProcedure,
                     reinterpret_cast<LPARAM>(this));
  return window_ != nullptr;
}

void MainWindow::show(int how) {
  ShowWindow(window_, how);
  UpdateWindow(window_);
}

INT_PTR CALLBACK MainWindow::dialogProcedure(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<MainWindow*>(lParam);
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    self->window_ = window;
    self->postTarget_.store(window);
    self->initialiseDialog();
    return TRUE;
  }
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, DWLP_USER));
  if (self == nullptr) {
    return FALSE;
  }
  return self->dispatch(message, wParam, lParam);
}

void MainWindow::initialiseDialog() {
  SetWindowTextW(window_, widen(kWindowCaption).c_str());
  bigIcon_ = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDI_QUAYSIDE), IMAGE_ICON,
                                           GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON),
                                           LR_DEFAULTCOLOR));
  smallIcon_ = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDI_QUAYSIDE), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_));
  SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));

  const HWND list = control(IDC_BRIDGES);
  ListView_SetExtendedListViewStyle(
      list, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER | LVS_EX_LABELTIP);
  // Column widths in dialog units, so they scale with the font and the DPI.
  RECT widths{40, 0, 140, 0};
  MapDialogRect(window_, &widths);
  struct Column {
    const wchar_t* title;
    int width;
  };
  const Column columns[] = {
      {L"Port", widths.left},
      {L"Server", widths.right},
      {L"State", widths.right},
  };
  for (int i = 0; i < 3; ++i) {
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    column.pszText = const_cast<wchar_t*>(columns[i].title);
    column.cx = columns[i].width;
    column.iSubItem = i;
    ListView_InsertColumn(list, i, &column);
  }
  fitStateColumn();

  SendDlgItemMessageW(window_, IDC_SERVER, EM_SETLIMITTEXT, kServerFieldLimit, 0);
  SendDlgItemMessageW(window_, IDC_CHANNEL, EM_SETLIMITTEXT, kChannelFieldLimit, 0);
  const std::vector<OptionField> defaults = optionFields({});
  for (const OptionControl& option : kOptionControls) {
    const OptionRow* optionRow = findOptionRow(option.key);
    if (optionRow == nullptr) {
      continue;
    }
    if (hasDropDown(*optionRow)) {
      for (const OptionChoice& choice : optionRow->choices) {
        SendDlgItemMessageW(window_, option.field, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(widen(choice.shown()).c_str()));
      }
    }
    if (optionRow->kind == OptionKind::kNumber) {
      SendDlgItemMessageW(window_, option.field, EM_SETLIMITTEXT,
                          std::to_string(optionRow->most).size(), 0);
      SendDlgItemMessageW(window_, option.partner, UDM_SETRANGE32, optionRow->least,
                          optionRow->most);
    }
    const auto field = std::find_if(defaults.begin(), defaults.end(),
                                    [&](const OptionField& f) { return f.key == optionRow->key; });
    if (field != defaults.end()) {
      writeOption(*optionRow, option.field, option.partner, *field);
    }
  }

  // The log keeps up to SessionActivity::kLogLimit lines, past an edit
  // control's default 32 K characters.
  SendDlgItemMessageW(window_, IDC_LOG, EM_SETLIMITTEXT, 0, 0);
  SetWindowSubclass(control(IDC_LOG), logProcedure, kLogSubclassId,
                    reinterpret_cast<DWORD_PTR>(this));

  // The settings file may live beside the program or in the user's
  // configuration folder; say which.
  setControlText(IDC_SETTINGS_PATH, "Settings file: " + logic_.settingsPath());

  taskbarCreatedMessage_ = RegisterWindowMessageW(L"TaskbarCreated");
  recordLayout();
}

void MainWindow::recordLayout() {
  dpi_ = windowDpi(window_);
  RECT client{};
  GetClientRect(window_, &client);
  designedClient_ = {client.right, client.bottom};
  RECT frame{};
  GetWindowRect(window_, &frame);
  minimumWindow_ = {frame.right - frame.left, frame.bottom - frame.top};

  RECT list{};
  GetWindowRect(control(IDC_BRIDGES), &list);
  MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&list), 2);
  // As in the Qt window, the table gets three fifths of a change in height
  // and the event log two.
  constexpr float kTop = 0.6F;
  for (HWND child = GetWindow(window_, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    Placed placed{child, {}, 0, 0, 0, 0};
    GetWindowRect(child, &placed.at);
    MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&placed.at), 2);
    switch (GetDlgCtrlID(child)) {
      case IDC_BRIDGES:
        placed.growX = 1;
        placed.growY = kTop;
        break;
      case IDC_ADD:
      case IDC_UPDATE:
      case IDC_DELETE:
        placed.moveX = 1;
        placed.moveY = kTop;
        break;
      case IDC_EVENTS_LABEL:
        placed.moveY = kTop;
        break;
      case IDC_TRUST:
        placed.moveX = 1;
        placed.moveY = kTop;
        break;
      case IDC_LOG:
        placed.moveY = kTop;
        placed.growX = 1;
        placed.growY = 1 - kTop;
        break;
      case IDC_SEPARATOR:
      case IDC_SETTINGS_PATH:
        placed.moveY = 1;
        placed.growX = 1;
        break;
      case IDC_SAVE:
      case IDC_TRAY:
      case IDC_EXIT:
        placed.moveX = 0.5F;
        placed.moveY = 1;
        break;
      default:
        // The fields and their labels, right of the table, keep to its right.
        if (placed.at.left >= list.right) {
          placed.moveX = 1;
        }
        break;
    }
    layout_.push_back(placed);
  }
}

void MainWindow::layOut(int width, int height) {
  if (layout_.empty()) {
    return;
  }
  const auto dx = static_cast<float>(std::max(0L, width - designedClient_.cx));
  const auto dy = static_cast<float>(std::max(0L, height - designedClient_.cy));
  HDWP moves = BeginDeferWindowPos(static_cast<int>(layout_.size()));
  for (const Placed& placed : layout_) {
    if (moves == nullptr) {
      break;
    }
    const auto shift = [](float share, float change) { return static_cast<int>(share * change); };
    const int left = placed.at.left + shift(placed.moveX, dx);
    const int top = placed.at.top + shift(placed.moveY, dy);
    const int w = placed.at.right - placed.at.left + shift(placed.growX, dx);
    const int h = placed.at.bottom - placed.at.top + shift(placed.growY, dy);
    const UINT sizing = placed.growX == 0 && placed.growY == 0 ? SWP_NOSIZE : 0U;
    moves = DeferWindowPos(moves, placed.control, nullptr, left, top, w, h,
                           SWP_NOZORDER | SWP_NOACTIVATE | sizing);
  }
  if (moves != nullptr) {
    EndDeferWindowPos(moves);
  }
  fitStateColumn();
  InvalidateRect(window_, nullptr, TRUE);
}

void MainWindow::fitStateColumn() {
  // What the other columns leave, less room for a vertical scroll bar, so
  // that a long table never needs a horizontal one as well.
  const HWND list = control(IDC_BRIDGES);
  RECT area{};
  GetClientRect(list, &area);
  int rest = static_cast<int>(area.right) - GetSystemMetrics(SM_CXVSCROLL);
  if ((GetWindowLongPtrW(list, GWL_STYLE) & WS_VSCROLL) != 0) {
    rest += GetSystemMetrics(SM_CXVSCROLL);
  }
  rest -= ListView_GetColumnWidth(list, kPortColumn) + ListView_GetColumnWidth(list, kServerColumn);
  ListView_SetColumnWidth(list, kStateColumn, std::max(rest, 40));
}

INT_PTR MainWindow::dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      command(LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->idFrom == IDC_BRIDGES) {
        listNotified(*header);
      }
      return FALSE;
    }
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED) {
        layOut(LOWORD(lParam), HIWORD(lParam));
      }
      return TRUE;
    case WM_DPICHANGED: {
      // Moved to a screen of another DPI: the layout scales with it before
      // the window takes its new size (the default handling that follows).
      const UINT dpi = LOWORD(wParam);
      if (dpi != 0 && dpi_ != 0 && dpi != dpi_) {
        for (Placed& placed : layout_) {
          placed.at = {scaled(placed.at.left, dpi, dpi_), scaled(placed.at.top, dpi, dpi_),
                       scaled(placed.at.right, dpi, dpi_), scaled(placed.at.bottom, dpi, dpi_)};
        }
        designedClient_ = {scaled(designedClient_.cx, dpi, dpi_),
                           scaled(designedClient_.cy, dpi, dpi_)};
        minimumWindow_ = {scaled(minimumWindow_.cx, dpi, dpi_),
                          scaled(minimumWindow_.cy, dpi, dpi_)};
        dpi_ = dpi;
      }
      return FALSE;
    }
    case WM_GETMINMAXINFO:
      if (minimumWindow_.cx > 0) {
        auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
        limits->ptMinTrackSize = {minimumWindow_.cx, minimumWindow_.cy};
      }
      return TRUE;
    case WM_CLOSE:
      // The close box is Exit: it saves, and may be declined when that fails.
      if (!ending_) {
        logic_.exit();
      }
      return TRUE;
    case WM_TIMER: {
      const auto found = resting_.find(wParam);
      KillTimer(window_, wParam);
      if (found != resting_.end()) {
        const auto watched = watched_.find(found->second);
        // Only while the same listener is still watched; it may have been
        // closed (and its number reused) meanwhile.
        if (watched != watched_.end()) {
          WSAAsyncSelect(static_cast<SOCKET>(watched->first), window_, watched->second, FD_ACCEPT);
        }
        resting_.erase(found);
      }
      return TRUE;
    }
    case kRelayReportMessage: {
      const std::unique_ptr<RelayReport> report(reinterpret_cast<RelayReport*>(lParam));
      if (report && !ending_) {
        logic_.relayReported(*report);
      }
      return TRUE;
    }
    case kTrayMessage:
      switch (LOWORD(lParam)) {
        case WM_LBUTTONUP:
        case WM_RBUTTONUP:
        case WM_LBUTTONDBLCLK:
          restoreFromTray();
          break;
        default:
          break;
      }
      return TRUE;
    case WM_DESTROY:
      removeTrayIcon();
      PostQuitMessage(0);
      return TRUE;
    case WM_NCDESTROY:
      postTarget_.store(nullptr);
      window_ = nullptr;
      return FALSE;
    default:
      break;
  }
  if (message >= kFirstAcceptMessage && message < WM_APP) {
    acceptEvent(message, lParam);
    return TRUE;
  }
  if (taskbarCreatedMessage_ != 0 && message == taskbarCreatedMessage_) {
    // Explorer restarted: its notification area forgot the icon.
    if (trayShown_) {
      addTrayIcon();
    }
    return TRUE;
  }
  return FALSE;
}

void MainWindow::command(int id, int code) {
  if (ending_) {
    return;
  }
  switch (id) {
    case IDOK:  // Enter where no button is the default
    case IDC_ADD:
      logic_.add();
      break;
    case IDC_UPDATE:
      logic_.update();
      break;
    case IDC_DELETE:
      logic_.deleteSelected();
      break;
    case IDC_COPY:
      logic_.copy();
      break;
    case IDC_SAVE:
      logic_.saveSettingsCommand();
      break;
    case IDC_TRAY:
      minimizeToTray();
      break;
    case IDCANCEL:  // Escape
      // Escape in an open drop-down only closes it.
      if (!closeDropDown()) {
        logic_.exit();
      }
      break;
    case IDC_EXIT:
      logic_.exit();
      break;
    case IDC_TRUST: {
      const LRESULT line =
          SendDlgItemMessageW(window_, IDC_LOG, EM_LINEFROMCHAR, static_cast<WPARAM>(-1), 0);
      trustCertificateAt(static_cast<int>(line));
      break;
    }
    case IDC_PORT:
      if (code == EN_CHANGE) {
        logic_.portFieldChanged();
      }
      break;
    default:
      // A secret to remove is not typed as well.
      for (const OptionControl& option : kOptionControls) {
        const OptionRow* optionRow = findOptionRow(option.key);
        if (id == option.partner && code == BN_CLICKED && optionRow != nullptr &&
            optionRow->kind == OptionKind::kSecret) {
          const bool remove = IsDlgButtonChecked(window_, id) == BST_CHECKED;
          if (remove) {
            setControlText(option.field, {});
          }
          EnableWindow(control(option.field), remove ? FALSE : TRUE);
        }
      }
      break;
  }
}

void MainWindow::listNotified(const NMHDR& header) {
  if (header.code != LVN_ITEMCHANGED || ending_) {
    return;
  }
  const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
  if (change.iItem < 0 || (change.uChanged & LVIF_STATE) == 0) {
    return;
  }
  // A new row gets its first state image (0 to unchecked): not a click.
  const UINT before = checkImage(change.uOldState);
  const UINT after = checkImage(change.uNewState);
  if (!fillingRow_ && before != 0 && after != 0 && before != after) {
    logic_.checkboxChanged(change.iItem, after == 2);
  }
  if (!removingRow_ && !fillingRow_ && (change.uNewState & LVIS_SELECTED) != 0 &&
      (change.uOldState & LVIS_SELECTED) == 0) {
    logic_.rowSelected(change.iItem);
  }
}

void MainWindow::acceptEvent(UINT message, LPARAM lParam) {
  if (WSAGETSELECTEVENT(lParam) != FD_ACCEPT || ending_) {
    return;
  }
  // A socket accepted while its listener sends window events inherits them,
  // and such a socket cannot be made blocking again, as the relay needs it;
  // so the events are off during the accept. Turning them on again posts
  // the next event at once when more connections wait.
  SocketHandle listener = kNoSocket;
  for (const auto& [socket, number] : watched_) {
    if (number == message) {
      listener = socket;
      break;
    }
  }
  if (listener != kNoSocket) {
    WSAAsyncSelect(static_cast<SOCKET>(listener), window_, 0, 0);
  }
  relayStartedInAccept_ = false;
  listeners_.acceptClient(message);
  if (listener == kNoSocket || window_ == nullptr) {
    return;
  }
  const auto still = watched_.find(listener);
  const bool resting = std::any_of(resting_.begin(), resting_.end(), [listener](const auto& rest) {
    return rest.second == listener;
  });
  if (still != watched_.end() && still->second == message && !resting) {
    WSAAsyncSelect(static_cast<SOCKET>(listener), window_, message, FD_ACCEPT);
  }
}

LRESULT CALLBACK MainWindow::logProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                          UINT_PTR /*id*/, DWORD_PTR data) {
  if (message == WM_CONTEXTMENU) {
    reinterpret_cast<MainWindow*>(data)->logContextMenu(lParam);
    return 0;
  }
  if (message == WM_NCDESTROY) {
    RemoveWindowSubclass(window, logProcedure, kLogSubclassId);
  }
  return DefSubclassProc(window, message, wParam, lParam);
}

void MainWindow::logContextMenu(LPARAM lParam) {
  const HWND log = control(IDC_LOG);
  POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  int line = 0;
  if (at.x == -1 && at.y == -1) {
    // From the keyboard: the caret's line, the menu at the log's corner.
    line = static_cast<int>(SendMessageW(log, EM_LINEFROMCHAR, static_cast<WPARAM>(-1), 0));
    RECT area{};
    GetWindowRect(log, &area);
    at = {area.left + 8, area.top + 8};
  } else {
    POINT inside = at;
    ScreenToClient(log, &inside);
    const LRESULT found = SendMessageW(log, EM_CHARFROMPOS, 0,
                                       MAKELPARAM(static_cast<WORD>(std::max<LONG>(inside.x, 0)),
                                                  static_cast<WORD>(std::max<LONG>(inside.y, 0))));
    line = HIWORD(found);
  }
  const auto chosenLine = static_cast<std::size_t>(std::max(line, 0));

  const HMENU menu = CreatePopupMenu();
  if (menu == nullptr) {
    return;
  }
  if (logic_.trustLine(chosenLine) == chosenLine) {
    AppendMenuW(menu, MF_STRING, IDM_TRUST, L"Trust this certificate");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  }
  DWORD start = 0;
  DWORD end = 0;
  SendMessageW(log, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  AppendMenuW(menu, MF_STRING | (start == end ? MF_GRAYED : 0U), IDM_COPY, L"&Copy");
  AppendMenuW(menu, MF_STRING, IDM_SELECT_ALL, L"Select &All");
  const BOOL chosen =
      TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, window_, nullptr);
  DestroyMenu(menu);
  switch (chosen) {
    case IDM_TRUST:
      trustCertificateAt(static_cast<int>(chosenLine));
      break;
    case IDM_COPY:
      SendMessageW(log, WM_COPY, 0, 0);
      break;
    case IDM_SELECT_ALL:
      SendMessageW(log, EM_SETSEL, 0, -1);
      break;
    default:
      break;
  }
}

void MainWindow::refreshTrustButton() {
  EnableWindow(control(IDC_TRUST), logic_.trustLine(std::nullopt).has_value() ? TRUE : FALSE);
}

bool MainWindow::closeDropDown() {
  for (const OptionControl& option : kOptionControls) {
    const OptionRow* optionRow = findOptionRow(option.key);
    if (optionRow != nullptr && hasDropDown(*optionRow) &&
        SendDlgItemMessageW(window_, option.field, CB_GETDROPPEDSTATE, 0, 0) != FALSE) {
      SendDlgItemMessageW(window_, option.field, CB_SHOWDROPDOWN, FALSE, 0);
      return true;
    }
  }
  return false;
}

void MainWindow::trustCertificateAt(int line) {
  const std::optional<std::size_t> chosen =
      logic_.trustLine(line < 0 ? std::nullopt : std::optional<std::size_t>(line));
  if (chosen) {
    logic_.trustCertificate(*chosen);
  }
}

bool MainWindow::addTrayIcon() {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = window_;
  data.uID = kTrayIconId;
  data.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
  data.uCallbackMessage = kTrayMessage;
  data.hIcon = smallIcon_;
  copyInto(data.szTip, trayToolTip_);
  return Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
}

void MainWindow::removeTrayIcon() {
  if (!trayShown_) {
    return;
  }
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = window_;
  data.uID = kTrayIconId;
  Shell_NotifyIconW(NIM_DELETE, &data);
  trayShown_ = false;
}

void MainWindow::minimizeToTray() {
  if (trayShown_) {
    return;
  }
  // Without a notification area the window is only minimised.
  if (!addTrayIcon()) {
    ShowWindow(window_, SW_MINIMIZE);
    return;
  }
  trayShown_ = true;
  ShowWindow(window_, SW_HIDE);
}

void MainWindow::restoreFromTray() {
  removeTrayIcon();
  ShowWindow(window_, IsIconic(window_) ? SW_RESTORE : SW_SHOW);
  SetForegroundWindow(window_);
}

std::string MainWindow::controlText(int id) const {
  const HWND field = control(id);
  const int length = GetWindowTextLengthW(field);
  if (length <= 0) {
    return {};
  }
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int copied = GetWindowTextW(field, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(std::max(copied, 0)));
  return narrow(text);
}

void MainWindow::setControlText(int id, const std::string& text) {
  SetDlgItemTextW(window_, id, widen(text).c_str());
}

int MainWindow::rowCount() const {
  return ListView_GetItemCount(control(IDC_BRIDGES));
}

int MainWindow::insertRow(int position, Bridge* bridge, const std::string& portText) {
  std::wstring text = widen(portText);
  LVITEMW item{};
  item.mask = LVIF_TEXT | LVIF_PARAM | LVIF_STATE;
  item.iItem = std::clamp(position, 0, rowCount());
  item.pszText = text.data();
  item.lParam = reinterpret_cast<LPARAM>(bridge);
  item.state = INDEXTOSTATEIMAGEMASK(1);
  item.stateMask = LVIS_STATEIMAGEMASK;
  fillingRow_ = true;
  const int row = ListView_InsertItem(control(IDC_BRIDGES), &item);
  fillingRow_ = false;
  return row;
}

void MainWindow::setRow(int row, Bridge* bridge, const std::string& portText) {
  std::wstring text = widen(portText);
  LVITEMW item{};
  item.mask = LVIF_TEXT | LVIF_PARAM;
  item.iItem = row;
  item.pszText = text.data();
  item.lParam = reinterpret_cast<LPARAM>(bridge);
  ListView_SetItem(control(IDC_BRIDGES), &item);
}

void MainWindow::setServerText(int row, const std::string& text) {
  std::wstring wide = widen(text);
  ListView_SetItemText(control(IDC_BRIDGES), row, kServerColumn, wide.data());
}

void MainWindow::setStateText(int row, const std::string& text) {
  std::wstring wide = widen(text);
  ListView_SetItemText(control(IDC_BRIDGES), row, kStateColumn, wide.data());
}

void MainWindow::setRowChecked(int row, bool checked) {
  // The list reports the change through LVN_ITEMCHANGED before this returns.
  ListView_SetCheckState(control(IDC_BRIDGES), row, checked ? TRUE : FALSE);
}

void MainWindow::removeRow(int row) {
  // Selection changes while a row goes are not the user's choice and must
  // not overwrite the fields.
  removingRow_ = true;
  const HWND list = control(IDC_BRIDGES);
  ListView_DeleteItem(list, row);
  ListView_SetItemState(list, -1, 0, LVIS_SELECTED);
  removingRow_ = false;
}

Bridge* MainWindow::bridgeAt(int row) const {
  if (row < 0 || row >= rowCount()) {
    return nullptr;
  }
  LVITEMW item{};
  item.mask = LVIF_PARAM;
  item.iItem = row;
  if (ListView_GetItem(control(IDC_BRIDGES), &item) == FALSE) {
    return nullptr;
  }
  return reinterpret_cast<Bridge*>(item.lParam);
}

int MainWindow::selectedRow() const {
  return ListView_GetNextItem(control(IDC_BRIDGES), -1, LVNI_SELECTED);
}

void MainWindow::selectRow(int row) {
  const HWND list = control(IDC_BRIDGES);
  ListView_SetItemState(list, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  ListView_EnsureVisible(list, row, FALSE);
}

BridgeFields MainWindow::fields() const {
  BridgeFields fields;
  fields.server = controlText(IDC_SERVER);
  fields.channel = controlText(IDC_CHANNEL);
  fields.port = controlText(IDC_PORT);
  for (const OptionControl& option : kOptionControls) {
    if (const OptionRow* optionRow = findOptionRow(option.key); optionRow != nullptr) {
      fields.options.push_back(readOption(*optionRow, option.field, option.partner));
    }
  }
  return fields;
}

void MainWindow::setFields(const BridgeFields& fields) {
  // An unchanged field keeps the user's caret and selection.
  const auto setText = [this](int id, const std::string& text) {
    if (controlText(id) != text) {
      setControlText(id, text);
    }
  };
  setText(IDC_SERVER, fields.server);
  setText(IDC_CHANNEL, fields.channel);
  setText(IDC_PORT, fields.port);
  for (const OptionControl& option : kOptionControls) {
    const OptionRow* optionRow = findOptionRow(option.key);
    const OptionField* field = fields.option(option.key);
    if (optionRow != nullptr && field != nullptr) {
      writeOption(*optionRow, option.field, option.partner, *field);
    }
  }
}

OptionField MainWindow::readOption(const OptionRow& optionRow, int field, int partner) const {
  OptionField option;
  option.key = optionRow.key;
  switch (optionRow.kind) {
    case OptionKind::kText:
    case OptionKind::kList:
    case OptionKind::kNumber:
      option.text = trimmed(controlText(field));
      break;
    case OptionKind::kChoice: {
      const LRESULT index = SendDlgItemMessageW(window_, field, CB_GETCURSEL, 0, 0);
      option.text = optionRow
                        .choices[static_cast<std::size_t>(std::clamp<LRESULT>(
                            index, 0, static_cast<LRESULT>(optionRow.choices.size()) - 1))]
                        .value;
      break;
    }
    case OptionKind::kToggle:
      option.text = IsDlgButtonChecked(window_, field) == BST_CHECKED ? "on" : "off";
      break;
    case OptionKind::kSecret: {
      // As typed: blanks are part of a password.
      option.text = controlText(field);
      option.remove = IsDlgButtonChecked(window_, partner) == BST_CHECKED;
      const auto set = secretSet_.find(field);
      option.set = set != secretSet_.end() && set->second;
      break;
    }
  }
  return option;
}

void MainWindow::writeOption(const OptionRow& optionRow, int field, int partner,
                             const OptionField& option) {
  switch (optionRow.kind) {
    case OptionKind::kText:
    case OptionKind::kList:
    case OptionKind::kNumber:
      // An unchanged field keeps what the user typed, blanks and caret included.
      if (trimmed(controlText(field)) != option.text) {
        setControlText(field, option.text);
      }
      break;
    case OptionKind::kChoice:
      for (std::size_t i = 0; i < optionRow.choices.size(); ++i) {
        if (optionRow.choices[i].value == option.text) {
          SendDlgItemMessageW(window_, field, CB_SETCURSEL, i, 0);
        }
      }
      break;
    case OptionKind::kToggle:
      CheckDlgButton(window_, field, option.text == "on" ? BST_CHECKED : BST_UNCHECKED);
      break;
    case OptionKind::kSecret: {
      CheckDlgButton(window_, partner, option.remove ? BST_CHECKED : BST_UNCHECKED);
      const HWND edit = control(field);
      EnableWindow(edit, option.remove ? FALSE : TRUE);
      if (controlText(field) != option.text) {
        setControlText(field, option.text);
      }
      secretSet_[field] = option.set;
      SendMessageW(edit, EM_SETCUEBANNER, FALSE,
                   reinterpret_cast<LPARAM>(option.set ? widen(kSecretSetText).c_str() : L""));
      break;
    }
  }
}

std::string MainWindow::localAddressField() const {
  return controlText(IDC_LOCAL_ADDRESS);
}

void MainWindow::setLocalAddressField(const std::string& text) {
  setControlText(IDC_LOCAL_ADDRESS, text);
}

void MainWindow::appendLogLine(const std::string& text) {
  const HWND log = control(IDC_LOG);
  DWORD start = 0;
  DWORD end = 0;
  SendMessageW(log, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  // A caret at the end follows the new lines; a selection elsewhere stays.
  const bool following = end >= static_cast<DWORD>(GetWindowTextLengthW(log));

  if (logLines_ >= SessionActivity::kLogLimit) {
    const LRESULT cut = SendMessageW(log, EM_LINEINDEX, 1, 0);
    if (cut > 0) {
      SendMessageW(log, EM_SETSEL, 0, cut);
      SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
      const auto removed = static_cast<DWORD>(cut);
      start = start > removed ? start - removed : 0;
      end = end > removed ? end - removed : 0;
      --logLines_;
    }
  }
  const std::wstring line = (logLines_ > 0 ? L"\r\n" : L"") + widen(text);
  const int length = GetWindowTextLengthW(log);
  SendMessageW(log, EM_SETSEL, static_cast<WPARAM>(length), length);
  SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(line.c_str()));
  ++logLines_;
  if (following) {
    const int newLength = GetWindowTextLengthW(log);
    SendMessageW(log, EM_SETSEL, static_cast<WPARAM>(newLength), newLength);
    SendMessageW(log, EM_SCROLLCARET, 0, 0);
  } else {
    SendMessageW(log, EM_SETSEL, start, static_cast<LPARAM>(end));
  }
  refreshTrustButton();
}

void MainWindow::showNotice(const Notice& notice) {
  if (!trayShown_) {
    return;
  }
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = window_;
  data.uID = kTrayIconId;
  data.uFlags = NIF_INFO;
  data.dwInfoFlags = NIIF_WARNING;
  copyInto(data.szInfoTitle, widen(notice.title));
  copyInto(data.szInfo, widen(notice.text));
  Shell_NotifyIconW(NIM_MODIFY, &data);
}

void MainWindow::setTrayToolTip(const std::string& text) {
  trayToolTip_ = widen(text);
  if (!trayShown_) {
    return;
  }
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = window_;
  data.uID = kTrayIconId;
  data.uFlags = NIF_TIP;
  copyInto(data.szTip, trayToolTip_);
  Shell_NotifyIconW(NIM_MODIFY, &data);
}

void MainWindow::copyToClipboard(const std::string& text) {
  const std::wstring wide = widen(text);
  const std::size_t bytes = (wide.size() + 1) * sizeof(wchar_t);
  if (OpenClipboard(window_) == FALSE) {
    return;
  }
  EmptyClipboard();
  if (const HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes); memory != nullptr) {
    if (void* area = GlobalLock(memory); area != nullptr) {
      std::copy_n(wide.c_str(), wide.size() + 1, static_cast<wchar_t*>(area));
      GlobalUnlock(memory);
      // The clipboard owns the memory once it is set.
      if (SetClipboardData(CF_UNICODETEXT, memory) == nullptr) {
        GlobalFree(memory);
      }
    } else {
      GlobalFree(memory);
    }
  }
  CloseClipboard();
}

namespace {

int messageBox(HWND owner, std::string_view caption, std::string_view text, std::string_view detail,
               UINT buttons) {
  std::string body(text);
  if (!detail.empty()) {
    body += "\r\n\r\n";
    body += detail;
  }
  const std::wstring title = widen(caption.empty() ? std::string_view("Quayside") : caption);
  return MessageBoxW(owner, widen(body).c_str(), title.c_str(), buttons | MB_SETFOREGROUND);
}

}  // namespace

void MainWindow::inform(std::string_view caption, std::string_view text, std::string_view detail) {
  messageBox(window_, caption, text, detail, MB_OK);
}

bool MainWindow::askYesNo(std::string_view caption, std::string_view text,
                          std::string_view detail) {
  return messageBox(window_, caption, text, detail, MB_YESNO) == IDYES;
}

void MainWindow::endWindow() {
  ending_ = true;
  removeTrayIcon();
  // WM_DESTROY ends the message loop.
  DestroyWindow(window_);
}

void MainWindow::watchAccepts(SocketHandle listener, std::uint32_t acceptMessage) {
  watched_[listener] = acceptMessage;
  WSAAsyncSelect(static_cast<SOCKET>(listener), window_, acceptMessage, FD_ACCEPT);
}

void MainWindow::unwatchAccepts(SocketHandle listener) {
  watched_.erase(listener);
  for (auto rest = resting_.begin(); rest != resting_.end();) {
    if (rest->second == listener) {
      if (window_ != nullptr) {
        KillTimer(window_, rest->first);
      }
      rest = resting_.erase(rest);
    } else {
      ++rest;
    }
  }
  // Closing the socket next cancels the events too; this stops them at once.
  if (window_ != nullptr) {
    WSAAsyncSelect(static_cast<SOCKET>(listener), window_, 0, 0);
  }
}

void MainWindow::errorOpeningPort(const Bridge& bridge, std::string_view reason) {
  logic_.errorOpeningPort(bridge, reason);
}

void MainWindow::uncheckCurrentRow() {
  logic_.uncheckCurrentRow();
}

void MainWindow::noteAccept(const Bridge& bridge, AcceptNote note, std::uint32_t peerAddress,
                            std::uint16_t peerPort, std::string_view reason) {
  // The post must outlive every relay that reports to it: each one holds it
  // from just before its start.
  if (note == AcceptNote::kAccepted) {
    post_->relayStarting();
    relayStartedInAccept_ = true;
  } else if (note == AcceptNote::kRelayNotStarted && relayStartedInAccept_) {
    post_->relayNotStarted();
    relayStartedInAccept_ = false;
  }
  logic_.acceptNoted(bridge, note, peerAddress, peerPort, reason);

  if (note != AcceptNote::kAcceptFailed || window_ == nullptr) {
    return;
  }
  for (const SocketHandle socket : {bridge.listenSocket, bridge.listenSocket6}) {
    const auto watched = watched_.find(socket);
    if (watched == watched_.end()) {
      continue;
    }
    WSAAsyncSelect(static_cast<SOCKET>(watched->first), window_, 0, 0);
    const UINT_PTR timer = nextTimer_++;
    resting_[timer] = watched->first;
    SetTimer(window_, timer, kAcceptRestMilliseconds, nullptr);
  }
}

}  // namespace quayside::win32
