#include "core/base64.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace quayside {
namespace {

using namespace std::string_literals;

std::string encoded(const std::string& bytes) {
  std::string out(base64Size(bytes.size()), '?');
  out.resize(base64Encode(bytes, out));
  return out;
}

TEST(Base64, Rfc4648VectorsAndBytesAboveAscii) {
  const struct {
    std::string bytes;
    const char* base64;
  } rows[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"bob\0bob\0sekrit"s, "Ym9iAGJvYgBzZWtyaXQ="},
      {"\xff\xfe\xfd\x00\x3e\x3f"s, "//79AD4/"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(encoded(row.bytes), row.base64) << row.base64;
  }
}

TEST(Base64, WritesNothingWithoutRoomForAll) {
  std::array<char, 7> out{};
  EXPECT_EQ(base64Encode("foobar", out), 0u);
  EXPECT_EQ(out, (std::array<char, 7>{}));
}

}  // namespace
}  // namespace quayside
