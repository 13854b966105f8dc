#ifndef PICMETA_RECORDS_JOURNAL_H
#define PICMETA_RECORDS_JOURNAL_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os/fs.h"

// What a hand-over writes down before it acts, so that a later call can tell
// what a call that died had done and decided. Neither file ever holds a path:
// folders are named by their identity (platform::FileId), which a copy of a
// folder does not share, and every file is found by a name built from the
// folders a call was given (hidden_files.h).
//
// The journal, in the case folder, one line per fact, each synced before what
// it announces is done:
//   picmeta hand-over 2
//   id <id>                  the call's id, also in the journal's name
//   case <device>:<file>     the case folder it was made in
//   operno <operator>        the operator part of the hand-over's name
//   claim <device>:<file>    before that picture folder's working file is claimed
//   committed <time>         once the hidden hand-over is whole and synced: the
//                            hand-over stands, named from that second on
//   aborted                  after a commit line that could not be written or
//                            synced: it is revoked, before anything is undone
// A torn last line (a crash while writing it) counts as not written.
//
// The claim's note, beside each claim, made before it:
//   picmeta claim 2
//   id <id>
//   case <device>:<file>     the case folder of the journal that owns the claim
//   folder <device>:<file>   the picture folder the claim was made in
namespace picmeta::records {

// No case has more document folders than this; a journal never more claims.
inline constexpr std::size_t kMaxCaseFolders = 32767;
inline constexpr std::int64_t kMaxNoteBytes = 4096;
// The largest journal of a case of `folders` document folders.
std::int64_t MaxJournalBytes(std::size_t folders);

struct JournalText {
  std::string id;
  platform::FileId case_folder;
  std::string operno;                    // as the hand-over's file name holds it
  std::vector<platform::FileId> claims;  // the picture folders, in claim order
  std::optional<std::time_t>
      committed;  // the hand-over stands (not revoked); its name's first second
  bool Lists(const platform::FileId& folder) const;
};
std::string JournalHead(const std::string& id, const platform::FileId& case_folder,
                        const std::string& operno);
std::string ClaimLine(const platform::FileId& folder);
std::string CommittedLine(std::time_t stamp);
// After a line break, so that it ends a commit line its writer left torn.
std::string AbortedLine();
// nullopt for anything a hand-over does not write.
std::optional<JournalText> ParseJournal(std::string_view text);

struct ClaimNote {
  std::string id;
  platform::FileId case_folder;
  platform::FileId folder;
};
std::string FormatNote(const ClaimNote& note);
std::optional<ClaimNote> ParseNote(std::string_view text);

}  // namespace picmeta::records

#endif
