#ifndef PICMETA_CLSMAIN_H
#define PICMETA_CLSMAIN_H

#include <functional>
#include <string>

#include "picmeta/events.h"
#include "picmeta/export.h"

namespace picmeta {

// The one class a host creates. Every method takes its parameters by value,
// returns normally whatever the files hold, lets no exception out and reports
// only through the record files it writes. Paths may use "/" or "\" as
// separators. A thread cancelled inside a call is cancelled normally (the
// methods are not noexcept so that its unwinding can pass).
class PICMETA_API clsmain {
 public:
  clsmain() noexcept;
  ~clsmain();
  clsmain(const clsmain&) = delete;
  clsmain& operator=(const clsmain&) = delete;

  // A text the host may keep on the object; no method reads or changes it.
  const std::string& GV_FilePath() const noexcept;
  void GV_FilePath(std::string value) noexcept;

  // Records every picture of a case into a new scrambled hand-over file
  // "exif_<Operno>_<YYYYMMDDHHMMSS>.xml" in AppPath1.
  void ReadEXIF(std::string TempPath1, std::string AppPath1, std::string Busitype,
                std::string ClassCode, std::string Orgid, std::string Busiorgid,
                std::string Operno, std::string Opername, std::string BusiTime,
                std::string Systemid, std::string BusiProcess, std::string IP);

  // Appends records for the newly listed pictures of the current case folder
  // to its "exifinfo.xml".
  void WriteDatatoXML(std::string AppPath1, std::string Orgid, std::string Busiorgid,
                      std::string Operno, std::string Opername, std::string BusiTime);

  // Removes the record of picture pic_name from LastPath1's "exifinfo.xml".
  void DeleteDatafromXML(std::string LastPath1, std::string pic_name);

  // Gathers the working files of a case into one scrambled hand-over file in
  // strFolderPath1 and removes the working files it took over.
  void CopyExifInfo(std::string strFolderPath1, std::string TempPath1,
                    std::string Operno);

  // Inserts or refreshes the record of one picture in its folder's "exifinfo.xml".
  void NewWriteDatatoXML(std::string AppPath1, std::string strFilePath, std::string Orgid,
                         std::string Busiorgid, std::string Operno, std::string Opername,
                         std::string BusiTime);

 private:
  std::string gv_file_path_;
};

// Called by CopyExifInfo once per collected document folder, in list order,
// with the folder's path relative to the picture tree root ("\A\B\C").
// Process-wide; an empty function removes it. By default nothing is called.
using FolderNotification = std::function<void(const std::string& folder)>;
PICMETA_API void SetFolderNotification(FolderNotification notification) noexcept;

// One diagnostics event (codes and meanings in picmeta/events.h).
struct Event {
  int code = 0;
  picmeta_severity severity = PICMETA_INFO;
  std::string method;   // "ReadEXIF", ..., or "" outside a method
  std::string path;     // "" when none
  std::string message;  // one line of English
  long long count = -1; // records, for hand-over written and working file saved
  int os_error = 0;
};

// Installs the process-wide diagnostics handler; an empty function removes
// it. By default there is none and the library reports nothing. The handler
// runs on the calling thread; it may call the library (events raised
// meanwhile are not delivered), and whatever it throws is ignored.
using LogHandler = std::function<void(const Event& event)>;
PICMETA_API void SetLogHandler(LogHandler handler) noexcept;

}  // namespace picmeta

#endif
