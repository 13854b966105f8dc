#ifndef PICMETA_RECORDS_LOADED_H
#define PICMETA_RECORDS_LOADED_H

#include <string>
#include <string_view>

#include "platform/xml/items.h"
#include "platform/xml/load.h"
#include "records/failure.h"

// What the layers above see of the files records reads and writes: how a
// file loaded, a record as the record files carry it, and what they refuse.
// (The record is the stream's own element, so that a record is built once
// and never copied on its way into a file.)
namespace picmeta::records {

using platform::LoadFailure;
using platform::LoadResult;
inline std::string Describe(const LoadResult& result) { return platform::Describe(result); }

// An "info" record: its name and its attributes in order.
using Record = platform::XmlItem;

// Text as an event may show it: the characters XML cannot carry replaced.
inline std::string Shown(std::string_view text) { return platform::XmlSafe(text); }

}  // namespace picmeta::records

#endif
