#pragma once

#include "core/text_converter.h"
#include "translate/output.h"
#include "translate/relay_state.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace quayside {

// Inside the translations all text is UTF-8, as on IRC. The DC client's
// character set is met at its edge: each command from the client is made
// UTF-8 before it is translated, and each group for the client is converted
// as it is committed. With no converter (the client speaks UTF-8) valid
// UTF-8 passes untouched and costs one scan; a byte that is not part of a
// valid UTF-8 character is read as windows-1252, on either side.

// windows-1252 without a system converter: how a client on the UTF-8 default
// is read and answered once it has sent bytes that are not UTF-8. Stateless,
// so one instance serves every Relay.
TextConverter& windows1252Converter();

// How text is written to the client: through its character set's
// converter, or as UTF-8 (converter null). On UTF-8, bytes from IRC that are
// not UTF-8 are read as windows-1252 on the default, and become U+FFFD when
// the Bridge names UTF-8 (no guess either way).
struct ClientEncoding {
  TextConverter* converter = nullptr;
  bool replaceInvalid = false;
};

// The encoding of the client's side of `relay`: its character set, or on
// the default windows-1252 once the client's own text has shown it speaks
// that, else UTF-8.
ClientEncoding clientEncoding(const RelayState& relay);

// Counts a command's bytes towards the default's guess. Only commands that
// carry the user's text may be passed: protocol fields ("$Key" answers the
// lock with bytes of 0x80 and above) say nothing of the character set.
void noteClientText(RelayState& relay, std::string_view command);

// One command (or part) from the client as UTF-8: `text` itself when it is
// valid UTF-8 on a UTF-8 side, else the conversion written to `scratch`
// (kUtf8Growth times the text's size never cuts). On the default each text
// is read on its own: what is not valid UTF-8 is read as windows-1252 as a
// whole, so a windows-1252 line never half-passes as UTF-8.
std::string_view clientTextToUtf8(const RelayState& relay, std::string_view text,
                                  std::span<char> scratch);

// UTF-8 bytes per client byte at most, whatever the character set.
inline constexpr std::size_t kUtf8Growth = 3;

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);

// One character of strict UTF-8: its code point and its bytes (0: no valid
// character starts there).
struct Utf8Character {
  std::uint32_t point = 0;
  std::size_t length = 0;
};
// The character at text[i] (i < text.size()).
Utf8Character utf8CharacterAt(std::string_view text, std::size_t i);

// Copies `text` as UTF-8: valid characters as they are, every other byte
// read as windows-1252, or replaced by U+FFFD with `replaceInvalid`. Stops
// before a character that does not fit.
Conversion repairUtf8(std::string_view text, std::span<char> out, bool replaceInvalid = false);

// The output the translations write through: the server's side passes
// straight on, the client's side is converted message by message ('|' to
// '|') when committed. A message that outgrows the area after conversion is
// cut after a whole character and keeps its '|'.
class ClientCharsetOutput final : public WrappingOutput {
 public:
  ClientCharsetOutput(RelayOutput& inner, ClientEncoding encoding)
      : WrappingOutput(inner),
        converter_(encoding.converter),
        replaceInvalid_(encoding.replaceInvalid) {}

  std::span<char> area(Peer peer) override;
  void commit(Peer peer, std::size_t size) override;

 private:
  Conversion convertText(std::string_view text, std::span<char> out);
  void commitConverted(std::string_view group);

  // Where groups for a code-page client are composed (and a UTF-8 client's
  // group that needs repair is moved first); made at the first need, so the
  // usual UTF-8 path neither allocates nor grows the stack.
  std::span<char> composed();

  TextConverter* converter_;
  bool replaceInvalid_;
  std::span<char> lent_;  // the inner area lent for the client (UTF-8 clients)
  std::unique_ptr<char[]> composed_;
};

}  // namespace quayside
