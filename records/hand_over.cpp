#include "records/hand_over.h"

#include <errno.h>

#include <unordered_map>
#include <utility>

#include "platform/os/clock.h"
#include "platform/xml/record_writer.h"
#include "records/claims.h"
#include "records/failure.h"
#include "records/formats.h"
#include "records/hidden_files.h"
#include "records/journal.h"
#include "records/record_document.h"
#include "scramble/encrypt.h"

namespace picmeta::records {
namespace {

using platform::FileStatus;
using platform::Path;
using platform::Status;

bool HoldsInfo(const platform::XmlItem& item) {
  if (item.kind != platform::XmlItem::Kind::kElement) return false;
  const auto colon = item.name.rfind(':');
  if ((colon == std::string::npos ? item.name : item.name.substr(colon + 1)) == "info") return true;
  for (const auto& child : item.children)
    if (HoldsInfo(child)) return true;
  return false;
}

const std::string* Filename(const platform::XmlItem& record) {
  return record.GetAttribute("Filename");
}

}  // namespace

struct HandOver::State {
  enum class Phase {
    kOpen,       // not committed: whatever is claimed comes back
    kUncertain,  // the commit line may or may not stand: a recovery reads it
    kCommitted,  // the hand-over stands: whatever is claimed goes
    kClosed,     // settled, or left to a recovery
  };
  Path case_folder;
  platform::FileId case_id;
  std::string operno;  // as the hand-over's name holds it
  std::size_t folders = 0;
  std::string id = platform::UniqueId();
  platform::LockedFile journal;
  std::string bytes;
  platform::XmlItemWriter writer;
  struct Claim {
    Path folder;
    long long records = 0;
  };
  std::vector<Claim> claims;
  // The files taken, by identity: the folder each was taken from.
  std::unordered_map<platform::FileId, Path, platform::FileIdHash> taken;
  Phase phase = Phase::kOpen;
  bool hidden_written = false;
  bool in_view = false;  // the hand-over stands under its name, and that is on disk
  std::string doomed;    // why this call may not commit (a claim not known to be on disk)

  Path Hidden() const { return hidden::Name(case_folder, hidden::Kind::kHandOver, id); }

  // The journal, made before the first claim: whole and locked before it
  // takes its name, so that no one ever sees it unowned.
  void OpenJournal() {
    if (journal.is_open()) return;
    const Path path = hidden::Name(case_folder, hidden::Kind::kJournal, id);
    const Status s = journal.Create(path, JournalHead(id, case_id, operno));
    if (!s.ok()) {
      if (journal.is_open()) (void)journal.Remove();  // not on disk: no claim may rely on it
      Check(s, "cannot write", path);
    }
  }

  // Settles every claim (committed or not). When all are settled the journal
  // goes; otherwise it is let go (unlocked) for a later call's recovery.
  std::vector<Released> SettleAll(bool committed, std::string& unfinished) {
    std::vector<Released> out;
    bool all = true;
    for (const Claim& claim : claims) {
      Released r{claim.folder, committed, {}};
      try {
        FolderSession session(claim.folder, case_folder);
        if (!session.Settle(id, committed))
          throw Failure(FailureKind::kIo, "its claim's note is not this call's",
                        {FileStatus::kIoError});
      } catch (const Failure& e) {
        if (e.kind() != FailureKind::kIo) throw;
        r.removed = false;
        r.error = e.what();
        all = false;
        unfinished = e.what();
      }
      out.push_back(std::move(r));
    }
    if (committed && !in_view) {
      all = false;
      if (unfinished.empty()) unfinished = "the hand-over's name is not known to be on disk";
    }
    if (!committed && hidden_written) {
      Status s = platform::RemoveFile(Hidden());
      if (s.code == FileStatus::kNotFound) s = {};
      if (s.ok()) s = platform::SyncFolder(case_folder);
      if (!s.ok()) {
        all = false;
        unfinished = Hidden().Native() + ": " + platform::Describe(s);
      }
    }
    phase = Phase::kClosed;
    if (!all) {
      journal.Close();
      return out;
    }
    // One left behind by a power loss is settled again, to the same end.
    if (journal.Remove().ok()) (void)platform::SyncFolder(case_folder);
    return out;
  }
};

HandOver::HandOver(Path case_folder, std::string operno, std::size_t folders)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.case_folder = std::move(case_folder);
  s.operno = OperatorForFileName(operno);
  s.folders = folders;
  Check(platform::GetFolderId(s.case_folder, s.case_id), "cannot look at", s.case_folder);
  platform::XmlFrame frame;
  if (!RecordFrame(frame) || !s.writer.Begin(frame, [st = state_.get()](std::string_view piece) {
        st->bytes.append(piece);
      }))
    throw Failure(FailureKind::kFault, "the record document template cannot be written");
}

HandOver::~HandOver() {
  State& s = *state_;
  if (s.phase == State::Phase::kClosed || !s.journal.is_open()) return;
  if (s.phase == State::Phase::kUncertain) return;  // the journal's lock goes with it
  // Whatever failed, this call's claims are settled as the journal says; what
  // cannot be settled now stays for the recovery of a later call.
  try {
    std::string unfinished;
    s.SettleAll(s.phase == State::Phase::kCommitted, unfinished);
  } catch (...) {
  }
}

bool HandOver::found() const { return !state_->claims.empty(); }

long long HandOver::records() const {
  long long n = 0;
  for (const auto& c : state_->claims) n += c.records;
  return n;
}

HandOver::Taken HandOver::Take(const Path& folder) {
  State& s = *state_;
  Taken t;
  WorkingFile working(folder, s.case_folder);  // locked; what dead calls left settled first
  t.path = working.path();
  t.leftovers = working.TakeLeftovers();
  if (working.missing()) return t;
  platform::FileInfo info;
  if (platform::StatFile(t.path, info).ok() && info.read_only) {
    t.kind = Taken::Kind::kReadOnly;
    return t;
  }
  platform::FileId file_id;
  const bool known = platform::GetFileId(t.path, file_id).ok();
  if (known) {
    if (const auto it = s.taken.find(file_id); it != s.taken.end()) {
      t.kind = Taken::Kind::kSameFile;
      t.same_as = it->second;
      return t;
    }
  }
  // The records go into the hand-over as they are read; whatever of a file
  // that turns out not to load went in is taken back out.
  const auto mark = s.writer.GetMark();
  const std::size_t size = s.bytes.size();
  auto restore = [&] {
    s.writer.Restore(mark);
    s.bytes.resize(size);
  };
  std::vector<bool> handed;  // by item, in document order
  bool loaded = false;
  try {
    loaded = working.ReadItems([&](const platform::XmlItem& item, bool record) {
      bool went = false;
      if (record) {
        if (auto written = s.writer.Write(item)) {
          went = true;
          ++t.records;
        } else {
          const std::string* name = Filename(item);
          t.left.push_back({name ? *name : "", std::move(written.why)});
        }
      } else if (HoldsInfo(item)) {
        t.left.push_back({"", "an " + item.name + " element that is no record of root/info"});
      }
      handed.push_back(went);
    });
  } catch (...) {
    restore();
    throw;
  }
  if (!loaded) {
    restore();
    t.kind = Taken::Kind::kNotLoaded;
    t.result = working.result();
    return t;
  }
  if (t.records == 0 && !t.left.empty()) {
    t.kind = Taken::Kind::kNothingTaken;
    return t;
  }
  using hidden::Kind;
  const Path keep = hidden::Name(folder, Kind::kKeep, s.id);
  const Path note = hidden::Name(folder, Kind::kNote, s.id);
  try {
    // A call that may not commit claims nothing more.
    if (!s.doomed.empty())
      throw Failure(FailureKind::kIo, s.doomed + ": " + t.path.Native() + " not claimed",
                    {FileStatus::kIoError});
    s.OpenJournal();
    // Noted before anything of the claim exists, so that a recovery knows
    // the folder is this call's.
    if (const Status noted = s.journal.Append(ClaimLine(working.session().id())); !noted.ok()) {
      // A line it holds may be torn: nothing more may be written after it.
      s.doomed = "the journal " + s.journal.path().Native() + " could not be written";
      Check(noted, "cannot write", s.journal.path());
    }
    // Records that stay are written aside first, so that the claim can go
    // whole once the hand-over stands.
    if (!t.left.empty()) {
      platform::XmlFrame frame;
      RecordFileWriter out(keep);
      std::size_t index = 0;
      bool begun = false;
      AgainEachItem(t.path, frame,
                    [&](const platform::XmlFrame& head, platform::XmlItem& item, bool) {
                      if (!begun) {
                        out.Begin(head);
                        begun = true;
                      }
                      if (index >= handed.size() || !handed[index]) out.Write(item);
                      ++index;
                    });
      if (!begun) out.Begin(frame);
      out.End(frame.epilog);
      Check(out.Commit(), "cannot write", keep);
    }
    Check(platform::CreateExclusive(note, FormatNote({s.id, s.case_id, working.session().id()})),
          "cannot write", note);
    working.Close();
    Check(platform::MoveNoReplace(t.path, hidden::Name(folder, Kind::kClaim, s.id)), "cannot claim",
          t.path);
  } catch (...) {
    restore();
    (void)platform::RemoveFile(keep);
    (void)platform::RemoveFile(note);
    throw;
  }
  s.claims.push_back({folder, t.records});
  if (known) s.taken.emplace(file_id, folder);
  t.kind = Taken::Kind::kClaimed;
  // A claim not known to be on disk could come back after a power loss while
  // its records stand in the hand-over: nothing may then be committed.
  if (const Status synced = platform::SyncFolder(folder); !synced.ok())
    s.doomed = "folder " + folder.Native() + " could not be synced after its claim";
  return t;
}

HandOver::Committed HandOver::Commit() {
  State& s = *state_;
  Committed c;
  if (s.claims.empty()) return c;
  if (!s.doomed.empty())
    throw Failure(FailureKind::kIo, s.doomed + ": nothing handed over", {FileStatus::kNotSynced});
  if (!s.writer.End())
    throw Failure(FailureKind::kFault, "the hand-over document cannot be closed");
  encrypt::Scramble(s.bytes);
  const Path hidden = s.Hidden();
  s.hidden_written = true;  // from here on a failure may leave it
  Check(platform::AtomicWriteFile(hidden, s.bytes), "cannot write", hidden);
  std::string().swap(s.bytes);
  const std::time_t stamp = platform::Now();
  // The commit: once this line is on disk the hand-over stands. A failure to
  // write it says nothing of whether it is on disk.
  if (const Status noted = s.journal.Append(CommittedLine(stamp)); !noted.ok()) {
    // It is revoked, on disk, before anything is undone; when even that
    // fails, the outcome is left for a recovery to read.
    if (!s.journal.Append(AbortedLine()).ok()) {
      s.phase = State::Phase::kUncertain;
      s.journal.Close();
    }
    Check(noted, "cannot write", s.journal.path());
  }
  s.phase = State::Phase::kCommitted;
  // A day of seconds is far more than any operator writes hand-overs in.
  Status moved{FileStatus::kExists};
  for (std::time_t t = stamp; t < stamp + 86400 && moved.code == FileStatus::kExists; ++t) {
    const Path name = HandOverName(s.case_folder, s.operno, t);
    if (platform::FileExists(name)) continue;  // taken, by anything
    moved = platform::MoveNoReplace(hidden, name);
    if (moved.ok()) c.path = name;
  }
  // No name was taken: the commit is revoked (on disk) and everything comes
  // back. Only if even that fails does the hand-over stand from its hidden
  // name, for a recovery to bring into view.
  if (!moved.ok() && s.journal.Append(AbortedLine()).ok()) {
    s.phase = State::Phase::kOpen;
    Check(moved.code == FileStatus::kExists ? Status{FileStatus::kExists, EEXIST} : moved,
          "cannot name the hand-over", hidden);
  }
  if (moved.ok()) {
    const Status synced = platform::SyncFolder(s.case_folder);
    s.in_view = synced.ok();
    if (!synced.ok()) c.unfinished = s.case_folder.Native() + ": " + platform::Describe(synced);
  } else {
    c.unfinished =
        "cannot name the hand-over " + hidden.Native() + ": " + platform::Describe(moved);
  }
  c.released = s.SettleAll(true, c.unfinished);
  if (!moved.ok()) Check(moved, "cannot name the hand-over", hidden);
  return c;
}

}  // namespace picmeta::records
