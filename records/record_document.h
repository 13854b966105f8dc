#ifndef PICMETA_RECORDS_RECORD_DOCUMENT_H
#define PICMETA_RECORDS_RECORD_DOCUMENT_H

#include <string>
#include <string_view>

#include "platform/fs.h"
#include "platform/xml.h"

namespace picmeta::records {

inline constexpr std::string_view kRecordTemplate = "<?xml version='1.0' encoding='GBK'?><root/>";
inline constexpr std::string_view kWorkingFileName = "exifinfo.xml";
inline constexpr std::string_view kRecordQuery = "root/info";

// Replaces doc with a new record document (GBK declaration, empty root);
// false when that fails.
bool NewRecordDocument(platform::XmlDocument& doc);

// folder + "\exif_" + operno + "_" + YYYYMMDDHHMMSS (the plain name; the
// hand-over file adds ".xml").
std::string HandOverBase(const std::string& folder, const std::string& operno);

// Starts a record document written element by element.
bool StartRecordStream(platform::XmlStreamWriter& writer);

// Writes the scrambled document to path as a whole or not at all: no plain
// copy ever reaches the disk, and a failure (thrown) leaves nothing behind.
void SaveScrambled(const platform::XmlDocument& doc, const std::string& path);
void SaveScrambled(std::string document_bytes, const std::string& path);

// A folder's working file "exifinfo.xml", held for one load-modify-save: the
// folder stays locked against other writers, threads or processes, until the
// object is gone.
class WorkingFile {
 public:
  // Locks the folder (FsError when the lock cannot be had in time) and loads
  // the file.
  explicit WorkingFile(std::string folder);

  const std::string& path() const { return path_; }
  // The file existed and loaded.
  bool loaded() const { return loaded_; }
  // Starts from an empty record document instead; false when that fails.
  bool StartEmpty();
  platform::XmlDocument& doc() { return doc_; }

  // Saves atomically. A file that existed but did not load is first set aside
  // as "exifinfo.xml.unreadable-<YYYYMMDDHHMMSS>", never overwriting an
  // earlier one, so that nothing it held is lost.
  void Save();

 private:
  std::string path_;
  platform::FolderLock lock_;
  platform::XmlDocument doc_;
  bool loaded_ = false;
};

}  // namespace picmeta::records

#endif
