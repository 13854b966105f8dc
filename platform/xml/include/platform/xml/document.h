#ifndef PICMETA_PLATFORM_XML_DOCUMENT_H
#define PICMETA_PLATFORM_XML_DOCUMENT_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/xml/load.h"

struct _xmlDoc;
struct _xmlNode;

// The workspace document: a file loaded whole for reading, elements, XPath 1.0
// selection. Parsing is safe for files from the field: no network, no DTD, no
// entity expansion, nothing printed.
namespace picmeta::platform {

// A borrowed element of a document; the document owns it. May be null: an
// absent node reads as empty (no name, no text, no attributes, selects
// nothing), as an absent value is a value.
class XmlNode {
 public:
  XmlNode() = default;
  explicit XmlNode(_xmlNode* node) : node_(node) {}

  explicit operator bool() const { return node_ != nullptr; }

  std::string Name() const;
  // Concatenated text of the node and its descendants.
  std::string Text() const;
  // nullopt when absent (also on a null node), which is distinct from "".
  std::optional<std::string> GetAttribute(std::string_view name) const;
  // Every attribute, in document order.
  std::vector<std::pair<std::string, std::string>> Attributes() const;

  // The child elements of that name (in no namespace), in document order: the
  // XPath query `name` from this node, without the cost of a query, for
  // walks that take every level of a tree.
  std::vector<XmlNode> Children(std::string_view name) const;
  // XPath 1.0: a leading "/" starts at the document node, otherwise at this
  // node. An invalid query throws XmlError: it is a fault, never an input's.
  XmlNode SelectSingleNode(std::string_view query) const;
  std::vector<XmlNode> SelectNodes(std::string_view query) const;

 private:
  _xmlNode* node_ = nullptr;
};

enum class Blanks { kKeep, kDrop };

class XmlDocument {
 public:
  XmlDocument();  // libxml2 is set up once, by the first
  XmlDocument(XmlDocument&&) noexcept = default;
  XmlDocument& operator=(XmlDocument&&) noexcept = default;

  // Fails (never an exception, never a message) for a missing, unreadable or
  // ill-formed file, and for any document that carries a DOCTYPE. The document
  // is then empty. kDrop drops whitespace-only text between elements.
  LoadResult Load(const Path& path, Blanks blanks = Blanks::kKeep,
                  std::int64_t max_bytes = kMaxDocumentBytes);
  // Loads keeping only the attributes of these (local) names: a reader that
  // looks at no others builds no nodes for them, whatever the file holds.
  LoadResult LoadKeeping(const Path& path, const std::vector<std::string_view>& attributes);
  LoadResult LoadXML(std::string_view text, Blanks blanks = Blanks::kKeep);

  // Null when nothing is loaded.
  XmlNode DocumentElement() const;
  XmlNode SelectSingleNode(std::string_view query) const;
  std::vector<XmlNode> SelectNodes(std::string_view query) const;

 private:
  struct Free {
    void operator()(_xmlDoc* doc) const;
  };
  LoadResult Parse(std::string bytes, Blanks blanks,
                   const std::vector<std::string_view>* keep = nullptr);
  std::unique_ptr<_xmlDoc, Free> doc_;
};

}  // namespace picmeta::platform

#endif
