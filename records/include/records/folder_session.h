#ifndef PICMETA_RECORDS_FOLDER_SESSION_H
#define PICMETA_RECORDS_FOLDER_SESSION_H

#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/os/fs.h"

namespace picmeta::records {

// What finishing the work of calls that died found, for the events.
struct Leftover {
  enum class Kind {
    kSettled,  // a dead call's claim settled: its records stand in its hand-over
               // (`committed`) or came back to the working file
    kIgnored,  // a hidden file not of the hand-over's making, or of no journal of
               // this case: left where it is, never followed
    kWaiting,  // a claim whose outcome cannot be told here: left for a call that can
  };
  Kind kind;
  platform::Path path;  // the file or folder concerned
  std::string why;      // kIgnored, kWaiting
  bool committed = false;
};

// A picture folder held for one call: the only way the library locks one.
// Once it holds the folder's lock, and before anything reads the working
// file, it finishes what calls that died left there:
//  - give-backs a crash interrupted are completed (claims.h);
//  - a claim is settled as its journal decided when both verify each other:
//    its note names this folder, the case folder and the claim's id; the
//    journal found under that id in the case folder was made in that case
//    folder, lists this folder and is held by no live call. Anything else
//    stays where it is: a claim that does not verify, or whose journal cannot
//    be found, waits for a call that can decide.
class FolderSession {
 public:
  // `case_folder`: where the journals of claims here are looked for (none:
  // no claim can be settled here). Throws an I/O Failure when the lock is not had in
  // time or the folder cannot be read.
  FolderSession(platform::Path folder, std::optional<platform::Path> case_folder);
  ~FolderSession();
  FolderSession(FolderSession&&) noexcept;
  FolderSession(const FolderSession&) = delete;
  FolderSession& operator=(const FolderSession&) = delete;

  const platform::Path& folder() const { return folder_; }
  // The folder's identity.
  const platform::FileId& id() const { return id_; }
  // What was found and done since the last time this was asked, for the
  // events (each told once per session, however often the folder is taken).
  std::vector<Leftover> TakeLeftovers() { return std::exchange(leftovers_, {}); }

  // Settles the claim of call `id` here as its journal (held by the caller)
  // decided: committed, the claimed file goes and its kept records come back;
  // not, the claimed file comes back. False when its note does not name this
  // folder and the case folder (the claim then stays, told). Throws an I/O Failure;
  // what could not be done stays for a later session.
  bool Settle(const std::string& id, bool committed);

  // Lets the folder go for a while, and takes it again (finishing again what
  // calls that died left meanwhile).
  void Release();
  void Retake();

 private:
  void Finish();
  void Verify(const std::string& id);
  bool NoteNamesThis(const std::string& id);
  void Add(Leftover leftover);
  platform::Path folder_;
  std::optional<platform::Path> case_folder_;
  std::optional<platform::FileId> case_id_;
  std::optional<platform::FolderLock> lock_;
  platform::FileId id_;
  std::vector<Leftover> leftovers_;
  std::unordered_set<std::string> told_;
};

}  // namespace picmeta::records

#endif
