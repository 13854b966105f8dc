#include "records/record_document.h"

#include <errno.h>

#include <optional>

#include "platform/os/clock.h"
#include "platform/os/text.h"
#include "records/failure.h"
#include "records/formats.h"
#include "scramble/encrypt.h"

namespace picmeta::records {
namespace {

// A record the stream would not write is the input's refusal.
void Written(platform::XmlWritten written) {
  if (!written) Refuse(written.why);
}

}  // namespace

bool RecordFrame(platform::XmlFrame& frame) {
  return platform::FrameFromTemplate(kRecordTemplate, frame);
}

RecordStream::RecordStream(std::string& bytes) {
  platform::XmlFrame frame;
  if (!RecordFrame(frame)) return;
  ok_ = writer_.Begin(frame, [&bytes](std::string_view piece) { bytes.append(piece); }).ok;
}

void RecordStream::Write(const platform::XmlItem& record) { Written(writer_.Write(record)); }

void RecordStream::End() { Written(writer_.End()); }

RecordFileWriter::RecordFileWriter(const platform::Path& path)
    : path_(path), file_(Take(platform::AtomicFileWriter::Open(path), "cannot write", path)) {}

void RecordFileWriter::Begin(const platform::XmlFrame& frame) {
  // A piece that cannot be written ends the document there.
  Written(writer_.Begin(
      frame, [this](std::string_view bytes) { Check(file_.Write(bytes), "cannot write", path_); }));
}

void RecordFileWriter::Write(const platform::XmlItem& item) { Written(writer_.Write(item)); }

void RecordFileWriter::End(const std::vector<platform::XmlItem>& epilog) {
  Written(writer_.End(epilog));
}

platform::Status RecordFileWriter::Commit() {
  const platform::Status s = file_.Commit();
  if (!s.ok() && s.code != platform::FileStatus::kNotSynced) FailIo(s, "cannot write", path_);
  return s;
}

bool IsRecord(const platform::XmlFrame& frame, const platform::XmlItem& item) {
  return frame.root == "root" && item.IsElement("info");
}

platform::Path HandOverName(const platform::Path& folder, const std::string& operno,
                            std::time_t t) {
  return folder / ("exif_" + OperatorForFileName(operno) + "_" + FormatStamp(t) + ".xml");
}

WrittenHandOver WriteHandOver(const platform::Path& folder, const std::string& operno,
                              std::string bytes) {
  encrypt::Scramble(bytes);
  const std::time_t now = platform::Now();
  // A day of seconds is far more than any operator writes hand-overs in.
  for (std::time_t t = now; t < now + 86400; ++t) {
    const platform::Path path = HandOverName(folder, operno, t);
    platform::FileInfo taken;
    const platform::Status look = platform::StatFile(path, taken);
    if (look.code == platform::FileStatus::kIoError) Check(look, "cannot look at", path);
    if (look.code != platform::FileStatus::kNotFound) continue;  // taken, by anything
    // Another process may take the name between the look and the write:
    // the create is exclusive all the same.
    const platform::Status s = platform::CreateExclusive(path, bytes);
    if (s.code == platform::FileStatus::kExists) continue;
    if (s.code == platform::FileStatus::kNotSynced) return {path, s};  // it stands: never twice
    Check(s, "cannot write hand-over file", path);
    return {path, {}};
  }
  throw Failure(FailureKind::kIo, "no free hand-over name in " + folder.Native(),
                {platform::FileStatus::kExists, EEXIST});
}

WorkingFile::WorkingFile(platform::Path folder, std::optional<platform::Path> case_folder)
    : session_(std::move(folder), std::move(case_folder)),
      path_(session_.folder() / kWorkingFileName) {
  result_ = reader_.Open(path_);
  // The first piece is read now: a file that cannot be read, or is no record
  // document from its first bytes, is known before the call does any work.
  if (result_) {
    have_first_ = reader_.Next(first_);
    result_ = reader_.result();
  }
  // Records stand below "root" only: a file of another root would never have
  // its records found, and would gather a new one on every call.
  if (result_ && reader_.frame().root != "root")
    result_ = {platform::LoadFailure::kNotRecordDocument};
  // An I/O error says nothing about the file: touch nothing.
  if (result_.failure == platform::LoadFailure::kIoError)
    Check({platform::FileStatus::kIoError, result_.error}, "cannot read", path_);
}

namespace {

// Takes the reader's verdict once the file has been read (or failed).
// The file is let go here: it is replaced, set aside or deleted next.
void Settle(platform::XmlItemReader& reader, platform::LoadResult& result,
            const platform::Path& path) {
  reader.Close();
  result = reader.result();
  if (result.failure == platform::LoadFailure::kIoError)
    Check({platform::FileStatus::kIoError, result.error}, "cannot read", path);
}

}  // namespace

bool WorkingFile::ReadItems(const std::function<void(const platform::XmlItem&, bool)>& item) {
  if (used_) throw Failure(FailureKind::kFault, "working file read twice");
  used_ = true;
  if (!result_) return false;
  platform::XmlItem it = std::move(first_);
  for (bool have = have_first_; have; have = reader_.Next(it))
    item(it, IsRecord(reader_.frame(), it));
  Settle(reader_, result_, path_);
  return static_cast<bool>(result_);
}

std::string WorkingFile::Stamp() const {
  platform::FileInfo info;
  platform::FileId id;
  if (!platform::StatFile(path_, info).ok() || !platform::GetFileId(path_, id).ok())
    return "missing";
  return std::to_string(id.device) + ":" + std::to_string(id.file) + ":" +
         std::to_string(info.size) + ":" + std::to_string(info.modified_ns);
}

// Every writer replaces the file whole under the lock (a new file), and a
// hand-over renames it away: the same identity, size and time mean the file
// is the one read.
bool WorkingFile::RunUnlocked(RecordEditor& editor) {
  const std::string before = Stamp();
  session_.Release();
  editor.Unlocked();
  session_.Retake();
  return Stamp() == before;
}

WorkingFile::~WorkingFile() = default;
WorkingFile::WorkingFile(WorkingFile&&) noexcept = default;

std::optional<platform::Path> SetAsideUnreadable(const platform::Path& path) {
  const std::string aside = path.Name() + ".unreadable-" + FormatStamp(platform::Now());
  for (int n = 1;; ++n) {
    const platform::Path name = path.Parent() / (n == 1 ? aside : aside + "-" + std::to_string(n));
    const platform::Status s = platform::MoveNoReplace(path, name);
    if (s.ok()) return name;
    if (s.code == platform::FileStatus::kNotFound) return std::nullopt;  // gone meanwhile
    if (s.code != platform::FileStatus::kExists || n >= 1000) Check(s, "cannot set aside", path);
  }
}

WorkingFile::Outcome WorkingFile::Rewrite(RecordEditor& editor, IfNotLoaded if_not_loaded) {
  if (used_) throw Failure(FailureKind::kFault, "working file read twice");
  used_ = true;
  Outcome outcome;
  std::optional<RecordFileWriter> file;

  if (result_) {
    editor.Begin();
    platform::XmlItem item = std::move(first_);
    bool have = have_first_;
    if (reader_.result()) {
      const platform::XmlFrame& frame = reader_.frame();
      file.emplace(path_);
      file->Begin(frame);
      for (; have; have = reader_.Next(item)) {
        const bool record = IsRecord(frame, item);
        if (record && !editor.Record(item)) continue;
        file->Write(item);
        outcome.records += record ? 1 : 0;
      }
    }
    Settle(reader_, result_, path_);  // an I/O error throws: the old file stands
    if (result_) {
      if (editor.Unlock() && !RunUnlocked(editor)) {
        outcome.changed_meanwhile = true;
        return outcome;  // the writer's temporary goes with it
      }
      editor.End([&](const platform::XmlItem& added) {
        file->Write(added);
        outcome.records += IsRecord(reader_.frame(), added) ? 1 : 0;
      });
      if (!editor.Save()) return outcome;  // the writer's temporary goes with it
      file->End(reader_.frame().epilog);
      outcome.synced = file->Commit();
      outcome.saved = true;
      return outcome;
    }
    file.reset();
    outcome.records = 0;
  }

  if (if_not_loaded == IfNotLoaded::kLeave) return outcome;
  platform::XmlFrame frame;
  if (!RecordFrame(frame)) return outcome;
  editor.Begin();
  // Whatever stands under the name (a FIFO, a broken file) moves aside first.
  reader_.Close();
  if (unreadable()) outcome.set_aside = SetAsideUnreadable(path_);
  if (editor.Unlock() && !RunUnlocked(editor)) {
    outcome.changed_meanwhile = true;
    return outcome;
  }
  file.emplace(path_);
  file->Begin(frame);
  editor.End([&](const platform::XmlItem& added) {
    file->Write(added);
    outcome.records += IsRecord(frame, added) ? 1 : 0;
  });
  if (!editor.Save()) return outcome;
  file->End(frame.epilog);
  outcome.synced = file->Commit();
  outcome.saved = true;
  return outcome;
}

}  // namespace picmeta::records
