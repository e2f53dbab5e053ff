#include "relay/socket_output.h"

#include "translate/client_charset.h"
#include "translate/session_lines.h"

namespace quayside {
namespace {

// "about 6 minutes", "about 40 seconds".
std::string about(std::chrono::seconds time) {
  if (time < std::chrono::minutes(1)) {
    return "about " + std::to_string(time.count()) + (time.count() == 1 ? " second" : " seconds");
  }
  const auto minutes = (time.count() + 30) / 60;
  return "about " + std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes");
}

}  // namespace

std::string linesText(std::size_t lines) {
  return std::to_string(lines) + (lines == 1 ? " line" : " lines");
}

void SocketOutput::tellClient(std::string text) {
  if (!relay_.clientOpen()) {
    return;
  }
  std::string bytes;
  appendStatusLine(bytes, std::move(text), clientEncoding(relay_));
  RelayOutput::send(Peer::kClient, bytes);
}

void SocketOutput::tellProgress(const Pacer::Queued& queued) {
  if (queued.waiting > kToldPaste && !queued.target.empty()) {
    tellClient("Sending " + linesText(queued.lines) + " to " + queued.target + ": " +
               about(queued.until));
  }
}

void SocketOutput::dropWaiting() {
  const std::size_t dropped = pacer_.dropWaiting();
  tellClient(dropped == 0 ? std::string("Nothing was waiting to be sent")
                          : "Stopped: " + linesText(dropped) + " waiting to be sent dropped");
}

}  // namespace quayside
