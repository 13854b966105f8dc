#ifndef PICMETA_RECORDS_RECORD_DOCUMENT_H
#define PICMETA_RECORDS_RECORD_DOCUMENT_H

#include <cstdint>
#include <optional>
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

// Starts a record document written element by element.
bool StartRecordStream(platform::XmlStreamWriter& writer);

// A text as a record stores it: blanks trimmed at both ends (as the picture's
// values are), without the characters XML cannot carry. Names are looked up
// in this form.
std::string StoredForm(std::string_view value);

// The operator number as it stands in a hand-over file's name: every "/", "\"
// and character that file names cannot hold becomes "_", and it is cut (at a
// character boundary) so that the whole name fits the file-name limit.
std::string OperatorForFileName(std::string_view operno);

// Writes the scrambled document as folder\exif_<operno>_<YYYYMMDDHHMMSS>.xml,
// whole or not at all, and never over an existing file: when the name of the
// current second is taken, the next second's is used, and so on. No plain
// copy ever reaches the disk. Returns the path written; throws on failure,
// leaving nothing behind.
std::string WriteHandOver(const std::string& folder, const std::string& operno,
                          std::string document_bytes);

// 64-bit FNV-1a of a file's bytes: tells one version of a file from another.
std::uint64_t ContentHash(std::string_view bytes);

// A folder's working file "exifinfo.xml", held for one load-modify-save: the
// folder stays locked against other writers, threads or processes, until the
// object is gone.
class WorkingFile {
 public:
  // Locks the folder and loads the file. Throws FsError when the lock cannot
  // be had in time or the file cannot be read (an I/O error: nothing may then
  // be changed). A file larger than 1 GiB is not read and counts as unreadable.
  explicit WorkingFile(std::string folder);
  // The same, but a file whose bytes hash to `known` is not parsed: it is
  // known already (unchanged() is then true, and doc() empty).
  WorkingFile(std::string folder, std::uint64_t known);

  const std::string& path() const { return path_; }
  const std::string& folder() const { return folder_; }
  // The file existed and loaded.
  bool loaded() const { return static_cast<bool>(result_); }
  // The file is there but is no record document (it is set aside on save).
  bool unreadable() const { return result_.Unreadable(); }
  const platform::LoadResult& result() const { return result_; }
  // Hash of the bytes that loaded.
  std::uint64_t hash() const { return hash_; }
  // The file holds the bytes the caller knew (see the constructor).
  bool unchanged() const { return unchanged_; }
  // Starts from an empty record document instead; false when that fails.
  bool StartEmpty();
  platform::XmlDocument& doc() { return doc_; }

  // Saves atomically. A file that was there but unreadable is first set aside
  // as "exifinfo.xml.unreadable-<YYYYMMDDHHMMSS>", never overwriting an
  // earlier one, so that nothing it held is lost. Returns the name it was
  // set aside as, or "".
  std::string Save();

 private:
  WorkingFile(std::string folder, std::optional<std::uint64_t> known);
  std::string folder_;
  std::string path_;
  platform::FolderLock lock_;
  platform::XmlDocument doc_;
  platform::LoadResult result_;
  std::uint64_t hash_ = 0;
  bool unchanged_ = false;
};

}  // namespace picmeta::records

#endif
