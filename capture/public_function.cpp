#include "capture/public_function.h"

#include <errno.h>

#include <variant>

#include "capture/diagnostics.h"
#include "capture/guarded.h"
#include "capture/reports.h"
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
    capture::ReportNotLoaded(path, index.result);
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

}  // namespace picmeta::Public_Function
