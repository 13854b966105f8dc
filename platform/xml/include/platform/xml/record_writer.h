#ifndef PICMETA_PLATFORM_XML_RECORD_WRITER_H
#define PICMETA_PLATFORM_XML_RECORD_WRITER_H

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/xml/items.h"

namespace picmeta::platform {

// What a write of the record stream gave: done, or refused for a name the
// encoding cannot carry (it would be written as a character reference,
// which a name cannot hold), `why` saying which: a document that would not
// load again is never written. The input's failure, which its caller tells.
struct [[nodiscard]] XmlWritten {
  bool ok = true;
  std::string why;
  explicit operator bool() const { return ok; }
};

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
  XmlWritten Begin(const XmlFrame& frame, Sink sink);
  // The root's next child; when refused, nothing of it is written.
  XmlWritten Write(const XmlItem& item);
  // Closes the root, writes the epilog and hands the rest to the sink.
  XmlWritten End(const std::vector<XmlItem>& epilog = {});
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
  void BeginFrame(const XmlFrame& frame, Sink sink);
  std::unique_ptr<State> state_;
};

}  // namespace picmeta::platform

#endif
