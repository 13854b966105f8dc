#include "platform/xml/document.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/os/fs.h"
#include "platform/os/text.h"
#include "platform/xml/parser.h"

namespace picmeta::platform {
namespace {

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

std::string ToString(const xmlChar* s) { return std::string(View(s)); }

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
    compile_context->error = &detail::Silent;
  }
  XPathCompPtr comp(xmlXPathCtxtCompile(compile_context.get(), X(key)));
  if (!comp) throw XmlError("invalid query: " + key);
  return cache.emplace(std::move(key), std::move(comp)).first->second.get();
}

std::vector<XmlNode> Select(xmlDocPtr doc, xmlNodePtr context_node, std::string_view query,
                            bool first_only) {
  xmlXPathCompExpr* comp = Compiled(query);  // also for no context: a bad query is a fault
  std::vector<XmlNode> nodes;
  if (!context_node) return nodes;
  XPathContextPtr ctx(xmlXPathNewContext(doc));
  if (!ctx) throw XmlError("out of memory");
  ctx->error = &detail::Silent;
  ctx->node = context_node;
  std::unique_ptr<xmlXPathObject, XPathObjectFree> result(xmlXPathCompiledEval(comp, ctx.get()));
  // An evaluation that fails (memory exhausted) is a fault, not "nothing there".
  if (!result) throw XmlError("query could not be evaluated: " + std::string(query));
  if (result->type != XPATH_NODESET || !result->nodesetval) return nodes;  // none
  const xmlNodeSet* set = result->nodesetval;
  const int count = first_only ? std::min(set->nodeNr, 1) : set->nodeNr;
  nodes.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) nodes.emplace_back(set->nodeTab[i]);
  return nodes;
}

// Decodes a document's bytes to UTF-8 here, so that libxml2 never converts
// input: its conversion errors bypass the per-parse silence and reach the
// process's stderr. A UTF-8 document stays the same buffer (no second copy of
// a large working file); any other is converted and its raw bytes released.
bool Decode(std::string& bytes) {
  const detail::Encoding e = detail::DetectEncoding(bytes);
  bytes.erase(0, e.skip);
  if (e.decoder.empty()) return true;
  std::optional<std::string> utf8 = ConvertText(bytes, "UTF-8", e.decoder.c_str());
  if (!utf8) return false;
  bytes = std::move(*utf8);
  return true;
}

// What the parse's own handlers share: whether a DOCTYPE came, and the
// attributes a DOM keeps (all when null), with the element handler that
// brings elements to the tree with only those.
struct ParseState {
  xmlParserCtxtPtr ctxt = nullptr;
  bool saw_doctype = false;
  const std::vector<std::string_view>* keep = nullptr;
  std::vector<const xmlChar*> kept;

  static ParseState& Of(void* ctx) {
    return *static_cast<ParseState*>(static_cast<xmlParserCtxtPtr>(ctx)->_private);
  }
  static void OnDoctype(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
    ParseState& p = Of(ctx);
    detail::RefuseDoctype(p.ctxt, p.saw_doctype);
  }
  static void OnStart(void* ctx, const xmlChar* localname, const xmlChar* prefix,
                      const xmlChar* uri, int nb_namespaces, const xmlChar** namespaces,
                      int nb_attributes, int nb_defaulted, const xmlChar** attributes) {
    ParseState& p = Of(ctx);
    p.kept.clear();
    int kept = 0, kept_defaulted = 0;
    for (int i = 0; i < nb_attributes; ++i) {
      const std::string_view name = View(attributes[5 * i]);
      if (std::find(p.keep->begin(), p.keep->end(), name) == p.keep->end()) continue;
      p.kept.insert(p.kept.end(), attributes + 5 * i, attributes + 5 * i + 5);
      ++kept;
      if (i >= nb_attributes - nb_defaulted) ++kept_defaulted;
    }
    xmlSAX2StartElementNs(ctx, localname, prefix, uri, nb_namespaces, namespaces, kept,
                          kept_defaulted, p.kept.data());
  }
};

}  // namespace

// ---- XmlNode ---------------------------------------------------------------

std::string XmlNode::Name() const {
  if (!node_) return {};
  if (node_->ns && node_->ns->prefix)
    return ToString(node_->ns->prefix) + ":" + ToString(node_->name);
  return ToString(node_->name);
}

std::string XmlNode::Text() const {
  if (!node_) return {};
  XmlCharPtr content(xmlNodeGetContent(node_));
  return ToString(content.get());
}

std::optional<std::string> XmlNode::GetAttribute(std::string_view name) const {
  if (!node_) return std::nullopt;
  const std::string key(name);
  const xmlAttrPtr attr = xmlHasProp(node_, X(key));
  if (!attr || attr->type != XML_ATTRIBUTE_NODE) return std::nullopt;
  XmlCharPtr value(xmlNodeListGetString(node_->doc, attr->children, 1));
  return ToString(value.get());
}

std::vector<std::pair<std::string, std::string>> XmlNode::Attributes() const {
  std::vector<std::pair<std::string, std::string>> out;
  if (!node_) return out;
  for (xmlAttrPtr a = node_->properties; a; a = a->next) {
    XmlCharPtr value(xmlNodeListGetString(node_->doc, a->children, 1));
    out.emplace_back(ToString(a->name), ToString(value.get()));
  }
  return out;
}

XmlNode XmlNode::SelectSingleNode(std::string_view query) const {
  auto nodes = Select(node_ ? node_->doc : nullptr, node_, query, true);
  return nodes.empty() ? XmlNode() : nodes.front();
}

std::vector<XmlNode> XmlNode::Children(std::string_view name) const {
  std::vector<XmlNode> nodes;
  if (!node_) return nodes;
  for (xmlNodePtr child = node_->children; child; child = child->next)
    if (child->type == XML_ELEMENT_NODE && !child->ns && View(child->name) == name)
      nodes.emplace_back(child);
  return nodes;
}

std::vector<XmlNode> XmlNode::SelectNodes(std::string_view query) const {
  return Select(node_ ? node_->doc : nullptr, node_, query, false);
}

// ---- XmlDocument -----------------------------------------------------------

void XmlDocument::Free::operator()(_xmlDoc* doc) const { xmlFreeDoc(doc); }

XmlDocument::XmlDocument() { detail::InitOnce(); }

LoadResult XmlDocument::Load(const Path& path, Blanks blanks, std::int64_t max_bytes) {
  doc_.reset();
  std::string bytes;
  const Status s = ReadWholeFile(path, max_bytes, bytes);
  return s.ok() ? Parse(std::move(bytes), blanks) : NotRead(s);
}

LoadResult XmlDocument::LoadKeeping(const Path& path,
                                    const std::vector<std::string_view>& attributes) {
  doc_.reset();
  std::string bytes;
  const Status s = ReadWholeFile(path, kMaxDocumentBytes, bytes);
  return s.ok() ? Parse(std::move(bytes), Blanks::kKeep, &attributes) : NotRead(s);
}

LoadResult XmlDocument::LoadXML(std::string_view text, Blanks blanks) {
  return Parse(std::string(text), blanks);
}

LoadResult XmlDocument::Parse(std::string text, Blanks blanks,
                              const std::vector<std::string_view>* keep) {
  doc_.reset();
  if (!Decode(text)) return {LoadFailure::kBadEncoding};
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return {LoadFailure::kTooLarge};
  if (!detail::AttributeGuard().Feed(text)) return {LoadFailure::kTooManyAttributes};
  std::unique_ptr<xmlParserCtxt, ParserCtxtFree> ctxt(xmlNewParserCtxt());
  if (!ctxt || !ctxt->sax)
    return {LoadFailure::kIoError, std::make_error_code(std::errc::not_enough_memory)};
  ParseState parse;
  parse.ctxt = ctxt.get();
  parse.keep = keep;
  ctxt->_private = &parse;
  ctxt->sax->internalSubset = &ParseState::OnDoctype;
  if (keep) ctxt->sax->startElementNs = &ParseState::OnStart;
  ctxt->sax->serror = &detail::Silent;  // errors go nowhere, whatever the host installed
  // Workspace files keep libxml2's limits on one text or value.
  int options = detail::ParseOptions(false);
  if (blanks == Blanks::kDrop) options |= XML_PARSE_NOBLANKS;
  std::unique_ptr<_xmlDoc, Free> doc(xmlCtxtReadMemory(
      ctxt.get(), text.data(), static_cast<int>(text.size()), nullptr, "UTF-8", options));
  if (parse.saw_doctype) return {LoadFailure::kDoctype};
  if (!doc || !ctxt->wellFormed || !xmlDocGetRootElement(doc.get()))
    return {LoadFailure::kNotWellFormed};
  doc_ = std::move(doc);
  return {};
}

XmlNode XmlDocument::DocumentElement() const {
  return doc_ ? XmlNode(xmlDocGetRootElement(doc_.get())) : XmlNode();
}

XmlNode XmlDocument::SelectSingleNode(std::string_view query) const {
  auto nodes = Select(doc_.get(), reinterpret_cast<xmlNodePtr>(doc_.get()), query, true);
  return nodes.empty() ? XmlNode() : nodes.front();
}

std::vector<XmlNode> XmlDocument::SelectNodes(std::string_view query) const {
  return Select(doc_.get(), reinterpret_cast<xmlNodePtr>(doc_.get()), query, false);
}

}  // namespace picmeta::platform
