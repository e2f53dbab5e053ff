#include "ui/main_window.h"

#include "bridge/settings.h"
#include "core/version.h"
#include "platform/net.h"
#include "platform/password_hash.h"
#include "relay/registry.h"
#include "relay/relay_thread.h"
#include "support/loopback.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

// Fontconfig keeps a cache for the life of the process, which LeakSanitizer
// reports once the offscreen platform has loaded fonts.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

// Qt is not built with ThreadSanitizer, so the hand-offs inside its own
// thread pool (used when painting) look like races.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libQt6Core.so\nrace:libQt6Gui.so\n";
}

namespace quayside {
namespace {
using testing::freePort;

// One application for the whole run, on the offscreen platform unless the
// environment names another.
void ensureApplication() {
  static int argc = 1;
  static char name[] = "ui_tests";
  static char* argv[] = {name, nullptr};
  if (QApplication::instance() == nullptr) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
      qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    static QApplication* application = new QApplication(argc, argv);
    static_cast<void>(application);
    QApplication::setQuitOnLastWindowClosed(false);
  }
}

class RecordingPrompter : public Prompter {
 public:
  void inform(QWidget*, std::string_view caption, std::string_view text,
              std::string_view) override {
    boxes.push_back(std::string(caption) + "|" + std::string(text));
  }
  bool askYesNo(QWidget*, std::string_view caption, std::string_view text,
                std::string_view) override {
    boxes.push_back(std::string(caption) + "|" + std::string(text));
    return answerYes;
  }
  std::vector<std::string> boxes;
  bool answerYes = false;
};

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ensureApplication();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = ::testing::TempDir() + "ui_window_" + info->name() + ".dat";
    std::remove(path_.c_str());
  }
  void TearDown() override {
    window_.reset();
    std::remove(path_.c_str());
    std::remove(blocker_.c_str());
  }
  // A settings path whose folder is a plain file, so no save can succeed.
  std::string unwritablePath() {
    blocker_ = path_ + ".blocker";
    std::FILE* file = std::fopen(blocker_.c_str(), "w");
    std::fclose(file);
    return blocker_ + "/quayside.dat";
  }

  MainWindow& open(std::string path = {}, bool show = true) {
    window_ = std::make_unique<MainWindow>(bridges_, path.empty() ? path_ : path, &prompter_);
    window_->initialise();
    if (show) {
      window_->show();
    }
    return *window_;
  }
  Bridge& enabledBridge(std::string_view server, std::uint16_t port) {
    Bridge& bridge = bridges_.emplace_back();
    setFieldText(bridge.server, server);
    setFieldText(bridge.channel, "#c");
    bridge.upstreamKind = 1;
    bridge.localPort = port;
    bridge.enabled = 1;
    bridge.acceptMessage = kFirstAcceptMessage;
    return bridge;
  }
  template <typename T>
  T* child(const char* name) {
    T* found = window_->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
  }

  std::string path_;
  std::string blocker_;
  BridgeList bridges_;
  RecordingPrompter prompter_;
  std::unique_ptr<MainWindow> window_;
};

TEST_F(MainWindowTest, EnterInAFieldAddsAnEnabledBridge) {
  open();
  const std::uint16_t port = freePort();
  child<QLineEdit>("portField")->setText(QString::number(port));
  child<QLineEdit>("serverField")->setText(QStringLiteral("irc.example"));
  QTest::keyClick(child<QLineEdit>("serverField"), Qt::Key_Return);

  ASSERT_EQ(window_->model().rowCount(), 1);
  ASSERT_EQ(bridges_.size(), 1u);
  EXPECT_EQ(bridges_.back().localPort, port);
  EXPECT_NE(bridges_.back().listenSocket, kNoSocket);
  EXPECT_TRUE(window_->model().isChecked(0));
  EXPECT_EQ(window_->model().data(window_->model().index(0, 1), Qt::DisplayRole).toString(),
            QStringLiteral("irc://irc.example/"));
  EXPECT_TRUE(prompter_.boxes.empty());
}

TEST_F(MainWindowTest, EscapeAndTheCloseBoxExitWithASave) {
  for (const bool escape : {true, false}) {
    window_.reset();
    bridges_.clear();
    std::remove(path_.c_str());
    enabledBridge("irc.example", freePort());
    open();
    QSignalSpy ended(window_.get(), &MainWindow::windowEnded);
    if (escape) {
      QTest::keyClick(child<QLineEdit>("channelField"), Qt::Key_Escape);
    } else {
      window_->close();
    }
    EXPECT_EQ(ended.count(), 1) << (escape ? "escape" : "close box");
    EXPECT_FALSE(window_->isVisible());
    EXPECT_EQ(loadSettings(path_).size(), 1u);
  }
}

TEST_F(MainWindowTest, EscapeInAnOpenDropDownOnlyClosesIt) {
  open();
  QSignalSpy ended(window_.get(), &MainWindow::windowEnded);
  for (const char* name : {"charsetField", "loginField"}) {
    auto* combo = child<QComboBox>(name);
    combo->setFocus();
    combo->showPopup();
    QWidget* popup = combo->view()->window();
    ASSERT_TRUE(popup->isVisible()) << name;
    // Through the window system, as a real key press arrives.
    QTest::keyClick(popup->windowHandle(), Qt::Key_Escape);
    EXPECT_FALSE(popup->isVisible()) << name;
    EXPECT_EQ(ended.count(), 0) << name;
  }
  QTest::keyClick(window_->windowHandle(), Qt::Key_Escape);
  EXPECT_EQ(ended.count(), 1) << "with the drop-down closed, Escape is Exit";
}

TEST_F(MainWindowTest, CloseBoxWithAFailedSaveCanBeDeclined) {
  open(unwritablePath());
  QSignalSpy ended(window_.get(), &MainWindow::windowEnded);
  prompter_.answerYes = false;
  window_->close();
  EXPECT_EQ(ended.count(), 0);
  EXPECT_TRUE(window_->isVisible());
  ASSERT_EQ(prompter_.boxes.size(), 1u);
  EXPECT_EQ(prompter_.boxes[0].rfind("Save Settings|", 0), 0u);

  prompter_.answerYes = true;
  window_->close();
  EXPECT_EQ(ended.count(), 1);
  EXPECT_FALSE(window_->isVisible());
}

TEST_F(MainWindowTest, AcceptEventStartsARelayThatGreetsTheClient) {
  std::string error;
  SocketHandle ircServer = platform::listenOn(platform::kLoopback, 0, 5, error);
  ASSERT_NE(ircServer, kNoSocket) << error;
  const std::string serverText = "127.0.0.1:" + std::to_string(platform::boundPort(ircServer));
  const Bridge& bridge = enabledBridge(serverText, freePort());
  open(path_, false);  // accepts do not need a shown window
  ASSERT_NE(bridge.listenSocket, kNoSocket) << "listener not open after initialise";
  EXPECT_EQ(window_->listenerHost().watchedCount(), bridge.listenSocket6 == kNoSocket ? 1u : 2u);

  SocketHandle client = testing::connectLoopback(bridge.localPort);
  ASSERT_NE(client, kNoSocket);
  ASSERT_TRUE(platform::sendAll(client, "$ValidateNick me|"));
  // The accept runs on this thread, from the socket notifier.
  SocketHandle upstream = kNoSocket;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        std::uint32_t peer = 0;
        upstream = platform::acceptFrom(ircServer, peer);
        return upstream != kNoSocket;
      },
      5000));
  const std::string greeting = std::string(kLockString) + "$Hello me|";
  EXPECT_EQ(testing::readUntil(client, greeting), greeting);
  // The relay's events reach the State column and the log, queued.
  const auto state = [this] {
    return window_->model().data(window_->model().index(0, 2), Qt::DisplayRole).toString();
  };
  const auto logText = [this] { return child<QPlainTextEdit>("eventLog")->toPlainText(); };
  EXPECT_TRUE(QTest::qWaitFor([&] { return state() == QStringLiteral("1 session"); }, 5000))
      << state().toStdString();
  EXPECT_TRUE(logText().contains(QStringLiteral(" from :")));
  EXPECT_TRUE(logText().contains(QStringLiteral("/me from :")));
  EXPECT_TRUE(
      logText().contains(QStringLiteral(" connected to ") + QString::fromStdString(serverText)));

  // Read first, so the close is not a reset.
  EXPECT_EQ(testing::readUntil(upstream, "NICK me\r\n"), "CAP LS 302\r\nNICK me\r\n");
  platform::closeSocket(upstream);
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return state().startsWith(QStringLiteral("ended: server closed the connection")); },
      5000))
      << state().toStdString();
  EXPECT_TRUE(
      logText().endsWith(QStringLiteral(": server closed the connection (does this port "
                                        "expect TLS? try ircs://)")));
  EXPECT_EQ(window_->trayToolTipText(),
            QStringLiteral("Quayside " QUAYSIDE_VERSION_TEXT ": no sessions"));
  platform::closeSocket(client);
  platform::closeSocket(ircServer);
  EXPECT_TRUE(QTest::qWaitFor([] { return registeredRelayCount() == 0; }, 5000));
}

TEST_F(MainWindowTest, UncheckingARowClosesItsListener) {
  Bridge& bridge = enabledBridge("irc.example", freePort());
  open();
  ASSERT_TRUE(window_->model().isChecked(0));
  window_->model().setData(window_->model().index(0, 0), Qt::Unchecked, Qt::CheckStateRole);
  EXPECT_EQ(bridge.enabled, 0);
  EXPECT_EQ(bridge.listenSocket, kNoSocket);
  EXPECT_EQ(window_->listenerHost().watchedCount(), 0u);
  SocketHandle client = testing::connectLoopback(bridge.localPort);
  EXPECT_EQ(client, kNoSocket);
  platform::closeSocket(client);
}

TEST_F(MainWindowTest, DuplicatePortAnsweredNoLeavesTheNewRowUnchecked) {
  const Bridge& first = enabledBridge("a", freePort());
  open();
  child<QLineEdit>("serverField")->setText(QStringLiteral("b"));  // an empty one is refused
  child<QLineEdit>("portField")->setText(QString::number(first.localPort));
  prompter_.answerYes = false;
  child<QPushButton>("addButton")->click();

  EXPECT_EQ(prompter_.boxes,
            (std::vector<std::string>{
                "Duplicate port|The local port you have chosen is already assigned for another "
                "server\r\nDo you want to use a random port instead ?",
                "|Error opening port"}));
  ASSERT_EQ(window_->model().rowCount(), 2);
  EXPECT_TRUE(window_->model().isChecked(0));
  EXPECT_FALSE(window_->model().isChecked(1));
  EXPECT_EQ(bridges_.back().enabled, 0);
  EXPECT_NE(first.listenSocket, kNoSocket);
}

TEST_F(MainWindowTest, SelectingFillsFieldsAndDeletingLeavesThem) {
  enabledBridge("one.example", freePort());
  enabledBridge("two.example", freePort());
  open();
  auto* table = child<QTableView>("bridgeTable");
  table->selectRow(1);  // the first Bridge of the list
  const QString port = QString::number(bridges_.front().localPort);
  EXPECT_EQ(child<QLineEdit>("serverField")->text(), QStringLiteral("one.example"));
  EXPECT_EQ(child<QLineEdit>("portField")->text(), port);
  EXPECT_EQ(child<QLineEdit>("localAddressField")->text(), "dchub://127.0.0.1:" + port);

  child<QPushButton>("deleteButton")->click();
  ASSERT_EQ(bridges_.size(), 1u);
  EXPECT_EQ(fieldText(bridges_.front().server), "two.example");
  EXPECT_EQ(window_->model().rowCount(), 1);
  EXPECT_EQ(child<QLineEdit>("serverField")->text(), QStringLiteral("one.example"));
  EXPECT_EQ(child<QLineEdit>("portField")->text(), port);
  EXPECT_TRUE(table->selectionModel()->selectedRows().isEmpty());
}

TEST_F(MainWindowTest, CopyPutsTheLocalAddressOnTheClipboard) {
  open();
  child<QLineEdit>("portField")->setText(QStringLiteral("4321"));
  child<QPushButton>("copyButton")->click();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("dchub://127.0.0.1:4321"));
}

TEST_F(MainWindowTest, WithoutANotificationAreaMinimizeToTrayMinimises) {
  open();
  ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
  child<QPushButton>("trayButton")->click();
  EXPECT_TRUE(window_->isMinimized());
}

TEST_F(MainWindowTest, OnlyClicksOnTheIconRestoreTheWindow) {
  open();
  const struct {
    QSystemTrayIcon::ActivationReason reason;
    bool restores;
  } rows[] = {
      {QSystemTrayIcon::Trigger, true},     {QSystemTrayIcon::Context, true},
      {QSystemTrayIcon::DoubleClick, true}, {QSystemTrayIcon::MiddleClick, false},
      {QSystemTrayIcon::Unknown, false},
  };
  for (const auto& row : rows) {
    window_->hide();
    window_->trayActivated(row.reason);
    EXPECT_EQ(window_->isVisible(), row.restores) << row.reason;
  }
}

TEST_F(MainWindowTest, SettingsPathIsShown) {
  open();
  EXPECT_EQ(child<QWidget>("settingsPathLabel")->toolTip(), QString::fromStdString(path_));
}

TEST_F(MainWindowTest, TheOptionsEditorStoresOptionsAndRefusesBadOnes) {
  open();
  child<QLineEdit>("serverField")->setText(QStringLiteral("ircs://irc.example"));
  child<QLineEdit>("portField")->setText(QString::number(freePort()));
  child<QComboBox>("charsetField")->setCurrentText(QStringLiteral("koi8-r"));
  child<QComboBox>("loginField")->setCurrentIndex(1);
  child<QCheckBox>("paceField")->setChecked(false);
  child<QSpinBox>("maxSessionsField")->setValue(30);
  child<QLineEdit>("roomField")->setText(QStringLiteral(" #help  #dev "));
  auto* password = child<QLineEdit>("passwordField");
  EXPECT_EQ(password->echoMode(), QLineEdit::Password);
  password->setText(QStringLiteral("pier"));
  child<QPushButton>("addButton")->click();
  ASSERT_EQ(bridges_.size(), 1u);
  EXPECT_EQ(formatOptions(bridges_.back().options)
                .rfind("charset=koi8-r,login=pass,pace=off,max-sessions=30,password-hash=", 0),
            0u);
  EXPECT_TRUE(platform::localPasswordMatches(bridges_.back().options, "pier"));
  EXPECT_EQ(password->text(), QString());
  EXPECT_EQ(password->placeholderText(), QStringLiteral("(set; type to change)"));
  EXPECT_EQ(window_->model().data(window_->model().index(0, 2), Qt::DisplayRole).toString(),
            QStringLiteral("listening"));

  EXPECT_TRUE(formatOptions(bridges_.back().options).ends_with(",room=#help,room=#dev"));

  child<QTableView>("bridgeTable")->selectRow(0);
  EXPECT_EQ(child<QLineEdit>("roomField")->text(), QStringLiteral("#help #dev"));
  child<QComboBox>("charsetField")->setCurrentText(QStringLiteral("no such"));
  child<QPushButton>("updateButton")->click();
  EXPECT_EQ(prompter_.boxes, (std::vector<std::string>{
                                 "Bridge not updated|charset \"no such\" is not a character set "
                                 "name"}));
  EXPECT_EQ(bridges_.back().options.charsetName(), "koi8-r");

  // Remove password empties and locks the field; Update then removes it.
  child<QComboBox>("charsetField")->setCurrentText(QStringLiteral("koi8-r"));
  password->setText(QStringLiteral("typed"));
  child<QCheckBox>("removePasswordField")->setChecked(true);
  EXPECT_EQ(password->text(), QString());
  EXPECT_FALSE(password->isEnabled());
  child<QPushButton>("updateButton")->click();
  EXPECT_FALSE(bridges_.back().options.hasPassword());
  EXPECT_EQ(bridges_.back().options.maxSessions, 30);
  EXPECT_FALSE(child<QCheckBox>("removePasswordField")->isChecked());
  EXPECT_TRUE(password->isEnabled());
  EXPECT_EQ(password->placeholderText(), QString());
}

TEST_F(MainWindowTest, ARefusedCertificateIsNoticedAndCanBeTrusted) {
  Bridge& bridge = enabledBridge("ircs://irc.example", freePort());
  open();
  QSignalSpy notices(window_.get(), &MainWindow::noticeShown);
  auto* trust = child<QPushButton>("trustButton");
  EXPECT_FALSE(trust->isEnabled());

  Relay relay;
  relay.bridgeId = bridge.id;
  relay.serverFingerprint.assign(std::string(64, 'e'));
  window_->logic().relayReported(reportOf(RelayReport::Type::kEnded, relay,
                                          "the server's certificate is not trusted: x",
                                          EndKind::kCertificateRefused));
  EXPECT_EQ(notices.count(), 1);
  ASSERT_TRUE(trust->isEnabled());
  trust->click();
  EXPECT_EQ(child<QLineEdit>("fingerprintField")->text(), QString(64, QLatin1Char('e')));
  child<QPushButton>("updateButton")->click();
  EXPECT_EQ(bridge.options.fingerprint.view(), std::string(64, 'e'));
}

}  // namespace
}  // namespace quayside
