#include "records/record_document.h"

#include <errno.h>

#include "platform/clock.h"
#include "scramble/encrypt.h"

namespace picmeta::records {

bool NewRecordDocument(platform::XmlDocument& doc) { return doc.LoadXML(kRecordTemplate); }

std::string HandOverBase(const std::string& folder, const std::string& operno) {
  return folder + "\\exif_" + operno + "_" + platform::FormatStamp(platform::Now());
}

bool StartRecordStream(platform::XmlStreamWriter& writer) { return writer.Start(kRecordTemplate); }

void SaveScrambled(const platform::XmlDocument& doc, const std::string& path) {
  SaveScrambled(doc.Serialize(), path);
}

void SaveScrambled(std::string bytes, const std::string& path) {
  encrypt::Scramble(bytes);
  platform::AtomicWriteFile(path, bytes);
}

WorkingFile::WorkingFile(std::string folder)
    : path_(folder + "\\" + std::string(kWorkingFileName)), lock_(folder) {
  loaded_ = doc_.Load(path_, platform::Blanks::kDrop);
}

bool WorkingFile::StartEmpty() { return NewRecordDocument(doc_); }

void WorkingFile::Save() {
  if (!loaded_ && platform::FileExists(path_)) {
    const std::string aside = path_ + ".unreadable-" + platform::FormatStamp(platform::Now());
    for (int n = 1;; ++n) {
      try {
        platform::RenameNoReplace(path_, n == 1 ? aside : aside + "-" + std::to_string(n));
        break;
      } catch (const platform::FsError& e) {
        if (e.error() != EEXIST || n >= 1000) throw;
      }
    }
  }
  doc_.Save(path_);
  loaded_ = true;
}

}  // namespace picmeta::records
