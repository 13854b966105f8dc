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

// More attributes (namespace declarations included) than any record or
// workspace element has, by far; an element with more is refused before
// libxml2 sees it, as libxml2 (2.9) checks them for duplicates pairwise.
inline constexpr int kMaxAttributes = 256;

// Counts the attributes of each start tag in markup fed piece by piece (any
// ASCII-compatible text: the markup characters are ASCII). Comments, CDATA
// sections, processing instructions and declarations are skipped; quoted
// values are not looked into.
class AttributeGuard {
 public:
  // False from the first start tag with more than kMaxAttributes attributes on.
  bool Feed(std::string_view piece);

 private:
  enum class State { kText, kOpen, kBang, kTag, kSkip };
  // Counts the tag's attributes character by character.
  void Close(std::string_view bytes);
  State state_ = State::kText;
  int count_ = 0;            // "=" since the open tag's "<" (or, looking close, its attributes)
  bool close_ = false;       // looking close: the bound was over the limit
  char quote_ = 0;           // looking close: inside a value quoted so
  bool tag_done_ = false;    // looking close: the tag has ended
  std::string tag_;          // the open tag's text so far, when it spans pieces
  std::string bang_;         // what follows "<!", until it tells what it is
  std::string_view end_;     // the terminator of the part skipped
  std::size_t matched_ = 0;  // how much of end_ was just seen
  bool refused_ = false;
};

}  // namespace picmeta::platform::detail

#endif
