#ifndef PICMETA_RECORDS_HIDDEN_FILES_H
#define PICMETA_RECORDS_HIDDEN_FILES_H

#include <optional>
#include <string>
#include <string_view>

#include "platform/os/path.h"

// The names of the files a hand-over keeps while it is under way (never read
// by the host, never swept as temporaries). Every one is built here from a
// folder the call was given and a call's id; a name read back from a folder
// listing is acted on only once Parse has found it to be of this form.
//
//   in a picture folder   .exifinfo.xml.<id>.claim        the claimed working file
//                         .exifinfo.xml.<id>.keep         its records not handed over
//                         .exifinfo.xml.<id>.owner        the claim's note (claims.h)
//                         .exifinfo.xml.<id>.claim.since  while a claim's records come back
//                         .exifinfo.xml.<id>.keep.since   while kept records come back
//   in the case folder    .picmeta-<id>.journal           the call's journal (journal.h)
//                         .picmeta-<id>.handover          the hand-over, not yet in view
namespace picmeta::records::hidden {

enum class Kind { kClaim, kKeep, kNote, kClaimSince, kKeepSince, kJournal, kHandOver };

// Whether text has the form of the ids platform::UniqueId makes:
// <process>-<sequence>-<8 hex digits>, at most 40 characters.
bool ValidId(std::string_view id);

platform::Path Name(const platform::Path& folder, Kind kind, std::string_view id);

// What a listed name is.
struct Parsed {
  Kind kind;
  std::string id;
};
// Of the hand-over's form (valid id, known kind): its kind and id.
std::optional<Parsed> Parse(std::string_view name);
// Whether a name starts as the hand-over's names do (".exifinfo.xml." or
// ".picmeta-"): one that does but is not of their form is somebody else's.
bool LooksHidden(std::string_view name);

}  // namespace picmeta::records::hidden

#endif
