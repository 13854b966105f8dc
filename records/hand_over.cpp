#include "records/hand_over.h"

#include <errno.h>

#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "platform/os/clock.h"
#include "platform/xml/record_reader.h"
#include "platform/xml/record_writer.h"
#include "records/record_document.h"
#include "scramble/encrypt.h"

namespace picmeta::records {
namespace {

struct FileIdHash {
  std::size_t operator()(const platform::FileId& id) const {
    return std::hash<std::uint64_t>()(id.file * 0x9E3779B97F4A7C15ull ^ id.device);
  }
};

using platform::FileStatus;
using platform::Status;

// ---- Names ---------------------------------------------------------------------

std::string Join(const std::string& folder, std::string_view name) {
  return folder + "\\" + std::string(name);
}

constexpr std::string_view kFolderPrefix = ".exifinfo.xml.";
constexpr std::string_view kCasePrefix = ".picmeta-";
constexpr std::string_view kJournalSuffix = ".journal";
constexpr std::string_view kSinceSuffix = ".since";

std::string InFolder(const std::string& folder, const std::string& id, std::string_view what) {
  return Join(folder, std::string(kFolderPrefix) + id + "." + std::string(what));
}
std::string ClaimPath(const std::string& folder, const std::string& id) {
  return InFolder(folder, id, "claim");
}
std::string KeepPath(const std::string& folder, const std::string& id) {
  return InFolder(folder, id, "keep");
}
std::string OwnerPath(const std::string& folder, const std::string& id) {
  return InFolder(folder, id, "owner");
}
std::string JournalPath(const std::string& case_folder, const std::string& id) {
  return Join(case_folder, std::string(kCasePrefix) + id + std::string(kJournalSuffix));
}
std::string TempPath(const std::string& case_folder, const std::string& id) {
  return Join(case_folder, std::string(kCasePrefix) + id + ".handover");
}
std::string WorkingPath(const std::string& folder) { return Join(folder, kWorkingFileName); }

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The id of ".exifinfo.xml.<id>.owner", or "".
std::string OwnerId(std::string_view name) {
  constexpr std::string_view kOwner = ".owner";
  if (name.substr(0, kFolderPrefix.size()) != kFolderPrefix || !EndsWith(name, kOwner)) return {};
  return std::string(
      name.substr(kFolderPrefix.size(), name.size() - kFolderPrefix.size() - kOwner.size()));
}

// ---- Small file steps ------------------------------------------------------------

bool Exists(const std::string& path) {
  platform::FileInfo info;
  const Status s = platform::StatFile(path, info);
  if (s.code == FileStatus::kNotFound) return false;
  if (s.code == FileStatus::kIoError) platform::Check(s, "cannot look at", path);
  return true;
}

void RemoveIfThere(const std::string& path) {
  if (!Exists(path)) return;
  try {
    platform::DeleteFile(path);
  } catch (const platform::FsError& e) {
    if (e.status().code != FileStatus::kNotFound) throw;
  }
}

// ---- The journal -------------------------------------------------------------------

// One line per fact, appended and synced as it becomes true:
//   picmeta hand-over 1
//   temp <path>          the hidden hand-over file
//   claim <folder>       before a folder's working file is claimed
//   handover <path>      before each attempt at a visible name (the last counts)
//   committed            once the hand-over stands
// Paths are escaped so that a line break in a folder name cannot split a line.
constexpr std::string_view kJournalHeader = "picmeta hand-over 1\n";

std::string Escape(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '%' || c == '\n' || c == '\r') {
      static constexpr char kHex[] = "0123456789ABCDEF";
      out.push_back('%');
      out.push_back(kHex[static_cast<unsigned char>(c) >> 4]);
      out.push_back(kHex[static_cast<unsigned char>(c) & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string Unescape(std::string_view text) {
  auto hex = [](char c) { return c <= '9' ? c - '0' : c - 'A' + 10; };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

struct Journal {
  bool valid = false;
  std::string temp;
  std::vector<std::string> claims;
  std::string handover;  // the last name tried
  bool committed = false;
};

Journal Parse(std::string_view text) {
  Journal j;
  if (text.substr(0, kJournalHeader.size()) != kJournalHeader) return j;
  j.valid = true;
  std::size_t at = kJournalHeader.size();
  while (at < text.size()) {
    const auto end = text.find('\n', at);
    if (end == std::string_view::npos) break;  // a line torn by a crash never counts
    const std::string_view line = text.substr(at, end - at);
    at = end + 1;
    const auto space = line.find(' ');
    const std::string_view key = line.substr(0, space);
    const std::string value =
        space == std::string_view::npos ? "" : Unescape(line.substr(space + 1));
    if (key == "temp")
      j.temp = value;
    else if (key == "claim")
      j.claims.push_back(value);
    else if (key == "handover")
      j.handover = value;
    else if (key == "committed")
      j.committed = true;
  }
  return j;
}

// Whether the hand-over of a journal stands. The rename of the hidden file to
// its visible name is the commit: once a name was tried, a hidden file that
// is gone was renamed (it is deleted only after every claim came back), and
// one that is still there was not, unless the rename went by a hard link and
// stopped half-way (then both names are the same file).
bool Committed(const Journal& j) {
  if (j.committed) return true;
  if (j.handover.empty() || j.temp.empty()) return false;
  if (!Exists(j.temp)) return true;
  return platform::SameFile(j.temp, j.handover);
}

// ---- Giving records back ---------------------------------------------------------------

// Calls `item` for each item of a document file, with the document's frame as
// far as it is known (declaration and root from the first item on) and
// whether the item is a record; `frame` receives the whole frame. The load's
// result (kNotRecordDocument for a root other than "root"). Throws FsError on
// an I/O error.
using ItemFn = std::function<void(const platform::XmlFrame&, platform::XmlItem&, bool)>;
platform::LoadResult EachItem(const std::string& path, platform::XmlFrame& frame,
                              const ItemFn& item) {
  platform::XmlItemReader reader;
  if (auto r = reader.Open(path); !r) {
    if (r.failure == platform::LoadFailure::kIoError)
      platform::Check({FileStatus::kIoError, r.error}, "cannot read", path);
    return r;
  }
  platform::XmlItem it;
  while (reader.Next(it)) item(reader.frame(), it, IsRecord(reader.frame(), it));
  reader.Close();
  const platform::LoadResult r = reader.result();
  if (r.failure == platform::LoadFailure::kIoError)
    platform::Check({FileStatus::kIoError, r.error}, "cannot read", path);
  frame = reader.frame();
  if (r && frame.root != "root") return {platform::LoadFailure::kNotRecordDocument};
  return r;
}

// EachItem over a file that loaded before under the same lock: that it no
// longer does is a fault (XmlError), and nothing made of it may be committed.
void AgainEachItem(const std::string& path, platform::XmlFrame& frame, const ItemFn& item) {
  if (const platform::LoadResult r = EachItem(path, frame, item); !r)
    throw platform::XmlError(platform::NativePath(path) +
                             " no longer loads: " + platform::Describe(r));
}

const std::string* Filename(const platform::XmlItem& record) {
  return record.GetAttribute("Filename");
}

// Writes `given` followed by what `since` holds to the working file: a record
// written since for a picture that `given` has a record of refreshes that
// record's attributes in place (as NewWriteDatatoXML would have done had the
// two been one file); every other item of `since` follows. false when `since`
// is no record document.
bool Merge(const std::string& given, const std::string& since, const std::string& target) {
  platform::XmlFrame frame;
  std::unordered_set<std::string> names;
  // What is given back was a record document when it was claimed or kept: if
  // it no longer loads, it stays where it is rather than be lost.
  if (!EachItem(given, frame, [&](const platform::XmlFrame&, platform::XmlItem& item, bool record) {
        if (const std::string* name = record ? Filename(item) : nullptr) names.insert(*name);
      }))
    throw platform::FsError(
        "cannot give back " + platform::NativePath(given) + ": it does not load",
        {FileStatus::kIoError, 0});
  platform::XmlFrame since_frame;
  std::unordered_map<std::string, platform::XmlItem> newer;
  if (!EachItem(since, since_frame,
                [&](const platform::XmlFrame&, platform::XmlItem& item, bool record) {
                  const std::string* name = record ? Filename(item) : nullptr;
                  if (name && names.count(*name)) newer.try_emplace(*name, item);
                }))
    return false;
  // A name the encoding of `given` cannot carry is written in UTF-8 instead.
  for (const bool utf8 : {false, true}) {
    platform::XmlFrame out_frame = frame;
    if (utf8) out_frame.encoding = "UTF-8";
    platform::AtomicFileWriter out(target);
    platform::XmlItemWriter writer;
    writer.Begin(out_frame, [&out](std::string_view bytes) { out.Write(bytes); });
    try {
      std::unordered_set<std::string> used;
      // Both files loaded a moment ago under the same lock; one that no
      // longer does leaves the working file as it was.
      AgainEachItem(given, frame,
                    [&](const platform::XmlFrame&, platform::XmlItem& item, bool record) {
                      const std::string* name = record ? Filename(item) : nullptr;
                      if (name && !used.count(*name)) {
                        if (const auto it = newer.find(*name); it != newer.end()) {
                          for (const auto& [attribute, value] : it->second.attributes)
                            item.SetAttribute(attribute, value);
                          used.insert(*name);
                        }
                      }
                      writer.Write(item);
                    });
      std::unordered_set<std::string> skipped;
      AgainEachItem(since, since_frame,
                    [&](const platform::XmlFrame&, platform::XmlItem& item, bool record) {
                      const std::string* name = record ? Filename(item) : nullptr;
                      if (name && used.count(*name) && skipped.insert(*name).second)
                        return;  // merged above
                      writer.Write(item);
                    });
      writer.End(frame.epilog);
    } catch (const platform::XmlError&) {
      if (utf8) throw;
      continue;  // `out` goes, the working file stays as it was
    }
    out.Commit();
    return true;
  }
  return true;
}

// Gives the records of `given` (a claimed or kept file of the folder) back to
// the folder's working file, under the folder's lock. Crash-safe: while it
// runs the working file stands aside as `given`.since; whoever next holds the
// folder's lock finishes it (FinishGiveBacks) before anything else.
void GiveBack(const std::string& folder, const std::string& given) {
  const std::string working = WorkingPath(folder);
  const std::string since = given + std::string(kSinceSuffix);
  if (!Exists(since)) {
    if (!Exists(given)) return;
    if (!Exists(working)) {  // nothing written since: the file simply comes back
      platform::RenameNoReplace(given, working);
      platform::SyncFolder(folder);
      return;
    }
    platform::RenameNoReplace(working, since);
    platform::SyncFolder(folder);
  } else if (!Exists(given)) {  // finished but for the last step
    RemoveIfThere(since);
    platform::SyncFolder(folder);
    return;
  }
  // The working file under the name is this give-back's own unfinished
  // output, if anything: no one else changes the folder while `since` exists.
  if (!Merge(given, since, working)) {
    // What was written since is no record document: it is set aside, and the
    // given records come back alone.
    SetAsideUnreadable(since);
    RemoveIfThere(working);
    platform::RenameNoReplace(given, working);
    platform::SyncFolder(folder);
    return;
  }
  platform::DeleteFile(given);
  RemoveIfThere(since);
  platform::SyncFolder(folder);
}

// Finishes the give-backs a crash interrupted in a folder.
void FinishGiveBacks(const std::string& folder, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (name.substr(0, kFolderPrefix.size()) != kFolderPrefix || !EndsWith(name, kSinceSuffix))
      continue;
    GiveBack(folder, Join(folder, name.substr(0, name.size() - kSinceSuffix.size())));
  }
}

// Deals with a folder's claim of call `id`, under the folder's lock: when the
// hand-over stands, the claimed file goes and its records that were not
// handed over come back; when it does not, the claimed file comes back.
void Settle(const std::string& folder, const std::string& id, bool committed) {
  if (committed) {
    GiveBack(folder, KeepPath(folder, id));
    RemoveIfThere(ClaimPath(folder, id));
  } else {
    GiveBack(folder, ClaimPath(folder, id));
    RemoveIfThere(KeepPath(folder, id));
  }
  RemoveIfThere(OwnerPath(folder, id));
  platform::SyncFolder(folder);
}

Status ListOrThrow(const std::string& folder, std::vector<std::string>& names) {
  const Status s = platform::ListFolder(folder, names);
  if (s.code == FileStatus::kIoError) platform::Check(s, "cannot list", folder);
  return s;
}

}  // namespace

// ---- Recovery ----------------------------------------------------------------------

std::vector<RecoveredClaim> RecoverFolder(const std::string& folder) {
  std::vector<RecoveredClaim> done;
  std::vector<std::string> names;
  if (!ListOrThrow(folder, names).ok()) return done;
  FinishGiveBacks(folder, names);
  for (const std::string& name : names) {
    const std::string id = OwnerId(name);
    if (id.empty()) continue;
    std::string owner;
    if (!platform::ReadWholeFile(Join(folder, name), 64 * 1024, owner).ok()) continue;
    const std::string journal_path = Unescape(owner.substr(0, owner.find('\n')));
    platform::LockedFile journal;
    const Status s = journal.TryTake(journal_path);
    if (s.code == FileStatus::kLocked) continue;  // its call is alive, or being recovered
    bool committed = false;
    if (s.ok()) {
      std::string text;
      platform::Check(journal.ReadAll(text), "cannot read", journal_path);
      committed = Committed(Parse(text));
    } else if (s.code != FileStatus::kNotFound) {
      platform::Check(s, "cannot open", journal_path);
    }
    // (A journal that is gone although its claim is here was lost with its
    // case folder: the records come back, rather than being lost.)
    Settle(folder, id, committed);
    done.push_back({folder, committed});
  }
  return done;
}

std::vector<RecoveredHandOver> RecoverCase(const std::string& case_folder) {
  std::vector<RecoveredHandOver> done;
  std::vector<std::string> names;
  if (!ListOrThrow(case_folder, names).ok()) return done;
  for (const std::string& name : names) {
    if (name.substr(0, kCasePrefix.size()) != kCasePrefix) continue;
    const std::string path = Join(case_folder, name);
    const bool unfinished_journal = EndsWith(name, std::string(kJournalSuffix) + "-new");
    if (!EndsWith(name, kJournalSuffix) && !unfinished_journal) continue;
    platform::LockedFile journal;
    if (!journal.TryTake(path).ok()) continue;  // alive, being recovered, or gone
    // One that died before it was named claimed nothing.
    if (unfinished_journal) {
      (void)journal.Remove();  // one left is taken for unfinished again
      continue;
    }
    std::string text;
    platform::Check(journal.ReadAll(text), "cannot read", path);
    const Journal j = Parse(text);
    RecoveredHandOver r;
    r.journal = path;
    r.committed = Committed(j);
    if (r.committed) r.handover = j.handover;
    const std::string id(
        name.substr(kCasePrefix.size(), name.size() - kCasePrefix.size() - kJournalSuffix.size()));
    bool all = true;
    for (const std::string& folder : j.claims) {
      try {
        platform::FolderLock lock(folder);
        Settle(folder, id, r.committed);
      } catch (const platform::FsError& e) {
        // A folder gone for good has nothing left to settle; any other
        // failure leaves the journal for a later call.
        if (e.status().code != FileStatus::kNotFound) all = false;
      }
    }
    if (!all) {
      done.push_back(r);
      continue;
    }
    if (!r.committed && !j.temp.empty()) RemoveIfThere(j.temp);
    r.finished = journal.Remove().ok();
    platform::SyncFolder(case_folder);
    done.push_back(r);
  }
  return done;
}

// ---- One call's hand-over ---------------------------------------------------------------

struct HandOver::State {
  std::string case_folder;
  std::string operno;
  std::string id = platform::UniqueId();
  platform::LockedFile journal;
  std::string bytes;
  platform::XmlItemWriter writer;
  bool begun = false;
  struct Claim {
    std::string folder;
    long long records = 0;
  };
  std::vector<Claim> claims;
  // The files taken, by identity: the folder each was taken from.
  std::unordered_map<platform::FileId, std::string, FileIdHash> taken;
  bool renamed = false;  // the hand-over stands
  bool closed = false;   // every claim settled, the journal gone

  void Note(std::string_view key, std::string_view value) {
    const std::string line = std::string(key) + " " + Escape(value) + "\n";
    platform::Check(journal.Append(line), "cannot write", journal.path());
  }

  // The journal, made before the first claim: complete and locked before it
  // takes its name, so that no one ever sees it unowned.
  void OpenJournal() {
    if (journal.is_open()) return;
    const std::string path = JournalPath(case_folder, id);
    const std::string draft = path + "-new";
    platform::Check(journal.Create(draft), "cannot create", draft);
    try {
      platform::Check(journal.Append(std::string(kJournalHeader)), "cannot write", draft);
      Note("temp", TempPath(case_folder, id));
      platform::Check(journal.RenameTo(path), "cannot rename", draft);
    } catch (...) {
      (void)journal.Remove();  // one left claims nothing
      throw;
    }
  }

  // Settles every claim (committed or not). When all are settled the journal
  // goes; otherwise it is let go (unlocked) for a later call's recovery.
  std::vector<Released> SettleAll(bool committed) {
    std::vector<Released> out;
    bool all = true;
    for (const Claim& claim : claims) {
      Released r{claim.folder, committed, {}};
      try {
        platform::FolderLock lock(claim.folder);
        Settle(claim.folder, id, committed);
      } catch (const platform::FsError& e) {
        r.removed = false;
        r.error = e.what();
        all = false;
      }
      out.push_back(std::move(r));
    }
    closed = true;
    if (!all) {
      journal.Close();
      return out;
    }
    if (!committed) RemoveIfThere(TempPath(case_folder, id));
    (void)journal.Remove();  // one left is settled again, to the same end
    platform::SyncFolder(case_folder);
    return out;
  }
};

HandOver::HandOver(std::string case_folder, std::string operno)
    : state_(std::make_unique<State>()) {
  state_->case_folder = std::move(case_folder);
  state_->operno = std::move(operno);
  platform::XmlFrame frame;
  if (!RecordFrame(frame)) throw platform::XmlError("the record document template does not load");
  state_->writer.Begin(frame,
                       [s = state_.get()](std::string_view piece) { s->bytes.append(piece); });
  state_->begun = true;
}

HandOver::~HandOver() {
  State& s = *state_;
  if (s.closed || !s.journal.is_open()) return;
  // Whatever failed, this call's claims are settled as the journal says; what
  // cannot be settled now stays for the recovery of a later call.
  try {
    s.SettleAll(s.renamed);
  } catch (...) {
  }
}

long long HandOver::records() const {
  long long n = 0;
  for (const auto& c : state_->claims) n += c.records;
  return n;
}

namespace {
bool HoldsInfo(const platform::XmlItem& item) {
  if (item.kind != platform::XmlItem::Kind::kElement) return false;
  const auto colon = item.name.rfind(':');
  if ((colon == std::string::npos ? item.name : item.name.substr(colon + 1)) == "info") return true;
  for (const auto& child : item.children)
    if (HoldsInfo(child)) return true;
  return false;
}
}  // namespace

HandOver::Taken HandOver::Take(const std::string& folder) {
  State& s = *state_;
  Taken t;
  WorkingFile working(folder);  // locked; dead calls' claims settled first
  t.path = working.path();
  t.recovered = working.recovered();
  if (working.missing()) return t;
  platform::FileInfo info;
  if (platform::StatFile(t.path, info).ok() && info.read_only) {
    t.kind = Taken::Kind::kReadOnly;
    return t;
  }
  platform::FileId id;
  const bool known = platform::GetFileId(t.path, id).ok();
  if (known) {
    if (const auto it = s.taken.find(id); it != s.taken.end()) {
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
        try {
          s.writer.Write(item);
          went = true;
          ++t.records;
        } catch (const platform::XmlError& e) {
          const std::string* name = Filename(item);
          t.left.push_back({name ? *name : "", e.what()});
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
  found_ = true;
  try {
    s.OpenJournal();
    // Records that stay are written aside first, so that the claim can go
    // whole once the hand-over stands.
    if (!t.left.empty()) {
      platform::XmlFrame frame;
      platform::AtomicFileWriter keep(KeepPath(folder, s.id));
      platform::XmlItemWriter writer;
      std::size_t index = 0;
      bool begun = false;
      AgainEachItem(t.path, frame,
                    [&](const platform::XmlFrame& head, platform::XmlItem& item, bool) {
                      if (!begun) {
                        writer.Begin(head, [&keep](std::string_view bytes) { keep.Write(bytes); });
                        begun = true;
                      }
                      if (index >= handed.size() || !handed[index]) writer.Write(item);
                      ++index;
                    });
      if (!begun) writer.Begin(frame, [&keep](std::string_view bytes) { keep.Write(bytes); });
      writer.End(frame.epilog);
      keep.Commit();
    }
    s.Note("claim", folder);
    const Status owner =
        platform::CreateExclusive(OwnerPath(folder, s.id), Escape(s.journal.path()) + "\n");
    platform::Check(owner, "cannot write", OwnerPath(folder, s.id));
    working.Close();
    platform::RenameNoReplace(t.path, ClaimPath(folder, s.id));
    platform::SyncFolder(folder);
  } catch (...) {
    restore();
    RemoveIfThere(KeepPath(folder, s.id));
    RemoveIfThere(OwnerPath(folder, s.id));
    throw;
  }
  s.claims.push_back({folder, t.records});
  if (known) s.taken.emplace(id, folder);
  t.kind = Taken::Kind::kClaimed;
  return t;
}

HandOver::Committed HandOver::Commit() {
  State& s = *state_;
  Committed c;
  if (!found_) return c;
  s.writer.End();
  encrypt::Scramble(s.bytes);
  const std::string temp = TempPath(s.case_folder, s.id);
  platform::AtomicWriteFile(temp, s.bytes);
  std::string().swap(s.bytes);
  const std::time_t now = platform::Now();
  // A day of seconds is far more than any operator writes hand-overs in.
  for (std::time_t t = now; t < now + 86400 && !s.renamed; ++t) {
    const std::string path = HandOverName(s.case_folder, s.operno, t);
    if (Exists(path)) continue;  // taken, by anything
    s.Note("handover", path);
    try {
      platform::RenameNoReplace(temp, path);
    } catch (const platform::FsError& e) {
      if (e.status().code == FileStatus::kExists) continue;  // taken meanwhile
      throw;
    }
    s.renamed = true;
    c.path = path;
  }
  if (!s.renamed)
    throw platform::FsError("no free hand-over name in " + platform::NativePath(s.case_folder),
                            {FileStatus::kExists, EEXIST});
  platform::SyncFolder(s.case_folder);
  // The hand-over stands: from here on nothing may undo it.
  try {
    s.Note("committed", "");
  } catch (const platform::FsError&) {
    // The rename said it already; settling goes on.
  }
  c.released = s.SettleAll(true);
  return c;
}

}  // namespace picmeta::records
