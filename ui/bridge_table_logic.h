#pragma once

#include "bridge/bridge.h"
#include "bridge/listener.h"
#include "core/version.h"
#include "ui/session_activity.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quayside {

inline constexpr std::string_view kWindowCaption = "Quayside " QUAYSIDE_VERSION_TEXT;
inline constexpr std::string_view kErrorOpeningPortText = "Error opening port";
inline constexpr std::string_view kDuplicatePortCaption = "Duplicate port";
inline constexpr std::string_view kDuplicatePortText =
    "The local port you have chosen is already assigned for another server\r\n"
    "Do you want to use a random port instead ?";
inline constexpr std::string_view kSaveCaption = "Save Settings";
inline constexpr std::string_view kSavedText = "The settings were saved";
inline constexpr std::string_view kSaveFailedText = "The settings could not be saved";
inline constexpr std::string_view kQuitAnywayText =
    "The settings could not be saved.\nQuit anyway and lose the changes since the last save?";
inline constexpr std::string_view kNotAddedCaption = "Bridge not added";
inline constexpr std::string_view kNotUpdatedCaption = "Bridge not updated";
inline constexpr std::string_view kSettingsCaption = "Settings file not read";

// What an empty secret field shows while the Bridge has one set: only its
// hash is stored, so the field is never filled in.
inline constexpr std::string_view kSecretSetText = "(set; type to change)";

inline constexpr std::size_t kServerFieldLimit = kBridgeServerCapacity - 1;    // 511
inline constexpr std::size_t kChannelFieldLimit = kBridgeChannelCapacity - 1;  // 255

// Ports below this need privileges on Linux, and 0 cannot be listened on as shown.
inline constexpr std::uint32_t kLowestRandomPort = 1024;
// Below the ports systems hand out for outgoing connections (Linux from
// 32768, Windows from 49152), so a proposed port is not taken by chance.
inline constexpr std::uint32_t kHighestRandomPort = 32767;

// One option's field in the editor, by its row's key in kOptionRows.
struct OptionField {
  std::string_view key;
  // What the field holds: the text, a choice's or toggle's value ("sasl",
  // "off"), a number's digits, a list's items separated by blanks. A
  // secret's is what was typed, never filled in from the Bridge.
  std::string text;
  // A secret's "Remove" box (from the view), and whether the Bridge has one
  // set, which the empty field then shows it keeps (to the view).
  bool remove = false;
  bool set = false;
};

// The editor's fields: the Bridge's own three and one per option.
struct BridgeFields {
  std::string server;
  std::string channel;
  std::string port;
  std::vector<OptionField> options;  // in kOptionRows' order

  // The option's field; null when the editor has none for it.
  OptionField* option(std::string_view key);
  const OptionField* option(std::string_view key) const;
};

// The option fields that show `options`, one per row of kOptionRows.
std::vector<OptionField> optionFields(const SessionOptions& options);

// What the window logic needs from the widgets: the Bridge table, the
// fields and the options editor, the event log, the notification area,
// message boxes and the end of the window. Row changes that the logic
// makes through setRowChecked must be reported back synchronously through
// BridgeTableLogic::checkboxChanged, as a user's click would be.
class BridgeTableView {
 public:
  virtual ~BridgeTableView() = default;

  virtual int rowCount() const = 0;
  // Inserts an unchecked row at `position` (clamped to the table) carrying
  // `bridge`; returns the row it landed on.
  virtual int insertRow(int position, Bridge* bridge, const std::string& portText) = 0;
  virtual void setRow(int row, Bridge* bridge, const std::string& portText) = 0;
  virtual void setServerText(int row, const std::string& text) = 0;
  virtual void setStateText(int row, const std::string& text) = 0;
  virtual void setRowChecked(int row, bool checked) = 0;
  virtual void removeRow(int row) = 0;
  // The row's item data; nullptr for a row that does not exist.
  virtual Bridge* bridgeAt(int row) const = 0;
  // The selected row, or -1.
  virtual int selectedRow() const = 0;
  // Selects a row as a user's click would (rowSelected follows).
  virtual void selectRow(int row) = 0;

  // The editor of the selected Bridge, all of its fields at once. A view
  // leaves a field whose text is already the one given as it is, so a
  // partial change (a proposed port, a fingerprint to trust) keeps the
  // user's typing elsewhere.
  virtual BridgeFields fields() const = 0;
  virtual void setFields(const BridgeFields& fields) = 0;
  // The Local address shown beside the Port field.
  virtual std::string localAddressField() const = 0;
  virtual void setLocalAddressField(const std::string& text) = 0;

  // Appends a line to the event log (which drops its oldest line past
  // SessionActivity::kLogLimit, as the logic's copy does).
  virtual void appendLogLine(const std::string& text) = 0;
  // A short notice from the notification-area icon, and its tooltip.
  virtual void showNotice(const Notice& notice) = 0;
  virtual void setTrayToolTip(const std::string& text) = 0;

  virtual void copyToClipboard(const std::string& text) = 0;

  // Modal boxes. An empty caption means "no caption of its own"; `detail` is
  // a secondary explanation shown under the text.
  virtual void inform(std::string_view caption, std::string_view text,
                      std::string_view detail = {}) = 0;
  virtual bool askYesNo(std::string_view caption, std::string_view text,
                        std::string_view detail = {}) = 0;

  // Ends the window; start-up then shuts the program down.
  virtual void endWindow() = 0;
};

// Opening and closing a Bridge's listener (Listeners in production). A failed
// open tells the user, leaves `enabled` 0 and unchecks the current row.
class ListenerControl {
 public:
  virtual ~ListenerControl() = default;
  virtual void openListener(Bridge& bridge) = 0;
  virtual void closeListener(Bridge& bridge) = 0;
};

// The column-1 text of a Bridge's row: scheme, server text less one scheme
// prefix, and for an IRC upstream (exactly 1) the channel as it is joined
// after a '/'.
std::string composeServerText(const Bridge& bridge);

// The notification-area tooltip: the caption and how many sessions run.
std::string trayToolTip(std::size_t sessions);

// "dchub://127.0.0.1:" and the port number as read, not cut to 16 bits.
std::string composeLocalAddress(std::uint32_t port);

// The Port field as an unsigned number: blanks around decimal digits; 0 when
// the text is not such a number or does not fit 32 bits.
std::uint32_t readPortNumber(std::string_view text);

// A random port from kLowestRandomPort to kHighestRandomPort for which `isTaken` is false,
// from the low 16 bits of `random`'s words; a deterministic scan takes over if
// the draws keep missing. Nothing when every such port is taken.
std::optional<std::uint16_t> drawFreePort(const std::function<std::uint32_t()>& random,
                                          const std::function<bool(std::uint16_t)>& isTaken);

// What each window command does to the Bridge list, the fields, the table and
// the listeners. Knows nothing of widgets; runs on the window's thread only.
class BridgeTableLogic {
 public:
  using RandomSource = std::function<std::uint32_t()>;

  // `clock` dates the log and spaces notices; without one all times are 0.
  // `hasher` hashes a typed password (platform::systemPasswordHasher() when null).
  BridgeTableLogic(BridgeList& bridges, BridgeTableView& view, ListenerControl& listeners,
                   std::string settingsPath, RandomSource random, LocalClock clock = {},
                   const PasswordHasher* hasher = nullptr);

  // Random port in the Port field; one row per Bridge (the last in the list
  // on top), each enabled Bridge's listener opened and its row checked.
  // `settingsProblem`: why the settings file was not read, to be told.
  void initialise(std::string_view settingsProblem = {});

  void add();
  void update();
  void deleteSelected();
  void copy();
  void saveSettingsCommand();
  // Saves and ends the window. While sessions run, the user is asked
  // first; when the save fails the user may stay.
  void exit();

  // Notifications from the table and the Port field.
  void checkboxChanged(int row, bool checked);
  void rowSelected(int row);
  void portFieldChanged() { refreshLocalAddress(); }

  // For the listener host: a failed open tells the user and clears the
  // checkbox of the row at the current row index.
  void errorOpeningPort(std::string_view reason);
  void uncheckCurrentRow();
  // The same, logged first with the Bridge's port.
  void errorOpeningPort(const Bridge& bridge, std::string_view reason);

  // What the listeners and the relays report; relay reports arrive on the
  // window's thread, queued.
  void acceptNoted(const Bridge& bridge, ListenerHost::AcceptNote note, std::uint32_t peerAddress,
                   std::uint16_t peerPort, std::string_view reason);
  void relayReported(const RelayReport& report);

  // The log line that "Trust this certificate" acts on: `line` when it
  // carries a refused certificate, else the newest that does; none without.
  std::optional<std::size_t> trustLine(std::optional<std::size_t> line) const;
  // Selects the line's Bridge and fills in the refused certificate's
  // fingerprint; Update then applies it.
  void trustCertificate(std::size_t line);

  const SessionActivity& activity() const { return activity_; }

  int currentRow() const { return currentRow_; }
  const std::string& settingsPath() const { return settingsPath_; }

 private:
  // The selected row's Bridge, making that row current; null without one.
  Bridge* selectedBridge();
  // `base` with the editor's options applied, or a box saying which field
  // is refused and why. Options the editor has no field for stay as in
  // `base`, and so does a secret while its field is empty.
  std::optional<SessionOptions> checkedFields(std::string_view caption, const SessionOptions& base,
                                              const BridgeFields& fields);
  void storeFields(Bridge& bridge, bool adding, BridgeFields fields);
  void openListener(Bridge& bridge);
  void closeListener(Bridge& bridge);
  void refreshState(const Bridge& bridge);
  int rowOf(const Bridge& bridge) const;
  void checkCurrentRow(Bridge& bridge);
  void refreshLocalAddress();
  std::uint32_t lowestFreeAcceptMessage(const Bridge& bridge) const;

  BridgeList& bridges_;
  BridgeTableView& view_;
  ListenerControl& listeners_;
  std::string settingsPath_;
  RandomSource random_;
  const PasswordHasher& hasher_;
  SessionActivity activity_;
  // The row the last insertion, lookup or checkbox notification concerned;
  // a failed listener open unchecks this row.
  int currentRow_ = 0;
};

}  // namespace quayside
