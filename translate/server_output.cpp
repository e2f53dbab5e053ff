#include "translate/server_output.h"

#include "translate/nmdc_text.h"

#include <string>

namespace quayside {

void appendUserInfo(Composer& composer, std::string_view nick, std::string_view description,
                    bool away) {
  composer.append("$MyINFO $ALL ");
  composer.appendEscaped(nick);
  composer.append(' ');
  composer.appendEscaped(description);
  // No speed, connection "IRC" with status byte 0x01 (0x03: away, which
  // DC clients show greyed), no e-mail, share 0.
  composer.append(away ? std::string_view("$ $IRC\x03$$0$") : std::string_view("$ $IRC\x01$$0$"));
  composer.terminate("|");
}

void appendHubName(Composer& composer, const RelayState& relay) {
  composer.append("$HubName ");
  appendEscapedChannelTarget(composer, relay.channel.view());
  if (!relay.topic.empty()) {
    composer.append(" - ");
    composer.appendEscaped(relay.topic.view());
  }
  composer.terminate("|");
}

void LongMessage::endHead() {
  headSize_ = composer_.size();
  headCut_ = composer_.truncated();
}

void LongMessage::appendText(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const std::string_view escape = nmdcEscapeFor(text, i);
    if (!escape.empty()) {
      if (!makeRoom(escape.size())) {
        return;
      }
      composer_.append(escape);
      ++i;
      continue;
    }
    // A run of bytes that go out as they are may be cut anywhere.
    std::size_t run = i + 1;
    while (run < text.size() && nmdcEscapeFor(text, run).empty()) {
      ++run;
    }
    if (!makeRoom(1)) {
      return;
    }
    const std::size_t count = run - i < composer_.room() ? run - i : composer_.room();
    composer_.append(text.substr(i, count));
    i += count;
  }
}

void LongMessage::appendPlain(std::string_view bytes) {
  if (makeRoom(bytes.size())) {
    composer_.append(bytes);
  }
}

void LongMessage::appendBreak() {
  if (composer_.room() < 2 && composer_.size() > headSize_) {
    // The next part starts on a line of its own anyway.
    sendPart();
    return;
  }
  appendPlain("\r\n");
}

bool LongMessage::endsWithBreak() const {
  const std::string_view held = composer_.view();
  return held.size() >= headSize_ + 2 && held.substr(held.size() - 2) == "\r\n";
}

void LongMessage::dropTrailingBreak() {
  if (endsWithBreak()) {
    composer_.rewind(composer_.size() - 2);
  }
}

void LongMessage::send() {
  if (!headCut_) {
    composer_.terminate("|");
    out_.commit(Peer::kClient, composer_.size());
  }
  composer_.reset({});
}

bool LongMessage::makeRoom(std::size_t count) {
  if (full_) {
    return false;
  }
  if (composer_.room() >= count) {
    return true;
  }
  if (composer_.size() > headSize_ && !headCut_) {
    sendPart();
    if (composer_.room() >= count) {
      return true;
    }
  }
  // The head leaves no room: the rest of the text cannot go anywhere.
  full_ = true;
  return false;
}

void LongMessage::sendPart() {
  // The committed part may leave the area at once: the head is kept aside.
  const std::string head(composer_.view().substr(0, headSize_));
  composer_.terminate("|");
  out_.commit(Peer::kClient, composer_.size());
  composer_.reset(out_.area(Peer::kClient));
  composer_.append(head);
}

}  // namespace quayside
