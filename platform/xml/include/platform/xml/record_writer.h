#ifndef PICMETA_PLATFORM_XML_RECORD_WRITER_H
#define PICMETA_PLATFORM_XML_RECORD_WRITER_H

#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/xml/items.h"

namespace picmeta::platform {

// Writes a document as libxml2's formatted save does (same declaration, same
// indentation, same escaping), in the declared encoding, converted by the
// platform: characters the encoding cannot carry become character references.
// The bytes go to a sink in pieces of bounded size.
class XmlItemWriter {
 public:
  using Sink = std::function<void(std::string_view)>;

  XmlItemWriter();
  ~XmlItemWriter();
  XmlItemWriter(const XmlItemWriter&) = delete;
  XmlItemWriter& operator=(const XmlItemWriter&) = delete;

  // Writes the declaration and the prolog; an encoding that cannot be written
  // (or none) gives UTF-8.
  void Begin(const XmlFrame& frame, Sink sink);
  // The root's next child. Throws XmlRefused for a name that the encoding
  // cannot carry (it would be written as a character reference, which a name
  // cannot hold): a document that would not load again is never written.
  void Write(const XmlItem& item);
  // Closes the root, writes the epilog and hands the rest to the sink.
  void End(const std::vector<XmlItem>& epilog = {});
  // A point to come back to: GetMark hands everything to the sink; Restore
  // forgets what was written since, once the caller has taken back what its
  // sink received since.
  struct Mark {
    bool any = false;
  };
  Mark GetMark();
  void Restore(Mark mark);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace picmeta::platform

#endif
