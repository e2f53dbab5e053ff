#include "bridge/about.h"

#include "core/session_options.h"
#include "core/version.h"
#include "platform/tls.h"

namespace quayside {
namespace {

// The form after '=': a choice's or toggle's values, else the row's name.
std::string valueForm(const OptionRow& optionRow) {
  if (optionRow.kind == OptionKind::kToggle) {
    return "on|off";
  }
  if (optionRow.kind != OptionKind::kChoice) {
    return std::string(optionRow.valueName);
  }
  std::string form;
  for (const OptionChoice& choice : optionRow.choices) {
    form += form.empty() ? "" : "|";
    form += choice.value;
  }
  return form;
}

// "options:" and each KEY=VALUE, numbers as their range, wrapped before
// column 80.
std::string usageOptions() {
  constexpr std::size_t kWidth = 80;
  constexpr std::string_view kIndent = "         ";
  std::string text = "options:";
  std::size_t lineStart = 0;
  for (const OptionRow& optionRow : kOptionRows) {
    std::string item(optionRow.key);
    item += '=';
    item += optionRow.kind == OptionKind::kNumber
                ? std::to_string(optionRow.least) + ".." + std::to_string(optionRow.most)
                : valueForm(optionRow);
    if (text.size() - lineStart + 1 + item.size() >= kWidth) {
      text += '\n';
      lineStart = text.size();
      text += kIndent;
    } else {
      text += ' ';
    }
    text += item;
  }
  text += '\n';
  return text;
}

// Each option's KEY=VALUE in a column of 20, its help lines beside it (on
// the next line when the form is wider).
std::string bridgeOptionTable() {
  constexpr std::size_t kColumn = 22;
  std::string text = "Bridge options (after the channel, separated by commas):\n";
  for (const OptionRow& optionRow : kOptionRows) {
    std::string form = "  " + std::string(optionRow.key) + '=' + valueForm(optionRow);
    if (form.size() + 2 > kColumn) {
      form += '\n';
      form.append(kColumn, ' ');
    } else {
      form.append(kColumn - form.size(), ' ');
    }
    text += form;
    std::string_view help = optionRow.help;
    for (std::size_t end = help.find('\n'); end != std::string_view::npos; end = help.find('\n')) {
      text += help.substr(0, end + 1);
      text.append(kColumn, ' ');
      help.remove_prefix(end + 1);
    }
    text += help;
    text += '\n';
  }
  return text;
}

}  // namespace

std::string versionText(std::string_view program) {
  std::string text(program);
  text += " " QUAYSIDE_VERSION_TEXT "\nTLS: ";
  text += platform::tlsLibraryVersion();
  text += '\n';
  return text;
}

std::string daemonUsageText() {
  return "usage: quayside-daemon [--settings FILE] [--bridge "
         "PORT=SERVER/CHANNEL[,KEY=VALUE]...]...\n"
         "       quayside-daemon --help | --version\n" +
         usageOptions();
}

std::string daemonHelpText(std::string_view settingsFile) {
  std::string text = daemonUsageText();
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
  text += bridgeOptionTable();
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
