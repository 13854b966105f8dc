#include "records/claims.h"

#include <unordered_map>
#include <unordered_set>

#include "records/failure.h"
#include "records/hidden_files.h"
#include "records/record_document.h"

namespace picmeta::records {
namespace {

using platform::FileStatus;
using platform::Path;
using platform::Status;

bool Exists(const Path& path) {
  platform::FileInfo info;
  const Status s = platform::StatFile(path, info);
  if (s.code == FileStatus::kNotFound) return false;
  if (s.code == FileStatus::kIoError) Check(s, "cannot look at", path);
  return true;
}

void Remove(const Path& path) {
  const Status s = platform::RemoveFile(path);
  if (s.code != FileStatus::kNotFound) Check(s, "cannot remove", path);
}

void Move(const Path& from, const Path& to) {
  Check(platform::MoveNoReplace(from, to), "cannot rename", from);
}

void Sync(const Path& folder) { Check(platform::SyncFolder(folder), "cannot sync", folder); }

const std::string* Filename(const platform::XmlItem& record) {
  return record.GetAttribute("Filename");
}

// Writes `given` followed by what `since` holds to the working file: a record
// written since for a picture that `given` has a record of refreshes that
// record's attributes in place (as NewWriteDatatoXML would have done had the
// two been one file); every other item of `since` follows. false when `since`
// is no record document.
bool Merge(const Path& given, const Path& since, const Path& target) {
  platform::XmlFrame frame;
  std::unordered_set<std::string> names;
  // What is given back was a record document when it was claimed or kept: if
  // it no longer loads, it stays where it is rather than be lost.
  if (!EachItem(given, frame, [&](const platform::XmlFrame&, platform::XmlItem& item, bool record) {
        if (const std::string* name = record ? Filename(item) : nullptr) names.insert(*name);
      }))
    Check({FileStatus::kIoError}, "cannot give back (it does not load)", given);
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
    RecordFileWriter out(target);
    try {
      out.Begin(out_frame);
      std::unordered_set<std::string> used;
      // Both files loaded a moment ago under the same lock.
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
                      out.Write(item);
                    });
      std::unordered_set<std::string> skipped;
      AgainEachItem(since, since_frame,
                    [&](const platform::XmlFrame&, platform::XmlItem& item, bool record) {
                      const std::string* name = record ? Filename(item) : nullptr;
                      if (name && used.count(*name) && skipped.insert(*name).second)
                        return;  // merged above
                      out.Write(item);
                    });
      out.End(frame.epilog);
    } catch (const Failure& e) {
      if (utf8 || e.kind() != FailureKind::kRefused) throw;
      continue;  // `out` goes, the working file stays as it was
    }
    Check(out.Commit(), "cannot write", target);
    return true;
  }
  return true;
}

// Gives the records of `given` (a claimed or kept file) back to the folder's
// working file. Crash-safe: while it runs the working file stands aside as
// `since`, and the folder's next session finishes it before anything else.
void GiveBack(const FolderSession& session, const Path& given, const Path& since) {
  if (!Exists(given)) return;
  const Path working = session.folder() / kWorkingFileName;
  if (!Exists(working)) {  // nothing written since: the file simply comes back
    Move(given, working);
    Sync(session.folder());
    return;
  }
  Move(working, since);
  Sync(session.folder());
  FinishGiveBack(session, since, given);
}

}  // namespace

platform::LoadResult EachItem(const Path& path, platform::XmlFrame& frame, const ItemFn& item) {
  platform::XmlItemReader reader;
  if (auto r = reader.Open(path); !r) {
    if (r.failure == platform::LoadFailure::kIoError)
      Check({FileStatus::kIoError, r.error}, "cannot read", path);
    return r;
  }
  platform::XmlItem it;
  while (reader.Next(it)) item(reader.frame(), it, IsRecord(reader.frame(), it));
  reader.Close();
  const platform::LoadResult r = reader.result();
  if (r.failure == platform::LoadFailure::kIoError)
    Check({FileStatus::kIoError, r.error}, "cannot read", path);
  frame = reader.frame();
  if (r && frame.root != "root") return {platform::LoadFailure::kNotRecordDocument};
  return r;
}

void AgainEachItem(const Path& path, platform::XmlFrame& frame, const ItemFn& item) {
  if (const platform::LoadResult r = EachItem(path, frame, item); !r)
    throw Failure(FailureKind::kFault,
                  path.Native() + " no longer loads: " + platform::Describe(r));
}

void FinishGiveBack(const FolderSession& session, const Path& since, const Path& given) {
  const Path& folder = session.folder();
  const Path working = folder / kWorkingFileName;
  if (!Exists(given)) {  // merged and removed: only the last step was left
    Remove(since);
    Sync(folder);
    return;
  }
  // The working file under its name, if any, is this give-back's own
  // unfinished output: no one else changes the folder while `since` stands.
  if (!Merge(given, since, working)) {
    // What was written since is no record document: it is set aside, and the
    // given records come back alone.
    SetAsideUnreadable(since);
    Remove(working);
    Move(given, working);
    Sync(folder);
    return;
  }
  Remove(given);
  Remove(since);
  Sync(folder);
}

void SettleClaim(const FolderSession& session, const std::string& id, bool committed) {
  using hidden::Kind;
  const Path& folder = session.folder();
  const Path claim = hidden::Name(folder, Kind::kClaim, id);
  const Path keep = hidden::Name(folder, Kind::kKeep, id);
  if (committed) {
    if (Exists(claim)) {
      GiveBack(session, keep, hidden::Name(folder, Kind::kKeepSince, id));
      Remove(claim);
    } else {
      // The claim was never made: what was kept is still in the working file.
      Remove(keep);
    }
  } else {
    GiveBack(session, claim, hidden::Name(folder, Kind::kClaimSince, id));
    Remove(keep);
  }
  Remove(hidden::Name(folder, Kind::kNote, id));
  Sync(folder);
}

}  // namespace picmeta::records
