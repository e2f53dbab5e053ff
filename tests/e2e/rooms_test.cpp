// Rooms on a real IRC server: more channels on the session's one
// connection, each a hub user whose chat comes as private messages from it.
#include "e2e/irc_session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quayside::e2e {
namespace {

// What the client sees in the room's window, said by `speaker`.
std::string inRoom(const NmdcClient& client, const std::string& room, const std::string& speaker,
                   const std::string& text) {
  return "$To: " + client.nick() + " From: " + room + " $<" + speaker + "> " + text + "|";
}

// A Bridge that joins two rooms with its channel.
class OptionRoomsTest : public IrcSessionTest {
 protected:
  std::string bridgeOptions() const override { return ",room=#help,room=#dev"; }
};

TEST_F(OptionRoomsTest, RoomsAreUsersWhoseChatTopicAndKickComeAsPrivateMessages) {
  auto alice = ircUserInChannel("alice");
  ASSERT_TRUE(alice->join("#help"));  // first in: its operator
  IrcUser carol("carol");             // in the room only
  ASSERT_TRUE(carol.login(server_->port()));
  ASSERT_TRUE(carol.join("#help"));
  auto bob = clientInChannel("bob", *alice);
  ASSERT_FALSE(HasFailure());

  ASSERT_TRUE(carol.waitFrom("bob", "JOIN :#help"));
  bob->clearSkipped();
  ASSERT_TRUE(bob->waitForExact(ircUserInfo("#dev")));
  auto list = bob->skipped();
  const auto rest = receivedBefore(*bob, *alice, "listed");
  list.insert(list.end(), rest.begin(), rest.end());
  EXPECT_TRUE(contains(list, ircUserInfo("#help"))) << "the room is not a hub user";
  EXPECT_TRUE(contains(list, ircUserInfo("alice"))) << "the channel's member is not listed";
  for (const auto& message : list) {
    EXPECT_FALSE(message.starts_with("$MyINFO $ALL carol ")) << "a room member became a hub user";
  }

  carol.line("PRIVMSG #help :anyone here?");
  EXPECT_TRUE(bob->waitForExact(inRoom(*bob, "#help", "carol", "anyone here?")));
  bob->send("$To: #help From: bob $<bob> /me waves|");
  EXPECT_TRUE(carol.waitFrom("bob",
                             "PRIVMSG #help :\x01"
                             "ACTION waves\x01"))
      << "a private message to the room is not said in it";

  // alice, in the room too, has seen them, so they reach bob before her marker.
  carol.line("NICK carol2");
  ASSERT_TRUE(alice->waitFrom("carol", "NICK :carol2"));
  carol.line("QUIT :bye");
  ASSERT_TRUE(alice->waitForPrefix(":carol2!~carol@127.0.0.1 QUIT "));
  for (const auto& message : receivedBefore(*bob, *alice, "carol left")) {
    EXPECT_EQ(message.find("carol"), std::string::npos)
        << "a room member shown in main chat: " << printable(message);
  }

  alice->line("TOPIC #help :Ask here");
  EXPECT_TRUE(bob->waitForExact(ircUserInfo("#help", "Ask here")))
      << "the room's description does not follow its topic";
  EXPECT_TRUE(
      bob->expectNext(inRoom(*bob, "#help", "#help", "*** alice sets the topic: Ask here")));

  alice->line("KICK #help bob :enough");
  EXPECT_TRUE(bob->waitForExact(
      inRoom(*bob, "#help", "#help", "*** You were kicked from #help by alice: enough")));
  EXPECT_TRUE(bob->expectNext("$Quit #help|"));
  bob->send("<bob> still here|");
  EXPECT_TRUE(alice->waitFrom("bob", "PRIVMSG #chat :still here"))
      << "the room's kick ended the session";
  EXPECT_TRUE(daemon_->process().running());
}

// Rooms joined and left at run time, from main chat; the server's refusals
// are told in the refused room's window.
class RunTimeRoomsTest : public IrcSessionTest {};

TEST_F(RunTimeRoomsTest, RefusedJoinsAreToldAndARoomIsJoinedListedAndLeft) {
  struct Refused {
    std::string room;
    std::string mode;  // what alice, its operator, sets on it
    std::string told;  // the server's reason
  };
  const std::vector<Refused> refused = {
      {"#closed", "+i", "Cannot join channel (+i) -- Invited users only"},
      {"#locked", "+k key", "Cannot join channel (+k) -- Wrong channel key"},
  };
  auto alice = ircUserInChannel("alice");
  for (const Refused& row : refused) {
    ASSERT_TRUE(alice->join(row.room));
    alice->line("MODE " + row.room + " " + row.mode);
    ASSERT_TRUE(alice->waitForPrefix(ircPrefix("alice") + " MODE " + row.room + " " + row.mode));
  }
  ASSERT_TRUE(alice->join("#open"));
  auto bob = clientInChannel("bob", *alice);
  ASSERT_FALSE(HasFailure());

  for (const Refused& row : refused) {
    bob->send("<bob> +join " + row.room + "|");
    EXPECT_TRUE(bob->waitForExact(
        inRoom(*bob, row.room, row.room, "*** Cannot join " + row.room + ": " + row.told)))
        << "the refusal is not told in the room's window";
  }

  bob->send("<bob> +join #open|");
  EXPECT_TRUE(bob->waitForExact(ircUserInfo("#open")));
  EXPECT_TRUE(alice->waitFrom("bob", "JOIN :#open"));
  alice->line("TOPIC #open :Come in");
  EXPECT_TRUE(
      bob->waitForExact(inRoom(*bob, "#open", "#open", "*** alice sets the topic: Come in")));
  bob->send("<bob> +rooms|");
  EXPECT_TRUE(bob->waitForExact("*** Rooms:\r\n#open: 2 members, topic: Come in|"))
      << "refused rooms stayed or the joined one is missing";

  bob->send("<bob> +part #open|");
  EXPECT_TRUE(alice->waitFor(
      [](const std::string& line) { return line.starts_with(ircPrefix("bob") + " PART #open"); },
      "bob's PART of #open"));
  EXPECT_TRUE(bob->waitForExact("$Quit #open|"));
  bob->send("$To: #open From: bob $<bob> hello?|");
  EXPECT_TRUE(bob->waitForExact(
      inRoom(*bob, "#open", "#open", "*** You are not in #open (type +join #open)")));
}

// A real DC client, EiskaltDC++: the room is a user of its hub, and what is
// said in the room is logged in that user's private chat.
class EiskaltRoomsTest : public OptionRoomsTest {
 protected:
  void SetUp() override {
    if (EiskaltDcpp::programPath().empty()) {
      if (eiskaltdcppRequired()) {
        FAIL() << "eiskaltdcpp-daemon is not installed (QUAYSIDE_REQUIRE_EISKALTDCPP=1 demands it)";
      }
      GTEST_SKIP() << "apt-get install eiskaltdcpp-daemon to run this test";
    }
    OptionRoomsTest::SetUp();
  }
};

TEST_F(EiskaltRoomsTest, RoomIsAUserWhosePrivateChatCarriesTheRoom) {
  auto alice = ircUserInChannel("alice");
  ASSERT_TRUE(alice->join("#help"));
  EiskaltDcpp eiskalt("eisk");
  ASSERT_TRUE(eiskalt.started()) << "EiskaltDC++ did not start:\n" << eiskalt.log();
  const std::string hub = "dchub://127.0.0.1:" + std::to_string(localPort_);
  eiskalt.call("hub.add", {{"huburl", hub}, {"enc", "UTF-8"}});
  ASSERT_TRUE(alice->waitForExact(ircPrefix("eisk") + " JOIN :#help\r\n", kTurnWait));
  for (const char* user : {"#help;", "alice;"}) {
    EXPECT_TRUE(eiskalt.waitForAnswer("hub.getusers", {{"huburl", hub}, {"separator", ";"}}, user));
  }

  alice->line("PRIVMSG #help :hello from alice");
  alice->line(
      "PRIVMSG #help :\x01"
      "ACTION waves\x01");
  EXPECT_TRUE(eiskalt.waitForPrivateLine("#help", "<alice> hello from alice"));
  EXPECT_TRUE(eiskalt.waitForPrivateLine("#help", "<alice> /me waves"));

  eiskalt.call("hub.pm", {{"huburl", hub}, {"nick", "#help"}, {"message", "hello from eisk"}});
  EXPECT_TRUE(alice->waitFrom("eisk", "PRIVMSG #help :hello from eisk"));
}

}  // namespace
}  // namespace quayside::e2e
