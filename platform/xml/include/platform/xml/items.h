#ifndef PICMETA_PLATFORM_XML_ITEMS_H
#define PICMETA_PLATFORM_XML_ITEMS_H

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Documents whose root holds a long sequence of children (record documents),
// as the record stream reads and writes them: one child at a time.
namespace picmeta::platform {

// Drops what an XML 1.0 document cannot carry: bytes that are not valid UTF-8,
// U+0000-U+0008, U+000B, U+000C, U+000E-U+001F, U+FFFE, U+FFFF. Everything
// else, surrogate-free, stays.
std::string XmlSafe(std::string_view text);

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

}  // namespace picmeta::platform

#endif
