#ifndef PICMETA_PLATFORM_OS_UTF16_H
#define PICMETA_PLATFORM_OS_UTF16_H

#include <string>
#include <string_view>

// Text at the Windows boundary (Windows sources only): UTF-16 there, UTF-8
// everywhere in the library. What is not valid (bytes that are not UTF-8, an
// unpaired surrogate) becomes U+FFFD.
namespace picmeta::platform {

std::wstring Utf16(std::string_view utf8);
std::string Utf8(std::wstring_view utf16);

}  // namespace picmeta::platform

#endif
