#include "platform/xml/records.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>

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

// ---- Encoding ---------------------------------------------------------------------

// The bytes of each character in one encoding, asked of the platform once per
// character and remembered: converting character by character through the
// platform costs microseconds each, most of all for characters it refuses.
class CodeTable {
 public:
  explicit CodeTable(const std::string& encoding) : ok_(encoder_.Open(encoding.c_str())) {}
  bool ok() const { return ok_; }

  // Appends the bytes of cp; false when the encoding has no such character.
  bool Append(char32_t cp, std::string& out) {
    if (cp < bmp_.size()) {
      std::uint32_t e = bmp_[cp].load(std::memory_order_relaxed);
      if (e == kUnknown) {
        e = Ask(cp);
        bmp_[cp].store(e, std::memory_order_relaxed);
      }
      if (e == kNone) return false;
      if (e != kLong) {
        const std::size_t n = e >> 24;
        for (std::size_t k = 0; k < n; ++k)
          out.push_back(static_cast<char>((e >> (8 * (n - 1 - k))) & 0xFF));
        return true;
      }
    }
    std::lock_guard lock(mutex_);
    return encoder_.Encode(cp, out);
  }

 private:
  static constexpr std::uint32_t kUnknown = 0;
  static constexpr std::uint32_t kNone = 0xFF000000u;
  static constexpr std::uint32_t kLong = 0xFE000000u;  // more than 3 bytes: asked each time

  std::uint32_t Ask(char32_t cp) {
    // Private-use characters have no agreed bytes (code page 936 puts them in
    // GBK's user-defined areas, iconv refuses them): written as references
    // everywhere, so that every build writes the same file.
    if (cp >= 0xE000 && cp <= 0xF8FF) return kNone;
    std::string bytes;
    std::lock_guard lock(mutex_);
    if (!encoder_.Encode(cp, bytes) || bytes.empty()) return kNone;
    if (bytes.size() > 3) return kLong;
    std::uint32_t e = static_cast<std::uint32_t>(bytes.size()) << 24;
    for (std::size_t k = 0; k < bytes.size(); ++k)
      e |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[k]))
           << (8 * (bytes.size() - 1 - k));
    return e;
  }

  std::mutex mutex_;
  CharEncoder encoder_;
  bool ok_;
  std::array<std::atomic<std::uint32_t>, 0x10000> bmp_{};
};

// One table per encoding for the life of the process.
CodeTable* TableFor(const std::string& encoding) {
  static std::mutex mutex;
  static std::unordered_map<std::string, std::unique_ptr<CodeTable>> tables;
  std::string key;
  for (const char c : encoding)
    key.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  std::lock_guard lock(mutex);
  auto& table = tables[key];
  if (!table) table = std::make_unique<CodeTable>(encoding);
  return table->ok() ? table.get() : nullptr;
}

void AppendCharRef(std::string& out, char32_t cp) {
  char digits[12];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + cp % 10);
    cp /= 10;
  } while (cp != 0);
  out += "&#";
  while (n > 0) out.push_back(digits[--n]);
  out.push_back(';');
}

enum class Escape { kAttribute, kContent, kRaw };

// UTF-8 text into an encoding, escaped as libxml2 escapes it.
class XmlEncoder {
 public:
  void Open(const std::string& encoding) {
    table_ = detail::IsUtf8Name(encoding) ? nullptr : TableFor(encoding);
  }

  void Append(std::string& out, std::string_view text, Escape escape) const {
    const std::uint8_t* kinds = Kinds(escape);
    const auto* b = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t run = 0;  // start of the bytes copied as they stand
    std::size_t i = 0;
    for (;;) {
      while (i < n && kinds[b[i]] == kCopy) ++i;
      if (i == n) break;
      if (kinds[b[i]] == kEscape) {
        out.append(text.data() + run, i - run);
        out += Replacement(b[i]);
        run = ++i;
        continue;
      }
      char32_t cp = 0;
      const std::size_t len = DecodeUtf8(text, i, cp);
      if (len == 0) {  // not UTF-8: dropped, as it could not be read back
        out.append(text.data() + run, i - run);
        run = ++i;
        continue;
      }
      if (!table_) {  // UTF-8 out: copied as it stands
        i += len;
        continue;
      }
      out.append(text.data() + run, i - run);
      if (!table_->Append(cp, out)) AppendCharRef(out, cp);
      run = i += len;
    }
    out.append(text.data() + run, n - run);
  }

  // False when a character of the name has no bytes in the encoding.
  bool AppendName(std::string& out, std::string_view name) const {
    bool ascii = true;
    for (const char c : name) ascii &= static_cast<unsigned char>(c) < 0x80;
    if (ascii || !table_) {
      out.append(name);
      return ascii || DecodeAll(name);
    }
    for (std::size_t i = 0; i < name.size();) {
      char32_t cp = 0;
      const std::size_t len = DecodeUtf8(name, i, cp);
      if (len == 0) return false;
      if (cp < 0x80 || !table_) {
        out.append(name.substr(i, len));
      } else if (!table_->Append(cp, out)) {
        return false;
      }
      i += len;
    }
    return true;
  }

 private:
  enum : std::uint8_t { kCopy, kEscape, kWide };

  static bool DecodeAll(std::string_view text) {
    char32_t cp = 0;
    for (std::size_t i = 0, len; i < text.size(); i += len)
      if ((len = DecodeUtf8(text, i, cp)) == 0) return false;
    return true;
  }

  // What each byte needs, for each kind of text: as libxml2 escapes
  // attribute values (& < > " CR LF TAB) and text (& < > CR).
  static const std::uint8_t* Kinds(Escape escape) {
    static const auto tables = [] {
      std::array<std::array<std::uint8_t, 256>, 3> t{};
      for (auto& table : t)
        for (int c = 0x80; c < 0x100; ++c) table[c] = kWide;
      for (const unsigned char c : {'&', '<', '>', '"', '\n', '\r', '\t'}) t[0][c] = kEscape;
      for (const unsigned char c : {'&', '<', '>', '\r'}) t[1][c] = kEscape;
      return t;
    }();
    return tables[static_cast<std::size_t>(escape)].data();
  }

  static const char* Replacement(unsigned char c) {
    switch (c) {
      case '&':
        return "&amp;";
      case '<':
        return "&lt;";
      case '>':
        return "&gt;";
      case '\r':
        return "&#13;";
      case '"':
        return "&quot;";
      case '\n':
        return "&#10;";
      default:
        return "&#9;";
    }
  }

  CodeTable* table_ = nullptr;
};

}  // namespace

namespace detail {

std::string EncodeMarkup(std::string_view utf8, const std::string& encoding) {
  XmlEncoder encoder;
  encoder.Open(encoding);
  std::string out;
  out.reserve(utf8.size() + utf8.size() / 8);
  encoder.Append(out, utf8, Escape::kRaw);
  return out;
}

}  // namespace detail

// ---- XmlItem ----------------------------------------------------------------------

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

std::uint64_t XmlItem::AttributesHash() const {
  Fnv1a h;
  for (const auto& [name, value] : attributes) {
    h.Add(name);
    h.Add("\xFF");  // a separator no UTF-8 text holds
    h.Add(value);
    h.Add("\xFF");
  }
  return h.value();
}

// ---- XmlItemReader ----------------------------------------------------------------

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
  ContentHasher hash;
  bool hashed = true;

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

  // A DOCTYPE can declare entities that expand without bound, or point at
  // local files; neither the host's files nor ours use one.
  static void OnDoctype(void* user, const xmlChar*, const xmlChar*, const xmlChar*) {
    State& s = Of(user);
    s.saw_doctype = true;
    xmlStopParser(s.ctxt.get());
  }

  // ---- Feeding the parser ----

  bool Fail(LoadFailure failure, int error = 0) {
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
    if (!ctxt) return Fail(LoadFailure::kIoError, ENOMEM);
    // Without libxml2's 10 MB limit on one text or value: whatever the library
    // writes it must read back (the file's 1 GiB limit is the bound).
    xmlCtxtUseOptions(ctxt.get(), XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING |
                                      XML_PARSE_IGNORE_ENC | XML_PARSE_HUGE);
    return true;
  }

  // Chooses the decoding from the first piece, as a document load does: by
  // byte-order mark, then by declaration.
  bool StartDecoding(std::string_view& piece) {
    started = true;
    auto starts = [&](std::string_view prefix) { return piece.substr(0, prefix.size()) == prefix; };
    const char* from = nullptr;
    if (starts("\xEF\xBB\xBF")) {
      piece.remove_prefix(3);
      frame.encoding = detail::DeclaredEncoding(piece);
      return true;
    } else if (starts(std::string_view("\xFF\xFE\0\0", 4)) ||
               starts(std::string_view("\0\0\xFE\xFF", 4))) {
      from = "UTF-32";
    } else if (starts("\xFF\xFE") || starts("\xFE\xFF")) {
      from = "UTF-16";
    } else if (starts(std::string_view("<\0?\0", 4))) {
      from = "UTF-16LE";
    } else if (starts(std::string_view("\0<\0?", 4))) {
      from = "UTF-16BE";
    } else {
      frame.encoding = detail::DeclaredEncoding(piece);
      if (detail::IsUtf8Name(frame.encoding)) return true;
      if (!decoder.Open(frame.encoding.c_str())) return Fail(LoadFailure::kBadEncoding);
      utf8 = false;
      return true;
    }
    if (!decoder.Open(from)) return Fail(LoadFailure::kBadEncoding);
    utf8 = false;
    std::string head;
    if (!decoder.Decode(piece.substr(0, 4096), head)) return Fail(LoadFailure::kBadEncoding);
    frame.encoding = detail::DeclaredEncoding(head);
    decoder.Open(from);  // the whole piece is decoded again below
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
    if (hashed) hash.Add(piece);
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

LoadResult XmlItemReader::Open(std::string_view path, std::int64_t max_bytes, bool hashed) {
  state_ = std::make_unique<State>();
  State& s = *state_;
  s.hashed = hashed;
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
std::uint64_t XmlItemReader::hash() const { return state_->hash.value(); }
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

// ---- XmlItemWriter ----------------------------------------------------------------

struct XmlItemWriter::State {
  Sink sink;
  XmlEncoder encoder;
  std::string encoding;
  std::string out;
  std::string root;
  bool any = false;
  // Text directly in the root: libxml2 then lays none of the root's content
  // out; from there on, neither does this writer.
  bool root_plain = false;
  // Encodings that are not ASCII-compatible (UTF-16): the document is made
  // in UTF-8 and converted piece by piece.
  std::string wide;

  void Name(std::string_view name) {
    if (!encoder.AppendName(out, name))
      throw XmlError("the name " + std::string(name) + " cannot be written in " + encoding);
  }

  void Attributes(const std::vector<XmlItem::Attribute>& attributes) {
    for (const auto& [name, value] : attributes) {
      out.push_back(' ');
      Name(name);
      out += "=\"";
      encoder.Append(out, value, Escape::kAttribute);
      out.push_back('"');
    }
  }

  void Indent(int level) { out.append(static_cast<std::size_t>(std::min(level, 30) * 2), ' '); }

  // As libxml2's formatted save: an element whose children include text keeps
  // its content exactly, without layout, down to its last descendant.
  void Node(const XmlItem& item, int level, bool format) {
    switch (item.kind) {
      case XmlItem::Kind::kText:
        encoder.Append(out, item.text, Escape::kContent);
        return;
      case XmlItem::Kind::kCData:
        out += "<![CDATA[";
        encoder.Append(out, item.text, Escape::kRaw);
        out += "]]>";
        return;
      case XmlItem::Kind::kComment:
        out += "<!--";
        encoder.Append(out, item.text, Escape::kRaw);
        out += "-->";
        return;
      case XmlItem::Kind::kPI:
        out += "<?";
        Name(item.name);
        if (!item.text.empty()) {
          out.push_back(' ');
          encoder.Append(out, item.text, Escape::kRaw);
        }
        out += "?>";
        return;
      case XmlItem::Kind::kElement:
        break;
    }
    out.push_back('<');
    Name(item.name);
    Attributes(item.attributes);
    if (item.children.empty()) {
      out += "/>";
      return;
    }
    out.push_back('>');
    bool child_format = format;
    for (const XmlItem& child : item.children)
      if (child.kind == XmlItem::Kind::kText || child.kind == XmlItem::Kind::kCData)
        child_format = false;
    if (child_format) out.push_back('\n');
    for (const XmlItem& child : item.children) {
      if (child_format && child.kind != XmlItem::Kind::kText && child.kind != XmlItem::Kind::kCData)
        Indent(level + 1);
      Node(child, level + 1, child_format);
      if (child_format) out.push_back('\n');
    }
    if (child_format) Indent(level);
    out += "</";
    Name(item.name);
    out.push_back('>');
  }

  void MaybeFlush() {
    if (out.size() >= kPiece) Flush();
  }
  void Flush() {
    if (out.empty()) return;
    if (!wide.empty()) {
      const auto converted = ConvertText(out, wide.c_str(), "UTF-8");
      if (!converted) throw XmlError("cannot write text in " + encoding);
      sink(*converted);
    } else {
      sink(out);
    }
    out.clear();
  }
};

XmlItemWriter::XmlItemWriter() = default;
XmlItemWriter::~XmlItemWriter() = default;

void XmlItemWriter::Begin(const XmlFrame& frame, Sink sink) {
  auto state = std::make_unique<State>();
  State& s = *state;
  s.sink = std::move(sink);
  // A document read by its byte-order mark may declare an encoding that does
  // not exist; it is written in UTF-8 then, rather than never again.
  s.encoding = frame.encoding.empty() || !detail::Convertible(frame.encoding.c_str())
                   ? "UTF-8"
                   : frame.encoding;
  // Markup is written as ASCII: an encoding that does not keep every ASCII
  // character as it is (UTF-7, UTF-16) cannot take it that way.
  bool ascii_kept = true;
  CharEncoder ascii;
  if (ascii.Open(s.encoding.c_str())) {
    for (char32_t c = 0x09; c < 0x7F && ascii_kept; ++c) {
      std::string probe;
      if (c >= 0x20 || c == 0x09 || c == 0x0A || c == 0x0D)
        ascii_kept =
            ascii.Encode(c, probe) && probe.size() == 1 && probe[0] == static_cast<char>(c);
    }
  }
  if (ascii_kept) {
    s.encoder.Open(s.encoding);
  } else if (detail::IsUtf16Name(s.encoding)) {
    s.wide = "UTF-16LE";
    s.sink("\xFF\xFE");  // as libxml2 writes UTF-16
    s.encoder.Open("UTF-8");
  } else {
    s.encoding = "UTF-8";
    s.encoder.Open(s.encoding);
  }
  s.out.reserve(kPiece + 64 * 1024);
  s.out += "<?xml version=\"";
  s.encoder.Append(s.out, frame.version, Escape::kAttribute);
  s.out += "\" encoding=\"" + s.encoding + "\"";
  if (frame.standalone == 1) s.out += " standalone=\"yes\"";
  if (frame.standalone == 0) s.out += " standalone=\"no\"";
  s.out += "?>\n";
  for (const XmlItem& item : frame.prolog) {
    s.Node(item, 0, true);
    s.out.push_back('\n');
  }
  s.root = frame.root;
  s.out.push_back('<');
  s.Name(frame.root);
  s.Attributes(frame.root_attributes);
  state_ = std::move(state);
}

void XmlItemWriter::Write(const XmlItem& item) {
  if (!state_) throw XmlError("document not begun");
  State& s = *state_;
  const std::size_t mark = s.out.size();
  try {
    const bool text = item.kind == XmlItem::Kind::kText || item.kind == XmlItem::Kind::kCData;
    if (!s.any) {
      s.root_plain = text;
      s.out += s.root_plain ? ">" : ">\n";
    }
    if (!text && !s.root_plain) s.Indent(1);
    s.Node(item, 1, !s.root_plain);
    if (!s.root_plain) s.out.push_back('\n');
  } catch (...) {
    s.out.resize(mark);  // nothing of a child that cannot be written
    throw;
  }
  s.any = true;
  s.MaybeFlush();
}

void XmlItemWriter::End(const std::vector<XmlItem>& epilog) {
  if (!state_) throw XmlError("document not begun");
  State& s = *state_;
  if (s.any) {
    s.out += "</";
    s.Name(s.root);
    s.out += ">\n";
  } else {
    s.out += "/>\n";
  }
  for (const XmlItem& item : epilog) {
    s.Node(item, 0, true);
    s.out.push_back('\n');
  }
  s.Flush();
}

void XmlItemWriter::Flush() {
  if (state_) state_->Flush();
}

XmlItemWriter::Mark XmlItemWriter::GetMark() {
  if (!state_) throw XmlError("document not begun");
  state_->Flush();
  return Mark{state_->any};
}

void XmlItemWriter::Restore(Mark mark) {
  if (!state_) return;
  state_->out.clear();
  state_->any = mark.any;
}

}  // namespace picmeta::platform
