#include "e2e/scripted_peers.h"

#include "e2e/servers.h"

#include <thread>

namespace quayside::e2e {

std::string clientInfo(std::string_view nick) {
  return "$MyINFO $ALL " + std::string(nick) + " desc<++ V:0.1>$ $LAN(T3)\x01$" +
         std::string(nick) + "@example.org$0$|";
}

std::string ircUserInfo(std::string_view nick, std::string_view userAtHost) {
  return "$MyINFO $ALL " + std::string(nick) + " " + std::string(userAtHost) + "$ $IRC\x01$$0$|";
}

std::string operatorMenu(std::string_view channel) {
  const std::string t(channel);
  return "$UserCommand 255 15 |"
         "$UserCommand 2 6 Op$&#36;MODE " +
         t +
         " +o %[nick]&#124;|"
         "$UserCommand 2 6 Deop$&#36;MODE " +
         t +
         " -o %[nick]&#124;|"
         "$UserCommand 2 6 Whois$&#36;WHOIS %[nick]&#124;|"
         "$UserCommand 2 1 Topic ...$&#36;TOPIC " +
         t +
         " :%[line:Enter new topic:]&#124;|"
         "$UserCommand 0 1 |"
         "$UserCommand 2 1 Banlist$&#36;MODE " +
         t +
         " +b&#124;|"
         "$UserCommand 2 1 Set Ban ...$&#36;MODE " +
         t +
         " +b %[line:Enter the user info that will be banned:]&#124;|"
         "$UserCommand 2 1 Unban ...$&#36;MODE " +
         t +
         " -b %[line:Enter the user info that will be unbanned:]&#124;|"
         "$UserCommand 0 1 |"
         "$UserCommand 2 1 Change nick ...$&#36;ValidateNick %[line:Enter your new nick]&#124;|"
         "$UserCommand 0 1 |"
         "$UserCommand 1 1 Join room ...$<%[mynick]> +join %[line:Channel]&#124;|"
         "$UserCommand 2 2 Leave room$<%[mynick]> +part %[nick]&#124;|";
}

std::string ircPrefix(std::string_view nick) {
  return ":" + std::string(nick) + "!~" + std::string(nick) + "@127.0.0.1";
}

Outcome NmdcClient::greet() {
  if (auto lock = expectNext(kLock); !lock) {
    return lock << " (the lock must be the first thing the client sees)";
  }
  return Outcome::success();
}

void NmdcClient::sendNick() {
  send("$Supports NoHello NickChange |$Key 0123456789abcdef|$ValidateNick " + nick_ + "|");
}

Outcome NmdcClient::validate() {
  sendNick();
  // The answer comes once the server is connected, and a Bridge's connects
  // start two seconds apart: clients that connect together wait their turn.
  if (auto r = expectNext("$Supports NickChange UserCommand NoGetINFO NoHello |", kTurnWait); !r) {
    return r;
  }
  return expectNext("$Hello " + nick_ + "|");
}

Outcome NmdcClient::registerInfo(std::string_view channel, std::string_view hubName) {
  const std::string info = clientInfo(nick_);
  send("$Version 1,0091|$GetNickList|" + info);
  if (auto echo = expectNext(info); !echo) {
    return echo << " (the user information is echoed)";
  }
  // The menu is one send of eleven commands.
  std::string menu;
  const std::string expected = operatorMenu(channel);
  while (menu.size() < expected.size()) {
    auto command = next();
    if (!command) {
      return Outcome::failure("menu incomplete; got \"" + printable(menu) + "\"");
    }
    menu += *command;
  }
  if (menu != expected) {
    return Outcome::failure("operator menu differs:\n    got      \"" + printable(menu) +
                            "\"\n    expected \"" + printable(expected) + "\"");
  }
  // The channel is joined only once the server has welcomed the session, so
  // the JOIN's answer, the hub name, proves it registered (the welcome itself
  // is not shown).
  return waitForExact("$HubName " + std::string(hubName.empty() ? channel : hubName) + "|");
}

Outcome NmdcClient::login(std::string_view channel, std::string_view hubName) {
  for (auto step : {&NmdcClient::greet, &NmdcClient::validate}) {
    if (auto r = (this->*step)(); !r) {
      return r;
    }
  }
  return registerInfo(channel, hubName);
}

bool isHeldAnswer(const std::string& told, std::string_view reason) {
  const std::string head = "*** " + std::string(reason) + "; Quayside tries again after ";
  // "HH:MM|"
  return told.size() == head.size() + 6 && told.starts_with(head) && told[head.size() + 2] == ':' &&
         told.ends_with("|");
}

std::size_t connectedRelays(const std::string& daemonLog) {
  std::size_t count = 0;
  for (std::size_t at = daemonLog.find(" connected to "); at != std::string::npos;
       at = daemonLog.find(" connected to ", at + 1)) {
    ++count;
  }
  return count;
}

IrcUser::IrcUser(std::string nick) : MessagePeer("\r\n"), nick_(std::move(nick)) {
  onMessage = [](MessagePeer& peer, const std::string& message) {
    if (message.starts_with("PING")) {
      peer.send("PO" + message.substr(2));
    }
  };
}

Outcome IrcUser::login(std::uint16_t ircPort, std::string_view password) {
  if (!connect(ircPort)) {
    return Outcome::failure(nick_ + " cannot reach the IRC server");
  }
  if (!password.empty()) {
    line("PASS " + std::string(password));
  }
  line("NICK " + nick_);
  line("USER " + nick_ + " 0 * :Scripted " + nick_);
  return waitForPrefix(":" + std::string(kIrcServerName) + " 001 " + nick_ + " ");
}

Outcome IrcUser::join(std::string_view channel) {
  line("JOIN " + std::string(channel));
  return waitForExact(ircPrefix(nick_) + " JOIN :" + std::string(channel) + "\r\n");
}

Outcome IrcUser::waitFrom(std::string_view fromNick, std::string_view rest) {
  return waitForExact(ircPrefix(fromNick) + " " + std::string(rest) + "\r\n");
}

void IrcUser::stayFor(Clock::duration duration) {
  const auto end = Clock::now() + duration;
  while (Clock::now() < end) {
    if (auto message = next(end - Clock::now())) {
      skippedMessage(*message);
    } else if (closedByPeer()) {
      return;
    }
  }
}

Outcome IrcUser::waitUntilGone(std::string_view otherNick) {
  const std::string reply = ":" + std::string(kIrcServerName) + " 303 " + nick_ + " :";
  const auto deadline = Clock::now() + kReadTimeout;
  while (Clock::now() < deadline) {
    line("ISON " + std::string(otherNick));
    std::string found;
    if (auto r = waitForPrefix(reply, &found); !r) {
      return r;
    }
    if (found == reply + "\r\n") {
      return Outcome::success();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return Outcome::failure(std::string(otherNick) + " is still connected to the IRC server");
}

}  // namespace quayside::e2e
