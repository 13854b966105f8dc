#include "records/recovery.h"

#include <map>
#include <unordered_map>

#include "records/failure.h"
#include "records/hidden_files.h"
#include "records/journal.h"
#include "records/record_document.h"

namespace picmeta::records {
namespace {

using platform::FileStatus;
using platform::Path;
using platform::Status;

// The case's document folders by identity, looked up once and only when a
// journal needs them.
class Folders {
 public:
  explicit Folders(const std::vector<Path>& folders) : folders_(folders) {}
  const Path* Find(const platform::FileId& id) {
    if (!looked_) {
      looked_ = true;
      for (const Path& folder : folders_) {
        platform::FileId found;
        if (platform::GetFolderId(folder, found).ok()) by_id_.try_emplace(found, &folder);
      }
    }
    const auto it = by_id_.find(id);
    return it == by_id_.end() ? nullptr : it->second;
  }

 private:
  const std::vector<Path>& folders_;
  bool looked_ = false;
  std::unordered_map<platform::FileId, const Path*, platform::FileIdHash> by_id_;
};

}  // namespace

bool BringIntoView(const Path& case_folder, const JournalText& j,
                   std::optional<platform::Path>& named, std::string& why) {
  const Path hidden = hidden::Name(case_folder, hidden::Kind::kHandOver, j.id);
  platform::FileId id;
  std::uint32_t links = 1;
  const Status s = platform::GetFileId(hidden, id, &links);
  // Renamed into view before the call died (and maybe sent and removed by the
  // host since): nothing to bring.
  if (s.code == FileStatus::kNotFound) return true;
  if (!s.ok()) {
    why = hidden.Native() + ": " + platform::Describe(s);
    return false;
  }
  Status moved;
  if (links > 1) {
    // A rename done by a hard link stopped half-way: the hand-over stands
    // under its name already.
    moved = platform::RemoveFile(hidden);
  } else {
    moved = {FileStatus::kExists};
    for (std::time_t t = *j.committed;
         t < *j.committed + 86400 && moved.code == FileStatus::kExists; ++t) {
      const Path name = HandOverName(case_folder, j.operno, t);
      if (platform::FileExists(name)) continue;
      moved = platform::MoveNoReplace(hidden, name);
      if (moved.ok()) named = name;
    }
  }
  if (moved.ok()) moved = platform::SyncFolder(case_folder);
  if (!moved.ok()) why = hidden.Native() + ": " + platform::Describe(moved);
  return moved.ok();
}

CaseRecovery RecoverCase(const Path& case_folder, const std::vector<Path>& folders) {
  CaseRecovery out;
  auto leave = [&](Leftover::Kind kind, const Path& path, std::string why) {
    out.leftovers.push_back({kind, path, std::move(why)});
  };
  std::vector<std::string> names;
  Check(platform::ListFolder(case_folder, names), "cannot list", case_folder);
  // The hand-over's files here by call, in the order of the calls' ids.
  std::map<std::string, std::pair<bool, bool>> calls;  // journal, hidden hand-over
  for (const std::string& name : names) {
    if (name.rfind(".picmeta-", 0) != 0) continue;
    const auto parsed = hidden::Parse(name);
    if (!parsed) {
      leave(Leftover::Kind::kIgnored, case_folder / name, "not of the form the hand-over makes");
      continue;
    }
    if (parsed->kind == hidden::Kind::kJournal) calls[parsed->id].first = true;
    if (parsed->kind == hidden::Kind::kHandOver) calls[parsed->id].second = true;
  }
  platform::FileId case_id;
  const Status looked = platform::GetFolderId(case_folder, case_id);
  Folders reach(folders);
  for (const auto& [id, files] : calls) {
    const Path journal_path = hidden::Name(case_folder, hidden::Kind::kJournal, id);
    if (!files.first) {
      leave(Leftover::Kind::kIgnored, hidden::Name(case_folder, hidden::Kind::kHandOver, id),
            "a hidden hand-over without its journal");
      continue;
    }
    platform::LockedFile journal;
    const Status taken = journal.TryTake(journal_path);
    if (taken.code == FileStatus::kLocked || taken.code == FileStatus::kNotFound)
      continue;  // its call is alive, or being recovered, or done meanwhile
    if (taken.code == FileStatus::kIoError) Check(taken, "cannot open", journal_path);
    std::string text;
    const Status read = taken.ok() ? journal.ReadAll(MaxJournalBytes(folders.size()), text) : taken;
    if (read.code == FileStatus::kIoError) Check(read, "cannot read", journal_path);
    const auto j = read.ok() ? ParseJournal(text) : std::nullopt;
    if (!j || j->id != id) {
      leave(Leftover::Kind::kIgnored, journal_path,
            read.ok() ? "not a journal of the hand-over" : platform::Describe(read));
      continue;
    }
    if (!looked.ok()) Check(looked, "cannot look at", case_folder);
    if (j->case_folder != case_id) {
      leave(Leftover::Kind::kIgnored, journal_path,
            "the journal of a hand-over made in another case folder");
      continue;
    }
    RecoveredHandOver r{journal_path, std::nullopt, j->committed.has_value(), false};
    std::string why;
    bool decided = true;
    if (r.committed) {
      // The outcome is acted on only once it is on disk.
      if (const Status s = journal.Sync(); !s.ok()) {
        why = "cannot sync the journal: " + platform::Describe(s);
        decided = false;
      }
      decided = decided && BringIntoView(case_folder, *j, r.handover, why);
    } else if (files.second) {
      const Path hidden = hidden::Name(case_folder, hidden::Kind::kHandOver, id);
      Status s = platform::RemoveFile(hidden);
      if (s.code == FileStatus::kNotFound) s = {};
      if (s.ok()) s = platform::SyncFolder(case_folder);
      if (!s.ok()) why = hidden.Native() + ": " + platform::Describe(s);
      decided = s.ok();
    }
    bool all = decided;
    for (std::size_t i = 0; decided && i < j->claims.size(); ++i) {
      const Path* folder = reach.Find(j->claims[i]);
      if (!folder) {
        all = false;
        why = "a folder it claimed is not one of this case's document folders";
        continue;
      }
      try {
        FolderSession session(*folder, case_folder);
        for (Leftover& l : session.TakeLeftovers()) out.leftovers.push_back(std::move(l));
        if (!session.Settle(id, r.committed)) {
          all = false;
          why = "a claim in " + folder->Native() + " does not name this journal";
        }
        for (Leftover& l : session.TakeLeftovers()) out.leftovers.push_back(std::move(l));
      } catch (const Failure& e) {
        if (e.kind() != FailureKind::kIo) throw;
        all = false;
        why = e.what();
      }
    }
    if (all) {
      const Status removed = journal.Remove();
      r.finished = removed.ok();
      if (removed.ok()) (void)platform::SyncFolder(case_folder);  // one back is settled again
      if (!removed.ok()) why = journal_path.Native() + ": " + platform::Describe(removed);
    }
    if (!r.finished) leave(Leftover::Kind::kWaiting, journal_path, why);
    out.handovers.push_back(std::move(r));
  }
  return out;
}

}  // namespace picmeta::records
