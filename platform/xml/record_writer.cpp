#include "platform/xml/record_writer.h"

#include "platform/os/text.h"
#include "platform/xml/escape.h"
#include "platform/xml/load.h"
#include "platform/xml/parser.h"

namespace picmeta::platform {
namespace {

// Bytes are handed to the sink in pieces of about this size.
constexpr std::size_t kPiece = 256 * 1024;

using detail::Escape;
using detail::XmlEncoder;

// A name the encoding cannot carry, met deep in an item: unwinds to the call
// that answers it as a value.
struct NameRefused {
  std::string why;
};

}  // namespace

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
      throw NameRefused{"the name " + std::string(name) + " cannot be written in " + encoding};
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

XmlWritten XmlItemWriter::Begin(const XmlFrame& frame, Sink sink) {
  try {
    BeginFrame(frame, std::move(sink));
  } catch (const NameRefused& refused) {
    return {false, refused.why};
  }
  return {};
}

void XmlItemWriter::BeginFrame(const XmlFrame& frame, Sink sink) {
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

XmlWritten XmlItemWriter::Write(const XmlItem& item) {
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
  } catch (const NameRefused& refused) {
    s.out.resize(mark);  // nothing of a child that cannot be written
    return {false, refused.why};
  } catch (...) {
    s.out.resize(mark);
    throw;
  }
  s.any = true;
  s.MaybeFlush();
  return {};
}

XmlWritten XmlItemWriter::End(const std::vector<XmlItem>& epilog) {
  if (!state_) throw XmlError("document not begun");
  State& s = *state_;
  try {
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
  } catch (const NameRefused& refused) {
    return {false, refused.why};
  }
  s.Flush();
  return {};
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
