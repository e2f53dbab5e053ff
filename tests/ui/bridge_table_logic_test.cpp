#include "ui/bridge_table_logic.h"

#include "bridge/settings.h"
#include "core/version.h"
#include "platform/password_hash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quayside {
namespace {

// ---- Pure helpers ----------------------------------------------------------

Bridge bridgeWith(std::string_view server, std::string_view channel, std::uint8_t kind,
                  std::uint16_t port = 0, std::uint8_t enabled = 0) {
  Bridge bridge;
  setFieldText(bridge.server, server);
  setFieldText(bridge.channel, channel);
  bridge.upstreamKind = kind;
  bridge.localPort = port;
  bridge.enabled = enabled;
  return bridge;
}

struct ServerTextRow {
  const char* name;
  const char* server;
  const char* channel;
  std::uint8_t kind;
  const char* shown;
};

TEST(ComposeServerText, FollowsSchemeAndChannelRules) {
  const ServerTextRow rows[] = {
      {"upper-case irc prefix is dropped", "IRC://192.0.2.7:6667", "#lobby", 1,
       "irc://192.0.2.7:6667/#lobby"},
      {"empty server joins channel to the scheme's slash", "", "#lobby", 1, "irc://#lobby"},
      {"hub upstream shows dchub and no channel", "hub.lan", "#lobby", 0, "dchub://hub.lan"},
      {"dchub prefix in any case is dropped", "DcHuB://h.example", "#c", 1, "irc://h.example/#c"},
      {"only one prefix is dropped", "irc://irc://h", "#c", 1, "irc://irc://h/#c"},
      {"half a prefix stays", "irc:/h", "#c", 1, "irc://irc:/h/#c"},
      {"trailing slash is not doubled", "h.example/", "#c", 1, "irc://h.example/#c"},
      {"other nonzero kind shows irc without channel", "h.example", "#c", 2, "irc://h.example"},
      {"port suffix stays", "dchub://h:411", "", 1, "irc://h:411/"},
      {"ircs keeps its scheme", "IRCS://h.example", "#c", 1, "ircs://h.example/#c"},
      {"channel is shown as joined, with its '#'", "h", "win", 1, "irc://h/#win"},
      {"a local channel keeps its '&'", "h", "&local", 1, "irc://h/&local"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(composeServerText(bridgeWith(row.server, row.channel, row.kind)), row.shown)
        << row.name;
  }
}

TEST(ComposeServerText, LongestTextsFitAndFieldsWithoutNulAreNotOverread) {
  Bridge bridge = bridgeWith(std::string(511, 's'), "#" + std::string(254, 'c'), 1);
  EXPECT_EQ(composeServerText(bridge).size(), 773u);  // 774 bytes with its NUL
  bridge.server.fill('x');
  bridge.channel.fill('y');
  // The channel is shown as joined: its '#' comes first.
  EXPECT_EQ(composeServerText(bridge).size(), 6u + 512u + 1u + 1u + 256u);
}

TEST(ReadPortNumber, AcceptsOnlyAnUnsignedDecimal) {
  const struct {
    const char* name;
    const char* text;
    std::uint32_t value;
  } rows[] = {
      {"plain number", "4000", 4000},
      {"blanks around are skipped", " \t4000 ", 4000},
      {"empty is 0", "", 0},
      {"letters are not a number", "abc", 0},
      {"trailing letters make it not a number", "12abc", 0},
      {"sign is not accepted", "-1", 0},
      {"above 16 bits is kept whole", "70000", 70000},
      {"largest 32-bit value", "4294967295", 4294967295u},
      {"beyond 32 bits is not a number", "4294967296", 0},
      {"very long digit run does not wrap", "99999999999999999999999", 0},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(readPortNumber(row.text), row.value) << row.name;
  }
}

std::function<std::uint32_t()> sequence(std::vector<std::uint32_t> words) {
  auto next = std::make_shared<std::size_t>(0);
  return [words = std::move(words), next] { return words[(*next)++ % words.size()]; };
}

TEST(DrawFreePort, SkipsLowAndTakenPorts) {
  const auto port = drawFreePort(sequence({0x10000 + 5, 1023, 4000, 40000, 0xABCD0000u + 5000}),
                                 [](std::uint16_t p) { return p == 4000; });
  EXPECT_EQ(port, 5000) << "low, taken and ephemeral-range ports skipped";
}

TEST(DrawFreePort, StuckGeneratorFallsBackInsteadOfHanging) {
  EXPECT_EQ(drawFreePort(sequence({80}), [](std::uint16_t p) { return p == 1024; }), 1025);
  EXPECT_EQ(drawFreePort(sequence({80}), [](std::uint16_t) { return true; }), std::nullopt);
}

// ---- The logic against a recording table and listeners --------------------

struct Box {
  std::string caption;
  std::string text;
  std::string detail;
};

class FakeView;

// Listener opening as the real listeners do it: a port that is 0, taken by
// another program or by an open Bridge fails with the box and the uncheck.
class FakeListeners : public ListenerControl {
 public:
  void openListener(Bridge& bridge) override {
    closeListener(bridge);
    log.push_back("open " + std::to_string(bridge.localPort));
    bool free = bridge.localPort != 0 && takenByOthers.count(bridge.localPort) == 0;
    for (const auto& [open, port] : openPorts) {
      free = free && port != bridge.localPort;
    }
    if (!free) {
      logic->errorOpeningPort("in use");
      bridge.listenSocket = kNoSocket;
      bridge.enabled = 0;
      logic->uncheckCurrentRow();
      return;
    }
    bridge.listenSocket = nextSocket++;
    openPorts[&bridge] = bridge.localPort;
  }
  void closeListener(Bridge& bridge) override {
    if (bridge.listenSocket == kNoSocket) {
      return;
    }
    log.push_back("close " + std::to_string(bridge.localPort));
    openPorts.erase(&bridge);
    bridge.listenSocket = kNoSocket;
  }
  bool isOpen(const Bridge& bridge) const { return openPorts.count(&bridge) != 0; }

  BridgeTableLogic* logic = nullptr;
  std::set<std::uint16_t> takenByOthers;
  std::map<const Bridge*, std::uint16_t> openPorts;
  std::vector<std::string> log;
  SocketHandle nextSocket = 10;
};

class FakeView : public BridgeTableView {
 public:
  struct Row {
    Bridge* bridge;
    std::string port;
    std::string server;
    bool checked;
    std::string state;
  };

  int rowCount() const override { return static_cast<int>(rows.size()); }
  int insertRow(int position, Bridge* bridge, const std::string& portText) override {
    position = std::clamp(position, 0, rowCount());
    rows.insert(rows.begin() + position, Row{bridge, portText, "", false, ""});
    return position;
  }
  void setRow(int row, Bridge* bridge, const std::string& portText) override {
    rows.at(static_cast<std::size_t>(row)).bridge = bridge;
    rows.at(static_cast<std::size_t>(row)).port = portText;
  }
  void setServerText(int row, const std::string& text) override {
    rows.at(static_cast<std::size_t>(row)).server = text;
  }
  void setStateText(int row, const std::string& text) override {
    rows.at(static_cast<std::size_t>(row)).state = text;
  }
  // Reported at once, like the real table.
  void setRowChecked(int row, bool checked) override {
    if (row < 0 || row >= rowCount() || rows[static_cast<std::size_t>(row)].checked == checked) {
      return;
    }
    rows[static_cast<std::size_t>(row)].checked = checked;
    logic->checkboxChanged(row, checked);
  }
  void removeRow(int row) override { rows.erase(rows.begin() + row); }
  Bridge* bridgeAt(int row) const override {
    return row >= 0 && row < rowCount() ? rows[static_cast<std::size_t>(row)].bridge : nullptr;
  }
  int selectedRow() const override { return selected; }
  void selectRow(int row) override { select(row); }

  BridgeFields fields() const override { return {server, channel, port, options}; }
  void setFields(const BridgeFields& given) override {
    server = given.server;
    channel = given.channel;
    port = given.port;
    options = given.options;
  }
  std::string localAddressField() const override { return localAddress; }
  void setLocalAddressField(const std::string& text) override { localAddress = text; }
  void appendLogLine(const std::string& text) override { log.push_back(text); }
  void showNotice(const Notice& notice) override { notices.push_back(notice.text); }
  void setTrayToolTip(const std::string& text) override { toolTip = text; }
  void copyToClipboard(const std::string& text) override { clipboard = text; }
  void inform(std::string_view caption, std::string_view text, std::string_view detail) override {
    boxes.push_back({std::string(caption), std::string(text), std::string(detail)});
  }
  bool askYesNo(std::string_view caption, std::string_view text, std::string_view detail) override {
    boxes.push_back({std::string(caption), std::string(text), std::string(detail)});
    return answerYes;
  }
  void endWindow() override { ended = true; }

  // An option's field, as a user fills it in.
  OptionField& field(std::string_view key) {
    for (OptionField& candidate : options) {
      if (candidate.key == key) {
        return candidate;
      }
    }
    ADD_FAILURE() << "no field " << key;
    static OptionField none;
    return none;
  }
  std::string& option(std::string_view key) { return field(key).text; }

  // A user's click on a row's checkbox.
  void click(int row) { setRowChecked(row, !rows.at(static_cast<std::size_t>(row)).checked); }
  // A user's selection of a row.
  void select(int row) {
    selected = row;
    logic->rowSelected(row);
  }

  BridgeTableLogic* logic = nullptr;
  std::vector<Row> rows;
  int selected = -1;
  std::string server, channel, port, localAddress, clipboard;
  std::string toolTip;
  std::vector<OptionField> options = optionFields({});
  std::vector<std::string> log;
  std::vector<std::string> notices;
  std::vector<Box> boxes;
  bool answerYes = false;
  bool ended = false;
};

class LogicTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = ::testing::TempDir() + "ui_logic_" + info->name() + ".dat";
    std::remove(path_.c_str());
  }
  void TearDown() override {
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

  BridgeTableLogic& start(std::vector<std::uint32_t> randomWords = {0x12345678}) {
    logic_.emplace(
        bridges_, view_, listeners_, path_, sequence(std::move(randomWords)),
        [this] { return now_; }, &hasher_);
    view_.logic = &*logic_;
    listeners_.logic = &*logic_;
    logic_->initialise();
    return *logic_;
  }
  Bridge& load(std::string_view server, std::uint16_t port, std::uint8_t enabled,
               std::uint8_t kind = 1, std::uint32_t acceptMessage = 0) {
    Bridge& bridge = bridges_.emplace_back(bridgeWith(server, "#c", kind, port, enabled));
    bridge.acceptMessage = acceptMessage;
    return bridge;
  }
  void fill(std::string server, std::string channel, std::string port) {
    view_.server = std::move(server);
    view_.channel = std::move(channel);
    view_.port = std::move(port);
  }
  std::vector<std::string> boxTexts() const {
    std::vector<std::string> texts;
    for (const Box& box : view_.boxes) {
      texts.push_back(box.text);
    }
    return texts;
  }

  std::string path_;
  std::string blocker_;
  BridgeList bridges_;
  FakeView view_;
  FakeListeners listeners_;
  std::optional<BridgeTableLogic> logic_;
  LocalTime now_{1000, 18, 2, 5, 2026, 12, 8};
  // The real hash at the least iterations a stored hash may have, to keep tests quick.
  const platform::SystemPasswordHasher hasher_{kLeastPasswordIterations};
};

TEST_F(LogicTest, EmptyStartShowsNoRowsAndARandomPortAbove1023) {
  start({0x00010005, 0xFFFF1A2B});  // low 16 bits 5, then 0x1A2B = 6699
  EXPECT_EQ(view_.rows.size(), 0u);
  EXPECT_EQ(view_.port, "6699");
  EXPECT_EQ(view_.localAddress, "dchub://127.0.0.1:6699");
}

TEST_F(LogicTest, RestartShowsFileInReverseAndAddedRowAtBottomWhileFileKeepsListOrder) {
  load("a", 4001, 0);
  load("b", 4002, 0);
  load("c", 4003, 0);
  start();
  fill("d", "#d", "4004");
  logic_->add();

  std::vector<std::string> shown;
  for (const auto& row : view_.rows) {
    shown.push_back(row.port);
  }
  EXPECT_EQ(shown, (std::vector<std::string>{"4003", "4002", "4001", "4004"}));

  logic_->saveSettingsCommand();
  std::vector<std::uint16_t> stored;
  for (const Bridge& bridge : loadSettings(path_)) {
    stored.push_back(bridge.localPort);
  }
  EXPECT_EQ(stored, (std::vector<std::uint16_t>{4001, 4002, 4003, 4004}));
}

TEST_F(LogicTest, EnabledBridgesOpenAtStartAndEachTakenPortGetsItsOwnBox) {
  Bridge& first = load("a", 4001, 1);
  Bridge& taken = load("b", 4002, 1);
  Bridge& off = load("c", 4003, 0);
  Bridge& alsoTaken = load("d", 4004, 1);
  listeners_.takenByOthers = {4002, 4004};
  start();

  EXPECT_EQ(boxTexts(), (std::vector<std::string>{"Error opening port", "Error opening port"}));
  EXPECT_TRUE(view_.boxes[0].caption.empty());
  EXPECT_TRUE(listeners_.isOpen(first));
  EXPECT_EQ(first.enabled, 1);
  EXPECT_EQ(taken.enabled, 0);
  EXPECT_EQ(alsoTaken.enabled, 0);
  EXPECT_EQ(listeners_.log, (std::vector<std::string>{"open 4001", "open 4002", "open 4004"}));
  // Rows in reverse: d, c, b, a. Only a's box is checked.
  ASSERT_EQ(view_.rows.size(), 4u);
  EXPECT_EQ(view_.rows[0].bridge, &alsoTaken);
  EXPECT_EQ(view_.rows[1].bridge, &off);
  EXPECT_FALSE(view_.rows[0].checked || view_.rows[1].checked || view_.rows[2].checked);
  EXPECT_TRUE(view_.rows[3].checked);
}

TEST_F(LogicTest, StoredMarkerBitDoesNotLockTheCheckbox) {
  Bridge& bridge = load("a", 4001, 0x81);
  start();
  EXPECT_EQ(bridge.enabled, 1);
  view_.click(0);
  EXPECT_EQ(bridge.enabled, 0);
  EXPECT_FALSE(listeners_.isOpen(bridge));
}

// An empty server text is refused since the server text is checked (see
// AddAndUpdateRefuseFieldsSayingWhich); an empty channel is still taken.
TEST_F(LogicTest, AddWithEmptyChannelOpensOnTheFieldsPortOnceAndChecksTheRow) {
  start();
  fill("h", "", "4100");
  logic_->add();

  ASSERT_EQ(bridges_.size(), 1u);
  const Bridge& bridge = bridges_.back();
  EXPECT_EQ(fieldText(bridge.server), "h");
  EXPECT_EQ(fieldText(bridge.channel), "");
  EXPECT_EQ(bridge.localPort, 4100);
  EXPECT_EQ(bridge.upstreamKind, 1);
  EXPECT_EQ(bridge.clientKind, 0);
  EXPECT_EQ(bridge.acceptMessage, kFirstAcceptMessage);
  // The window's own check must not re-enter the handler and open twice,
  // and the marker must be gone before anything can save.
  EXPECT_EQ(listeners_.log, (std::vector<std::string>{"open 4100"}));
  EXPECT_EQ(bridge.enabled, 1);
  ASSERT_EQ(view_.rows.size(), 1u);
  EXPECT_EQ(view_.rows[0].server, "irc://h/");
  EXPECT_EQ(view_.rows[0].port, "4100");
  EXPECT_TRUE(view_.rows[0].checked);
  EXPECT_TRUE(view_.boxes.empty());
}

TEST_F(LogicTest, AddCutsLongTextsAtTheFieldLimitsWithoutSplittingACharacter) {
  start();
  fill(std::string(510, 's') + "\xC3\xA9", std::string(300, 'c'), "4100");
  logic_->add();
  EXPECT_EQ(fieldText(bridges_.back().server), std::string(510, 's'));
  EXPECT_EQ(fieldText(bridges_.back().channel), std::string(255, 'c'));
}

TEST_F(LogicTest, PortAbove16BitsIsStoredLowWhileTheAddressShowsItAsTyped) {
  start();
  fill("h", "#c", "70000");
  logic_->portFieldChanged();
  logic_->add();
  EXPECT_EQ(bridges_.back().localPort, 70000 - 65536);
  EXPECT_EQ(view_.localAddress, "dchub://127.0.0.1:70000");
}

TEST_F(LogicTest, DuplicatePortAnsweredYesStoresARandomPortNoBridgeHolds) {
  load("a", 4001, 0);
  load("b", 5000, 0);
  // Initial field port, then: a held port, a low port, a free one.
  start({7000, 5000, 0x50000 + 80, 6000});
  fill("h", "#c", "4001");
  view_.answerYes = true;
  logic_->add();

  EXPECT_EQ(bridges_.back().localPort, 6000);
  EXPECT_EQ(view_.port, "6000");
  EXPECT_EQ(view_.localAddress, "dchub://127.0.0.1:6000");
  EXPECT_EQ(view_.rows.back().port, "6000");
}

TEST_F(LogicTest, UpdateOfEnabledBridgeReopensWithLowestFreeEventNumber) {
  load("a", 4001, 0, 1, 1124);
  Bridge& target = load("b", 4002, 1, 1, 1127);
  load("c", 4003, 0, 1, 1126);
  start();
  listeners_.log.clear();
  view_.select(1);  // b
  view_.port = "4012";
  logic_->update();

  EXPECT_EQ(listeners_.log, (std::vector<std::string>{"close 4002", "open 4012"}));
  EXPECT_EQ(target.acceptMessage, 1125u);
  EXPECT_EQ(target.localPort, 4012);
  EXPECT_TRUE(view_.rows[1].checked);
  EXPECT_EQ(view_.rows[1].port, "4012");
}

TEST_F(LogicTest, UpdateOfDisabledBridgeOpensNothingAndSetsIrcKind) {
  Bridge& hub = load("hub.lan", 4001, 0, 0);
  start();
  EXPECT_EQ(view_.rows[0].server, "dchub://hub.lan");
  view_.select(0);
  view_.channel = "#lobby";
  logic_->update();

  EXPECT_TRUE(listeners_.log.empty());
  EXPECT_EQ(hub.enabled, 0);
  EXPECT_EQ(hub.upstreamKind, 1);
  EXPECT_FALSE(view_.rows[0].checked);
  EXPECT_EQ(view_.rows[0].server, "irc://hub.lan/#lobby");
}

TEST_F(LogicTest, UpdateAndDeleteWithoutSelectionDoNothing) {
  load("a", 4001, 1);
  start();
  listeners_.log.clear();
  fill("x", "#x", "4999");
  logic_->update();
  logic_->deleteSelected();
  EXPECT_EQ(bridges_.size(), 1u);
  EXPECT_EQ(fieldText(bridges_.front().server), "a");
  EXPECT_TRUE(listeners_.log.empty());
  EXPECT_TRUE(view_.boxes.empty());
}

TEST_F(LogicTest, CheckboxClicksOpenAndCloseAndATakenPortLeavesTheRowUnchecked) {
  const struct {
    const char* name;
    std::uint8_t enabledBefore;
    bool portTaken;
    std::uint8_t enabledAfter;
    bool checkedAfter;
    bool openAfter;
    std::size_t boxes;
  } rows[] = {
      {"checking a free port opens it", 0, false, 1, true, true, 0},
      {"checking a taken port tells and stays unchecked", 0, true, 0, false, false, 1},
      {"unchecking closes the listener", 1, false, 0, false, false, 0},
  };
  for (const auto& row : rows) {
    bridges_.clear();
    view_ = FakeView{};
    listeners_ = FakeListeners{};
    Bridge& bridge = load("a", 4001, row.enabledBefore);
    start();
    if (row.portTaken) {
      listeners_.takenByOthers.insert(4001);
    }
    view_.click(0);
    EXPECT_EQ(bridge.enabled, row.enabledAfter) << row.name;
    EXPECT_EQ(view_.rows[0].checked, row.checkedAfter) << row.name;
    EXPECT_EQ(listeners_.isOpen(bridge), row.openAfter) << row.name;
    EXPECT_EQ(view_.boxes.size(), row.boxes) << row.name;
  }
}

TEST_F(LogicTest, SelectingFillsTheFieldsAndDeletingKeepsThem) {
  load("irc.example:6668", 4001, 1);
  load("other", 4002, 0);
  start();
  view_.select(1);  // the first Bridge of the list
  EXPECT_EQ(view_.server, "irc.example:6668");
  EXPECT_EQ(view_.channel, "#c");
  EXPECT_EQ(view_.port, "4001");
  EXPECT_EQ(view_.localAddress, "dchub://127.0.0.1:4001");
  EXPECT_EQ(logic_->currentRow(), 1);

  const Bridge* deleted = &bridges_.front();
  logic_->deleteSelected();
  EXPECT_FALSE(listeners_.isOpen(*deleted));
  EXPECT_EQ(listeners_.log.back(), "close 4001");
  ASSERT_EQ(bridges_.size(), 1u);
  EXPECT_EQ(fieldText(bridges_.front().server), "other");
  ASSERT_EQ(view_.rows.size(), 1u);
  EXPECT_EQ(view_.server, "irc.example:6668");
  EXPECT_EQ(view_.port, "4001");
}

TEST_F(LogicTest, SaveAndExitReportWhatTheSaveDid) {
  const struct {
    const char* name;
    bool exit;
    bool writable;
    bool answerYes;
    const char* box;  // nullptr: no box
    bool ended;
  } rows[] = {
      {"save confirms a written file", false, true, false, "The settings were saved", false},
      {"failed save is not confirmed", false, false, false, "The settings could not be saved",
       false},
      {"exit saves and ends silently", true, true, false, nullptr, true},
      {"failed save on exit lets the user stay", true, false, false, kQuitAnywayText.data(), false},
      {"failed save on exit quits when told to", true, false, true, kQuitAnywayText.data(), true},
  };
  load("a", 4001, 0);
  for (const auto& row : rows) {
    view_ = FakeView{};
    view_.answerYes = row.answerYes;
    std::remove(path_.c_str());
    BridgeTableLogic logic(bridges_, view_, listeners_, row.writable ? path_ : unwritablePath(),
                           sequence({7000}));
    row.exit ? logic.exit() : logic.saveSettingsCommand();
    EXPECT_EQ(view_.ended, row.ended) << row.name;
    EXPECT_EQ(loadSettings(path_).size(), row.writable ? 1u : 0u) << row.name;
    if (row.box == nullptr) {
      EXPECT_TRUE(view_.boxes.empty()) << row.name;
      continue;
    }
    ASSERT_EQ(view_.boxes.size(), 1u) << row.name;
    EXPECT_EQ(view_.boxes[0].caption, "Save Settings") << row.name;
    EXPECT_EQ(view_.boxes[0].text, row.box) << row.name;
    EXPECT_EQ(view_.boxes[0].detail.empty(), row.writable) << row.name;
  }
}

// ---- Checked fields and the options editor -----------------------------------

TEST_F(LogicTest, AddAndUpdateRefuseFieldsSayingWhichAndChangeNothing) {
  // 16 rooms of 50 bytes: with a fingerprint and a password's hash, more
  // than a record holds.
  std::string longRooms;
  for (int room = 10; room < 26; ++room) {
    longRooms += " #" + std::to_string(room) + std::string(47, 'r');
  }
  const std::string hex(64, 'a');
  const struct {
    const char* name;
    const char* server;
    const char* charset;
    const char* fingerprint;
    const char* text;
    const char* maxSessions = "8";
    const char* password = "";
    const char* rooms = "";
    const char* channel = "#c";
  } rows[] = {
      {"unknown scheme", "ftp://h", "", "",
       "server \"ftp://h\" cannot be used: the scheme is not one of irc://, ircs://"},
      {"port zero", "h:0", "", "",
       "server \"h:0\" cannot be used: the port is not a number from 1 to 65535"},
      {"no host before the port", ":6667", "", "",
       "server \":6667\" cannot be used: there is no server name"},
      {"empty server", "", "", "", "server \"\" cannot be used: there is no server name"},
      {"charset with a blank", "h", "windows 1252", "",
       "charset \"windows 1252\" is not a character set name"},
      {"charset the system lacks", "h", "no-such-set", "",
       "charset: the character set \"no-such-set\" is not known to this system"},
      {"short fingerprint", "h", "", "abc",
       "fingerprint \"abc\" is not a SHA-256 fingerprint (64 hex digits)"},
      {"no sessions at all", "h", "", "", "max-sessions \"0\" is not from 1 to 1000", "0"},
      {"max sessions left empty", "h", "", "", "max-sessions \"\" is not a number", ""},
      {"password a DC client cannot send", "h", "", "",
       "password holds a NUL, '|' or '$', which a DC client cannot send", "8", "a|b"},
      {"room without a channel prefix", "h", "", "",
       "room \"help\" does not start with #, &, + or !", "8", "", "#dev help"},
      {"a room that is the channel as joined", "h", "", "",
       "room \"#C\" is the Bridge's own channel: its chat is the hub's main chat", "8", "",
       "#help #C", "c"},
      {"options longer than a record holds", "h", "", hex.c_str(),
       "the options take 1077 bytes stored, more than 1014: fewer or shorter rooms", "8", "x",
       longRooms.c_str()},
  };
  for (const auto& row : rows) {
    for (const bool adding : {true, false}) {
      bridges_.clear();
      view_ = FakeView{};
      listeners_ = FakeListeners{};
      const Bridge& existing = load("a.example", 4001, 1);
      start();
      view_.select(0);
      fill(row.server, row.channel, "4002");
      view_.option("room") = row.rooms;
      view_.option("charset") = row.charset;
      view_.option("fingerprint") = row.fingerprint;
      view_.option("max-sessions") = row.maxSessions;
      view_.option("password") = row.password;
      listeners_.log.clear();
      adding ? logic_->add() : logic_->update();

      ASSERT_EQ(view_.boxes.size(), 1u) << row.name;
      EXPECT_EQ(view_.boxes[0].caption, adding ? kNotAddedCaption : kNotUpdatedCaption);
      EXPECT_EQ(view_.boxes[0].text, row.text) << row.name;
      EXPECT_EQ(bridges_.size(), 1u) << row.name;
      EXPECT_EQ(fieldText(existing.server), "a.example") << row.name;
      EXPECT_EQ(existing.localPort, 4001) << row.name;
      EXPECT_TRUE(listeners_.log.empty()) << row.name;
    }
  }
}

TEST_F(LogicTest, OptionsAreStoredWithTheBridgeAndShownWhenSelected) {
  load("other.example", 4001, 0);
  start();
  const std::string fingerprint(64, 'a');
  fill("ircs://irc.example", "chat", "4100");
  view_.option("charset") = "windows-1251";
  view_.option("fingerprint") = "AA:" + std::string(62, 'A');
  view_.option("login") = "sasl";
  view_.option("pace") = "off";
  view_.option("max-sessions") = "12";
  view_.option("password") = "quay";
  logic_->add();
  const Bridge& added = bridges_.back();
  EXPECT_EQ(fieldText(added.server), "ircs://irc.example");
  EXPECT_EQ(view_.rows.back().server, "ircs://irc.example/#chat");
  EXPECT_EQ(formatOptions(added.options)
                .rfind("charset=windows-1251,fingerprint=" + fingerprint +
                           ",login=sasl,pace=off,max-sessions=12,"
                           "password-hash=pbkdf2-sha256:100000:",
                       0),
            0u);
  EXPECT_TRUE(platform::localPasswordMatches(added.options, "quay"));
  EXPECT_EQ(view_.option("password"), "") << "the typed password is not left in the field";
  EXPECT_TRUE(view_.field("password").set);

  view_.select(0);
  EXPECT_EQ(view_.option("charset"), "auto");
  EXPECT_EQ(view_.option("fingerprint"), "");
  EXPECT_EQ(view_.option("login"), "none");
  EXPECT_EQ(view_.option("pace"), "on");
  EXPECT_EQ(view_.option("max-sessions"), "8");
  EXPECT_FALSE(view_.field("password").set);
  view_.select(1);
  EXPECT_EQ(view_.option("charset"), "windows-1251");
  EXPECT_EQ(view_.option("fingerprint"), fingerprint);
  EXPECT_EQ(view_.option("login"), "sasl");
  EXPECT_EQ(view_.option("pace"), "off");
  EXPECT_EQ(view_.option("max-sessions"), "12");
  EXPECT_TRUE(view_.field("password").set);

  view_.option("charset") = "";  // a cleared charset is the default
  view_.option("pace") = "on";
  view_.option("max-sessions") = "8";
  view_.field("password").remove = true;
  logic_->update();
  EXPECT_EQ(formatOptions(added.options), "fingerprint=" + fingerprint + ",login=sasl");
  EXPECT_FALSE(view_.field("password").set);
}

TEST_F(LogicTest, UpdateKeepsTheStoredPasswordUnlessOneIsTypedOrRemoved) {
  const struct {
    const char* name;  // what is broken when the row fails
    const char* typed;
    bool remove;
    const char* matches;  // the password that then matches; null: none is set
  } rows[] = {
      {"an empty field keeps the password", "", false, "first"},
      {"a typed password replaces it", "second", false, "second"},
      {"Remove password removes it", "", true, nullptr},
      {"Remove password wins over a typed one", "second", true, nullptr},
      {"a blank is a password", " ", false, " "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    bridges_.clear();
    view_ = FakeView{};
    listeners_ = FakeListeners{};
    Bridge& bridge = load("irc.example", 4001, 0);
    ASSERT_EQ(applyOptions(bridge.options, "max-sessions=20,password=first", &hasher_), "");
    const PasswordHash stored = bridge.options.password;
    start();
    view_.select(0);
    view_.option("password") = row.typed;
    view_.field("password").remove = row.remove;
    logic_->update();

    EXPECT_TRUE(view_.boxes.empty());
    EXPECT_EQ(bridge.options.maxSessions, 20);
    EXPECT_EQ(bridge.options.hasPassword(), row.matches != nullptr);
    EXPECT_EQ(view_.field("password").set, row.matches != nullptr);
    EXPECT_EQ(view_.option("password"), "");
    if (row.matches != nullptr) {
      EXPECT_TRUE(platform::localPasswordMatches(bridge.options, row.matches));
      EXPECT_EQ(bridge.options.password == stored, std::string_view(row.typed).empty());
    }
  }
}

// ---- Sessions, the log and notices -------------------------------------------

// A Relay as the listener makes it for `bridge`, after its server connect.
std::unique_ptr<Relay> relayOf(const Bridge& bridge, std::uint16_t clientPort = 51000) {
  auto relay = std::make_unique<Relay>();
  relay->serverText.assign(fieldText(bridge.server));
  relay->channel.assign(fieldText(bridge.channel));
  relay->options = bridge.options;
  relay->bridgeId = bridge.id;
  relay->bridgePort = bridge.localPort;
  relay->clientPort = clientPort;
  relay->serverAddress.assign("192.0.2.1");
  relay->serverPort = 6667;
  return relay;
}

TEST_F(LogicTest, StateColumnAndLogFollowTheSessions) {
  Bridge& bridge = load("irc.example", 4001, 1);
  load("other.example", 4002, 0);
  const auto first = relayOf(bridge, 51001);
  const auto second = relayOf(bridge, 51002);
  const auto refused = relayOf(bridge, 51003);
  using Type = RelayReport::Type;
  const auto report = [this](Type type, const Relay& relay, std::string_view reason = {},
                             EndKind kind = EndKind::kFailure) {
    return [=, this, &relay] { logic_->relayReported(reportOf(type, relay, reason, kind)); };
  };
  const struct {
    const char* name;
    std::function<void()> act;
    const char* state;   // of the Bridge's row (the bottom one)
    const char* logged;  // the newest log line; nullptr: nothing logged
  } steps[] = {
      {"an open listener", [this] { start(); }, "listening",
       "2026-12-08 18:02:05 listening on 127.0.0.1:4001 server irc.example channel #c"},
      {"a client accepted",
       [&] {
         logic_->acceptNoted(bridge, ListenerHost::AcceptNote::kAccepted, 0x7F000001, 51022, {});
       },
       "listening", "2026-12-08 18:02:05 session 4001 from :51022 accepted"},
      {"connected", report(Type::kConnected, *first), "1 session",
       "2026-12-08 18:02:05 session 4001 from :51001 connected to irc.example (192.0.2.1:6667) "
       "channel #c"},
      {"welcomed: the IRC nick is shown",
       [&] {
         first->nick.assign("alice");
         report(Type::kWelcomed, *first)();
       },
       "1 session (alice)",
       "2026-12-08 18:02:05 session 4001/alice from :51001 welcomed by irc.example channel #c as "
       "IRC nick "
       "alice"},
      {"a second session", report(Type::kConnected, *second), "2 sessions",
       "2026-12-08 18:02:05 session 4001 from :51002 connected to irc.example (192.0.2.1:6667) "
       "channel #c"},
      {"the second client leaves",
       report(Type::kEnded, *second, "client closed the connection", EndKind::kByClient),
       "1 session (alice)",
       "2026-12-08 18:02:05 session 4001 from :51002 ended: client closed the connection"},
      {"rooms joined: each note logged, the rooms counted",
       [&] {
         for (const char* room : {"#help", "#dev", "#ops"}) {
           first->rooms.add(room)->step = RoomStep::kJoined;
         }
         report(Type::kNote, *first, "joined room #ops")();
       },
       "1 session (alice), 3 rooms",
       "2026-12-08 18:02:05 session 4001/alice from :51001: joined room #ops"},
      {"the client leaves and the session lingers: away since then",
       [&] {
         first->detachedAt = 1;
         report(Type::kNote, *first,
                "detached: lingering for 30 minutes (client closed the connection)")();
       },
       "1 session (alice), away since 18:02, 3 rooms",
       "2026-12-08 18:02:05 session 4001/alice from :51001: detached: lingering for 30 minutes "
       "(client closed the connection)"},
      {"a client re-attaches",
       [&] {
         first->detachedAt = 0;
         report(Type::kNote, *first, "re-attached: 2 lines replayed")();
       },
       "1 session (alice), 3 rooms",
       "2026-12-08 18:02:05 session 4001/alice from :51001: re-attached: 2 lines replayed"},
      {"the server stops answering",
       report(Type::kEnded, *first,
              "the server stopped answering (no reply to a PING within 60 seconds)"),
       "ended: the server stopped answering, 18:02",
       "2026-12-08 18:02:05 session 4001/alice from :51001 ended: the server stopped answering (no "
       "reply to a PING within 60 seconds)"},
      {"a refused certificate, later",
       [&] {
         now_ = {1300, 18, 7, 0, 2026, 12, 8};
         report(Type::kEnded, *refused, "the server's certificate is not trusted: x",
                EndKind::kCertificateRefused)();
       },
       "refused: certificate not trusted, 18:07",
       "2026-12-08 18:07:00 session 4001 from :51003 ended: the server's certificate is not "
       "trusted: x"},
      {"a connect failure",
       report(Type::kEnded, *refused, "cannot connect to the server: Connection refused"),
       "failed: cannot connect to the server, 18:07",
       "2026-12-08 18:07:00 session 4001 from :51003 ended: cannot connect to the server: "
       "Connection "
       "refused"},
      {"a retry inside a hold: the hold is shown while it runs",
       [&] {
         bridge.holds = std::make_shared<RefusalHolds>();
         bridge.holds->refuse("bob", HoldCause::kPassword, "why",
                              {std::chrono::steady_clock::now(), 18 * 3600 + 7 * 60});
         report(Type::kEnded, *refused,
                "retry of bob answered locally (held after a refused password until 18:08)",
                EndKind::kHeld)();
       },
       "held after a refused password until 18:08",
       "2026-12-08 18:07:00 session 4001 from :51003 ended: retry of bob answered locally (held "
       "after a "
       "refused password until 18:08)"},
      {"an Update ends the failure and the holds",
       [&] {
         view_.select(1);
         logic_->update();
       },
       "listening",
       "2026-12-08 18:07:00 listening on 127.0.0.1:4001 server irc.example channel #c"},
      {"unchecked", [&] { view_.click(1); }, "not listening", nullptr},
      {"a hostile nick stays one line",
       [&] {
         refused->nick.assign("bob\r\nforged");
         report(Type::kEnded, *refused, "x")();
       },
       "not listening", "2026-12-08 18:07:00 session 4001/bob??forged from :51003 ended: x"},
  };
  for (const auto& step : steps) {
    const std::size_t logged = view_.log.size();
    step.act();
    EXPECT_EQ(view_.rows[1].state, step.state) << step.name;
    EXPECT_EQ(view_.rows[0].state, "not listening") << step.name;
    if (step.logged == nullptr) {
      EXPECT_EQ(view_.log.size(), logged) << step.name;
    } else {
      ASSERT_EQ(view_.log.size(), logged + 1) << step.name;
      EXPECT_EQ(view_.log.back(), step.logged) << step.name;
    }
  }
  EXPECT_EQ(view_.toolTip, "Quayside " QUAYSIDE_VERSION_TEXT ": no sessions");
  EXPECT_EQ(view_.notices.size(), 1u);
  EXPECT_TRUE(view_.boxes.empty());
}

TEST_F(LogicTest, SessionsCountOnTheBridgeThatAcceptedThem) {
  // Two Bridges to the same server and channel differ only by their port.
  load("irc.example", 4001, 1);
  Bridge& second = load("irc.example", 4002, 1);
  start();
  const auto relay = relayOf(second);
  logic_->relayReported(reportOf(RelayReport::Type::kConnected, *relay));
  EXPECT_EQ(view_.rows[0].state, "1 session");
  EXPECT_EQ(view_.rows[1].state, "listening");
}

TEST_F(LogicTest, ExitAsksFirstWhileSessionsRun) {
  const struct {
    const char* name;
    int connected;
    int ended;  // of those connected
    bool answerYes;
    const char* asked;  // nullptr: no box
    bool exits;         // saved and ended
  } rows[] = {
      {"no session: exits at once", 0, 0, false, nullptr, true},
      {"sessions that ended do not count", 2, 2, false, nullptr, true},
      {"one session: No stays and saves nothing", 2, 1, false,
       "1 session is running and will end. Exit Quayside?", false},
      {"sessions: Yes saves and ends", 3, 1, true,
       "2 sessions are running and will end. Exit Quayside?", true},
  };
  Bridge& bridge = load("a", 4001, 0);
  for (const auto& row : rows) {
    view_ = FakeView{};
    view_.answerYes = row.answerYes;
    std::remove(path_.c_str());
    BridgeTableLogic logic(bridges_, view_, listeners_, path_, sequence({7000}));
    std::vector<std::unique_ptr<Relay>> relays;
    for (int i = 0; i < row.connected; ++i) {
      relays.push_back(relayOf(bridge));
      logic.relayReported(reportOf(RelayReport::Type::kConnected, *relays.back()));
    }
    for (int i = 0; i < row.ended; ++i) {
      logic.relayReported(reportOf(RelayReport::Type::kEnded, *relays[static_cast<std::size_t>(i)],
                                   "client closed the connection", EndKind::kByClient));
    }
    logic.exit();
    EXPECT_EQ(view_.ended, row.exits) << row.name;
    EXPECT_EQ(loadSettings(path_).size(), row.exits ? 1u : 0u) << row.name;
    if (row.asked == nullptr) {
      EXPECT_TRUE(view_.boxes.empty()) << row.name;
      continue;
    }
    ASSERT_EQ(view_.boxes.size(), 1u) << row.name;
    EXPECT_EQ(view_.boxes[0].caption, "") << row.name;
    EXPECT_EQ(view_.boxes[0].text, row.asked) << row.name;
  }
}

TEST_F(LogicTest, FailuresTheUserCanActOnAreNoticedOncePerBridgePerMinute) {
  Bridge& a = load("a.example", 4001, 1);
  Bridge& b = load("b.example", 4002, 1);
  start();
  const struct {
    const char* name;
    Bridge* bridge;
    EndKind kind;
    std::int64_t seconds;
    const char* notice;  // nullptr: none
  } rows[] = {
      {"a refused certificate", &a, EndKind::kCertificateRefused, 1000,
       "The server's certificate is not trusted. Its line in the log offers to trust it."},
      {"the same Bridge within the minute", &a, EndKind::kPasswordRefused, 1059, nullptr},
      {"another Bridge has a minute of its own", &b, EndKind::kPasswordRefused, 1030,
       "The IRC server refused the password."},
      {"the first Bridge a minute later", &a, EndKind::kNickRefused, 1060,
       "The IRC server refused every nick tried."},
      {"a failure the user cannot act on", &b, EndKind::kFailure, 2000, nullptr},
      {"the client leaving", &b, EndKind::kByClient, 3000, nullptr},
  };
  for (const auto& row : rows) {
    view_.notices.clear();
    now_.seconds = row.seconds;
    logic_->relayReported(
        reportOf(RelayReport::Type::kEnded, *relayOf(*row.bridge), "why", row.kind));
    EXPECT_EQ(view_.notices,
              row.notice ? std::vector<std::string>{row.notice} : std::vector<std::string>{})
        << row.name;
  }
}

TEST_F(LogicTest, TrustThisCertificateFillsTheRefusedFingerprintForItsBridge) {
  load("ircs://a.example", 4001, 1);
  Bridge& b = load("ircs://b.example", 4002, 1);
  start();
  EXPECT_EQ(logic_->trustLine(std::nullopt), std::nullopt);
  const std::string fingerprint(64, 'c');
  const auto relay = relayOf(b);
  relay->serverFingerprint.assign(fingerprint);
  logic_->relayReported(reportOf(RelayReport::Type::kEnded, *relay,
                                 "the server's certificate is not trusted: self-signed",
                                 EndKind::kCertificateRefused));
  const std::size_t line = view_.log.size() - 1;
  // A line without a certificate leads to the newest that has one.
  EXPECT_EQ(logic_->trustLine(0), line);

  logic_->trustCertificate(line);
  EXPECT_EQ(view_.selected, 0);  // b is on top
  EXPECT_EQ(view_.server, "ircs://b.example");
  EXPECT_EQ(view_.option("fingerprint"), fingerprint);
  logic_->update();
  EXPECT_EQ(b.options.fingerprint.view(), fingerprint);
  EXPECT_EQ(view_.rows[0].state, "listening");  // the old failure no longer applies
}

TEST_F(LogicTest, TheLogKeepsItsNewestLines) {
  Bridge& bridge = load("a.example", 4001, 1);
  start();
  for (int i = 0; i < 1005; ++i) {
    logic_->acceptNoted(bridge, ListenerHost::AcceptNote::kAcceptFailed, 0, 0, std::to_string(i));
  }
  const auto& lines = logic_->activity().lines();
  ASSERT_EQ(lines.size(), SessionActivity::kLogLimit);
  EXPECT_EQ(lines.front().text, "2026-12-08 18:02:05 accept failed on port 4001: 5");
  EXPECT_EQ(lines.back().text, "2026-12-08 18:02:05 accept failed on port 4001: 1004");
}

}  // namespace
}  // namespace quayside
