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

TEST(Base64, DecodesOnlyTheFormItWritesOfTheExactSize) {
  const struct {
    const char* name;  // what is broken when the row fails
    std::string text;
    std::size_t size;
    std::string bytes;  // "!" when refused
  } rows[] = {
      {"two pads", "Zg==", 1, "f"},
      {"one pad", "Zm8=", 2, "fo"},
      {"no pad, two groups", "Zm9vYmFy", 6, "foobar"},
      {"bytes above ASCII", "//79AD4/", 6, "\xff\xfe\xfd\x00\x3e\x3f"s},
      {"empty", "", 0, ""},
      {"fewer bytes than wanted", "Zm8=", 3, "!"},
      {"more bytes than wanted", "Zm9v", 2, "!"},
      {"spare bits set", "Zh==", 1, "!"},
      {"pad in the middle", "Z=g=", 1, "!"},
      {"pad for a byte that is there", "Zm9=", 2, "!"},
      {"letter outside the alphabet", "Zm-v", 3, "!"},
      {"NUL inside", "Zm\0v"s, 3, "!"},
  };
  for (const auto& row : rows) {
    std::string out(row.size, '?');
    const bool read =
        base64Decode(row.text, {reinterpret_cast<std::uint8_t*>(out.data()), out.size()});
    EXPECT_EQ(read, row.bytes != "!") << row.name;
    if (read) {
      EXPECT_EQ(out, row.bytes) << row.name;
    }
  }
}

TEST(Base64, WritesNothingWithoutRoomForAll) {
  std::array<char, 7> out{};
  EXPECT_EQ(base64Encode("foobar", out), 0u);
  EXPECT_EQ(out, (std::array<char, 7>{}));
}

}  // namespace
}  // namespace quayside
