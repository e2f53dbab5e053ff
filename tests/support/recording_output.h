#pragma once

#include "translate/output.h"

#include <string>
#include <string_view>
#include <vector>

namespace quayside::testing {

// Records every call of the output seam separately, so a test can say
// "this produced exactly these sends".
class RecordingOutput : public RelayOutput {
 public:
  void toClient(std::string_view bytes) override { client.emplace_back(bytes); }
  void toServer(std::string_view bytes) override { server.emplace_back(bytes); }
  void closeClient() override { ++closes; }

  void clear() {
    client.clear();
    server.clear();
    closes = 0;
  }

  std::vector<std::string> client;
  std::vector<std::string> server;
  int closes = 0;
};

}  // namespace quayside::testing
