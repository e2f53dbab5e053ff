#include "translate/session_lines.h"

#include "translate/composer.h"
#include "translate/output.h"

#include <algorithm>
#include <span>
#include <utility>
#include <vector>

namespace quayside {
namespace {

// Keeps what is committed for the client.
class StatusSink final : public RelayOutput {
 public:
  explicit StatusSink(std::string& bytes) : bytes_(bytes) {}
  std::span<char> area(Peer) override { return area_; }
  void commit(Peer peer, std::size_t size) override {
    if (peer == Peer::kClient) {
      bytes_.append(area_.data(), size);
    }
  }
  void closeClient() override {}

 private:
  std::string& bytes_;
  std::vector<char> area_ = std::vector<char>(kOutCapacity);
};

}  // namespace

std::string tooManySessionsLine(std::uint16_t maxSessions) {
  return "*** Quayside: too many sessions on this Bridge (" + std::to_string(maxSessions) + ")|";
}

void appendStatusLine(std::string& bytes, std::string text, ClientEncoding encoding,
                      std::size_t areaSize) {
  std::replace_if(
      text.begin(), text.end(),
      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == '\x7F'; }, ' ');
  std::vector<char> area(areaSize);
  Composer composer(area);
  composer.append("*** ");
  composer.appendEscaped(text);
  composer.terminate("|");
  StatusSink sink(bytes);
  ClientCharsetOutput(sink, encoding).send(Peer::kClient, composer.view());
}

}  // namespace quayside
