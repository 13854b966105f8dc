#include "platform/xml/record_reader.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <cerrno>
#include <cstring>
#include <deque>

#include "platform/os/fs.h"
#include "platform/os/text.h"
#include "platform/xml/parser.h"

namespace picmeta::platform {
namespace {

// Pieces of this size are read, parsed and written at a time.
constexpr std::size_t kPiece = 256 * 1024;

std::string_view View(const xmlChar* s) {
  return s ? std::string_view(reinterpret_cast<const char*>(s)) : std::string_view();
}

bool IsBlank(std::string_view text) {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

}  // namespace

struct XmlItemReader::State {
  struct CtxtFree {
    void operator()(xmlParserCtxt* c) const {
      if (c->myDoc) xmlFreeDoc(c->myDoc);
      xmlFreeParserCtxt(c);
    }
  };

  // Where the bytes come from.
  ReadFile file;
  std::string memory;
  bool from_memory = false;
  std::int64_t size = 0;
  std::int64_t offset = 0;

  // How they become UTF-8.
  bool started = false;
  bool utf8 = true;
  StreamDecoder decoder;
  std::string decoded;
  detail::AttributeGuard attributes;

  std::unique_ptr<xmlParserCtxt, CtxtFree> ctxt;
  LoadResult result;
  bool finished = false;
  bool saw_doctype = false;

  XmlFrame frame;
  bool saw_root = false;
  int depth = 0;               // 1 inside the root, 2 inside one of its children, ...
  XmlItem current;             // the root's child being read
  std::vector<XmlItem*> open;  // its open elements, innermost last
  XmlItem root_text;           // text directly inside the root, not yet placed
  bool root_has_items = false;
  std::deque<XmlItem> ready;
  std::vector<XmlItem> spare;  // items handed back, whose storage the next record reuses

  // The list that new content goes to.
  std::vector<XmlItem>* Children() { return open.empty() ? nullptr : &open.back()->children; }

  void AddText(XmlItem::Kind kind, std::string_view text) {
    if (depth == 1) {
      // Text directly inside the root: kept unless it is only white space.
      if (kind == XmlItem::Kind::kText) {
        root_text.kind = kind;
        root_text.text.append(text);
      } else {
        PlaceRootText(false);
        XmlItem item;
        item.kind = kind;
        item.text = std::string(text);
        Ready(std::move(item));
      }
      return;
    }
    std::vector<XmlItem>* children = Children();
    if (!children) return;  // outside the root: only white space can be here
    if (kind == XmlItem::Kind::kText && !children->empty() &&
        children->back().kind == XmlItem::Kind::kText) {
      children->back().text.append(text);
      return;
    }
    XmlItem item;
    item.kind = kind;
    item.text = std::string(text);
    children->push_back(std::move(item));
  }

  void PlaceRootText(bool at_end) {
    if (root_text.text.empty()) return;
    XmlItem text = std::move(root_text);
    root_text = XmlItem();
    // White space between records is layout; an otherwise empty root keeps it.
    if (IsBlank(text.text) && (root_has_items || !at_end)) return;
    text.kind = XmlItem::Kind::kText;
    Ready(std::move(text));
  }

  void Ready(XmlItem item) {
    root_has_items = true;
    ready.push_back(std::move(item));
  }

  // White space among elements is layout: dropped, unless the element holds
  // text of its own (mixed content) or nothing else.
  static void DropLayout(XmlItem& element) {
    auto& c = element.children;
    bool mixed = false;
    for (const XmlItem& child : c)
      if (child.kind == XmlItem::Kind::kCData ||
          (child.kind == XmlItem::Kind::kText && !IsBlank(child.text)))
        mixed = true;
    if (mixed || c.size() <= 1) return;
    std::erase_if(c, [](const XmlItem& child) { return child.kind == XmlItem::Kind::kText; });
  }

  // An element's name and attributes as the parser hands them over, written
  // into `element` reusing the storage it has: records come by the thousand.
  static void Fill(XmlItem& element, const xmlChar* localname, const xmlChar* prefix,
                   int nb_namespaces, const xmlChar** namespaces, int nb_attributes,
                   const xmlChar** attributes) {
    element.kind = XmlItem::Kind::kElement;
    QName(element.name, prefix, localname);
    element.text.clear();
    element.children.clear();
    element.attributes.resize(static_cast<std::size_t>(nb_namespaces + nb_attributes));
    auto slot = element.attributes.begin();
    for (int i = 0; i < nb_namespaces; ++i, ++slot) {
      const xmlChar* p = namespaces[2 * i];
      slot->first.assign(p ? "xmlns:" : "xmlns");
      slot->first.append(View(p));
      slot->second.assign(View(namespaces[2 * i + 1]));
    }
    for (int i = 0; i < nb_attributes; ++i, ++slot) {
      const xmlChar** a = attributes + 5 * i;
      QName(slot->first, a[1], a[0]);
      UnescapeAmpersands(std::string_view(reinterpret_cast<const char*>(a[3]),
                                          static_cast<std::size_t>(a[4] - a[3])),
                         slot->second);
    }
  }

  static void QName(std::string& out, const xmlChar* prefix, const xmlChar* localname) {
    out.clear();
    if (prefix) {
      out.append(View(prefix));
      out.push_back(':');
    }
    out.append(View(localname));
  }

  // Without entity substitution the parser hands an attribute's "&" on as
  // "&#38;" (for a tree builder to decode); every other reference arrives
  // decoded, and no other "&" can stand in a value.
  static void UnescapeAmpersands(std::string_view raw, std::string& out) {
    out.clear();
    std::size_t at = 0;
    for (std::size_t amp; (amp = raw.find("&#38;", at)) != std::string_view::npos; at = amp + 5) {
      out.append(raw.substr(at, amp - at));
      out.push_back('&');
    }
    out.append(raw.substr(at));
  }

  template <class... Raw>
  void StartElement(const Raw&... raw) {
    if (depth == 0) {
      if (!saw_root) {
        saw_root = true;
        XmlItem root;
        Fill(root, raw...);
        frame.root = std::move(root.name);
        frame.root_attributes = std::move(root.attributes);
        const xmlParserCtxt* c = ctxt.get();
        if (c->version) frame.version = reinterpret_cast<const char*>(c->version);
        frame.standalone = c->standalone;
      }
      depth = 1;
      return;
    }
    if (depth == 1) {
      PlaceRootText(false);
      if (!spare.empty()) {
        current = std::move(spare.back());
        spare.pop_back();
      }
      Fill(current, raw...);
      open.assign(1, &current);
    } else {
      std::vector<XmlItem>& children = *Children();
      Fill(children.emplace_back(), raw...);
      open.push_back(&children.back());
    }
    ++depth;
  }

  void EndElement() {
    if (depth == 1) {
      PlaceRootText(true);
      depth = 0;
      return;
    }
    if (open.empty()) return;
    DropLayout(*open.back());
    open.pop_back();
    if (--depth == 1) Ready(std::move(current));
  }

  void Other(XmlItem item) {
    if (depth == 0) {
      (saw_root ? frame.epilog : frame.prolog).push_back(std::move(item));
    } else if (depth == 1) {
      PlaceRootText(false);
      Ready(std::move(item));
    } else if (auto* children = Children()) {
      children->push_back(std::move(item));
    }
  }

  // ---- SAX callbacks ----

  static State& Of(void* user) { return *static_cast<State*>(user); }

  static void OnStart(void* user, const xmlChar* localname, const xmlChar* prefix, const xmlChar*,
                      int nb_namespaces, const xmlChar** namespaces, int nb_attributes, int,
                      const xmlChar** attributes) {
    Of(user).StartElement(localname, prefix, nb_namespaces, namespaces, nb_attributes, attributes);
  }

  static void OnEnd(void* user, const xmlChar*, const xmlChar*, const xmlChar*) {
    Of(user).EndElement();
  }

  static void OnText(void* user, const xmlChar* text, int len) {
    Of(user).AddText(XmlItem::Kind::kText, std::string_view(reinterpret_cast<const char*>(text),
                                                            static_cast<std::size_t>(len)));
  }

  static void OnCData(void* user, const xmlChar* text, int len) {
    Of(user).AddText(XmlItem::Kind::kCData, std::string_view(reinterpret_cast<const char*>(text),
                                                             static_cast<std::size_t>(len)));
  }

  static void OnComment(void* user, const xmlChar* text) {
    XmlItem item;
    item.kind = XmlItem::Kind::kComment;
    item.text = std::string(View(text));
    Of(user).Other(std::move(item));
  }

  static void OnInstruction(void* user, const xmlChar* target, const xmlChar* data) {
    XmlItem item;
    item.kind = XmlItem::Kind::kPI;
    item.name = std::string(View(target));
    item.text = std::string(View(data));
    Of(user).Other(std::move(item));
  }

  static void OnDoctype(void* user, const xmlChar*, const xmlChar*, const xmlChar*) {
    State& s = Of(user);
    detail::RefuseDoctype(s.ctxt.get(), s.saw_doctype);
  }

  // ---- Feeding the parser ----

  bool Fail(LoadFailure failure, std::error_code error = {}) {
    result = {failure, error};
    finished = true;
    ready.clear();
    return false;
  }

  bool Create() {
    detail::InitOnce();
    xmlSAXHandler sax;
    std::memset(&sax, 0, sizeof sax);
    sax.initialized = XML_SAX2_MAGIC;
    sax.startElementNs = &OnStart;
    sax.endElementNs = &OnEnd;
    sax.characters = &OnText;
    sax.ignorableWhitespace = &OnText;
    sax.cdataBlock = &OnCData;
    sax.comment = &OnComment;
    sax.processingInstruction = &OnInstruction;
    sax.internalSubset = &OnDoctype;
    sax.serror = &detail::Silent;  // errors go nowhere, whatever the host installed
    ctxt.reset(xmlCreatePushParserCtxt(&sax, this, nullptr, 0, nullptr));
    if (!ctxt)
      return Fail(LoadFailure::kIoError, std::make_error_code(std::errc::not_enough_memory));
    xmlCtxtUseOptions(ctxt.get(), detail::ParseOptions(true));
    return true;
  }

  // Chooses the decoding from the first piece, as a document load does.
  bool StartDecoding(std::string_view& piece) {
    started = true;
    const detail::Encoding e = detail::DetectEncoding(piece);
    piece.remove_prefix(e.skip);
    if (e.decoder.empty()) {
      frame.encoding = detail::DeclaredEncoding(piece);
      return true;
    }
    if (!decoder.Open(e.decoder.c_str())) return Fail(LoadFailure::kBadEncoding);
    utf8 = false;
    // The declaration is read from the decoded text (UTF-16 and UTF-32 are
    // not ASCII-compatible).
    std::string head;
    if (!decoder.Decode(piece.substr(0, 4096), head)) return Fail(LoadFailure::kBadEncoding);
    frame.encoding = detail::DeclaredEncoding(head);
    decoder.Open(e.decoder.c_str());  // the whole piece is decoded again below
    return true;
  }

  // Reads, decodes and parses the next piece.
  bool Feed() {
    std::string_view piece;
    std::string buffer;
    if (from_memory) {
      piece = memory;
      offset = size;
    } else {
      const auto n = static_cast<std::size_t>(std::min<std::int64_t>(kPiece, size - offset));
      buffer.resize(n);
      if (const Status s = file.ReadAt(offset, buffer.data(), n); !s.ok())
        return Fail(LoadFailure::kIoError, s.error);
      offset += static_cast<std::int64_t>(n);
      piece = buffer;
    }
    const bool last = offset >= size;
    if (!started && !StartDecoding(piece)) return false;
    if (!utf8) {
      decoded.clear();
      if (!decoder.Decode(piece, decoded)) return Fail(LoadFailure::kBadEncoding);
      if (last && !decoder.Finish()) return Fail(LoadFailure::kBadEncoding);
      piece = decoded;
    }
    // A document ends at its first NUL character, as libxml2's load of a
    // whole document takes it: what follows is never read.
    bool last_piece = last;
    if (const auto nul = piece.find('\0'); nul != std::string_view::npos) {
      piece = piece.substr(0, nul);
      offset = size;
      last_piece = true;
    }
    if (!attributes.Feed(piece)) return Fail(LoadFailure::kTooManyAttributes);
    // Pieces are bounded well below INT_MAX, except a document held in memory.
    while (piece.size() > kPiece) {
      if (!Parse(piece.substr(0, kPiece), false)) return false;
      piece.remove_prefix(kPiece);
    }
    if (!Parse(piece, last_piece)) return false;
    if (from_memory) {
      memory.clear();
      memory.shrink_to_fit();
    }
    if (last_piece) {
      finished = true;
      if (!saw_root || depth != 0) return Fail(LoadFailure::kNotWellFormed);
    }
    return true;
  }

  bool Parse(std::string_view piece, bool last) {
    const int rc =
        xmlParseChunk(ctxt.get(), piece.data(), static_cast<int>(piece.size()), last ? 1 : 0);
    if (saw_doctype) return Fail(LoadFailure::kDoctype);
    if (rc != 0 || !ctxt->wellFormed) return Fail(LoadFailure::kNotWellFormed);
    return true;
  }
};

XmlItemReader::XmlItemReader() : state_(std::make_unique<State>()) {}
XmlItemReader::~XmlItemReader() = default;
XmlItemReader::XmlItemReader(XmlItemReader&&) noexcept = default;
XmlItemReader& XmlItemReader::operator=(XmlItemReader&&) noexcept = default;

LoadResult XmlItemReader::Open(const Path& path, std::int64_t max_bytes) {
  state_ = std::make_unique<State>();
  State& s = *state_;
  if (const Status st = s.file.Open(path); !st.ok()) {
    s.Fail(NotRead(st).failure, st.error);
    return s.result;
  }
  if (s.file.size() > max_bytes) {
    s.Fail(LoadFailure::kTooLarge);
    return s.result;
  }
  s.size = s.file.size();
  s.Create();
  return s.result;
}

LoadResult XmlItemReader::OpenBytes(std::string bytes) {
  state_ = std::make_unique<State>();
  State& s = *state_;
  s.from_memory = true;
  s.size = static_cast<std::int64_t>(bytes.size());
  s.memory = std::move(bytes);
  s.Create();
  return s.result;
}

bool XmlItemReader::Next(XmlItem& item) {
  State& s = *state_;
  while (s.ready.empty() && !s.finished && s.result) s.Feed();
  if (!s.result || s.ready.empty()) return false;
  std::swap(item, s.ready.front());
  // The caller's previous item comes back: its storage serves a later record.
  if (s.spare.size() < 16 && s.ready.front().kind == XmlItem::Kind::kElement)
    s.spare.push_back(std::move(s.ready.front()));
  s.ready.pop_front();
  return true;
}

const LoadResult& XmlItemReader::result() const { return state_->result; }
const XmlFrame& XmlItemReader::frame() const { return state_->frame; }
void XmlItemReader::Close() { state_->file = ReadFile(); }

bool FrameFromTemplate(std::string_view template_text, XmlFrame& frame) {
  XmlItemReader reader;
  if (!reader.OpenBytes(std::string(template_text))) return false;
  XmlItem item;
  while (reader.Next(item)) {
  }
  if (!reader.result()) return false;
  frame = reader.frame();
  return true;
}

}  // namespace picmeta::platform
