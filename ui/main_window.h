#pragma once

#include "bridge/listener.h"
#include "core/random.h"
#include "ui/bridge_table_logic.h"
#include "ui/bridge_table_model.h"
#include "ui/prompter.h"
#include "ui/qt_listener_host.h"
#include "ui/relay_event_post.h"

#include <QSystemTrayIcon>
#include <QWidget>

#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableView;

namespace quayside {

// The main window: a thin Qt view over BridgeTableLogic. It owns the table
// model, the listeners and their socket notifiers, and the event log; relay
// events reach it queued, through a RelayEventPost. The Bridge list belongs
// to the caller and must outlive the window.
class MainWindow : public QWidget, private BridgeTableView {
  Q_OBJECT

 public:
  // `prompter` answers the modal boxes (message boxes when null).
  MainWindow(BridgeList& bridges, std::string settingsPath, Prompter* prompter = nullptr,
             BridgeTableLogic::RandomSource random = randomWord, QWidget* parent = nullptr);
  ~MainWindow() override;

  // Rows of the Bridge list and their listeners; call before the first show.
  void initialise(std::string_view settingsProblem = {}) { logic_.initialise(settingsProblem); }

  // Shutdown: closes every Bridge's listener.
  void closeAllListeners();

  BridgeTableLogic& logic() { return logic_; }
  BridgeTableModel& model() { return model_; }
  QtListenerHost& listenerHost() { return host_; }

  // Hides the window behind a notification-area icon, or minimises it where
  // the desktop has none.
  void minimizeToTray();
  // A click on the icon: left, right or double restores the window.
  void trayActivated(QSystemTrayIcon::ActivationReason reason);
  bool trayIconShown() const;
  QString trayToolTipText() const { return trayToolTip_; }

  // "Trust this certificate" for the log line at `line` (or the newest
  // that offers it).
  void trustCertificateAt(int line);

 signals:
  // Exit has saved the settings and closed the window.
  void windowEnded();
  // A notice went to the notification area (shown there when its icon is).
  void noticeShown(const QString& title, const QString& text);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // Listeners as the logic's ListenerControl.
  class ListenersControl : public ListenerControl {
   public:
    explicit ListenersControl(Listeners& listeners) : listeners_(listeners) {}
    void openListener(Bridge& bridge) override { listeners_.openListener(bridge); }
    void closeListener(Bridge& bridge) override { listeners_.closeListener(bridge); }

   private:
    Listeners& listeners_;
  };

  // The options editor: one field per row of kOptionRows, in its order,
  // made by the row's kind; a secret has its Remove box too.
  struct OptionEditor {
    const OptionRow* optionRow;
    QWidget* field;
    QCheckBox* remove;
  };

  void buildWidgets();
  QLayout* buildOptionsEditor();
  // An option's field as the logic takes it, and given to it.
  OptionField readOption(const OptionEditor& editor) const;
  void writeOption(const OptionEditor& editor, const OptionField& field);
  void logContextMenu(const QPoint& position);
  void refreshTrustButton();

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
  void appendLogLine(const std::string& text) override;
  void showNotice(const Notice& notice) override;
  void setTrayToolTip(const std::string& text) override;
  void copyToClipboard(const std::string& text) override;
  void inform(std::string_view caption, std::string_view text, std::string_view detail) override;
  bool askYesNo(std::string_view caption, std::string_view text, std::string_view detail) override;
  void endWindow() override;

  BridgeList& bridges_;
  std::unique_ptr<Prompter> ownPrompter_;
  Prompter* prompter_;
  BridgeTableModel model_;
  QtListenerHost host_;
  // Freed by itself once released here and every relay it watches ended.
  RelayEventPost* post_;
  Listeners listeners_;
  ListenersControl control_;
  BridgeTableLogic logic_;

  QTableView* table_ = nullptr;
  QLineEdit* server_ = nullptr;
  QLineEdit* channel_ = nullptr;
  QLineEdit* port_ = nullptr;
  QLineEdit* localAddress_ = nullptr;
  std::vector<OptionEditor> optionEditors_;
  QPlainTextEdit* log_ = nullptr;
  QPushButton* trust_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  QString trayToolTip_;

  bool ending_ = false;
  bool inCloseEvent_ = false;
  bool removingRow_ = false;
  // Set by an accept that started a relay, so a relay that then fails to
  // start is not counted as holding the post.
  bool relayStartedInAccept_ = false;
};

}  // namespace quayside
