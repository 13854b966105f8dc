#ifndef PICMETA_RECORDS_HAND_OVER_H
#define PICMETA_RECORDS_HAND_OVER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/os/fs.h"
#include "platform/xml/document.h"

// The hand-over of a case's working files (CopyExifInfo) as a journaled
// transaction, so that every record ends up in exactly one place whatever
// crashes or races:
//
//  1. Each working file is claimed under its folder's lock: renamed to a
//     claim name of this call, after the journal has noted it and a note in
//     the folder names the journal. Writers then start a new "exifinfo.xml";
//     no other copier can take a claimed file.
//  2. The hand-over document is written to a hidden file of the case folder,
//     then renamed to its visible name; that rename is the commit. The
//     journal says so once it stands.
//  3. The claimed files go (records of a file that could not go into the
//     hand-over come back to its folder's working file), then the journal.
//
// A call that dies leaves its journal; its lock (a LockedFile) dies with it.
// The next CopyExifInfo of the case, and any writer of a folder that holds a
// dead call's claim, finish the work: the claimed files go when the
// hand-over stands, and come back to their folders' working files when it
// does not.
//
// The hidden files, never read by the host and never swept as temporaries:
//   in a picture folder   .exifinfo.xml.<id>.claim   the claimed working file
//                         .exifinfo.xml.<id>.keep    its records not handed over
//                         .exifinfo.xml.<id>.owner   the journal's path
//                         .exifinfo.xml.<id>.since   while records come back
//   in the case folder    .picmeta-<id>.journal      the journal
//                         .picmeta-<id>.handover     the hand-over, not yet visible
namespace picmeta::records {

// What a recovery did with one claim of a call that died.
struct RecoveredClaim {
  std::string folder;
  bool committed = false;  // its records stand in the hand-over; otherwise they came back
};

// Finishes the claims that calls that died left in a folder. Called with the
// folder's lock held, before its working file is read or changed. Claims of
// live calls are left alone. Throws FsError on an I/O error (nothing is then
// lost: the claim stays for a later call).
std::vector<RecoveredClaim> RecoverFolder(const std::string& folder);

// What a recovery did with the journal of a call that died.
struct RecoveredHandOver {
  std::string journal;
  std::string handover;  // the hand-over file, when it stands
  bool committed = false;
  bool finished = false;  // every claim dealt with and the journal gone
};

// Finishes the hand-overs that calls that died left in a case folder.
std::vector<RecoveredHandOver> RecoverCase(const std::string& case_folder);

// One CopyExifInfo's hand-over: its document, the working files it claimed,
// and their release.
class HandOver {
 public:
  HandOver(std::string case_folder, std::string operno);
  // Not committed: every claimed file comes back to its folder.
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
    std::string path;
    platform::LoadResult result;
    long long records = 0;
    std::vector<Left> left;
    std::string same_as;                    // kSameFile: the folder it was taken from
    std::vector<RecoveredClaim> recovered;  // claims of dead calls dealt with first
  };
  // Takes the working file of a folder into the hand-over. Throws FsError
  // when the folder's lock cannot be had or the file cannot be read: the
  // folder is then left as it was.
  Taken Take(const std::string& folder);

  // Whether a record document was taken (the hand-over is then written, even
  // without records).
  bool found() const { return found_; }
  long long records() const;

  struct Released {
    std::string folder;
    bool removed = false;  // the working file went
    std::string error;     // why it could not be dealt with now (a later call will)
  };
  struct Committed {
    std::string path;  // the hand-over file
    std::vector<Released> released;
  };
  // Writes the hand-over file (its name as WriteHandOver chooses it), then
  // lets the claimed files go. Throws FsError when the hand-over cannot be
  // written: the claimed files then come back.
  Committed Commit();

 private:
  struct State;
  std::unique_ptr<State> state_;
  bool found_ = false;
};

}  // namespace picmeta::records

#endif
