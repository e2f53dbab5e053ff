// Sessions that outlive their DC client (linger=MINUTES) on a real IRC
// server: marked away while no client is attached, taken over by the client
// that comes back, ended by the linger's time or by the server.
#include "e2e/irc_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <filesystem>
#endif

namespace quayside::e2e {
namespace {

using namespace std::chrono_literals;

constexpr char kAwayText[] = "Away (DC client disconnected)";

// Asks the server (WHOIS) until `nick`'s away text is `away` (empty: not away).
Outcome waitForAway(IrcUser& asker, const std::string& nick, const std::string& away) {
  const std::string server = std::string(":") + kIrcServerName + " ";
  const std::string mark = server + "301 " + asker.nick() + " " + nick + " :";
  const std::string end = server + "318 " + asker.nick() + " " + nick + " ";
  std::string seen;
  for (const auto deadline = Clock::now() + kReadTimeout; Clock::now() < deadline;) {
    asker.clearSkipped();
    asker.line("WHOIS " + nick);
    if (auto r = asker.waitForPrefix(end); !r) {
      return r;
    }
    seen.clear();
    for (const std::string& line : asker.skipped()) {
      if (line.starts_with(mark)) {
        seen = line.substr(mark.size(), line.size() - mark.size() - 2);
      }
    }
    if (seen == away) {
      return Outcome::success();
    }
    std::this_thread::sleep_for(50ms);
  }
  return Outcome::failure(nick + " is away as \"" + seen + "\", not \"" + away + "\"");
}

// `nick`'s session has read everything `asker` said to the IRC server
// before: its answer to a CTCP request comes after it.
Outcome waitForSessionToRead(IrcUser& asker, const std::string& nick) {
  asker.line("PRIVMSG " + nick + " :\x01PING 42\x01");
  return asker.waitFrom(nick, "NOTICE " + asker.nick() + " :\x01PING 42\x01");
}

// A kept line as the returning client is shown it: its time after its head.
bool isReplayed(const std::string& message, const std::string& head, const std::string& text) {
  static const std::regex time(R"(\[\d\d:\d\d\] )");
  return message.starts_with(head) && message.ends_with(text + "|") &&
         std::regex_match(
             message.substr(head.size(), message.size() - head.size() - text.size() - 1), time);
}

std::size_t occurrences(const std::string& log, const std::string& text) {
  std::size_t count = 0;
  for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
    ++count;
  }
  return count;
}

// Descriptors and threads of the daemon, where /proc tells them.
struct Holdings {
  std::size_t descriptors = 0;
  std::size_t threads = 0;
  bool operator==(const Holdings&) const = default;
};

std::optional<Holdings> holdingsOf(ChildProcess& process) {
#ifndef _WIN32
  if (Daemon::underWine()) {
    return std::nullopt;
  }
  const std::filesystem::path proc = "/proc/" + std::to_string(process.pid());
  Holdings holdings;
  std::error_code error;
  for (const char* folder : {"fd", "task"}) {
    std::size_t& count = folder[0] == 'f' ? holdings.descriptors : holdings.threads;
    for (auto entry = std::filesystem::directory_iterator(proc / folder, error);
         !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
      ++count;
    }
  }
  return error ? std::nullopt : std::optional<Holdings>(holdings);
#else
  static_cast<void>(process);
  return std::nullopt;
#endif
}

class LingerTest : public IrcSessionTest {
 protected:
  // Unpaced, so that clients may come and go quickly.
  std::string bridgeOptions() const override { return ",linger=30,pace=off"; }

  // Waits until the daemon's log holds `text` `count` times.
  Outcome waitForCount(const std::string& text, std::size_t count) {
    for (const auto deadline = Clock::now() + kReadTimeout; Clock::now() < deadline;) {
      if (occurrences(daemon_->log(), text) >= count) {
        return Outcome::success();
      }
      std::this_thread::sleep_for(20ms);
    }
    return Outcome::failure("the log holds \"" + text + "\" fewer than " + std::to_string(count) +
                            " times");
  }
};

TEST_F(LingerTest, AReturningClientTakesTheSessionOverAndSeesWhatWasSaid) {
  auto alice = ircUserInChannel("alice");
  auto bob = clientInChannel("bob", *alice);
  ASSERT_FALSE(HasFailure());

  bob->close();
  ASSERT_TRUE(waitForAway(*alice, "bob", kAwayText)) << "no AWAY, or bob quit";
  EXPECT_TRUE(daemon_->process().waitForOutput(
      "detached: lingering for 30 minutes (client closed the connection)"));
  alice->line(std::string("PRIVMSG ") + kChannel + " :said while you were out");
  alice->line("PRIVMSG bob :a private word");
  alice->line(std::string("PRIVMSG ") + kChannel + " :and a last line");
  ASSERT_TRUE(waitForSessionToRead(*alice, "bob"));

  alice->clearSkipped();
  NmdcClient back("bob");
  ASSERT_TRUE(back.connect(localPort_));
  ASSERT_TRUE(back.login(kChannel));
  ASSERT_TRUE(back.waitForPrefix("*** Welcome back: 3 lines since "));
  std::vector<std::string> replayed;
  for (int i = 0; i < 3; ++i) {
    replayed.push_back(back.next().value_or(""));
  }
  EXPECT_TRUE(isReplayed(replayed[0], "<alice> ", "said while you were out")) << replayed[0];
  EXPECT_TRUE(isReplayed(replayed[1], "$To: bob From: alice $<alice> ", "a private word"))
      << replayed[1];
  EXPECT_TRUE(isReplayed(replayed[2], "<alice> ", "and a last line")) << replayed[2];
  EXPECT_TRUE(daemon_->process().waitForOutput("re-attached: 3 lines replayed"));
  // IRC saw only the away mark cleared: no QUIT, no JOIN, no new connection.
  ASSERT_TRUE(waitForAway(*alice, "bob", ""));
  for (const std::string& line : alice->skipped()) {
    EXPECT_EQ(line.find(" JOIN "), std::string::npos) << line;
    EXPECT_EQ(line.find(" QUIT "), std::string::npos) << line;
  }
  EXPECT_EQ(connectedRelays(daemon_->log()), 1u) << daemon_->log();
  // Live traffic goes on.
  receivedBefore(back, *alice, "live again");
  back.send("<bob> back again|");
  EXPECT_TRUE(alice->waitFrom("bob", std::string("PRIVMSG ") + kChannel + " :back again"));

  // Leaving and coming back again and again leaves one session and nothing
  // held: each returning client's own thread and connection end.
  back.close();
  ASSERT_TRUE(waitForAway(*alice, "bob", kAwayText));
  const std::optional<Holdings> lingering = holdingsOf(daemon_->process());
  constexpr int kRounds = 25;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    NmdcClient again("bob");
    ASSERT_TRUE(again.connect(localPort_));
    ASSERT_TRUE(again.login(kChannel));
    ASSERT_TRUE(again.waitForPrefix("*** Welcome back: "));
    again.close();
    ASSERT_TRUE(waitForCount(": detached: lingering for ", static_cast<std::size_t>(round) + 3));
  }
  EXPECT_EQ(connectedRelays(daemon_->log()), 1u);
  EXPECT_EQ(occurrences(daemon_->log(), ": re-attached: "), static_cast<std::size_t>(kRounds) + 1);
  if (lingering) {
    // The last round's own thread may still be closing its end.
    std::optional<Holdings> now;
    for (const auto deadline = Clock::now() + kReadTimeout; Clock::now() < deadline;) {
      now = holdingsOf(daemon_->process());
      if (now == lingering) {
        break;
      }
      std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(now == lingering) << "descriptors " << lingering->descriptors << " -> "
                                  << (now ? now->descriptors : 0) << ", threads "
                                  << lingering->threads << " -> " << (now ? now->threads : 0);
  }

  // Stopping the daemon quits a lingering session as it quits the others.
  EXPECT_EQ(daemon_->process().signalAndWait(Daemon::stopSignal(), "stopping"),
            std::optional<int>(0));
  EXPECT_TRUE(alice->waitFrom("bob", "QUIT :\"Quayside stopped\""));
}

TEST_F(LingerTest, ServerGoneWhileAwayIsToldToTheNextClient) {
  auto alice = ircUserInChannel("alice");
  auto bob = clientInChannel("bob", *alice);
  ASSERT_FALSE(HasFailure());
  bob->close();
  ASSERT_TRUE(waitForAway(*alice, "bob", kAwayText));

  const std::uint16_t ircPort = server_->port();
  alice.reset();
  server_.reset();
  ASSERT_TRUE(daemon_->process().waitForOutput("session " + std::to_string(localPort_) + "/bob"));
  ASSERT_TRUE(daemon_->process().waitForOutput(" ended: "));

  NmdcClient next("bob");
  ASSERT_TRUE(next.connect(localPort_));
  ASSERT_TRUE(next.greet());
  next.sendNick();
  const std::string told = next.next().value_or("");
  EXPECT_TRUE(told.starts_with("*** While you were away, the connection to 127.0.0.1:" +
                               std::to_string(ircPort) + " ended: ") &&
              told.ends_with("|"))
      << printable(told);
}

// A client that is not the one that left gets a session of its own: another
// nick, or (with a login mode) another password.
class LingerLoginTest : public LingerTest {
 protected:
  IrcServerOptions serverOptions() const override {
    IrcServerOptions options;
    options.password = "first-pass";
    return options;
  }
  std::string bridgeOptions() const override { return ",linger=30,pace=off,login=pass"; }
};

// A hub client through the password exchange, up to "$Hello". `askedFirst`:
// the password is asked for right after the nick, as where a session
// lingers with that nick.
Outcome logInWithPassword(NmdcClient& client, const std::string& password, bool askedFirst) {
  if (auto r = client.greet(); !r) {
    return r;
  }
  client.sendNick();
  if (askedFirst) {
    if (auto r = client.expectNext("$GetPass|", kTurnWait); !r) {
      return r;
    }
    client.send("$MyPass " + password + "|");
  }
  if (auto r = client.expectNext("$Supports NickChange UserCommand NoGetINFO NoHello |", kTurnWait);
      !r) {
    return r;
  }
  if (!askedFirst) {
    if (auto r = client.expectNext("$GetPass|"); !r) {
      return r;
    }
    client.send("$MyPass " + password + "|");
  }
  return client.expectNext("$Hello " + client.nick() + "|");
}

TEST_F(LingerLoginTest, AnotherNickOrPasswordGetsASessionOfItsOwn) {
  auto alice = ircUserInChannel("alice");
  NmdcClient bob("bob");
  ASSERT_TRUE(bob.connect(localPort_));
  ASSERT_TRUE(logInWithPassword(bob, "first-pass", false));
  ASSERT_TRUE(bob.registerInfo(kChannel));
  bob.close();
  ASSERT_TRUE(waitForAway(*alice, "bob", kAwayText));

  NmdcClient carl("carl");
  ASSERT_TRUE(carl.connect(localPort_));
  ASSERT_TRUE(logInWithPassword(carl, "first-pass", false));
  EXPECT_TRUE(daemon_->process().waitForOutput("not re-attached: no session lingers as carl"));
  EXPECT_EQ(connectedRelays(daemon_->log()), 2u) << daemon_->log();

  NmdcClient back("bob");
  ASSERT_TRUE(back.connect(localPort_));
  ASSERT_TRUE(logInWithPassword(back, "first-pass", true));
  ASSERT_TRUE(back.registerInfo(kChannel));
  EXPECT_TRUE(back.waitForPrefix("*** Welcome back: nothing was said since "));
  EXPECT_TRUE(waitForAway(*alice, "bob", ""));
  back.close();
  ASSERT_TRUE(waitForAway(*alice, "bob", kAwayText));

  // The wrong password opens a session of its own, which the server refuses.
  NmdcClient guesser("bob");
  ASSERT_TRUE(guesser.connect(localPort_));
  ASSERT_TRUE(logInWithPassword(guesser, "wrong-pass", true));
  EXPECT_TRUE(daemon_->process().waitForOutput(
      "not re-attached: the password differs from the one the session lingering as bob logged in "
      "with"));
  // ngIRCd judges the password once NICK and USER are in.
  guesser.send("$Version 1,0091|$GetNickList|" + clientInfo(guesser.nick()));
  EXPECT_TRUE(guesser.waitForExact("$BadPass|"));
  EXPECT_EQ(connectedRelays(daemon_->log()), 3u) << daemon_->log();
  EXPECT_TRUE(waitForAway(*alice, "bob", kAwayText)) << "the lingering session was disturbed";
  for (const char* password : {"first-pass", "wrong-pass"}) {
    EXPECT_EQ(daemon_->log().find(password), std::string::npos) << "a password in the log";
  }
}

// A short linger through the test hook: the session quits when it runs out.
class ShortLingerTest : public IrcSessionTest {
 protected:
  std::string bridgeOptions() const override { return ",linger=30"; }
  std::map<std::string, std::string> daemonEnvironment() const override {
    return {{"QUAYSIDE_RELAY_TIMEOUTS", "60000,120000,60000,60000,3000"}};
  }
};

TEST_F(ShortLingerTest, TheSessionQuitsWhenTheLingerRunsOut) {
  auto alice = ircUserInChannel("alice");
  auto bob = clientInChannel("bob", *alice);
  ASSERT_FALSE(HasFailure());

  bob->close();
  EXPECT_TRUE(waitForAway(*alice, "bob", kAwayText)) << "no AWAY, or bob quit at once";
  EXPECT_TRUE(alice->waitFrom("bob", "QUIT :\"DC client left\""));
  EXPECT_TRUE(daemon_->process().waitForOutput("linger expired"));
  EXPECT_TRUE(daemon_->process().waitForOutput(
      "detached: lingering for 3 seconds (client closed the connection)"));
}

}  // namespace
}  // namespace quayside::e2e
