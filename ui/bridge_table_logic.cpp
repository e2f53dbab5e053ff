#include "ui/bridge_table_logic.h"

#include "bridge/daemon.h"
#include "bridge/settings.h"
#include "core/server_address.h"
#include "core/text.h"
#include "platform/charset.h"
#include "platform/password_hash.h"

#include <algorithm>
#include <bitset>
#include <unordered_set>
#include <utility>

namespace quayside {

namespace {

std::string decimalText(std::uint32_t value) {
  char digits[16];
  const char* end = appendDecimal(digits, value);
  return std::string(digits, static_cast<std::size_t>(end - digits));
}

// Cuts `text` to at most `limit` bytes without splitting a UTF-8 sequence,
// so a long typed text never ends in half a character.
std::string_view cutText(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) {
    return text;
  }
  std::size_t length = limit;
  while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
    --length;
  }
  return text.substr(0, length);
}

std::uint16_t low16(std::uint32_t value) {
  return static_cast<std::uint16_t>(value & 0xFFFF);
}

bool isSecret(const OptionRow& optionRow) {
  return optionRow.kind == OptionKind::kSecret;
}

// What Exit asks while `sessions` (one or more) run.
std::string exitQuestion(std::size_t sessions) {
  return sessions == 1 ? "1 session is running and will end. Exit Quayside?"
                       : decimalText(static_cast<std::uint32_t>(sessions)) +
                             " sessions are running and will end. Exit Quayside?";
}

}  // namespace

OptionField* BridgeFields::option(std::string_view key) {
  const auto found = std::find_if(options.begin(), options.end(),
                                  [key](const OptionField& field) { return field.key == key; });
  return found == options.end() ? nullptr : &*found;
}

const OptionField* BridgeFields::option(std::string_view key) const {
  return const_cast<BridgeFields*>(this)->option(key);
}

std::vector<OptionField> optionFields(const SessionOptions& options) {
  std::vector<OptionField> fields;
  for (const OptionRow& optionRow : kOptionRows) {
    OptionField& field = fields.emplace_back();
    field.key = optionRow.key;
    field.text = optionFieldText(options, optionRow);
    field.set = isSecret(optionRow) && !optionRow.values(options).empty();
  }
  return fields;
}

std::string composeServerText(const Bridge& bridge) {
  // The Server column shows the scheme the Bridge's kind gives, whatever
  // scheme the text was typed with; only TLS keeps its own.
  const ServerAddress address = parseServerAddress(fieldText(bridge.server), bridge.upstreamKind);
  std::string text = address.tls() ? "ircs://" : bridge.upstreamKind != 0 ? "irc://" : "dchub://";
  text += address.afterScheme;
  if (bridge.upstreamKind == 1) {
    if (text.back() != '/') {
      text += '/';
    }
    text += joinedChannel(fieldText(bridge.channel));
  }
  return text;
}

std::string trayToolTip(std::size_t sessions) {
  std::string text(kWindowCaption);
  text += sessions == 0   ? ": no sessions"
          : sessions == 1 ? ": 1 session"
                          : ": " + decimalText(static_cast<std::uint32_t>(sessions)) + " sessions";
  // A tray tip holds 62 characters.
  return text.substr(0, 62);
}

std::string composeLocalAddress(std::uint32_t port) {
  return "dchub://127.0.0.1:" + decimalText(port);
}

std::uint32_t readPortNumber(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && blank(text.back())) {
    text.remove_suffix(1);
  }
  if (text.empty()) {
    return 0;
  }
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return 0;
    }
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > 0xFFFFFFFFu) {
      return 0;
    }
  }
  return static_cast<std::uint32_t>(value);
}

std::optional<std::uint16_t> drawFreePort(const std::function<std::uint32_t()>& random,
                                          const std::function<bool(std::uint16_t)>& isTaken) {
  // A generator stuck on taken or low values must not hang the window.
  constexpr int kDraws = 1 << 20;
  for (int i = 0; i < kDraws; ++i) {
    const std::uint16_t port = low16(random());
    if (port >= kLowestRandomPort && port <= kHighestRandomPort && !isTaken(port)) {
      return port;
    }
  }
  for (std::uint32_t port = kLowestRandomPort; port <= kHighestRandomPort; ++port) {
    if (!isTaken(static_cast<std::uint16_t>(port))) {
      return static_cast<std::uint16_t>(port);
    }
  }
  return std::nullopt;
}

BridgeTableLogic::BridgeTableLogic(BridgeList& bridges, BridgeTableView& view,
                                   ListenerControl& listeners, std::string settingsPath,
                                   RandomSource random, LocalClock clock,
                                   const PasswordHasher* hasher)
    : bridges_(bridges),
      view_(view),
      listeners_(listeners),
      settingsPath_(std::move(settingsPath)),
      random_(std::move(random)),
      hasher_(hasher != nullptr ? *hasher : platform::systemPasswordHasher()),
      activity_(clock ? std::move(clock) : [] { return LocalTime{}; }) {}

void BridgeTableLogic::initialise(std::string_view settingsProblem) {
  if (!settingsProblem.empty()) {
    view_.appendLogLine(activity_.log(settingsProblem));
    view_.inform(kSettingsCaption, std::string(settingsProblem) +
                                       ". Saving settings will replace it with the Bridges "
                                       "shown.");
  }
  const auto port = drawFreePort(random_, [this](std::uint16_t candidate) {
    return std::any_of(bridges_.begin(), bridges_.end(),
                       [candidate](const Bridge& b) { return b.localPort == candidate; });
  });
  BridgeFields fields = view_.fields();
  fields.port = decimalText(port.value_or(0));
  view_.setFields(fields);

  int position = 0;
  for (Bridge& bridge : bridges_) {
    // Inserting each row where the previous one landed puts the last
    // Bridge of the file on top.
    position = view_.insertRow(position, &bridge, decimalText(bridge.localPort));
    currentRow_ = position;
    view_.setServerText(currentRow_, composeServerText(bridge));
    if (bridge.enabled != 0) {
      // A stored marker bit would make the row ignore the user's clicks.
      bridge.enabled = 1;
      openListener(bridge);
      if (bridge.enabled != 0) {
        checkCurrentRow(bridge);
      }
    }
    refreshState(bridge);
  }
  refreshLocalAddress();
  view_.setTrayToolTip(trayToolTip(0));
}

void BridgeTableLogic::add() {
  BridgeFields fields = view_.fields();
  const std::optional<SessionOptions> options = checkedFields(kNotAddedCaption, {}, fields);
  if (!options) {
    return;
  }
  Bridge& bridge = bridges_.emplace_back();
  bridge.enabled = 1;
  bridge.listenSocket = kNoSocket;
  bridge.options = *options;
  currentRow_ = view_.rowCount();
  storeFields(bridge, true, std::move(fields));
}

Bridge* BridgeTableLogic::selectedBridge() {
  const int row = view_.selectedRow();
  if (row < 0) {
    return nullptr;
  }
  currentRow_ = row;
  return view_.bridgeAt(row);
}

void BridgeTableLogic::update() {
  Bridge* bridge = selectedBridge();
  if (bridge == nullptr) {
    return;
  }
  BridgeFields fields = view_.fields();
  const std::optional<SessionOptions> options =
      checkedFields(kNotUpdatedCaption, bridge->options, fields);
  if (!options) {
    return;
  }
  closeListener(*bridge);
  bridge->options = *options;
  bridge->optionsProblem.clear();
  activity_.clearFailure(*bridge);
  // Nor do its holds: the next retry tries the changed settings. Relays
  // still running keep the old holds to themselves.
  bridge->holds.reset();
  storeFields(*bridge, false, std::move(fields));
}

void BridgeTableLogic::deleteSelected() {
  Bridge* bridge = selectedBridge();
  if (bridge == nullptr) {
    return;
  }
  listeners_.closeListener(*bridge);
  activity_.forget(*bridge);
  // The row goes before the Bridge so the table never holds a freed Bridge.
  view_.removeRow(currentRow_);
  bridges_.remove_if([bridge](const Bridge& candidate) { return &candidate == bridge; });
}

void BridgeTableLogic::copy() {
  view_.copyToClipboard(view_.localAddressField());
}

void BridgeTableLogic::saveSettingsCommand() {
  const SaveResult result = saveSettings(bridges_, settingsPath_);
  if (result.ok) {
    view_.inform(kSaveCaption, kSavedText);
  } else {
    view_.inform(kSaveCaption, kSaveFailedText, result.error);
  }
}

void BridgeTableLogic::exit() {
  // Exit ends every running session: the user says so first.
  if (const std::size_t sessions = activity_.sessionCount();
      sessions > 0 && !view_.askYesNo({}, exitQuestion(sessions))) {
    return;
  }
  const SaveResult result = saveSettings(bridges_, settingsPath_);
  if (result.ok || view_.askYesNo(kSaveCaption, kQuitAnywayText, result.error)) {
    view_.endWindow();
  }
}

void BridgeTableLogic::checkboxChanged(int row, bool checked) {
  currentRow_ = row;
  Bridge* bridge = view_.bridgeAt(row);
  if (bridge == nullptr || (bridge->enabled & kSelfChangeMarker) != 0) {
    return;
  }
  if (checked) {
    bridge->enabled = 1;
    openListener(*bridge);
  } else {
    closeListener(*bridge);
    bridge->enabled = 0;
  }
  refreshState(*bridge);
}

void BridgeTableLogic::rowSelected(int row) {
  currentRow_ = row;
  const Bridge* bridge = view_.bridgeAt(row);
  if (bridge == nullptr) {
    return;
  }
  BridgeFields fields;
  fields.server = fieldText(bridge->server);
  fields.channel = fieldText(bridge->channel);
  fields.port = decimalText(bridge->localPort);
  fields.options = optionFields(bridge->options);
  view_.setFields(fields);
  refreshLocalAddress();
}

void BridgeTableLogic::errorOpeningPort(std::string_view reason) {
  view_.inform({}, kErrorOpeningPortText, reason);
}

void BridgeTableLogic::uncheckCurrentRow() {
  view_.setRowChecked(currentRow_, false);
}

void BridgeTableLogic::errorOpeningPort(const Bridge& bridge, std::string_view reason) {
  view_.appendLogLine(activity_.log(errorOpeningPortText(bridge, reason), &bridge));
  errorOpeningPort(reason);
}

void BridgeTableLogic::acceptNoted(const Bridge& bridge, ListenerHost::AcceptNote note,
                                   std::uint32_t peerAddress, std::uint16_t peerPort,
                                   std::string_view reason) {
  view_.appendLogLine(
      activity_.log(acceptNoteText(bridge, note, peerAddress, peerPort, reason), &bridge));
}

void BridgeTableLogic::relayReported(const RelayReport& report) {
  const SessionActivity::Taken taken = activity_.take(report, bridges_);
  view_.appendLogLine(activity_.lines().back().text);
  if (taken.bridge != nullptr) {
    refreshState(*taken.bridge);
  }
  if (taken.notice) {
    view_.showNotice(*taken.notice);
  }
  view_.setTrayToolTip(trayToolTip(activity_.sessionCount()));
}

std::optional<std::size_t> BridgeTableLogic::trustLine(std::optional<std::size_t> line) const {
  const std::deque<LogLine>& lines = activity_.lines();
  if (line && *line < lines.size() && !lines[*line].fingerprint.empty()) {
    return line;
  }
  for (std::size_t i = lines.size(); i-- > 0;) {
    if (!lines[i].fingerprint.empty()) {
      return i;
    }
  }
  return std::nullopt;
}

void BridgeTableLogic::trustCertificate(std::size_t line) {
  if (line >= activity_.lines().size() || activity_.lines()[line].fingerprint.empty()) {
    return;
  }
  const LogLine& chosen = activity_.lines()[line];
  const std::string fingerprint = chosen.fingerprint;
  if (chosen.bridge != nullptr) {
    if (const int row = rowOf(*chosen.bridge); row >= 0) {
      view_.selectRow(row);
    }
  }
  BridgeFields fields = view_.fields();
  if (OptionField* field = fields.option("fingerprint"); field != nullptr) {
    field->text = fingerprint;
    view_.setFields(fields);
  }
}

std::optional<SessionOptions> BridgeTableLogic::checkedFields(std::string_view caption,
                                                              const SessionOptions& base,
                                                              const BridgeFields& fields) {
  const std::string server(cutText(fields.server, kServerFieldLimit));
  // The text is kept as typed or refused, never rewritten.
  if (const std::string_view problem = parseServerAddress(server, 1).problem; !problem.empty()) {
    view_.inform(caption, "server \"" + server + "\" cannot be used: " + std::string(problem));
    return std::nullopt;
  }
  SessionOptions options = base;
  for (const OptionRow& optionRow : kOptionRows) {
    const OptionField* field = fields.option(optionRow.key);
    if (field == nullptr || isSecret(optionRow)) {
      continue;
    }
    if (const std::string refused = applyOptionField(options, optionRow, field->text);
        !refused.empty()) {
      view_.inform(caption, refused);
      return std::nullopt;
    }
  }
  // A well-formed name the system has no converter for would end every session.
  if (std::string why; !platform::charsetUsable(options.charsetName(), why)) {
    view_.inform(caption, "charset: " + why);
    return std::nullopt;
  }
  // Secrets last, once every other field is taken: hashing takes a moment.
  // An empty field keeps the stored secret; the Remove box removes it,
  // whatever was typed.
  for (const OptionRow& optionRow : kOptionRows) {
    const OptionField* field = fields.option(optionRow.key);
    if (field == nullptr || !isSecret(optionRow) || (!field->remove && field->text.empty())) {
      continue;
    }
    if (const std::string refused = applyOptionField(
            options, optionRow, field->remove ? std::string() : field->text, &hasher_);
        !refused.empty()) {
      view_.inform(caption, refused);
      return std::nullopt;
    }
  }
  // Last, since a password's hash counts towards what the record holds.
  if (const std::string refused =
          bridgeOptionsProblem(options, cutText(fields.channel, kChannelFieldLimit));
      !refused.empty()) {
    view_.inform(caption, refused);
    return std::nullopt;
  }
  return options;
}

void BridgeTableLogic::openListener(Bridge& bridge) {
  listeners_.openListener(bridge);
  if (bridge.listenSocket != kNoSocket) {
    view_.appendLogLine(activity_.log(listeningText(bridge), &bridge));
  }
}

void BridgeTableLogic::closeListener(Bridge& bridge) {
  listeners_.closeListener(bridge);
}

void BridgeTableLogic::refreshState(const Bridge& bridge) {
  if (const int row = rowOf(bridge); row >= 0) {
    view_.setStateText(row, activity_.stateText(bridge));
  }
}

int BridgeTableLogic::rowOf(const Bridge& bridge) const {
  for (int row = 0; row < view_.rowCount(); ++row) {
    if (view_.bridgeAt(row) == &bridge) {
      return row;
    }
  }
  return -1;
}

void BridgeTableLogic::storeFields(Bridge& bridge, bool adding, BridgeFields fields) {
  setFieldText(bridge.server, cutText(fields.server, kServerFieldLimit));
  setFieldText(bridge.channel, cutText(fields.channel, kChannelFieldLimit));
  bridge.upstreamKind = 1;
  bridge.clientKind = 0;

  std::uint32_t number = readPortNumber(fields.port);
  for (const Bridge& other : bridges_) {
    if (&other == &bridge || other.localPort != low16(number)) {
      continue;
    }
    // Only the first duplicate is asked about.
    if (view_.askYesNo(kDuplicatePortCaption, kDuplicatePortText)) {
      std::bitset<0x10000> taken;
      for (const Bridge& held : bridges_) {
        taken.set(held.localPort);
      }
      const auto port = drawFreePort(random_, [&taken](std::uint16_t p) { return taken.test(p); });
      if (port) {
        number = *port;
        fields.port = decimalText(number);
        view_.setFields(fields);
        refreshLocalAddress();
      }
    }
    break;
  }
  bridge.localPort = low16(number);
  bridge.acceptMessage = lowestFreeAcceptMessage(bridge);

  const std::string portText = decimalText(bridge.localPort);
  if (adding) {
    currentRow_ = view_.insertRow(currentRow_, &bridge, portText);
  } else {
    view_.setRow(currentRow_, &bridge, portText);
  }
  view_.setServerText(currentRow_, composeServerText(bridge));
  // What was typed is hashed now; the field keeps no copy of it.
  for (const OptionRow& optionRow : kOptionRows) {
    if (OptionField* field = fields.option(optionRow.key);
        field != nullptr && isSecret(optionRow)) {
      field->text.clear();
      field->remove = false;
      field->set = !optionRow.values(bridge.options).empty();
    }
  }
  view_.setFields(fields);

  if (bridge.enabled != 0) {
    openListener(bridge);
    if (bridge.enabled != 0) {
      checkCurrentRow(bridge);
    }
  }
  refreshState(bridge);
}

void BridgeTableLogic::checkCurrentRow(Bridge& bridge) {
  // The table reports this change at once; the marker makes the checkbox
  // handler leave it alone.
  bridge.enabled = static_cast<std::uint8_t>(bridge.enabled | kSelfChangeMarker);
  view_.setRowChecked(currentRow_, true);
  bridge.enabled = static_cast<std::uint8_t>(bridge.enabled & ~kSelfChangeMarker);
}

void BridgeTableLogic::refreshLocalAddress() {
  view_.setLocalAddressField(composeLocalAddress(readPortNumber(view_.fields().port)));
}

std::uint32_t BridgeTableLogic::lowestFreeAcceptMessage(const Bridge& bridge) const {
  std::unordered_set<std::uint32_t> held;
  for (const Bridge& other : bridges_) {
    if (&other != &bridge) {
      held.insert(other.acceptMessage);
    }
  }
  std::uint32_t candidate = kFirstAcceptMessage;
  while (held.count(candidate) != 0) {
    ++candidate;
  }
  return candidate;
}

}  // namespace quayside
