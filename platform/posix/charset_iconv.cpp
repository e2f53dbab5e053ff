#include "platform/charset.h"
#include "platform/charset_common.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace quayside::platform {
namespace {

const auto kNoConversion = reinterpret_cast<iconv_t>(-1);  // NOLINT: iconv's own error value

class IconvConverter final : public TextConverter {
 public:
  IconvConverter(iconv_t toUtf8, iconv_t fromUtf8) : toUtf8_(toUtf8), fromUtf8_(fromUtf8) {}
  ~IconvConverter() override {
    iconv_close(toUtf8_);
    iconv_close(fromUtf8_);
  }
  IconvConverter(const IconvConverter&) = delete;
  IconvConverter& operator=(const IconvConverter&) = delete;

  Conversion toUtf8(std::string_view text, std::span<char> out) override {
    return run(toUtf8_, text, out, false);
  }
  Conversion fromUtf8(std::string_view text, std::span<char> out) override {
    return run(fromUtf8_, text, out, true);
  }

 private:
  // Converts until the input is used up or the output is full; what cannot
  // be converted becomes '?' (one byte of code-page input, one character of
  // UTF-8 input).
  static Conversion run(iconv_t cd, std::string_view text, std::span<char> out, bool utf8Input) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // a fresh shift state
    char* in = const_cast<char*>(text.data());      // iconv's signature; it only reads
    std::size_t inLeft = text.size();
    char* to = out.data();
    std::size_t toLeft = out.size();
    while (inLeft > 0) {
      if (iconv(cd, &in, &inLeft, &to, &toLeft) != static_cast<std::size_t>(-1)) {
        break;
      }
      if (errno == E2BIG || toLeft == 0) {
        break;
      }
      // EILSEQ or EINVAL: undefined input, a character the target lacks, or
      // a sequence cut off at the end.
      *to++ = '?';
      --toLeft;
      const std::size_t skip =
          utf8Input ? utf8Length(static_cast<unsigned char>(*in), inLeft) : std::size_t{1};
      in += skip;
      inLeft -= skip;
    }
    return {text.size() - inLeft, out.size() - toLeft};
  }

  iconv_t toUtf8_;
  iconv_t fromUtf8_;
};

}  // namespace

std::unique_ptr<TextConverter> openCharset(std::string_view name, std::string& error) {
  error.clear();
  if (isUtf8Name(name)) {
    return nullptr;
  }
  const std::string code(name);
  const iconv_t toUtf8 = iconv_open("UTF-8", code.c_str());
  if (toUtf8 == kNoConversion) {
    error = unknownCharset(name);
    return nullptr;
  }
  const iconv_t fromUtf8 = iconv_open(code.c_str(), "UTF-8");
  if (fromUtf8 == kNoConversion) {
    iconv_close(toUtf8);
    error = unknownCharset(name);
    return nullptr;
  }
  auto converter = std::make_unique<IconvConverter>(toUtf8, fromUtf8);
  std::array<char, 2 * kAsciiProbe.size()> there{};
  std::array<char, 2 * kAsciiProbe.size()> back{};
  const Conversion out = converter->fromUtf8(kAsciiProbe, there);
  const Conversion in = converter->toUtf8({there.data(), out.written}, back);
  if (std::string_view(there.data(), out.written) != kAsciiProbe ||
      std::string_view(back.data(), in.written) != kAsciiProbe) {
    error = charsetNotAscii(name);
    return nullptr;
  }
  return converter;
}

}  // namespace quayside::platform
