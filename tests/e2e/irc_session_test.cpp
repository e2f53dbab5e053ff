// A hub client and IRC users in one channel on a real IRC server, with the
// daemon between them.
#include "e2e/irc_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <future>
#include <set>

namespace quayside::e2e {
namespace {

TEST_F(IrcSessionTest, LoginShowsTheChannelAsHubWithItsOperatorsAndUsers) {
  auto alice = ircUserInChannel("alice");
  auto carol = ircUserInChannel("carol");
  auto bob = clientInChannel("bob", *alice);
  ASSERT_FALSE(HasFailure());

  const auto list = receivedBefore(*bob, *alice, "list done");
  EXPECT_TRUE(contains(list, "$OpList alice$$|")) << "the channel operator is not marked";
  EXPECT_TRUE(contains(list, ircUserInfo("alice"))) << "operator missing from the user list";
  EXPECT_TRUE(contains(list, ircUserInfo("carol"))) << "member missing from the user list";
  EXPECT_FALSE(contains(list, "$OpList carol$$|")) << "a plain member shown as operator";
  for (const auto& message : list) {
    EXPECT_FALSE(message.starts_with("$MyINFO $ALL bob ")) << "the client listed as IRC user";
  }

  // The USER line was built from the client's information: its
  // description (without the tag) is the realname.
  alice->line("WHOIS bob");
  std::string whois;
  EXPECT_TRUE(alice->waitForPrefix(":" + std::string(kIrcServerName) + " 311 alice bob ", &whois));
  EXPECT_EQ(whois, ":" + std::string(kIrcServerName) + " 311 alice bob ~bob 127.0.0.1 * :desc\r\n");
}

TEST_F(IrcSessionTest, ChatTypedBeforeTheWelcomeArrivesAfterIt) {
  auto alice = ircUserInChannel("alice");
  ASSERT_FALSE(HasFailure());
  // No welcome can come before the client's user information: chat typed
  // in between waits for it.
  NmdcClient bob("bob");
  ASSERT_TRUE(bob.connect(localPort_));
  ASSERT_TRUE(bob.greet());
  ASSERT_TRUE(bob.validate());
  bob.send("<bob> early bird|");
  EXPECT_TRUE(bob.waitForExact("<bob> early bird|"));
  EXPECT_TRUE(bob.registerInfo(kChannel));
  EXPECT_TRUE(alice->waitFrom("bob", std::string("JOIN :") + kChannel));
  EXPECT_TRUE(alice->waitFrom("bob", std::string("PRIVMSG ") + kChannel + " :early bird"));
}

TEST_F(IrcSessionTest, ChannelChatFlowsBothWays) {
  auto alice = ircUserInChannel("alice");
  auto bob = clientInChannel("bob", *alice);
  ASSERT_FALSE(HasFailure());

  struct FromClient {
    const char* breaks;
    std::string sent;
    std::vector<std::string> channelSees;
  };
  const std::vector<FromClient> fromClient = {
      {"plain chat is lost", "<bob> hello there|", {"PRIVMSG #chat :hello there"}},
      {"the client's NMDC escapes reach IRC unresolved",
       "<bob> costs &#36;5 &#124; ok|",
       {"PRIVMSG #chat :costs $5 | ok"}},
      {"a two-line chat is not split into two lines",
       "<bob> one\r\ntwo|",
       {"PRIVMSG #chat :one", "PRIVMSG #chat :two"}},
  };
  for (const auto& row : fromClient) {
    bob->send(row.sent);
    EXPECT_TRUE(bob->waitForExact(row.sent)) << row.breaks << ": chat is echoed to the client";
    for (const auto& line : row.channelSees) {
      EXPECT_TRUE(alice->waitFrom("bob", line)) << row.breaks;
    }
  }

  struct FromIrc {
    const char* breaks;
    std::string said;
    std::string clientSees;
  };
  const std::vector<FromIrc> fromIrc = {
      {"channel text is lost", "good morning", "<alice> good morning|"},
      {"'$' and '|' from IRC break the client's framing", "pay $5 | now",
       "<alice> pay &#36;5 &#124; now|"},
      {"a CTCP action is not shown as /me",
       "\x01"
       "ACTION waves\x01",
       "<alice> /me waves|"},
  };
  for (const auto& row : fromIrc) {
    alice->line("PRIVMSG #chat :" + row.said);
    EXPECT_TRUE(bob->waitForExact(row.clientSees)) << row.breaks;
  }
}

TEST_F(IrcSessionTest, PasteIsPacedAndArrivesWholeInOrder) {
  using std::chrono::seconds;
  auto alice = ircUserInChannel("alice");
  auto bob = clientInChannel("bob", *alice);
  ASSERT_FALSE(HasFailure());
  // Bob's login lines have used up part of the allowance; let it refill.
  alice->stayFor(seconds(6));
  alice->clearSkipped();

  // Ten paced lines after the burst show the rate; more only cost seconds.
  constexpr int kLines = 15;
  std::string paste = "<bob> line 1";
  for (int i = 2; i <= kLines; ++i) {
    paste += "\r\nline " + std::to_string(i);
  }
  const auto start = std::chrono::steady_clock::now();
  bob->send(paste + "|");
  std::vector<std::chrono::steady_clock::duration> arrived;
  for (int i = 1; i <= kLines; ++i) {
    ASSERT_TRUE(alice->waitFrom("bob", "PRIVMSG #chat :line " + std::to_string(i)))
        << "line " << i << " lost or out of order";
    arrived.push_back(std::chrono::steady_clock::now() - start);
  }
  for (const std::string& skipped : alice->skipped()) {
    EXPECT_EQ(skipped.find(ircPrefix("bob")), std::string::npos) << "out of order: " << skipped;
  }
  EXPECT_LT(arrived[4], seconds(4)) << "the first five lines are held back";
  EXPECT_GE(arrived[kLines - 1], seconds((kLines - 5) * 2 - 1)) << "the paste is not paced";
  EXPECT_LT(arrived[kLines - 1], seconds((kLines - 5) * 2 + 10)) << "the paste is paced too slowly";
}

// What IRC users can make a session send is bounded, and a user who leaves
// mid-paste stops speaking: a burst of CTCP requests draws four answers and
// does not delay the user's next line; the client's close drops the rest of
// a paste and quits at once.
TEST_F(IrcSessionTest, FloodsAreBoundedAndALeavingPasterStopsAtOnce) {
  using std::chrono::seconds;
  auto alice = ircUserInChannel("alice");
  auto bob = clientInChannel("bob", *alice);
  ASSERT_FALSE(HasFailure());
  alice->stayFor(seconds(6));  // bob's login lines used part of the allowance

  alice->clearSkipped();
  std::string requests;
  for (int i = 0; i < 12; ++i) {
    requests += "PRIVMSG bob :\x01VERSION\x01\r\n";
  }
  alice->send(requests + "PRIVMSG bob :after\r\n");
  // The requests reached bob's session before this marker did.
  ASSERT_TRUE(bob->waitForExact("$To: bob From: alice $<alice> after|"));
  bob->send("<bob> still here|");
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(alice->waitFrom("bob", "PRIVMSG #chat :still here"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(3)) << "the reply flood delayed bob";
  const auto answers =
      std::count_if(alice->skipped().begin(), alice->skipped().end(), [](const std::string& line) {
        return line.find("NOTICE alice :\x01VERSION") != std::string::npos;
      });
  EXPECT_EQ(answers, 4);

  std::string paste = "<bob> line 1";
  for (int i = 2; i <= 30; ++i) {
    paste += "\r\nline " + std::to_string(i);
  }
  bob->send(paste + "|");
  ASSERT_TRUE(alice->waitFrom("bob", "PRIVMSG #chat :line 1"));
  bob->close();
  const auto closed = std::chrono::steady_clock::now();
  alice->clearSkipped();
  EXPECT_TRUE(alice->waitFrom("bob", "QUIT :\"DC client left\""));
  EXPECT_LT(std::chrono::steady_clock::now() - closed, seconds(2)) << "the paste went on";
  // The first lines may have left at once; the paced rest must not.
  for (const std::string& line : alice->skipped()) {
    const std::size_t at = line.find("PRIVMSG #chat :line ");
    if (at != std::string::npos) {
      EXPECT_LT(std::stoi(line.substr(at + 20)), 10) << "spoke after leaving: " << line;
    }
  }
}

// A DC client on the Windows Cyrillic code page and a UTF-8 IRC user: text
// is converted both ways, actions cross as actions, CTCP VERSION is answered.
TEST_F(IrcSessionTest, CodePageClientAndActionsCrossBothWays) {
  auto alice = ircUserInChannel("alice");
  const std::uint16_t port = testing::freePort();
  Daemon cp1251({"--bridge", bridgeArgument(port, server_->port(), kChannel) + ",charset=cp1251"});
  ASSERT_TRUE(cp1251.waitListening(port));
  NmdcClient bob("bob");
  ASSERT_TRUE(bob.connect(port));
  ASSERT_TRUE(bob.login(kChannel));
  ASSERT_TRUE(alice->waitFrom("bob", std::string("JOIN :") + kChannel));

  const std::string privet = "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82";  // UTF-8
  const std::string privet1251 = "\xcf\xf0\xe8\xe2\xe5\xf2";
  bob.send("<bob> " + privet1251 + "|");
  EXPECT_TRUE(bob.waitForExact("<bob> " + privet1251 + "|")) << "the echo changed";
  EXPECT_TRUE(alice->waitFrom("bob", "PRIVMSG #chat :" + privet)) << "cp1251 reached IRC as is";
  bob.send("$To: alice From: bob $<bob> /me waves|");
  EXPECT_TRUE(alice->waitFrom("bob",
                              "PRIVMSG alice :\x01"
                              "ACTION waves\x01"))
      << "/me reached IRC as text";

  alice->line("PRIVMSG #chat :" + privet + " caf\xc3\xa9");
  EXPECT_TRUE(bob.waitForExact("<alice> " + privet1251 + " caf?|"))
      << "UTF-8 reached the client unconverted";
  alice->line(
      "PRIVMSG bob :\x01"
      "ACTION dances\x01");
  EXPECT_TRUE(bob.waitForExact("$To: bob From: alice $<alice> /me dances|"))
      << "an action reached the client with its CTCP bytes";
  alice->line("PRIVMSG bob :\x01VERSION\x01");
  EXPECT_TRUE(alice->waitFrom("bob", "NOTICE alice :\x01VERSION Quayside " QUAYSIDE_VERSION "\x01"))
      << "CTCP VERSION not answered";
  EXPECT_FALSE(hasSanitizerReport(cp1251.log())) << cp1251.log();
}

TEST_F(IrcSessionTest, PrivateMessagesFlowBothWays) {
  auto alice = ircUserInChannel("alice");
  auto bob = clientInChannel("bob", *alice);
  ASSERT_FALSE(HasFailure());

  bob->send("$To: alice From: bob $<bob> just between us|");
  EXPECT_TRUE(alice->waitFrom("bob", "PRIVMSG alice :just between us"));

  alice->line("PRIVMSG bob :secret $1 | two");
  EXPECT_TRUE(bob->waitForExact("$To: bob From: alice $<alice> secret &#36;1 &#124; two|"));
}

TEST_F(IrcSessionTest, MembershipChangesKeepTheUserListInStep) {
  auto alice = ircUserInChannel("alice");
  auto bob = clientInChannel("bob", *alice);
  ASSERT_FALSE(HasFailure());

  struct Row {
    const char* breaks;
    std::function<void()> act;
    std::vector<std::string> clientSees;  // consecutive messages
  };
  std::unique_ptr<IrcUser> carol;
  const std::vector<Row> rows = {
      {"a joining user is not added",
       [&] { carol = ircUserInChannel("carol"); },
       {ircUserInfo("carol", "~carol@127.0.0.1")}},
      {"a nick change is not announced to a NickChange client",
       [&] { carol->line("NICK carol2"); },
       {"*** carol is now known as carol2|", "$NickChange carol carol2|"}},
      {"an operator grant is not shown",
       [&] { alice->line("MODE #chat +o carol2"); },
       {"$OpList carol2$$|"}},
      {"an operator who is also an admin loses the mark with one rank",
       [&] {
         alice->line("OPER " + std::string(kIrcOperatorName) + " " + kIrcOperatorPassword);
         alice->line("MODE #chat +a carol2");
         alice->line("MODE #chat -o carol2");
         alice->line("PRIVMSG #chat :still an admin");
         alice->line("MODE #chat -a carol2");
       },
       {"$OpList carol2$$|", "<alice> still an admin|", "$Quit carol2|",
        ircUserInfo("carol2", "")}},
      {"a topic does not rename the hub",
       [&] { alice->line("TOPIC #chat :Harbour news"); },
       {"$HubName #chat - Harbour news|"}},
      {"a departing user stays listed", [&] { carol->line("PART #chat"); }, {"$Quit carol2|"}},
  };
  for (const auto& row : rows) {
    row.act();
    ASSERT_TRUE(bob->waitForExact(row.clientSees.front())) << row.breaks;
    for (std::size_t i = 1; i < row.clientSees.size(); ++i) {
      EXPECT_TRUE(bob->expectNext(row.clientSees[i])) << row.breaks;
    }
  }

  // After the rename, a private message reaches the new nick.
  bob->send("$To: alice From: bob $<bob> still there?|");
  EXPECT_TRUE(alice->waitFrom("bob", "PRIVMSG alice :still there?"));
}

// ngIRCd offers multi-prefix: a member who held two ranks before the
// client joined is listed with both, so losing one keeps the mark.
TEST_F(IrcSessionTest, MembersWithTwoRanksKeepTheirMarkWhenTheyLoseOne) {
  auto alice = ircUserInChannel("alice");
  auto carol = ircUserInChannel("carol");
  alice->line("OPER " + std::string(kIrcOperatorName) + " " + kIrcOperatorPassword);
  alice->line("MODE #chat +ao carol carol");
  ASSERT_TRUE(carol->waitFrom("alice", "MODE #chat +ao carol carol"));
  auto bob = clientInChannel("bob", *alice);
  ASSERT_FALSE(HasFailure());
  EXPECT_TRUE(contains(receivedBefore(*bob, *alice, "listed"), "$OpList carol$$|"));

  alice->line("MODE #chat -a carol");
  const auto after = receivedBefore(*bob, *alice, "demoted");
  EXPECT_FALSE(contains(after, "$Quit carol|")) << "the operator rank was forgotten";
}

// What a DC user reads: WHOIS as sentences, mode changes and notices with
// who did them, a paste that says how long it takes and lets a private
// message go first, and +stop.
TEST_F(IrcSessionTest, RepliesNoticesAndPastesReadAsSentences) {
  auto alice = ircUserInChannel("alice");
  auto bob = clientInChannel("bob", *alice);
  ASSERT_FALSE(HasFailure());
  const auto containing = [&](const std::string& text) {
    return bob->waitFor([&](const std::string& m) { return m.find(text) != std::string::npos; },
                        text);
  };

  bob->send("$WHOIS alice|");
  EXPECT_TRUE(containing("*** alice is ~alice@127.0.0.1 (Scripted alice)\r\n"));
  alice->line("MODE #chat +b *!*@evil.test");
  EXPECT_TRUE(bob->waitForExact("*** alice sets mode +b *!*@evil.test|"));
  alice->line("MODE #chat -b *!*@evil.test");
  EXPECT_TRUE(bob->waitForExact("*** alice sets mode -b *!*@evil.test|"));
  alice->line("NOTICE #chat :mind the gap");
  EXPECT_TRUE(bob->waitForExact("<-alice-> mind the gap|"));

  std::string paste = "<bob> line 1";
  for (int i = 2; i <= 20; ++i) {
    paste += "\r\nline " + std::to_string(i);
  }
  bob->send(paste + "|$To: alice From: bob $<bob> psst|");
  EXPECT_TRUE(containing("*** Sending 20 lines to #chat: about "));
  alice->clearSkipped();
  ASSERT_TRUE(alice->waitFrom("bob", "PRIVMSG alice :psst"));
  std::size_t before = 0;
  for (const std::string& line : alice->skipped()) {
    before += line.find("PRIVMSG #chat :line ") != std::string::npos ? 1 : 0;
  }
  EXPECT_LT(before, 8u) << "the private message waited behind the paste";
  bob->send("<bob> +stop|");
  EXPECT_TRUE(containing(" waiting to be sent dropped|"));
}

TEST_F(IrcSessionTest, ClientKicksAnotherUser) {
  auto alice = ircUserInChannel("alice");
  auto carol = ircUserInChannel("carol");
  auto bob = clientInChannel("bob", *alice);
  ASSERT_FALSE(HasFailure());
  alice->line("MODE #chat +o bob");
  ASSERT_TRUE(bob->waitForExact("$OpList bob$$|"));

  bob->clearSkipped();
  bob->send("<bob> is kicking carol because: spam|$Kick carol|");
  EXPECT_TRUE(carol->waitFrom("bob", "KICK #chat carol :spam"));
  EXPECT_TRUE(bob->waitForExact("<bob> bob is kicking carol because: spam|"));
  EXPECT_TRUE(bob->expectNext("$Quit carol|"));
  EXPECT_FALSE(contains(bob->skipped(), "<bob> is kicking carol because: spam|"))
      << "a kick announcement must not be echoed as chat";
}

TEST_F(IrcSessionTest, KickSeenFromIrcRemovesTheUser) {
  auto alice = ircUserInChannel("alice");
  auto carol = ircUserInChannel("carol");
  auto bob = clientInChannel("bob", *alice);
  ASSERT_FALSE(HasFailure());

  alice->line("KICK #chat carol :flooding");
  EXPECT_TRUE(bob->waitForExact("<alice> alice is kicking carol because: flooding|"));
  EXPECT_TRUE(bob->expectNext("$Quit carol|"));
}

TEST_F(IrcSessionTest, KickedClientIsDisconnectedAndLeavesIrc) {
  auto alice = ircUserInChannel("alice");
  auto bob = clientInChannel("bob", *alice);
  ASSERT_FALSE(HasFailure());

  alice->line("KICK #chat bob :bye");
  EXPECT_TRUE(bob->waitForExact("<alice> alice is kicking bob because: bye|"));
  const auto rest = bob->readUntilClosed();
  ASSERT_TRUE(rest.has_value()) << "the kicked client's connection stayed open";
  EXPECT_EQ(printable(*rest), "");
  // Out of the channel, bob's QUIT reaches nobody: ask the server instead.
  EXPECT_TRUE(alice->waitUntilGone("bob")) << "the kicked client's IRC connection stayed";

  // The hold is kept before the end is logged.
  ASSERT_TRUE(daemon_->process().waitForOutput("client was kicked from the channel"));

  // Clients reconnect by themselves: within the hold bob is told why and
  // when, and never reaches the server, so the channel is not rejoined.
  NmdcClient retry("bob");
  ASSERT_TRUE(retry.connect(localPort_));
  ASSERT_TRUE(retry.greet());
  retry.sendNick();
  const auto told = retry.readUntilClosed();
  ASSERT_TRUE(told.has_value()) << "the held retry stayed connected";
  EXPECT_TRUE(isHeldAnswer(*told, "You were kicked from #chat by alice (bye)")) << printable(*told);
  EXPECT_TRUE(
      daemon_->process().waitForOutput("retry of bob answered locally (held after a kick until "));
  EXPECT_EQ(connectedRelays(daemon_->log()), 1u) << daemon_->log();
  // Another nick on the Bridge logs in as usual meanwhile.
  auto carol = clientInChannel("carol", *alice);
}

TEST_F(IrcSessionTest, ClientDisconnectEndsItsIrcConnection) {
  auto alice = ircUserInChannel("alice");
  auto bob = clientInChannel("bob", *alice);
  ASSERT_FALSE(HasFailure());

  bob->close();
  // ngircd quotes the reason it passes on.
  EXPECT_TRUE(alice->waitFrom("bob", "QUIT :\"DC client left\""));
  EXPECT_TRUE(daemon_->process().running());
}

TEST_F(IrcSessionTest, StoppingTheDaemonQuitsEverySessionAndTellsItsClient) {
  auto alice = ircUserInChannel("alice");
  auto bob = clientInChannel("bob", *alice);
  auto carol = clientInChannel("carol", *alice);
  ASSERT_FALSE(HasFailure());

  // Each session waits a moment for its client to close after telling it:
  // the daemon's exit is waited for on a thread of its own meanwhile.
  std::future<std::optional<int>> exited = std::async(std::launch::async, [this] {
    return daemon_->process().signalAndWait(Daemon::stopSignal(), "stopping");
  });
  for (NmdcClient* client : {bob.get(), carol.get()}) {
    EXPECT_TRUE(client->waitForExact("*** Quayside stopped|")) << client->nick();
    EXPECT_TRUE(client->readUntilClosed().has_value()) << client->nick();
    client->close();
  }
  // The sessions quit in either order; ngircd quotes the reason it passes on.
  std::set<std::string> quits;
  for (int i = 0; i < 2; ++i) {
    std::string found;
    EXPECT_TRUE(alice->waitFor(
        [](const std::string& message) {
          return message.ends_with(" QUIT :\"Quayside stopped\"\r\n");
        },
        "a QUIT for the stop", &found))
        << "IRC saw a lost link, not a quit";
    quits.insert(found.substr(0, found.find(' ')));
  }
  EXPECT_EQ(quits, (std::set<std::string>{ircPrefix("bob"), ircPrefix("carol")}));
  EXPECT_EQ(exited.get(), std::optional<int>(0));
}

TEST_F(IrcSessionTest, SchemePrefixAndBareChannelNameReachTheRightChannel) {
  auto alice = ircUserInChannel("alice");
  ASSERT_FALSE(HasFailure());
  // A second Bridge written as a user might: scheme, port, no '#'.
  const std::uint16_t port = testing::freePort();
  Daemon daemon({"--bridge", std::to_string(port) +
                                 "=IRC://127.0.0.1:" + std::to_string(server_->port()) + "/chat"});
  ASSERT_TRUE(daemon.waitListening(port));
  NmdcClient bob("bob");
  ASSERT_TRUE(bob.connect(port));
  EXPECT_TRUE(bob.login("#chat", "#chat")) << "the hub is named as the channel is joined";
  EXPECT_TRUE(alice->waitFrom("bob", "JOIN :#chat"));
  bob.send("<bob> found you|");
  EXPECT_TRUE(alice->waitFrom("bob", "PRIVMSG #chat :found you"));
  EXPECT_FALSE(hasSanitizerReport(daemon.log())) << daemon.log();
}

// A server that pings idle users soon (five seconds is ngircd's least).
class IrcPingTest : public IrcSessionTest {
 protected:
  int pingSeconds() const override { return 5; }
};

TEST_F(IrcPingTest, ServerPingsAreAnsweredSoAnIdleClientStays) {
  auto alice = ircUserInChannel("alice");
  auto bob = clientInChannel("bob", *alice);
  ASSERT_FALSE(HasFailure());
  // Unanswered, the server's PING drops bob 5 + 5 seconds into the silence.
  alice->clearSkipped();
  alice->stayFor(std::chrono::seconds(12));
  for (const auto& line : alice->skipped()) {
    EXPECT_FALSE(line.starts_with(ircPrefix("bob") + " QUIT ")) << printable(line);
  }
  bob->send("<bob> still here|");
  EXPECT_TRUE(alice->waitFrom("bob", "PRIVMSG #chat :still here"));
}

// ngircd as installed: nicks of at most 9 characters.
class DefaultNickLengthTest : public IrcSessionTest {
 protected:
  IrcServerOptions serverOptions() const override {
    IrcServerOptions options;
    options.maxNickLength = 0;
    return options;
  }
};

// Nicks IRC refuses (taken, too long, forbidden characters, the same DC
// nick on two Bridges) still get the client in: under another IRC nick,
// which it is told, while its DC nick stays.
TEST_F(DefaultNickLengthTest, RefusedNicksGetTheClientInUnderAnotherIrcNick) {
  auto alice = ircUserInChannel("alice");
  IrcUser holder("dcuser");
  ASSERT_TRUE(holder.login(server_->port()));
  const std::uint16_t secondPort = testing::freePort();
  Daemon second({"--bridge", bridgeArgument(secondPort, server_->port(), kChannel)});
  ASSERT_TRUE(second.waitListening(secondPort));
  struct Row {
    std::string dcNick;
    std::string ircNick;
    std::string told;  // after "*** On IRC you are <ircNick> "
    std::uint16_t port;
  };
  const std::vector<Row> rows = {
      {"dcuser", "dcuser_", "(the server refused dcuser)", localPort_},
      {"averyverylongnick", "averyvery", "(the server refused averyverylongnick)", localPort_},
      {"bob.smith", "bob_smith", "(bob.smith is not a valid IRC nick)", localPort_},
      {"\xD0\x92\xD0\xB0\xD1\x81\xD1\x8F", "Vasya",
       "(\xD0\x92\xD0\xB0\xD1\x81\xD1\x8F is not a valid IRC nick)", localPort_},
      {"1user", "_1user", "(1user is not a valid IRC nick)", localPort_},
      {"carol", "carol", "", localPort_},
      {"carol", "carol_", "(the server refused carol)", secondPort},
  };
  std::vector<std::unique_ptr<NmdcClient>> clients;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.dcNick + " on port " + std::to_string(row.port));
    auto client = std::make_unique<NmdcClient>(row.dcNick);
    ASSERT_TRUE(client->connect(row.port));
    ASSERT_TRUE(client->greet());
    ASSERT_TRUE(client->validate()) << "the DC nick is not the one the client chose";
    ASSERT_TRUE(client->registerInfo(kChannel));
    const std::string told = "*** On IRC you are " + row.ircNick + " " + row.told + "|";
    EXPECT_EQ(contains(client->skipped(), told), !row.told.empty()) << "not told " << told;
    // The user name keeps coming from the DC nick.
    const std::string join = std::string(" JOIN :") + kChannel + "\r\n";
    EXPECT_TRUE(alice->waitFor(
        [&](const std::string& l) {
          return l.starts_with(":" + row.ircNick + "!") && l.ends_with(join);
        },
        "the JOIN under the IRC nick"));
    // Naming the IRC nick names the DC nick, so the DC client highlights it.
    alice->line("PRIVMSG " + row.ircNick + " :hi " + row.ircNick);
    EXPECT_TRUE(
        client->waitForExact("$To: " + row.dcNick + " From: alice $<alice> hi " + row.dcNick + "|"))
        << "a private message to the IRC nick does not reach the client, or does not name it";
    clients.push_back(std::move(client));
  }
  EXPECT_FALSE(hasSanitizerReport(second.log())) << second.log();
}

TEST_F(IrcSessionTest, ClientsConnectingAtOnceEachGetTheirOwnRelay) {
  auto alice = ircUserInChannel("alice");
  ASSERT_FALSE(HasFailure());
  constexpr int kClients = 8;
  std::vector<std::unique_ptr<NmdcClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<NmdcClient>("user" + std::to_string(i)));
    ASSERT_TRUE(clients.back()->connect(localPort_));
  }
  for (auto& client : clients) {
    ASSERT_TRUE(client->greet()) << client->nick();
    ASSERT_TRUE(client->validate()) << client->nick();
  }
  for (auto& client : clients) {
    ASSERT_TRUE(client->registerInfo(kChannel)) << client->nick();
  }
  // The relays are independent, so their lines reach alice in any order.
  const auto expectAll = [&](std::set<std::string> lines, const char* what) {
    while (!lines.empty()) {
      std::string found;
      const auto seen =
          alice->waitFor([&](const std::string& l) { return lines.count(l) > 0; }, what, &found);
      ASSERT_TRUE(seen) << lines.size() << " missing, first " << printable(*lines.begin());
      lines.erase(found);
    }
  };
  std::set<std::string> joins;
  std::set<std::string> chats;
  for (auto& client : clients) {
    joins.insert(ircPrefix(client->nick()) + " JOIN :#chat\r\n");
    chats.insert(ircPrefix(client->nick()) + " PRIVMSG #chat :I am " + client->nick() + "\r\n");
  }
  expectAll(joins, "every client's JOIN");
  for (auto& client : clients) {
    client->send("<" + client->nick() + "> I am " + client->nick() + "|");
  }
  expectAll(chats, "every client's chat under its own nick");
}

}  // namespace
}  // namespace quayside::e2e
