#ifndef PICMETA_RECORDS_RECORD_DOCUMENT_H
#define PICMETA_RECORDS_RECORD_DOCUMENT_H

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os/fs.h"
#include "platform/xml/record_reader.h"
#include "platform/xml/record_writer.h"
#include "records/folder_session.h"
#include "records/loaded.h"

namespace picmeta::records {

inline constexpr std::string_view kRecordTemplate = "<?xml version='1.0' encoding='GBK'?><root/>";
inline constexpr std::string_view kWorkingFileName = "exifinfo.xml";
inline constexpr std::string_view kRecordQuery = "root/info";

// The frame of a new record document (GBK declaration, empty root), for
// documents written record by record; false when that fails.
bool RecordFrame(platform::XmlFrame& frame);

// A new record document (GBK declaration, empty root) written record by
// record into `bytes`, so that a case of many thousand pictures never stands
// in memory as a tree. Write refuses (a Failure of kind kRefused) a name GBK
// cannot carry.
class RecordStream {
 public:
  explicit RecordStream(std::string& bytes);
  // False when the frame cannot be made: nothing is written.
  bool ok() const { return ok_; }
  void Write(const platform::XmlItem& record);
  void End();

 private:
  platform::XmlItemWriter writer_;
  bool ok_ = false;
};

// A record document written into a file whole or not at all: the record
// stream over an atomic replacement of the file. A file that fails throws an
// I/O Failure, a name the encoding cannot carry a refusal (Failure of kind
// kRefused); until Commit the old file stays as it was, and a writer that is
// not committed leaves nothing behind.
class RecordFileWriter {
 public:
  explicit RecordFileWriter(const platform::Path& path);
  void Begin(const platform::XmlFrame& frame);
  void Write(const platform::XmlItem& item);
  void End(const std::vector<platform::XmlItem>& epilog);
  // In place: ok, or kNotSynced (its folder could not be synced).
  platform::Status Commit();

 private:
  platform::Path path_;
  platform::AtomicFileWriter file_;
  platform::XmlItemWriter writer_;  // its sink writes to file_
};

// Whether an item of a document with that root is a record ("root/info").
bool IsRecord(const platform::XmlFrame& frame, const platform::XmlItem& item);

// folder\exif_<operno>_<YYYYMMDDHHMMSS>.xml for the local time t.
platform::Path HandOverName(const platform::Path& folder, const std::string& operno, std::time_t t);

// Writes the scrambled document as folder\exif_<operno>_<YYYYMMDDHHMMSS>.xml,
// whole or not at all, and never over an existing file: when the name of the
// current second is taken, the next second's is used, and so on. No plain
// copy ever reaches the disk. The path written, and whether it is on disk
// (`synced`: ok or kNotSynced); throws on failure, leaving nothing behind.
struct WrittenHandOver {
  platform::Path path;
  platform::Status synced;
};
WrittenHandOver WriteHandOver(const platform::Path& folder, const std::string& operno,
                              std::string document_bytes);

// Renames a file that is no record document to
// "<name>.unreadable-<YYYYMMDDHHMMSS>" (with "-2", "-3" ... when taken), so
// that nothing it holds is lost; the new name, or nullopt when it was gone.
std::optional<platform::Path> SetAsideUnreadable(const platform::Path& path);

// How a call changes a working file's records as they stream past.
class RecordEditor {
 public:
  using Add = std::function<void(const platform::XmlItem&)>;
  virtual ~RecordEditor() = default;
  // Before the records; again, with none to follow, when the file turns out
  // not to be a record document and the call starts from an empty one.
  virtual void Begin() {}
  // Each record in turn (may be changed); false drops it.
  virtual bool Record(platform::XmlItem& record) = 0;
  // After the last record, before End: whether work is to be done with the
  // folder unlocked (Unlocked). The file is then finished only if no one
  // changed it meanwhile; otherwise the call is told to run again.
  virtual bool Unlock() { return false; }
  virtual void Unlocked() {}
  // After the last record: appends new ones.
  virtual void End(const Add& add) { (void)add; }
  // Whether the result is to be saved at all.
  virtual bool Save() const { return true; }
};

// A folder's working file "exifinfo.xml", held for one call: the folder stays
// locked against other writers, threads or processes, until the object is
// gone. The file is read once, record by record, and the new version written
// as it is read, so that neither ever stands in memory whole.
class WorkingFile {
 public:
  // Takes the folder's session (folder_session.h: locked, what calls that
  // died left settled, their journals looked for in `case_folder`), and opens
  // the file. Throws an I/O Failure when the lock cannot be had in time or the file
  // cannot be opened (an I/O error: nothing may then be changed). A file
  // larger than 1 GiB is not read and counts as unreadable, as does one whose
  // root element is not "root".
  WorkingFile(platform::Path folder, std::optional<platform::Path> case_folder);
  ~WorkingFile();
  WorkingFile(WorkingFile&&) noexcept;

  // What calls that died left in the folder, and what became of it.
  std::vector<Leftover> TakeLeftovers() { return session_.TakeLeftovers(); }
  const FolderSession& session() const { return session_; }

  const platform::Path& path() const { return path_; }
  const platform::Path& folder() const { return session_.folder(); }
  // Why the file did not load (missing, unreadable, ...), or ok; known for
  // sure once it has been read.
  const platform::LoadResult& result() const { return result_; }
  bool missing() const { return result_.failure == platform::LoadFailure::kMissing; }
  // The file is there but is no record document (it is set aside on save).
  bool unreadable() const { return result_.Unreadable(); }

  // Hands every item below the root to `item`, with whether it is a record,
  // without writing; false when the file did not load, in which case items
  // may have been handed out already. Throws an I/O Failure on an I/O error.
  bool ReadItems(const std::function<void(const platform::XmlItem&, bool record)>& item);
  // Lets the file go before it is deleted (an open file cannot be deleted
  // and made again at once on every platform).
  void Close() { reader_.Close(); }

  enum class IfNotLoaded {
    kStartEmpty,  // start from an empty record document (an unreadable file is set aside first)
    kLeave,       // write nothing
  };
  struct Outcome {
    bool saved = false;
    platform::Status synced;                  // saved: whether that is on disk (ok or kNotSynced)
    bool changed_meanwhile = false;           // the file changed while unlocked: nothing saved
    std::optional<platform::Path> set_aside;  // the name an unreadable file was set aside as
    long long records = 0;                    // records in the file saved
  };
  // Streams the records through the editor into the file's new version and
  // replaces the file atomically. An unreadable file is set aside as
  // "exifinfo.xml.unreadable-<YYYYMMDDHHMMSS>", never overwriting an earlier
  // one, so that nothing it held is lost. Throws an I/O Failure (I/O, save) or
  // a refusal (a name the encoding cannot carry), the old file then untouched.
  Outcome Rewrite(RecordEditor& editor, IfNotLoaded if_not_loaded);

 private:
  // The file as it stands (identity, size, time); "missing" when it is not there.
  std::string Stamp() const;
  // Runs the editor's unlocked work; false when the file changed meanwhile.
  bool RunUnlocked(RecordEditor& editor);
  FolderSession session_;
  platform::Path path_;
  platform::XmlItemReader reader_;
  platform::XmlItem first_;  // the first record, read with the file's first piece
  bool have_first_ = false;
  platform::LoadResult result_;
  bool used_ = false;
};

}  // namespace picmeta::records

#endif
