#pragma once

#include "translate/composer.h"
#include "translate/output.h"
#include "translate/relay_state.h"

#include <cstddef>
#include <string_view>

namespace quayside {

// Appends the client's view of one IRC user, a whole "$MyINFO" command:
// "$MyINFO $ALL " nick " " description "$ $IRC" 0x01 "$$0$|", with 0x03
// for a user who is away.
void appendUserInfo(Composer& composer, std::string_view nick, std::string_view description,
                    bool away = false);

// Appends the hub's name, a whole "$HubName" command: the channel, and " - "
// and its topic when it has one.
void appendHubName(Composer& composer, const RelayState& relay);

// Adds one whole command to `batch`. A command that does not fit even into
// an empty area is dropped: a cut "$MyINFO" or "$OpList" would corrupt the
// client's user list.
template <typename Compose>
void addWhole(Batch& batch, Compose&& compose) {
  batch.add(compose);
  if (batch.composer().truncated()) {
    // Batch::add recomposes a cut command alone, so only it is held now.
    batch.composer().clear();
  }
}

// One NMDC message to the hub client whose text can outgrow the area (a
// numeric or message run, a long notice). What comes before the text (the
// head: "<sender> ", "$To: ... $<sender> ", "*** ") is composed first; when
// the text does not fit, the message is ended and sent, and the rest goes out
// in further messages that repeat the head. Parts are cut between whole
// escapes only, so every '|' the client sees is a terminator.
class LongMessage {
 public:
  explicit LongMessage(RelayOutput& out) : composer_(out.area(Peer::kClient)), out_(out) {}

  // The head is composed here; call endHead() when it is complete.
  Composer& head() { return composer_; }
  void endHead();

  // Foreign text, escaped for NMDC.
  void appendText(std::string_view text);
  // The system's own bytes.
  void appendPlain(std::string_view bytes);
  // A CR LF between the lines of the text; dropped where a part ends anyway.
  void appendBreak();

  bool endsWithBreak() const;
  void dropTrailingBreak();

  // Ends the message with '|' and sends it. A message whose head alone did
  // not fit is not sent at all.
  void send();

 private:
  // Makes room for `count` more bytes, sending the part composed so far when
  // needed; false when not even a fresh part has the room.
  bool makeRoom(std::size_t count);
  void sendPart();

  Composer composer_;
  RelayOutput& out_;
  std::size_t headSize_ = 0;
  bool headCut_ = false;
  bool full_ = false;
};

}  // namespace quayside
