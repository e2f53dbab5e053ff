#pragma once

#include "core/text_converter.h"

#include <memory>
#include <string>
#include <string_view>

namespace quayside::platform {

// Whether `name` means UTF-8 ("utf-8" or "utf8" in any letter case), which
// needs no converter.
bool isUtf8Name(std::string_view name);

// The converter for the DC client's character set `name` (an iconv name; on
// Windows the names of code pages: windows-1252, cp1251, iso-8859-2,
// koi8-r, ...); null for UTF-8.
// Null with `error` set when the system does not know the name, or when the
// set writes ASCII differently (UTF-16, EBCDIC), which NMDC cannot carry.
std::unique_ptr<TextConverter> openCharset(std::string_view name, std::string& error);

// Whether openCharset would accept `name`; `error` says why not.
bool charsetUsable(std::string_view name, std::string& error);

}  // namespace quayside::platform
