#include "bridge/about.h"

#include "bridge/daemon.h"
#include "core/version.h"
#include "platform/tls.h"

namespace quayside {
namespace {

constexpr std::string_view kBridgeOptionTable =
    "Bridge options (after the channel, separated by commas):\n"
    "  charset=NAME        the DC client's character set, as iconv names it (default utf-8)\n"
    "  fingerprint=HEX     SHA-256 of a server certificate to trust whatever its chain\n"
    "                      (64 hex digits, colons optional; default none)\n"
    "  login=none|pass|sasl\n"
    "                      pass: the hub password as IRC server password;\n"
    "                      sasl: SASL PLAIN with the DC nick as account (default none)\n"
    "  pace=on|off         pace lines towards IRC (default on)\n"
    "  max-sessions=N      DC clients served at once, 1 to 1000; more are refused\n"
    "                      (default 8)\n"
    "  password=TEXT       a password DC clients must give to use the Bridge, kept\n"
    "                      only as a salted hash; no NUL, '|' or '$' (default none)\n";

}  // namespace

std::string versionText(std::string_view program) {
  std::string text(program);
  text += " " QUAYSIDE_VERSION_TEXT "\nTLS: ";
  text += platform::tlsLibraryVersion();
  text += '\n';
  return text;
}

std::string daemonHelpText(std::string_view settingsFile) {
  std::string text(kDaemonUsage);
  text +=
      "\n"
      "Runs Quayside's Bridges without a window: for each enabled Bridge it listens\n"
      "on 127.0.0.1:PORT for a DC client and relays it to the IRC server's channel.\n"
      "\n"
      "  --settings FILE     read the Bridges from FILE (never written)\n"
      "  --bridge PORT=SERVER/CHANNEL[,KEY=VALUE]...\n"
      "                      one more enabled Bridge (repeatable; splits at the last\n"
      "                      '/'); SERVER is host[:port], irc://host[:port] or\n"
      "                      ircs://host[:port]. With --bridge alone no file is read.\n"
      "  -h, --help          this text\n"
      "  --version           the version and the TLS library's\n"
      "\n";
  text += kBridgeOptionTable;
  text += "\nSettings file: ";
  text += settingsFile;
  text +=
      "\n\n"
      "Logs one line per event to standard error. Stops on SIGINT or SIGTERM.\n"
      "Exit codes: 0 stopped, 1 no Bridge could be opened, 2 bad arguments.\n";
  return text;
}

std::string windowHelpText(std::string_view settingsFile) {
  std::string text =
#ifdef _WIN32
      "usage: quayside [--help | --version]\n"
      "\n"
      "The Quayside window: Bridges from a local port to an IRC channel, for DC\n"
      "hub clients.\n"
#else
      "usage: quayside [--help | --version | Qt options]\n"
      "\n"
      "The Quayside window: Bridges from a local port to an IRC channel, for DC\n"
      "hub clients. Qt's own options (-platform, -style...) are honoured.\n"
#endif
      "\n"
      "  -h, --help          this text\n"
      "  --version           the version and the TLS library's\n"
      "\n"
      "Settings file: ";
  text += settingsFile;
  text += '\n';
  return text;
}

}  // namespace quayside
