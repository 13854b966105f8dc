#ifndef PICMETA_PLATFORM_XML_PARSER_H
#define PICMETA_PLATFORM_XML_PARSER_H

#include <string>
#include <string_view>

struct _xmlError;
struct _xmlParserCtxt;

// The one front end of every parse, shared by the workspace document and the
// record stream: how a document's bytes become UTF-8 for libxml2, the
// options, the refusal of DOCTYPEs and of elements with too many attributes.
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
// How a document's bytes become UTF-8, from its first bytes: by byte-order
// mark, then by the declaration of ASCII-compatible text. The declared name
// is then read from the decoded text (DeclaredEncoding).
struct Encoding {
  std::string decoder;   // what the platform decodes the bytes from; "" for UTF-8 as it stands
  std::size_t skip = 0;  // the bytes of a UTF-8 byte-order mark
};
Encoding DetectEncoding(std::string_view head);

// libxml2's options for every parse: no network, no messages, no conversion
// of input; `huge`: without the 10 MB limit on one text or value (record
// files: whatever the library writes, it reads back).
int ParseOptions(bool huge);

// A DOCTYPE can declare entities that expand without bound, or point at local
// files; neither the host's files nor ours use one: the parse stops there.
void RefuseDoctype(_xmlParserCtxt* ctxt, bool& seen);

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

#endif  // PICMETA_PLATFORM_XML_PARSER_H
