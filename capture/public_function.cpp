#include "capture/public_function.h"

#include <errno.h>

#include <variant>

#include "capture/diagnostics.h"
#include "capture/guarded.h"
#include "platform/os/clock.h"
#include "platform/os/fs.h"
#include "platform/os/text.h"
#include "reader/exif_reader.h"
#include "records/formats.h"
#include "records/hand_over.h"
#include "records/workspace.h"

namespace picmeta::Public_Function {
namespace {

using capture::Step;
namespace ws = records::workspace;

// Stored text values are cut to this many bytes: what a record holds, and so
// the record files, never grow with a hostile picture's size.
constexpr std::size_t kMaxStoredValue = 64 * 1024;

// Text of a tag value: "" for empty, the characters of a text (its first
// 64 KiB, cut at a character boundary: `cut` says so), decimal digits of a
// number; blanks trimmed at both ends.
std::string TagText(const reader::TagValue& value, bool& cut) {
  cut = false;
  if (const auto* n = std::get_if<std::int32_t>(&value)) return std::to_string(*n);
  const auto* s = std::get_if<std::string>(&value);
  if (!s) return {};
  if (s->size() <= kMaxStoredValue) return records::TrimBlanks(*s);
  cut = true;
  std::size_t end = kMaxStoredValue;
  while (end > 0 && (static_cast<unsigned char>((*s)[end]) & 0xC0) == 0x80) --end;
  return records::TrimBlanks(std::string_view(*s).substr(0, end));
}

}  // namespace

void ReadPicInfo(const std::string& picture_path, clsPicinfo& record) {
  ReadPicture(platform::Path::FromText(picture_path), record);
}

PictureRead ReadPicture(const platform::Path& picture, clsPicinfo& record) {
  PictureRead read;
  // Memory exhausted while a picture is read is a passing failure too.
  auto passing = [&](const std::string& error, int os_error) {
    read.kind = PictureRead::Kind::kNotRead;
    read.error = error;
    read.os_error = os_error;
  };
  // One look at the file answers both: does it exist, and its attributes.
  platform::FileInfo file;
  if (const platform::Status st = platform::StatFile(picture, file); !st.ok()) {
    if (st.code == platform::FileStatus::kIoError) {
      passing(platform::Describe(st), st.error.value());
      return read;
    }
    read.kind = PictureRead::Kind::kMissing;
    // A path without a file name is a document without a name, told by its caller.
    if (capture::Logging() && !picture.Name().empty())
      capture::Emit(PICMETA_EVENT_PICTURE_MISSING, picture.Native(),
                    "picture " + picture.Name() + ": " +
                        (st.code == platform::FileStatus::kNotFound ? std::string("not on disk")
                                                                    : platform::Describe(st)),
                    -1, st.error.value());
    return read;
  }
  const std::string& name = file.name;  // the picture's name as stored, whatever its spelling here
  const auto dot = name.find_last_of('.');
  record.Filetype(records::TrimBlanks(dot == std::string::npos ? name : name.substr(dot + 1)));
  record.Filename(records::TrimBlanks(name));
  record.Datecreat(records::TrimBlanks(records::FormatGeneralDate(file.created)));
  record.Datemodified(records::TrimBlanks(records::FormatGeneralDate(file.modified)));
  record.FileSize(std::to_string(file.size));

  // A picture that does not load, or a tag that cannot be read, is an input's
  // failure: the tag values keep what they held (the record's last picture's
  // values, as the host has always seen them).
  reader::ExifReader reader;
  std::string failure = "no Exif block";
  try {
    reader.Load(picture);
  } catch (const reader::FileError& e) {
    failure = std::string(reader::FailureKind(e)) + ": " + e.what();
    if (e.passing()) passing(e.what(), e.os_error());
  } catch (const reader::ExifError& e) {
    failure = std::string(reader::FailureKind(e)) + ": " + e.what();
  } catch (const std::bad_alloc&) {
    passing("out of memory", ENOMEM);
  }
  if (read.kind == PictureRead::Kind::kNotRead) return read;
  if (!reader.Getloaded()) {
    if (capture::Logging())
      capture::Emit(PICMETA_EVENT_PICTURE_WITHOUT_EXIF, picture.Native(),
                    "picture " + picture.Name() + ": " + failure);
    return read;
  }
  struct Row {
    std::int32_t tag;
    void (clsPicinfo::*set)(std::string);
    const char* name;
  };
#define PICMETA_ROW(tag, property) \
  { tag, &clsPicinfo::property, #property }
  static constexpr Row kRows[] = {PICMETA_ROW(0x0107, Thresholding), PICMETA_ROW(0x0108, CellWidth),
                                  PICMETA_ROW(0x0109, CellLength),   PICMETA_ROW(0x010A, Secdat),
                                  PICMETA_ROW(0x010F, Make),         PICMETA_ROW(0x0110, Model),
                                  PICMETA_ROW(0x9003, Takedate),     PICMETA_ROW(0x9004, Digidate),
                                  PICMETA_ROW(0x0132, Updatedate),   PICMETA_ROW(0x0131, Software),
                                  PICMETA_ROW(0x8769, Ifdoffset),    PICMETA_ROW(0xA005, Offset),
                                  PICMETA_ROW(0x0201, Soioffset)};
#undef PICMETA_ROW
  for (const Row& row : kRows) {
    reader::TagValue value;
    try {
      value = reader.Tag(row.tag);
    } catch (const reader::FileError& e) {
      if (e.passing()) passing(e.what(), e.os_error());
      continue;  // the property keeps its value
    } catch (const reader::ExifError&) {
      continue;  // the property keeps its value
    } catch (const std::bad_alloc&) {
      passing("out of memory", ENOMEM);
      continue;
    }
    bool cut = false;
    (record.*row.set)(TagText(value, cut));
    if (cut)
      capture::Emit(PICMETA_EVENT_VALUE_CUT, picture.Native(),
                    "picture " + picture.Name() + ": its " + row.name +
                        " value is longer than 64 KiB: cut to its first 64 KiB");
  }
  return read;
}

void ReportNameNotStorable(const platform::Path& picture, const std::string& consequence) {
  capture::Emit(PICMETA_EVENT_NAME_NOT_STORABLE, picture.Native(),
                "picture " + records::Shown(picture.Name()) +
                    ": its name cannot be stored exactly in a record (bytes that are not UTF-8 "
                    "or characters XML cannot carry): " +
                    consequence);
}

void ReportNotRead(const platform::Path& picture, const PictureRead& read,
                   const std::string& consequence) {
  capture::Emit(PICMETA_EVENT_PICTURE_NOT_READ, picture.Native(),
                "picture " + records::Shown(picture.Name()) + " could not be read (" + read.error +
                    "): " + consequence,
                -1, read.os_error);
}

std::string GetResourceName(const std::string& folder, const std::string& index) {
  return ws::ResourceNames(platform::Path::FromText(folder)).Lookup(index);
}

void ReadBusiIndex(const platform::Path& W, const std::string& R, clsPicinfo& record) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const auto sep = R.find('\\', start);
    parts.push_back(R.substr(start, sep - start));
    if (sep == std::string::npos) break;
    start = sep + 1;
  }
  // A path of one component names no case folder inside its top folder.
  if (parts.size() < 2) return;
  const platform::Path path = W.Join(platform::Path::FromText(parts[0])) / ws::kExplorerFile;
  const ws::FolderIndex index = ws::ReadFolderIndex(path, parts[1]);
  if (!index.result) {
    ReportNotLoaded(path, index.result);
    return;
  }
  for (const auto& [name, value] : index.components) {
    void (clsPicinfo::*set)(std::string) = nullptr;
    if (name == "busitype")
      set = &clsPicinfo::Busitype;
    else if (name == "claimstno")
      set = &clsPicinfo::Claimstno;
    else if (name == "classcode")
      set = &clsPicinfo::ClassCode;
    // A component without a value leaves the property as it was.
    if (set && value) (record.*set)(*value);
  }
}

void CollectDocumentFolders(const records::workspace::CaseRecord& record, const std::string& path,
                            std::vector<std::string>& list) {
  for (const auto& below : record.records) {
    // An absent or empty folder name adds no level, as on disk.
    if (!records::SafeFolderName(below.folder)) continue;  // it and everything below stay out
    CollectDocumentFolders(below, below.folder.empty() ? path : path + "\\" + below.folder, list);
  }
  if (!record.documents.empty()) {
    capture::NotifyFolder(path);
    list.push_back(path);
  }
}

std::optional<std::string> RecordableCaseFolder(const platform::Path& W, clsPicinfo& record) {
  records::LoadResult loaded;
  const auto R = ws::ReadRelativePath(W, loaded);
  if (!R) {
    ReportNotLoaded(W / ws::kDocumentSourceFile, loaded);
    return std::nullopt;
  }
  if (R->empty()) {
    capture::Emit(PICMETA_EVENT_GATE_STOPPED, (W / ws::kDocumentSourceFile).Native(),
                  "documentfilesource.xml names no case folder");
    return std::nullopt;
  }
  ReadBusiIndex(W, *R, record);
  if (record.Busitype() != "2") {
    capture::Emit(PICMETA_EVENT_GATE_STOPPED, "",
                  "business type '" + record.Busitype() + "' of case folder " +
                      platform::Path::FromText(*R).Native() + " is not 2");
    return std::nullopt;
  }
  if (record.ClassCode() != "11020000") {
    capture::Emit(PICMETA_EVENT_GATE_STOPPED, "",
                  "class code '" + record.ClassCode() + "' of case folder " +
                      platform::Path::FromText(*R).Native() + " is not 11020000");
    return std::nullopt;
  }
  return R;
}

platform::Path FolderParameter(const std::string& text) {
  return platform::Absolute(platform::Path::FromText(text));
}

void ReportNotLoaded(const platform::Path& path, const records::LoadResult& result) {
  if (!capture::Logging()) return;
  capture::Emit(PICMETA_EVENT_WORKSPACE_FILE_NOT_LOADED, path.Native(),
                path.Name() + ": " + records::Describe(result), -1, result.error.value());
}

void ReportFsFailure(int code, const platform::Path& path, const records::Failure& e) {
  if (!capture::Logging()) return;
  const int c =
      e.status().code == platform::FileStatus::kLockTimeout ? PICMETA_EVENT_LOCK_TIMEOUT : code;
  capture::Emit(c, path.Native(), e.what(), -1, e.error());
}

void ReportLeftovers(const std::vector<records::Leftover>& leftovers) {
  using Kind = records::Leftover::Kind;
  for (const auto& l : leftovers) {
    const std::string where = l.path.Native();
    switch (l.kind) {
      case Kind::kSettled:
        capture::Emit(PICMETA_EVENT_HANDOVER_RECOVERED, where,
                      l.committed ? "records of folder " + where +
                                        " that a call which ended had handed over were removed"
                                  : "records of folder " + where +
                                        " that a call which ended had taken were given back");
        break;
      case Kind::kIgnored:
        capture::Emit(PICMETA_EVENT_HIDDEN_FILE_IGNORED, where,
                      "hidden file " + records::Shown(where) + ": " + l.why + "; left where it is");
        break;
      case Kind::kWaiting:
        capture::Emit(PICMETA_EVENT_CLAIM_WAITING, where,
                      records::Shown(where) + " waits for a call that can decide: " + l.why);
        break;
    }
  }
}

std::optional<records::WorkingFile> OpenWorkingFile(const platform::Path& folder,
                                                    std::optional<platform::Path> case_folder) {
  std::optional<records::WorkingFile> file;
  try {
    file.emplace(folder, std::move(case_folder));
  } catch (const records::Failure& e) {
    if (e.kind() != records::FailureKind::kIo) throw;
    ReportFsFailure(PICMETA_EVENT_READ_FAILED, folder / records::kWorkingFileName, e);
    throw capture::Reported();
  }
  ReportLeftovers(file->TakeLeftovers());
  return file;
}

platform::Path WriteHandOver(const platform::Path& folder, const std::string& operno,
                             std::string document_bytes, long long count) {
  records::WrittenHandOver written;
  try {
    written = records::WriteHandOver(folder, operno, std::move(document_bytes));
  } catch (const records::Failure& e) {
    if (e.kind() != records::FailureKind::kIo) throw;
    ReportFsFailure(PICMETA_EVENT_SAVE_FAILED, folder, e);
    throw capture::Reported();
  }
  if (capture::Logging())
    capture::Emit(PICMETA_EVENT_HANDOVER_WRITTEN, written.path.Native(),
                  "hand-over file written with " + capture::Counted(count, "record"), count);
  if (!written.synced.ok())
    capture::Emit(
        PICMETA_EVENT_SAVE_FAILED, written.path.Native(),
        "hand-over file " + written.path.Native() + ": " + platform::Describe(written.synced), -1,
        written.synced.error.value());
  return written.path;
}

records::WorkingFile::Outcome RewriteWorkingFile(records::WorkingFile& file,
                                                 records::RecordEditor& editor,
                                                 records::WorkingFile::IfNotLoaded if_not_loaded) {
  records::WorkingFile::Outcome outcome;
  try {
    outcome = file.Rewrite(editor, if_not_loaded);
  } catch (const records::Failure& e) {
    switch (e.kind()) {
      case records::FailureKind::kIo: {
        const bool read = file.result().failure == records::LoadFailure::kIoError;
        ReportFsFailure(read ? PICMETA_EVENT_READ_FAILED : PICMETA_EVENT_SAVE_FAILED, file.path(),
                        e);
        throw capture::Reported();
      }
      case records::FailureKind::kRefused:
        capture::Emit(PICMETA_EVENT_SAVE_FAILED, file.path().Native(), e.what());
        throw capture::Reported();
      case records::FailureKind::kFault:
        break;
    }
    throw;
  }
  ReportLeftovers(file.TakeLeftovers());  // what a second look at the folder found
  if (!capture::Logging()) return outcome;
  if (outcome.set_aside)
    capture::Emit(PICMETA_EVENT_WORKING_FILE_SET_ASIDE, outcome.set_aside->Native(),
                  "working file " + file.path().Native() + " (" + records::Describe(file.result()) +
                      ") set aside as " + outcome.set_aside->Name());
  if (!outcome.saved) return outcome;
  capture::Emit(PICMETA_EVENT_WORKING_FILE_SAVED, file.path().Native(),
                "working file saved with " + capture::Counted(outcome.records, "record"),
                outcome.records);
  if (!outcome.synced.ok())
    capture::Emit(
        PICMETA_EVENT_SAVE_FAILED, file.path().Native(),
        "working file " + file.path().Native() + ": " + platform::Describe(outcome.synced), -1,
        outcome.synced.error.value());
  return outcome;
}

void SplitOrgid(const std::string& orgid, clsPicinfo& record) {
  record.Orgid(records::Mid(orgid, 1, 7));
  record.Suborgid(records::Mid(orgid, 8, 6));
  record.Net(records::Mid(orgid, 14, 3));
}

}  // namespace picmeta::Public_Function
