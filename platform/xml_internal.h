#ifndef PICMETA_PLATFORM_XML_INTERNAL_H
#define PICMETA_PLATFORM_XML_INTERNAL_H

#include <string>
#include <string_view>

struct _xmlError;

// What the tree and the streaming sides of the XML service share.
namespace picmeta::platform::detail {

// libxml2's one-time set-up.
void InitOnce();
// An error handler that prints nothing.
void Silent(void*, _xmlError*);
// The encoding named by an XML declaration at the start of ASCII-compatible
// text; "" when there is none.
std::string DeclaredEncoding(std::string_view text);
// Names of encodings whose text is UTF-8 as it stands.
bool IsUtf8Name(const std::string& encoding);
// "UTF-16" and its spellings (not the LE and BE forms).
bool IsUtf16Name(const std::string& encoding);
// True when text can be converted both ways between UTF-8 and encoding.
bool Convertible(const char* encoding);
// Serialised UTF-8 markup in an encoding that keeps ASCII as it is; a
// character the encoding lacks becomes a character reference.
std::string EncodeMarkup(std::string_view utf8, const std::string& encoding);

}  // namespace picmeta::platform::detail

#endif
