#ifndef PICMETA_PLATFORM_XML_H
#define PICMETA_PLATFORM_XML_H

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os/fs.h"

struct _xmlDoc;
struct _xmlNode;

// The XML document service: documents, elements, XPath 1.0 selection. Parsing
// is safe for files from the field: no network, no DTD, no entity expansion,
// nothing printed.
namespace picmeta::platform {

// A failed document operation (a null node used, a save that failed).
class XmlError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class OwnedNode;

// A borrowed element of a document; the document owns it. May be null: every
// use of a null node throws XmlError, so a step that needs it is skipped.
class XmlNode {
 public:
  XmlNode() = default;
  explicit XmlNode(_xmlNode* node) : node_(node) {}

  bool IsNull() const { return node_ == nullptr; }
  explicit operator bool() const { return node_ != nullptr; }

  std::string Name() const;
  // Concatenated text of the node and its descendants.
  std::string Text() const;
  // nullopt when absent, which is distinct from "".
  std::optional<std::string> GetAttribute(std::string_view name) const;
  // Sets or replaces (keeping its place); a new attribute goes last. Characters
  // that XML 1.0 cannot carry are dropped.
  void SetAttribute(std::string_view name, std::string_view value) const;

  // Every attribute, in document order.
  std::vector<std::pair<std::string, std::string>> Attributes() const;

  // XPath 1.0: a leading "/" starts at the document node, otherwise at this node.
  XmlNode SelectSingleNode(std::string_view query) const;
  std::vector<XmlNode> SelectNodes(std::string_view query) const;

  // Appends as last child and returns the appended node, now owned by the document.
  XmlNode AppendChild(OwnedNode child) const;
  // Detaches and frees a child of this node.
  void RemoveChild(XmlNode child) const;

  _xmlNode* raw() const { return node_; }

 private:
  _xmlNode* Checked() const;
  _xmlNode* node_ = nullptr;
};

// A node that belongs to no tree yet; freed unless appended.
class OwnedNode {
 public:
  struct Free {
    void operator()(_xmlNode* node) const;
  };
  explicit OwnedNode(_xmlNode* node) : node_(node) {}
  XmlNode get() const { return XmlNode(node_.get()); }
  _xmlNode* release() { return node_.release(); }

 private:
  std::unique_ptr<_xmlNode, Free> node_;
};

enum class Blanks { kKeep, kDrop };

// Why a document did not load.
enum class LoadFailure {
  kNone,
  kMissing,
  kNotRegular,         // a folder, FIFO, device or symbolic link under the name
  kTooLarge,           // larger than the load allows; not read
  kIoError,            // the file could not be read (error holds the OS error)
  kBadEncoding,        // bytes that are not text in the declared encoding
  kDoctype,            // a DOCTYPE, refused
  kNotWellFormed,      // broken markup, no root element
  kNotRecordDocument,  // a working file whose root element is not "root"
  kTooManyAttributes,  // an element with more attributes than any document of ours has
};

struct LoadResult {
  LoadFailure failure = LoadFailure::kNone;
  int error = 0;
  explicit operator bool() const { return failure == LoadFailure::kNone; }
  // A file that is there but cannot be taken for a document: read whole
  // without parsing, or refused before reading (not regular, too large).
  bool Unreadable() const {
    return failure != LoadFailure::kNone && failure != LoadFailure::kMissing &&
           failure != LoadFailure::kIoError;
  }
};
std::string Describe(const LoadResult& result);

// What a failed read of a document's file means for the load.
LoadResult NotRead(const Status& status);

// Larger documents are not read at all.
inline constexpr std::int64_t kMaxDocumentBytes = std::int64_t{1} << 30;

class XmlDocument {
 public:
  XmlDocument();
  ~XmlDocument();
  XmlDocument(XmlDocument&&) noexcept;
  XmlDocument& operator=(XmlDocument&&) noexcept;

  // False (never an exception, never a message) for a missing, unreadable or
  // ill-formed file, and for any document that carries a DOCTYPE. The document
  // is then empty. kDrop drops whitespace-only text between elements.
  LoadResult Load(std::string_view path, Blanks blanks = Blanks::kKeep,
                  std::int64_t max_bytes = kMaxDocumentBytes);
  // Loads keeping only the attributes of these (local) names: a reader that
  // looks at no others builds no nodes for them, whatever the file holds.
  LoadResult LoadKeeping(std::string_view path, const std::vector<std::string_view>& attributes);
  LoadResult LoadXML(std::string_view text, Blanks blanks = Blanks::kKeep);
  // Parses bytes read by the caller, taking them over (no second copy of a
  // UTF-8 document is made).
  LoadResult LoadBytes(std::string bytes, Blanks blanks = Blanks::kKeep);
  bool Loaded() const { return doc_ != nullptr; }

  // The document's bytes in its declared encoding (UTF-8 when none is
  // declared), or in the encoding given.
  std::string Serialize(const char* encoding = nullptr) const;
  // Serialises and replaces the file atomically; throws on failure, leaving
  // the old file untouched.
  void Save(std::string_view path) const;

  XmlNode DocumentElement() const;
  XmlNode SelectSingleNode(std::string_view query) const;
  std::vector<XmlNode> SelectNodes(std::string_view query) const;
  OwnedNode CreateElement(std::string_view name) const;
  // Deep copy of a node of any document, owned by this one.
  OwnedNode CloneNode(XmlNode source) const;

 private:
  struct Free {
    void operator()(_xmlDoc* doc) const;
  };
  LoadResult Parse(std::string bytes, Blanks blanks,
                   const std::vector<std::string_view>* keep = nullptr);
  _xmlDoc* Checked() const;
  std::unique_ptr<_xmlDoc, Free> doc_;
};

}  // namespace picmeta::platform

#endif
