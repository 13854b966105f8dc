#include "records/folder_session.h"

#include <map>

#include "records/claims.h"
#include "records/failure.h"
#include "records/hidden_files.h"
#include "records/journal.h"
#include "records/recovery.h"

namespace picmeta::records {
namespace {

using platform::FileStatus;
using platform::Path;
using platform::Status;

// The kinds of a call's files in a picture folder, as bits.
unsigned Bit(hidden::Kind kind) { return 1u << static_cast<unsigned>(kind); }

}  // namespace

FolderSession::FolderSession(Path folder, std::optional<Path> case_folder)
    : folder_(std::move(folder)), case_folder_(std::move(case_folder)) {
  Retake();
}

FolderSession::~FolderSession() = default;
FolderSession::FolderSession(FolderSession&&) noexcept = default;

void FolderSession::Release() { lock_.reset(); }

void FolderSession::Retake() {
  auto lock = platform::FolderLock::Take(folder_);
  if (!lock)
    FailIo(lock.status(),
           lock.status().code == FileStatus::kLockTimeout ? "timed out locking" : "cannot lock",
           folder_);
  lock_.emplace(std::move(*lock));
  id_ = lock_->id();
  Finish();
}

bool FolderSession::Settle(const std::string& id, bool committed) {
  using hidden::Kind;
  bool any = false;
  for (const Kind kind : {Kind::kClaim, Kind::kKeep, Kind::kNote}) {
    platform::FileInfo info;
    const Status s = platform::StatFile(hidden::Name(folder_, kind, id), info);
    if (s.code == FileStatus::kIoError) Check(s, "cannot look at", folder_);
    any = any || s.code != FileStatus::kNotFound;
  }
  if (!any) return true;  // settled already
  if (!NoteNamesThis(id)) return false;
  SettleClaim(*this, id, committed);
  return true;
}

void FolderSession::Finish() {
  std::vector<std::string> names;
  Check(platform::ListFolder(folder_, names), "cannot list", folder_);
  auto note = [&](Leftover::Kind kind, const Path& path, std::string why) {
    Add({kind, path, std::move(why)});
  };
  // A call's files by its id; ordered, so that calls are settled in the order
  // of their ids whatever the listing's order.
  std::map<std::string, unsigned> calls;
  for (const std::string& name : names) {
    if (!hidden::LooksHidden(name)) continue;
    const auto parsed = hidden::Parse(name);
    if (!parsed) {
      // The case folder's own hidden files are its recovery's (recovery.h).
      if (name.rfind(".picmeta-", 0) != 0)
        note(Leftover::Kind::kIgnored, folder_ / name, "not of the form the hand-over makes");
      continue;
    }
    if (parsed->kind == hidden::Kind::kJournal || parsed->kind == hidden::Kind::kHandOver) continue;
    platform::FileInfo info;
    const Status s = platform::StatFile(folder_ / name, info);
    if (s.code == FileStatus::kNotFound) continue;  // gone since the listing
    if (!s.ok()) {
      if (s.code == FileStatus::kIoError) Check(s, "cannot look at", folder_ / name);
      // Never followed, never opened: the call's files are left as they are.
      note(Leftover::Kind::kIgnored, folder_ / name, platform::Describe(s));
      calls[parsed->id] |= 1u << 31;
      continue;
    }
    calls[parsed->id] |= Bit(parsed->kind);
  }
  for (const auto& [id, kinds] : calls) {
    if (kinds & (1u << 31)) continue;
    using hidden::Kind;
    if (kinds & Bit(Kind::kClaimSince))
      FinishGiveBack(*this, hidden::Name(folder_, Kind::kClaimSince, id),
                     hidden::Name(folder_, Kind::kClaim, id));
    if (kinds & Bit(Kind::kKeepSince))
      FinishGiveBack(*this, hidden::Name(folder_, Kind::kKeepSince, id),
                     hidden::Name(folder_, Kind::kKeep, id));
    if (kinds & (Bit(Kind::kClaim) | Bit(Kind::kKeep) | Bit(Kind::kNote))) Verify(id);
  }
}

// Told once per call, however often the folder is taken again.
void FolderSession::Add(Leftover leftover) {
  if (leftover.kind != Leftover::Kind::kSettled &&
      !told_.insert(std::to_string(static_cast<int>(leftover.kind)) + leftover.path.Native())
           .second)
    return;
  leftovers_.push_back(std::move(leftover));
}

// Whether call `id`'s note here names this folder and the case folder;
// otherwise says why its claim stays.
bool FolderSession::NoteNamesThis(const std::string& id) {
  using hidden::Kind;
  const Path claim = hidden::Name(folder_, Kind::kClaim, id);
  auto leave = [&](Leftover::Kind kind, const Path& path, std::string why) {
    Add({kind, path, std::move(why)});
    return false;
  };
  if (!case_folder_)
    return leave(
        Leftover::Kind::kWaiting, claim,
        "a claim of hand-over " + id + ": this call knows no case folder to find its journal in");
  const Path note_path = hidden::Name(folder_, Kind::kNote, id);
  std::string text;
  const Status read = platform::ReadWholeFile(note_path, kMaxNoteBytes, text);
  if (read.code == FileStatus::kIoError)
    return leave(Leftover::Kind::kWaiting, claim,
                 "its note cannot be read: " + platform::Describe(read));
  const auto note = read.ok() ? ParseNote(text) : std::nullopt;
  if (!note || note->id != id)
    return leave(Leftover::Kind::kIgnored, read.ok() ? note_path : claim,
                 read.ok() ? "not a claim's note of the hand-over" : "no claim's note beside it");
  if (note->folder != id_)
    return leave(Leftover::Kind::kIgnored, note_path, "the note of a claim made in another folder");
  if (!case_id_) {
    platform::FileId case_id;
    const Status s = platform::GetFolderId(*case_folder_, case_id);
    if (!s.ok())
      return leave(Leftover::Kind::kWaiting, claim,
                   "case folder " + case_folder_->Native() + ": " + platform::Describe(s));
    case_id_ = case_id;
  }
  if (note->case_folder != *case_id_)
    return leave(Leftover::Kind::kWaiting, claim,
                 "a claim of a hand-over of another case folder than " + case_folder_->Native());
  return true;
}

// Settles call `id`'s claim here when its note and its journal verify each
// other; otherwise says why it stays.
void FolderSession::Verify(const std::string& id) {
  using hidden::Kind;
  const Path claim = hidden::Name(folder_, Kind::kClaim, id);
  auto leave = [&](Leftover::Kind kind, const Path& path, std::string why) {
    Add({kind, path, std::move(why)});
  };
  if (!NoteNamesThis(id)) return;
  std::string text;
  const Path journal_path = hidden::Name(*case_folder_, Kind::kJournal, id);
  platform::LockedFile journal;
  const Status taken = journal.TryTake(journal_path);
  if (taken.code == FileStatus::kLocked) return;  // its call is alive, or being recovered
  if (!taken.ok()) {
    leave(Leftover::Kind::kWaiting, claim,
          "its journal " + journal_path.Native() + ": " + platform::Describe(taken));
    return;
  }
  const Status got = journal.ReadAll(MaxJournalBytes(kMaxCaseFolders), text);
  const auto j = got.ok() ? ParseJournal(text) : std::nullopt;
  if (!j || j->id != id || j->case_folder != *case_id_ || !j->Lists(id_)) {
    leave(Leftover::Kind::kWaiting, claim,
          "its journal " + journal_path.Native() +
              (got.ok() ? " does not list it" : ": " + platform::Describe(got)));
    return;
  }
  // The outcome is acted on only once it is on disk, and a hand-over that
  // stands comes into view before its claims go.
  if (j->committed) {
    if (const Status s = journal.Sync(); !s.ok()) {
      leave(Leftover::Kind::kWaiting, claim,
            "its journal " + journal_path.Native() + " cannot be synced: " + platform::Describe(s));
      return;
    }
    std::optional<Path> named;
    std::string why;
    if (!BringIntoView(*case_folder_, *j, named, why)) {
      leave(Leftover::Kind::kWaiting, claim, why);
      return;
    }
  }
  SettleClaim(*this, id, j->committed.has_value());
  Add({Leftover::Kind::kSettled, folder_, {}, j->committed.has_value()});
}

}  // namespace picmeta::records
