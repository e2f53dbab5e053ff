// Renders the main window over a given settings file into a PNG, for the
// README, with one live session and one refused certificate played in as
// their relays would report them. Usage: quayside-screenshot SETTINGS_FILE OUTPUT_PNG
#include "bridge/settings.h"
#include "platform/net.h"
#include "ui/main_window.h"

#include <QApplication>
#include <QItemSelectionModel>
#include <QPixmap>
#include <QTableView>

#include <cstdio>
#include <iterator>
#include <memory>
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

// A Relay as the listener makes it for `bridge`.
std::unique_ptr<quayside::Relay> relayOf(const quayside::Bridge& bridge) {
  auto relay = std::make_unique<quayside::Relay>();
  relay->serverText.assign(quayside::fieldText(bridge.server));
  relay->channel.assign(quayside::fieldText(bridge.channel));
  relay->options = bridge.options;
  relay->bridgeId = bridge.id;
  relay->bridgePort = bridge.localPort;
  return relay;
}

// The events of a session on the last Bridge of the file and of a refused
// certificate on the one before it, with the texts the relays give.
void playSessions(quayside::BridgeList& bridges, quayside::BridgeTableLogic& logic) {
  using quayside::RelayReport;
  if (bridges.size() < 2) {
    return;
  }
  const quayside::Bridge& live = bridges.back();
  const quayside::Bridge& refused = *std::next(bridges.rbegin());
  const auto accepted = quayside::ListenerHost::AcceptNote::kAccepted;

  logic.acceptNoted(live, accepted, quayside::platform::kLoopback, 51022, {});
  const auto session = relayOf(live);
  session->serverAddress.assign("198.51.100.20");
  session->serverPort = 6667;
  logic.relayReported(reportOf(RelayReport::Type::kConnected, *session));
  session->nick.assign("skipper");
  logic.relayReported(reportOf(RelayReport::Type::kWelcomed, *session));

  logic.acceptNoted(refused, accepted, quayside::platform::kLoopback, 51023, {});
  const auto failed = relayOf(refused);
  const std::string fingerprint =
      "3f8a1c44d2e07b9956c1aa0b4de2f7316c5e8d90a1b2c3d4e5f60718293a4b5c";
  std::string colons;
  for (std::size_t i = 0; i < fingerprint.size(); i += 2) {
    colons += (i == 0 ? "" : ":") + fingerprint.substr(i, 2);
  }
  failed->serverFingerprint.assign(fingerprint);
  logic.relayReported(reportOf(RelayReport::Type::kEnded, *failed,
                               "the server's certificate is not trusted: self-signed "
                               "certificate; SHA-256 fingerprint " +
                                   colons +
                                   "; to trust it, set the option fingerprint=" + fingerprint,
                               quayside::EndKind::kCertificateRefused));
}

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
  playSessions(bridges, window.logic());
  // Select the refused Bridge's row so the options editor shows it, as
  // after a click.
  auto* table = window.findChild<QTableView*>(QStringLiteral("bridgeTable"));
  if (table != nullptr && table->model()->rowCount() > 1) {
    table->selectRow(1);
  }
  QApplication::processEvents();
  if (!window.grab().save(QString::fromLocal8Bit(argv[2]), "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", argv[2]);
    return 1;
  }
  window.closeAllListeners();
  return 0;
}
