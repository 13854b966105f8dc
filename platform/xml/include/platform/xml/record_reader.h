#ifndef PICMETA_PLATFORM_XML_RECORD_READER_H
#define PICMETA_PLATFORM_XML_RECORD_READER_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/xml/items.h"
#include "platform/xml/load.h"

namespace picmeta::platform {

// Reads a document's root children in order, parsing the file piece by piece
// with the same safety as a document load: no network, no DTD (a DOCTYPE
// stops the parse), no entities, nothing printed, the input decoded to UTF-8
// by the platform first. Whitespace-only text between elements is dropped.
// Memory stays bounded by the largest child, not by the document.
class XmlItemReader {
 public:
  XmlItemReader();
  ~XmlItemReader();
  XmlItemReader(XmlItemReader&&) noexcept;
  XmlItemReader& operator=(XmlItemReader&&) noexcept;

  // Opens a document file. The failure of the open (missing, not regular,
  // larger than max_bytes and not read, I/O error), or success.
  LoadResult Open(const Path& path, std::int64_t max_bytes = kMaxDocumentBytes);
  // A document held in memory.
  LoadResult OpenBytes(std::string bytes);

  // The next child of the root; false at the end of the document, or as soon
  // as it turns out not to load (result() says which). Items handed out
  // before a failure belong to a document that did not load.
  bool Next(XmlItem& item);
  const LoadResult& result() const;
  // Complete once Next has returned false with an ok result; the root and
  // the prolog once Next has returned anything.
  const XmlFrame& frame() const;
  // Lets the file go (result and frame stay): a file still open cannot be
  // replaced or deleted on every platform.
  void Close();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The frame of a new document made from a template such as
// "<?xml version='1.0' encoding='GBK'?><root/>"; false when it does not load.
bool FrameFromTemplate(std::string_view template_text, XmlFrame& frame);

}  // namespace picmeta::platform

#endif
