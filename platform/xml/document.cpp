#include "platform/xml/document.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlsave.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/os/fs.h"
#include "platform/os/text.h"
#include "platform/xml/parser.h"

namespace picmeta::platform {
namespace {

using detail::Convertible;
using detail::DeclaredEncoding;
using detail::InitOnce;
using detail::IsUtf8Name;
using detail::Silent;

const xmlChar* X(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }

struct XmlCharFree {
  void operator()(xmlChar* p) const { xmlFree(p); }
};
using XmlCharPtr = std::unique_ptr<xmlChar, XmlCharFree>;

struct ParserCtxtFree {
  void operator()(xmlParserCtxt* p) const { xmlFreeParserCtxt(p); }
};
struct XPathContextFree {
  void operator()(xmlXPathContext* p) const { xmlXPathFreeContext(p); }
};
struct XPathObjectFree {
  void operator()(xmlXPathObject* p) const { xmlXPathFreeObject(p); }
};
struct XPathCompFree {
  void operator()(xmlXPathCompExpr* p) const { xmlXPathFreeCompExpr(p); }
};
using XPathContextPtr = std::unique_ptr<xmlXPathContext, XPathContextFree>;
using XPathCompPtr = std::unique_ptr<xmlXPathCompExpr, XPathCompFree>;

std::string_view View(const xmlChar* s) {
  return s ? std::string_view(reinterpret_cast<const char*>(s)) : std::string_view();
}

std::string ToString(const xmlChar* s) {
  return s ? std::string(reinterpret_cast<const char*>(s)) : std::string();
}

// A DOCTYPE can declare entities that expand without bound, or point at local
// files; neither the host's files nor ours use one, so the parse stops there.
void RejectDoctype(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
  auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  *static_cast<bool*>(ctxt->_private) = true;
  xmlStopParser(ctxt);
}

// Compiled queries are kept for the process: the same few constant queries
// run for every record. A compiled location path is only read while it is
// evaluated, so threads share it; compiling takes the lock. (libxml2 writes
// into an expression only to remember a function it resolved, and the
// library's queries call none.)
xmlXPathCompExpr* Compiled(std::string_view query) {
  static std::mutex mutex;
  static std::unordered_map<std::string, XPathCompPtr> cache;
  static XPathContextPtr compile_context;
  std::lock_guard lock(mutex);
  std::string key(query);
  if (const auto it = cache.find(key); it != cache.end()) return it->second.get();
  if (!compile_context) {
    compile_context.reset(xmlXPathNewContext(nullptr));
    if (!compile_context) throw XmlError("out of memory");
    compile_context->error = &Silent;
  }
  XPathCompPtr comp(xmlXPathCtxtCompile(compile_context.get(), X(key)));
  if (!comp) throw XmlError("invalid query: " + key);
  return cache.emplace(std::move(key), std::move(comp)).first->second.get();
}

std::vector<XmlNode> Select(xmlDocPtr doc, xmlNodePtr context_node, std::string_view query,
                            bool first_only) {
  xmlXPathCompExpr* comp = Compiled(query);
  XPathContextPtr ctx(xmlXPathNewContext(doc));
  if (!ctx) throw XmlError("out of memory");
  ctx->error = &Silent;
  ctx->node = context_node;
  std::unique_ptr<xmlXPathObject, XPathObjectFree> result(xmlXPathCompiledEval(comp, ctx.get()));
  std::vector<XmlNode> nodes;
  if (!result || result->type != XPATH_NODESET || !result->nodesetval) return nodes;
  const xmlNodeSet* set = result->nodesetval;
  const int count = first_only ? std::min(set->nodeNr, 1) : set->nodeNr;
  nodes.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) nodes.emplace_back(set->nodeTab[i]);
  return nodes;
}

// Decodes a document's bytes to UTF-8 here, by byte-order mark or declaration,
// so that libxml2 never converts input: its conversion errors bypass the
// per-parse silence and reach the process's stderr. `declared` receives the
// declared encoding, which a save writes again.
// Decodes in place: a UTF-8 document stays the same buffer (no second copy of
// a large working file); any other is converted and its raw bytes released.
bool DecodeDocument(std::string& bytes, std::string& declared) {
  std::optional<std::string> utf8;
  auto starts = [&](std::string_view prefix) {
    return std::string_view(bytes).substr(0, prefix.size()) == prefix;
  };
  if (starts("\xEF\xBB\xBF")) {
    bytes.erase(0, 3);
    declared = DeclaredEncoding(bytes);  // the byte-order mark decided; a declaration only names it
    return true;
  } else if (starts(std::string_view("\xFF\xFE\0\0", 4)) ||
             starts(std::string_view("\0\0\xFE\xFF", 4))) {
    utf8 = ConvertText(bytes, "UTF-8", "UTF-32");
  } else if (starts("\xFF\xFE") || starts("\xFE\xFF")) {
    utf8 = ConvertText(bytes, "UTF-8", "UTF-16");
  } else if (starts(std::string_view("<\0?\0", 4))) {
    utf8 = ConvertText(bytes, "UTF-8", "UTF-16LE");
  } else if (starts(std::string_view("\0<\0?", 4))) {
    utf8 = ConvertText(bytes, "UTF-8", "UTF-16BE");
  } else {
    declared = DeclaredEncoding(bytes);
    if (IsUtf8Name(declared)) return true;
    utf8 = ConvertText(bytes, "UTF-8", declared.c_str());
    if (!utf8) return false;
    bytes = std::move(*utf8);
    return true;
  }
  if (!utf8) return false;
  bytes = std::move(*utf8);
  declared = DeclaredEncoding(bytes);
  return true;
}

bool HasNonAsciiName(xmlNodePtr node) {
  auto non_ascii = [](const xmlChar* s) {
    for (; s && *s; ++s)
      if (*s >= 0x80) return true;
    return false;
  };
  for (; node; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    if (non_ascii(node->name)) return true;
    for (xmlAttrPtr a = node->properties; a; a = a->next)
      if (non_ascii(a->name)) return true;
    if (HasNonAsciiName(node->children)) return true;
  }
  return false;
}

}  // namespace

namespace detail {

void InitOnce() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

void Silent(void*, xmlErrorPtr) {}

// The encoding named by an XML declaration at the start of ASCII-compatible
// text; "" when there is none.
std::string DeclaredEncoding(std::string_view text) {
  // "<?xml-stylesheet ...?>" and the like are processing instructions.
  if (text.substr(0, 5) != "<?xml" || text.size() < 6 ||
      (text[5] != ' ' && text[5] != '\t' && text[5] != '\r' && text[5] != '\n'))
    return {};
  const auto end = text.find("?>");
  const std::string_view decl = text.substr(0, end);
  const auto at = decl.find("encoding");
  if (at == std::string_view::npos) return {};
  std::size_t i = at + 8;
  while (i < decl.size() &&
         (decl[i] == ' ' || decl[i] == '\t' || decl[i] == '\r' || decl[i] == '\n'))
    ++i;
  if (i >= decl.size() || decl[i] != '=') return {};
  ++i;
  while (i < decl.size() &&
         (decl[i] == ' ' || decl[i] == '\t' || decl[i] == '\r' || decl[i] == '\n'))
    ++i;
  if (i >= decl.size() || (decl[i] != '"' && decl[i] != '\'')) return {};
  const auto close = decl.find(decl[i], i + 1);
  if (close == std::string_view::npos) return {};
  return std::string(decl.substr(i + 1, close - i - 1));
}

bool SameName(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return i == a.size() && !b[i];
}

bool IsUtf16Name(const std::string& encoding) {
  return SameName(encoding, "UTF-16") || SameName(encoding, "UTF16");
}

bool IsUtf8Name(const std::string& encoding) {
  return encoding.empty() || SameName(encoding, "UTF-8") || SameName(encoding, "UTF8") ||
         SameName(encoding, "US-ASCII") || SameName(encoding, "ASCII");
}

// True when text can be converted both ways between UTF-8 and encoding, asked
// here so that libxml2 never reports an unusable name on the process's stderr.
bool Convertible(const char* encoding) {
  if (IsUtf8Name(encoding)) return true;
  // Only a name that a declaration can carry: [A-Za-z][A-Za-z0-9._-]*.
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (!letter(encoding[0])) return false;
  for (const char* p = encoding + 1; *p; ++p)
    if (!letter(*p) && !(*p >= '0' && *p <= '9') && *p != '.' && *p != '_' && *p != '-')
      return false;
  CharEncoder out;
  StreamDecoder in;
  return out.Open(encoding) && in.Open(encoding);
}

namespace {
// The "=" in [from, to), eight bytes at a time: a byte equal to "=" becomes
// zero, each zero byte sets the top bit of its place (no carries), and a
// multiplication sums the eight places.
std::size_t CountEquals(const char* from, const char* to) {
  constexpr std::uint64_t kEquals = 0x3D3D3D3D3D3D3D3Dull, kLow7 = 0x7F7F7F7F7F7F7F7Full;
  std::size_t n = 0;
  for (; to - from >= 8; from += 8) {
    std::uint64_t w;
    std::memcpy(&w, from, 8);
    const std::uint64_t x = w ^ kEquals;
    const std::uint64_t marks = ~(((x & kLow7) + kLow7) | x | kLow7) >> 7;  // 1 per "="
    n += static_cast<std::size_t>((marks * 0x0101010101010101ull) >> 56);
  }
  for (; from < to; ++from) n += *from == '=' ? 1 : 0;
  return n;
}
}  // namespace

// A start tag holds no "<" (a value cannot), so the "=" from its "<" to the
// next "<" bound its attributes: they are counted in bulk, and only a tag
// whose bound is over the limit is looked at character by character.
void AttributeGuard::Close(std::string_view bytes) {
  for (const char c : bytes) {
    if (tag_done_) return;
    if (quote_) {
      if (c == quote_) quote_ = 0;
    } else if (c == '"' || c == '\'') {
      quote_ = c;
    } else if (c == '=') {
      if (++count_ > kMaxAttributes) refused_ = true;
    } else if (c == '>') {
      tag_done_ = true;
    }
  }
}

// Comments, CDATA sections and processing instructions (which may hold "<")
// are skipped to their ends.
bool AttributeGuard::Feed(std::string_view piece) {
  const char* p = piece.data();
  const char* const stop = p + piece.size();
  auto skip_to = [&](char c) {
    const void* at = std::memchr(p, c, static_cast<std::size_t>(stop - p));
    p = at ? static_cast<const char*>(at) : stop;
    return at != nullptr;
  };
  const char* tag_start = nullptr;  // where the open tag began, in this piece
  while (p < stop && !refused_) {
    switch (state_) {
      case State::kText:
        if (!skip_to('<')) return true;
        ++p;
        state_ = State::kOpen;
        break;
      case State::kOpen: {
        const char c = *p;
        if (c == '!') {
          ++p;
          state_ = State::kBang;
          bang_.clear();
        } else if (c == '?') {
          ++p;
          state_ = State::kSkip, end_ = "?>", matched_ = 0;
        } else if (c == '/') {
          ++p;
          state_ = State::kSkip, end_ = ">", matched_ = 0;  // an end tag has no attributes
        } else {
          state_ = State::kTag, count_ = 0, tag_.clear();
          tag_start = p;
        }
        break;
      }
      case State::kTag: {
        const char* from = p;
        const bool ends = skip_to('<');
        // Attributes stand apart by white space: one takes five bytes at the
        // least (" a=''"), so a tag this short needs no counting at all.
        constexpr std::ptrdiff_t kShortest = 1 + 5 * (kMaxAttributes + 1);
        if (ends && tag_start && !close_ && p - tag_start < kShortest) {
          tag_start = nullptr;
          ++p;
          state_ = State::kOpen;
          break;
        }
        if (!close_) {
          count_ += static_cast<int>(CountEquals(from, p));
          if (count_ > kMaxAttributes) {
            // Over the bound: from the tag's start, "=" outside quoted values
            // are counted one by one, up to the tag's end.
            close_ = true, count_ = 0, quote_ = 0, tag_done_ = false;
            Close(tag_);
            from = tag_start ? tag_start : from;
          }
        }
        if (close_) Close(std::string_view(from, static_cast<std::size_t>(p - from)));
        if (!ends) {
          // The tag goes on in the next piece: what it has so far is kept.
          if (!close_) tag_.append(tag_start ? tag_start : from, p);
          return !refused_;
        }
        tag_.clear();
        tag_start = nullptr;
        close_ = false;
        ++p;
        state_ = State::kOpen;
        break;
      }
      case State::kBang: {
        const char c = *p++;
        bang_.push_back(c);
        if (bang_ == "--") {
          state_ = State::kSkip, end_ = "-->", matched_ = 0;
        } else if (bang_ == "[CDATA[") {
          state_ = State::kSkip, end_ = "]]>", matched_ = 0;
        } else if (std::string_view("--").substr(0, bang_.size()) != bang_ &&
                   std::string_view("[CDATA[").substr(0, bang_.size()) != bang_) {
          // A declaration (a DOCTYPE, refused by the parse itself).
          state_ = c == '>' ? State::kText : State::kSkip, end_ = ">", matched_ = 0;
        }
        break;
      }
      case State::kSkip: {
        if (matched_ == 0 && !skip_to(end_[0])) return true;
        const char c = *p++;
        if (c == end_[matched_]) {
          if (++matched_ == end_.size()) state_ = State::kText;
        } else if (c == end_[0]) {
          // "--" or "]]" followed by one more: the last two still count.
          matched_ = end_.size() == 3 && matched_ == 2 ? 2 : 1;
        } else {
          matched_ = 0;
        }
        break;
      }
    }
  }
  return !refused_;
}

}  // namespace detail

std::string Describe(const LoadResult& result) {
  switch (result.failure) {
    case LoadFailure::kNone:
      return "loaded";
    case LoadFailure::kMissing:
      return "missing";
    case LoadFailure::kNotRegular:
      return "not a regular file";
    case LoadFailure::kTooLarge:
      return "too large";
    case LoadFailure::kIoError:
      return Describe(Status{FileStatus::kIoError, result.error});
    case LoadFailure::kBadEncoding:
      return "bad encoding";
    case LoadFailure::kDoctype:
      return "has a DOCTYPE";
    case LoadFailure::kNotWellFormed:
      return "not well-formed";
    case LoadFailure::kNotRecordDocument:
      return "not a record document (its root element is not root)";
    case LoadFailure::kTooManyAttributes:
      return "an element has more than " + std::to_string(detail::kMaxAttributes) + " attributes";
  }
  return "not loaded";
}

// ---- XmlNode ---------------------------------------------------------------

_xmlNode* XmlNode::Checked() const {
  if (!node_) throw XmlError("no such node");
  return node_;
}

std::string XmlNode::Name() const {
  const xmlNodePtr n = Checked();
  if (n->ns && n->ns->prefix) return ToString(n->ns->prefix) + ":" + ToString(n->name);
  return ToString(n->name);
}

std::string XmlNode::Text() const {
  XmlCharPtr content(xmlNodeGetContent(Checked()));
  return ToString(content.get());
}

std::optional<std::string> XmlNode::GetAttribute(std::string_view name) const {
  const std::string key(name);
  const xmlAttrPtr attr = xmlHasProp(Checked(), X(key));
  if (!attr || attr->type != XML_ATTRIBUTE_NODE) return std::nullopt;
  XmlCharPtr value(xmlNodeListGetString(node_->doc, attr->children, 1));
  return ToString(value.get());
}

std::vector<std::pair<std::string, std::string>> XmlNode::Attributes() const {
  std::vector<std::pair<std::string, std::string>> out;
  for (xmlAttrPtr a = Checked()->properties; a; a = a->next) {
    XmlCharPtr value(xmlNodeListGetString(node_->doc, a->children, 1));
    out.emplace_back(ToString(a->name), ToString(value.get()));
  }
  return out;
}

void XmlNode::SetAttribute(std::string_view name, std::string_view value) const {
  const std::string key(name);
  const std::string safe = XmlSafe(value);
  if (!xmlSetProp(Checked(), X(key), X(safe))) throw XmlError("cannot set attribute " + key);
}

XmlNode XmlNode::SelectSingleNode(std::string_view query) const {
  const xmlNodePtr n = Checked();
  auto nodes = Select(n->doc, n, query, true);
  return nodes.empty() ? XmlNode() : nodes.front();
}

std::vector<XmlNode> XmlNode::SelectNodes(std::string_view query) const {
  const xmlNodePtr n = Checked();
  return Select(n->doc, n, query, false);
}

XmlNode XmlNode::AppendChild(OwnedNode child) const {
  const xmlNodePtr parent = Checked();
  if (!child.get()) throw XmlError("no node to append");
  const xmlNodePtr added = xmlAddChild(parent, child.get().raw());
  if (!added) throw XmlError("cannot append node");
  child.release();
  return XmlNode(added);
}

void XmlNode::RemoveChild(XmlNode child) const {
  const xmlNodePtr parent = Checked();
  if (!child || child.raw()->parent != parent) throw XmlError("not a child of this node");
  xmlUnlinkNode(child.raw());
  xmlFreeNode(child.raw());
}

void OwnedNode::Free::operator()(_xmlNode* node) const { xmlFreeNode(node); }

// ---- XmlDocument -----------------------------------------------------------

void XmlDocument::Free::operator()(_xmlDoc* doc) const { xmlFreeDoc(doc); }

XmlDocument::XmlDocument() { InitOnce(); }
XmlDocument::~XmlDocument() = default;
XmlDocument::XmlDocument(XmlDocument&&) noexcept = default;
XmlDocument& XmlDocument::operator=(XmlDocument&&) noexcept = default;

_xmlDoc* XmlDocument::Checked() const {
  if (!doc_) throw XmlError("no document loaded");
  return doc_.get();
}

namespace {

// The attributes a DOM keeps, and the parse's own element handler: elements
// come to the tree with only those attributes.
struct Keeping {
  const std::vector<std::string_view>* names;
  bool* saw_doctype;
  std::vector<const xmlChar*> kept;
};

void StartKeeping(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar* uri,
                  int nb_namespaces, const xmlChar** namespaces, int nb_attributes,
                  int nb_defaulted, const xmlChar** attributes) {
  auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  auto& keeping = *static_cast<Keeping*>(ctxt->_private);
  keeping.kept.clear();
  int kept = 0, kept_defaulted = 0;
  for (int i = 0; i < nb_attributes; ++i) {
    const std::string_view name = View(attributes[5 * i]);
    if (std::find(keeping.names->begin(), keeping.names->end(), name) == keeping.names->end())
      continue;
    keeping.kept.insert(keeping.kept.end(), attributes + 5 * i, attributes + 5 * i + 5);
    ++kept;
    if (i >= nb_attributes - nb_defaulted) ++kept_defaulted;
  }
  xmlSAX2StartElementNs(ctx, localname, prefix, uri, nb_namespaces, namespaces, kept,
                        kept_defaulted, keeping.kept.data());
}

void DoctypeKeeping(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
  auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  *static_cast<Keeping*>(ctxt->_private)->saw_doctype = true;
  xmlStopParser(ctxt);
}

}  // namespace

LoadResult XmlDocument::LoadKeeping(std::string_view path,
                                    const std::vector<std::string_view>& attributes) {
  doc_.reset();
  std::string bytes;
  const Status s = ReadWholeFile(path, kMaxDocumentBytes, bytes);
  return s.ok() ? Parse(std::move(bytes), Blanks::kKeep, &attributes) : NotRead(s);
}

LoadResult XmlDocument::Parse(std::string text, Blanks blanks,
                              const std::vector<std::string_view>* keep) {
  doc_.reset();
  std::string declared;
  if (!DecodeDocument(text, declared)) return {LoadFailure::kBadEncoding, 0};
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return {LoadFailure::kTooLarge, 0};
  if (!detail::AttributeGuard().Feed(text)) return {LoadFailure::kTooManyAttributes, 0};
  std::unique_ptr<xmlParserCtxt, ParserCtxtFree> ctxt(xmlNewParserCtxt());
  if (!ctxt || !ctxt->sax) return {LoadFailure::kIoError, ENOMEM};
  bool saw_doctype = false;
  Keeping keeping{keep, &saw_doctype, {}};
  if (keep) {
    ctxt->_private = &keeping;
    ctxt->sax->internalSubset = &DoctypeKeeping;
    ctxt->sax->startElementNs = &StartKeeping;
  } else {
    ctxt->_private = &saw_doctype;
    ctxt->sax->internalSubset = &RejectDoctype;
  }
  ctxt->sax->serror = &Silent;  // errors go nowhere, whatever the host installed
  int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_IGNORE_ENC;
  if (blanks == Blanks::kDrop) options |= XML_PARSE_NOBLANKS;
  std::unique_ptr<_xmlDoc, Free> doc(xmlCtxtReadMemory(
      ctxt.get(), text.data(), static_cast<int>(text.size()), nullptr, "UTF-8", options));
  if (saw_doctype) return {LoadFailure::kDoctype, 0};
  if (!doc || !ctxt->wellFormed || !xmlDocGetRootElement(doc.get()))
    return {LoadFailure::kNotWellFormed, 0};
  if (doc->encoding) xmlFree(const_cast<xmlChar*>(doc->encoding));
  doc->encoding = declared.empty() ? nullptr : xmlStrdup(X(declared));
  doc_ = std::move(doc);
  return {};
}

LoadResult XmlDocument::Load(std::string_view path, Blanks blanks, std::int64_t max_bytes) {
  doc_.reset();
  std::string bytes;
  const Status s = ReadWholeFile(path, max_bytes, bytes);
  return s.ok() ? Parse(std::move(bytes), blanks) : NotRead(s);
}

LoadResult NotRead(const Status& status) {
  switch (status.code) {
    case FileStatus::kOk:
      return {};
    case FileStatus::kNotFound:
      return {LoadFailure::kMissing, status.error};
    case FileStatus::kNotRegular:
      return {LoadFailure::kNotRegular, status.error};
    case FileStatus::kTooLarge:
      return {LoadFailure::kTooLarge, status.error};
    default:
      return {LoadFailure::kIoError, status.error};
  }
}

LoadResult XmlDocument::LoadXML(std::string_view text, Blanks blanks) {
  return Parse(std::string(text), blanks);
}

LoadResult XmlDocument::LoadBytes(std::string bytes, Blanks blanks) {
  return Parse(std::move(bytes), blanks);
}

std::string XmlDocument::Serialize(const char* encoding) const {
  const xmlDocPtr doc = Checked();
  if (!encoding) encoding = doc->encoding ? reinterpret_cast<const char*>(doc->encoding) : "UTF-8";
  // A document read by its byte-order mark may declare an encoding that does
  // not exist; it is written in UTF-8 then, rather than never again.
  if (!Convertible(encoding)) encoding = "UTF-8";
  // libxml2 lays the document out in UTF-8; the encoding is done here, as
  // the streamed writer does it, so that no platform's converter is called
  // by libxml2.
  xmlChar* raw = nullptr;
  int size = 0;
  xmlDocDumpFormatMemoryEnc(doc, &raw, &size, "UTF-8", 1);
  XmlCharPtr owned(raw);
  if (!raw || size < 0) throw XmlError(std::string("cannot serialise in ") + encoding);
  std::string bytes(reinterpret_cast<const char*>(raw), static_cast<std::size_t>(size));
  if (std::string_view(encoding) != "UTF-8") {
    const std::string_view declared = "encoding=\"UTF-8\"";
    const auto at = bytes.find(declared);
    if (at != std::string::npos && at < bytes.find("?>"))
      bytes.replace(at, declared.size(), "encoding=\"" + std::string(encoding) + "\"");
    if (detail::IsUtf16Name(encoding)) {
      auto wide = ConvertText(bytes, "UTF-16LE", "UTF-8");
      if (!wide) throw XmlError(std::string("cannot serialise in ") + encoding);
      bytes = "\xFF\xFE" + *wide;  // as libxml2 writes UTF-16
    } else if (!IsUtf8Name(encoding)) {
      bytes = detail::EncodeMarkup(bytes, encoding);
    }
  }
  // A name that the encoding cannot carry would be written as a character
  // reference, which names do not allow; never replace a file with that.
  if (HasNonAsciiName(xmlDocGetRootElement(doc))) {
    XmlDocument check;
    if (!check.Parse(bytes, Blanks::kKeep)) throw XmlError("document would not load again");
  }
  return bytes;
}

void XmlDocument::Save(std::string_view path) const { AtomicWriteFile(path, Serialize()); }

XmlNode XmlDocument::DocumentElement() const { return XmlNode(xmlDocGetRootElement(Checked())); }

XmlNode XmlDocument::SelectSingleNode(std::string_view query) const {
  auto nodes = Select(Checked(), reinterpret_cast<xmlNodePtr>(doc_.get()), query, true);
  return nodes.empty() ? XmlNode() : nodes.front();
}

std::vector<XmlNode> XmlDocument::SelectNodes(std::string_view query) const {
  return Select(Checked(), reinterpret_cast<xmlNodePtr>(doc_.get()), query, false);
}

OwnedNode XmlDocument::CreateElement(std::string_view name) const {
  const std::string key(name);
  const xmlNodePtr node = xmlNewDocNode(Checked(), nullptr, X(key), nullptr);
  if (!node) throw XmlError("cannot create element " + key);
  return OwnedNode(node);
}

OwnedNode XmlDocument::CloneNode(XmlNode source) const {
  if (!source) throw XmlError("no node to copy");
  const xmlNodePtr copy = xmlDocCopyNode(source.raw(), Checked(), 1);
  if (!copy) throw XmlError("cannot copy node");
  return OwnedNode(copy);
}

}  // namespace picmeta::platform
