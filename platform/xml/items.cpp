#include "platform/xml/items.h"

#include "platform/os/text.h"

namespace picmeta::platform {

std::string XmlSafe(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    char32_t cp = 0;
    const std::size_t len = DecodeUtf8(text, i, cp);
    if (len == 0) {  // not UTF-8: drop this byte, resynchronise on the next
      ++i;
      continue;
    }
    const bool allowed =
        cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp != 0xFFFE && cp != 0xFFFF);
    if (allowed) out.append(text.substr(i, len));
    i += len;
  }
  return out;
}

XmlItem XmlItem::Element(std::string name) {
  XmlItem item;
  item.name = std::move(name);
  return item;
}

const std::string* XmlItem::GetAttribute(std::string_view attribute) const {
  for (const auto& [name, value] : attributes)
    if (name == attribute) return &value;
  return nullptr;
}

void XmlItem::SetAttribute(std::string_view attribute, std::string_view value) {
  std::string safe = XmlSafe(value);
  for (auto& [name, old] : attributes) {
    if (name == attribute) {
      old = std::move(safe);
      return;
    }
  }
  attributes.emplace_back(std::string(attribute), std::move(safe));
}

}  // namespace picmeta::platform
