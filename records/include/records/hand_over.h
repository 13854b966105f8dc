#ifndef PICMETA_RECORDS_HAND_OVER_H
#define PICMETA_RECORDS_HAND_OVER_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/os/fs.h"
#include "platform/xml/load.h"
#include "records/folder_session.h"

// The hand-over of a case's working files (CopyExifInfo) as a journaled
// transaction, so that every record ends up in exactly one place whatever
// crashes, power losses or races happen:
//
//  1. The call's journal is made in the case folder, locked for the call's
//     life (journal.h); the lock dies with the process.
//  2. Each working file is claimed under its folder's session: the journal
//     notes the folder, records that cannot go are written aside (keep), a
//     note names the claim's call, case folder and folder, and the working
//     file is renamed to the claim name; the folder is synced. Writers then
//     start a new "exifinfo.xml"; no other copier can take a claimed file.
//  3. The scrambled hand-over is written whole and synced under a hidden name
//     in the case folder. Then the journal says "committed", synced: that
//     line is the commit. Only then does the hand-over take its visible name.
//  4. The claims are settled: claimed files go, kept records come back. Then
//     the journal goes.
//
// A call that dies leaves its journal unlocked. The case's next CopyExifInfo
// (recovery.h), and a writer of a folder that holds its claim (when the
// writer's workspace is the case folder), finish the work by what the journal
// says: committed, forward; otherwise back (the hidden hand-over goes, the
// claimed files come back to their folders' working files). The names of the
// hidden files are in hidden_files.h.
namespace picmeta::records {

// One CopyExifInfo's hand-over: its document, the working files it claimed,
// and their release.
class HandOver {
 public:
  // The case folder (absolute), the operator, and how many document folders
  // the case has (at most one claim each). Throws an I/O Failure when the case
  // folder cannot be looked at.
  HandOver(platform::Path case_folder, std::string operno, std::size_t folders);
  // Not committed: every claimed file comes back. Committed but not finished,
  // or with an outcome that could not be written: left to a later recovery.
  ~HandOver();
  HandOver(const HandOver&) = delete;
  HandOver& operator=(const HandOver&) = delete;

  // A record that stays in its working file, and why.
  struct Left {
    std::string filename;  // its Filename ("" when it has none)
    std::string why;
  };
  struct Taken {
    enum class Kind {
      kMissing,       // no working file in the folder
      kClaimed,       // its records are in the hand-over; left ones stay (`left`)
      kNotLoaded,     // no record document (`result` says why): left in place
      kNothingTaken,  // a record document none of whose records could go: left in place
      kReadOnly,      // read-only: left in place, not handed over
      kSameFile,      // the working file of another folder already taken, by another name
    };
    Kind kind = Kind::kMissing;
    platform::Path path;
    platform::LoadResult result;
    long long records = 0;
    std::vector<Left> left;
    platform::Path same_as;           // kSameFile: the folder it was taken from
    std::vector<Leftover> leftovers;  // what dead calls left in the folder
  };
  // Takes the working file of a folder into the hand-over. Throws an I/O Failure
  // when the folder's lock cannot be had or the file cannot be read or
  // claimed: the folder is then left as it was.
  Taken Take(const platform::Path& folder);

  // Whether a working file was claimed (the hand-over is then written, even
  // without records).
  bool found() const;
  long long records() const;

  struct Released {
    platform::Path folder;
    bool removed = false;  // the working file went
    std::string error;     // why it could not be dealt with now (a later call will)
  };
  struct Committed {
    platform::Path path;  // the hand-over file
    std::vector<Released> released;
    std::string unfinished;  // why the journal stays for a later call, if it does
  };
  // Writes the hand-over file and lets the claimed files go. Throws an I/O Failure
  // when the hand-over cannot be made to stand: the claimed files then come
  // back (or, when the outcome could not be written down, wait for a later
  // call to read it).
  Committed Commit();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace picmeta::records

#endif
