#include "tests/tree_oracle.h"

#include <libxml/encoding.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <map>
#include <memory>
#include <optional>

#include "platform/os/text.h"
#include "platform/xml/items.h"

namespace picmeta::test {
namespace {

struct DocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

const xmlChar* X(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }

void Quiet(void*, xmlErrorPtr) {}

// One character converted by the platform, remembered.
const std::optional<std::string>& Converted(const std::string& ch, const char* to,
                                            const char* from) {
  static std::map<std::string, std::optional<std::string>> to_gbk, from_gbk;
  auto& table = std::string_view(to) == "GBK" ? to_gbk : from_gbk;
  auto it = table.find(ch);
  if (it == table.end()) it = table.emplace(ch, platform::ConvertText(ch, to, from)).first;
  return it->second;
}

// libxml2's converter contract: convert what fits, say how much was
// consumed (*inlen) and produced (*outlen); -2 at a character that cannot be
// converted, -1 when out is too small.
int Convert(unsigned char* out, int* outlen, const unsigned char* in, int* inlen, bool to_gbk) {
  const int room = *outlen;
  int i = 0, o = 0;
  while (in && i < *inlen) {
    int n = 1;
    if (to_gbk) {
      n = in[i] < 0x80 ? 1 : in[i] < 0xE0 ? 2 : in[i] < 0xF0 ? 3 : 4;
    } else if (in[i] >= 0x81 && in[i] <= 0xFE) {
      n = 2;
    }
    if (i + n > *inlen) break;  // the rest comes with the next piece
    const std::string ch(reinterpret_cast<const char*>(in + i), static_cast<std::size_t>(n));
    const auto& converted = to_gbk ? Converted(ch, "GBK", "UTF-8") : Converted(ch, "UTF-8", "GBK");
    if (!converted) {
      *inlen = i, *outlen = o;
      return -2;
    }
    if (o + static_cast<int>(converted->size()) > room) {
      *inlen = i, *outlen = o;
      return -1;
    }
    converted->copy(reinterpret_cast<char*>(out + o), converted->size());
    o += static_cast<int>(converted->size());
    i += n;
  }
  *inlen = i, *outlen = o;
  return o;
}

int FromGbk(unsigned char* out, int* outlen, const unsigned char* in, int* inlen) {
  return Convert(out, outlen, in, inlen, false);
}
int ToGbk(unsigned char* out, int* outlen, const unsigned char* in, int* inlen) {
  return Convert(out, outlen, in, inlen, true);
}

void EnsureGbk() {
  static const bool ready = [] {
    if (xmlCharEncodingHandlerPtr known = xmlFindCharEncodingHandler("GBK")) {
      xmlCharEncCloseFunc(known);
      return true;
    }
    return xmlNewCharEncodingHandler("GBK", &FromGbk, &ToGbk) != nullptr;  // registered for good
  }();
  (void)ready;
}

std::string Saved(xmlDoc* doc) {
  const char* encoding = doc->encoding ? reinterpret_cast<const char*>(doc->encoding) : "UTF-8";
  xmlChar* raw = nullptr;
  int size = 0;
  xmlDocDumpFormatMemoryEnc(doc, &raw, &size, encoding, 1);
  if (!raw) return "not saved";
  std::string bytes(reinterpret_cast<const char*>(raw), static_cast<std::size_t>(size));
  xmlFree(raw);
  return bytes;
}

}  // namespace

std::string TreeSavedAgain(const std::string& bytes) {
  EnsureGbk();
  xmlSetStructuredErrorFunc(nullptr, &Quiet);
  DocPtr doc(xmlReadMemory(
      bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr,
      XML_PARSE_NONET | XML_PARSE_NOBLANKS | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  xmlSetStructuredErrorFunc(nullptr, nullptr);
  if (!doc || !xmlDocGetRootElement(doc.get())) return "not loaded";
  return Saved(doc.get());
}

std::string TreeRecordFile(const std::vector<TreeRecord>& records) {
  EnsureGbk();
  DocPtr doc(xmlNewDoc(X("1.0")));
  xmlNode* root = xmlNewDocNode(doc.get(), nullptr, X("root"), nullptr);
  xmlDocSetRootElement(doc.get(), root);
  for (const TreeRecord& record : records) {
    xmlNode* info = xmlNewChild(root, nullptr, X("info"), nullptr);
    for (const auto& [name, value] : record) xmlSetProp(info, X(name), X(platform::XmlSafe(value)));
  }
  doc->encoding = xmlStrdup(X("GBK"));
  return Saved(doc.get());
}

}  // namespace picmeta::test
