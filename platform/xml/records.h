#ifndef PICMETA_PLATFORM_XML_STREAM_H
#define PICMETA_PLATFORM_XML_STREAM_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/xml/document.h"

// Documents whose root holds a long sequence of children (record documents)
// read and written one child at a time: memory stays bounded by the largest
// child, not by the document, and a file is read once and written once.
namespace picmeta::platform {

// One node below a document's root element, held whole with its descendants.
// A record is an element with attributes only.
struct XmlItem {
  enum class Kind { kElement, kText, kCData, kComment, kPI };
  using Attribute = std::pair<std::string, std::string>;

  Kind kind = Kind::kElement;
  std::string name;  // an element's qualified name, a processing instruction's target
  std::string text;  // the content of text, CDATA, a comment or an instruction
  // In document order; namespace declarations first, as "xmlns" / "xmlns:p".
  std::vector<Attribute> attributes;
  std::vector<XmlItem> children;

  static XmlItem Element(std::string name);
  bool IsElement(std::string_view element_name) const {
    return kind == Kind::kElement && name == element_name;
  }
  // Null when absent, which is distinct from "".
  const std::string* GetAttribute(std::string_view attribute) const;
  // Sets or replaces (keeping its place); a new attribute goes last. Characters
  // that XML 1.0 cannot carry are dropped.
  void SetAttribute(std::string_view attribute, std::string_view value);
  // A 64-bit hash of the attributes' names and values in order: tells records
  // apart without keeping copies of them.
  std::uint64_t AttributesHash() const;
};

// What surrounds the root's children: the declaration, comments and
// instructions outside the root, the root element itself.
struct XmlFrame {
  std::string version = "1.0";
  std::string encoding;  // as declared; "" when none is
  int standalone = -1;   // -1 when not declared
  std::vector<XmlItem> prolog;
  std::vector<XmlItem> epilog;
  std::string root;
  std::vector<XmlItem::Attribute> root_attributes;
};

// Reads a document's root children in order, parsing the file piece by piece
// with the same safety as a document load: no network, no DTD (a DOCTYPE
// stops the parse), no entities, nothing printed, the input decoded to UTF-8
// by the platform first. Whitespace-only text between elements is dropped.
class XmlItemReader {
 public:
  XmlItemReader();
  ~XmlItemReader();
  XmlItemReader(XmlItemReader&&) noexcept;
  XmlItemReader& operator=(XmlItemReader&&) noexcept;

  // Opens a document file. The failure of the open (missing, not regular,
  // larger than max_bytes and not read, I/O error), or success. `hashed`:
  // keep hash() up to date (it costs a pass over the bytes).
  LoadResult Open(std::string_view path, std::int64_t max_bytes = kMaxDocumentBytes,
                  bool hashed = true);
  // A document held in memory.
  LoadResult OpenBytes(std::string bytes);

  // The next child of the root; false at the end of the document, or as soon
  // as it turns out not to load (result() says which). Items handed out
  // before a failure belong to a document that did not load.
  bool Next(XmlItem& item);
  const LoadResult& result() const;
  // Complete once Next has returned false with an ok result; the root and
  // the prolog once Next has returned anything.
  const XmlFrame& frame() const;
  // ContentHasher's value of the bytes read so far: of the whole file at the
  // end.
  std::uint64_t hash() const;
  // Lets the file go (result, frame and hash stay): a file still open cannot
  // be replaced or deleted on every platform.
  void Close();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Writes a document as libxml2's formatted save does (same declaration, same
// indentation, same escaping), in the declared encoding, converted by the
// platform: characters the encoding cannot carry become character references.
// The bytes go to a sink in pieces of bounded size.
class XmlItemWriter {
 public:
  using Sink = std::function<void(std::string_view)>;

  XmlItemWriter();
  ~XmlItemWriter();
  XmlItemWriter(const XmlItemWriter&) = delete;
  XmlItemWriter& operator=(const XmlItemWriter&) = delete;

  // Writes the declaration and the prolog; an encoding that cannot be written
  // (or none) gives UTF-8.
  void Begin(const XmlFrame& frame, Sink sink);
  // The root's next child. Throws XmlError for a name that the encoding
  // cannot carry (it would be written as a character reference, which a name
  // cannot hold): a document that would not load again is never written.
  void Write(const XmlItem& item);
  // Closes the root, writes the epilog and hands the rest to the sink.
  void End(const std::vector<XmlItem>& epilog = {});
  // Hands what is buffered to the sink.
  void Flush();
  // A point to come back to: GetMark hands everything to the sink; Restore
  // forgets what was written since, once the caller has taken back what its
  // sink received since.
  struct Mark {
    bool any = false;
  };
  Mark GetMark();
  void Restore(Mark mark);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The frame of a new document made from a template such as
// "<?xml version='1.0' encoding='GBK'?><root/>"; false when it does not load.
bool FrameFromTemplate(std::string_view template_text, XmlFrame& frame);

}  // namespace picmeta::platform

#endif
