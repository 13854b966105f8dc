#ifndef PICMETA_CLSMAIN_H
#define PICMETA_CLSMAIN_H

#include <functional>
#include <string>

#include "picmeta/events.h"
#include "picmeta/export.h"

namespace picmeta {

// The one class a host creates. Every method takes its parameters by value
// (UTF-8 text), returns normally whatever the files hold, lets no exception
// out and reports nothing to its caller: the outcome is in the record files it
// writes, and in the diagnostics events (SetLogHandler below). No method ever
// writes, moves or deletes the host's workspace files, shows a window or
// prints. Folder parameters may use "/" or "\" as separators. A thread
// cancelled inside a call is cancelled normally (the methods are not noexcept
// so that its unwinding can pass). Objects are independent; one object is
// called by one thread at a time, and several objects may work in parallel,
// also on the same folders (writers of one folder take turns).
class PICMETA_API clsmain {
 public:
  clsmain() noexcept;
  ~clsmain();
  clsmain(const clsmain&) = delete;
  clsmain& operator=(const clsmain&) = delete;

  // A text the host may keep on the object; no method reads or changes it.
  const std::string& GV_FilePath() const noexcept;
  void GV_FilePath(std::string value) noexcept;

  // Records a whole case at once: one record of 33 attributes for every
  // document the case tree of "busiinfoprocess.xml" names at levels 2 to 4,
  // in a new scrambled hand-over file AppPath1\exif_<Operno>_<YYYYMMDDHHMMSS>.xml
  // (the next second's name when that one is taken). Does not read or change
  // any "exifinfo.xml".
  //   TempPath1    root of the case's picture tree
  //   AppPath1     the workspace folder: holds "busiinfoprocess.xml" and
  //                "resourceprocess.xml", receives the hand-over file
  //   Busitype     business type; only "2" is recorded (else nothing is written)
  //   ClassCode    class code; "" takes it from "busiinfoprocess.xml"; only
  //                "11020000" is recorded
  //   Orgid        16-character organisation id: characters 1-7 become Orgid,
  //                8-13 Suborgid, 14-16 Net
  //   Busiorgid, Operno, Opername, BusiTime, Systemid, BusiProcess, IP
  //                written unchanged; Operno also names the hand-over file
  // Nothing is written when a gate stops it or "busiinfoprocess.xml" does not
  // load; a case without documents gives a hand-over file with an empty root.
  void ReadEXIF(std::string TempPath1, std::string AppPath1, std::string Busitype,
                std::string ClassCode, std::string Orgid, std::string Busiorgid, std::string Operno,
                std::string Opername, std::string BusiTime, std::string Systemid,
                std::string BusiProcess, std::string IP);

  // Brings the current case folder's working file up to date: appends a record
  // of 23 attributes to <case folder>\exifinfo.xml for every picture its
  // "kelexplorersource.xml" lists with processflag "1" that is on disk and has
  // no record yet; existing records are never changed.
  //   AppPath1     the workspace folder: its "documentfilesource.xml" names
  //                the case folder, the top folder's "kelexplorersource.xml"
  //                its business type (only "2"), class code (only "11020000")
  //                and claim number
  //   Orgid        organisation id, split as in ReadEXIF
  //   Busiorgid, Operno, Opername, BusiTime   written unchanged
  // Nothing is written when a gate stops it or a workspace file it needs does
  // not load.
  void WriteDatatoXML(std::string AppPath1, std::string Orgid, std::string Busiorgid,
                      std::string Operno, std::string Opername, std::string BusiTime);

  // Removes the first record whose Filename is pic_name (blanks at its ends
  // trimmed, as names are stored) from LastPath1\exifinfo.xml and saves the
  // file. A folder without a loadable working file is left exactly as it was.
  //   LastPath1    the folder holding "exifinfo.xml"
  //   pic_name     the picture's file name, without folder; case-sensitive
  void DeleteDatafromXML(std::string LastPath1, std::string pic_name);

  // Gathers the working files of a case into one scrambled hand-over file
  // strFolderPath1\exif_<Operno>_<YYYYMMDDHHMMSS>.xml and removes the working
  // files it took over (only once the hand-over file stands whole; a working
  // file changed meanwhile keeps what was added since). The document folders
  // are every record of "busiinfoprocess.xml" that holds documents, in
  // post-order; each is told to the folder notification (SetFolderNotification).
  //   strFolderPath1  the case folder: holds "busiinfoprocess.xml", receives
  //                   the hand-over file
  //   TempPath1       root of the picture tree holding the working files
  //   Operno          names the hand-over file
  // Nothing is written when no working file loads.
  void CopyExifInfo(std::string strFolderPath1, std::string TempPath1, std::string Operno);

  // Records one picture in the "exifinfo.xml" of the folder that holds it:
  // inserts a record of 21 attributes, or refreshes those 21 on the first
  // record of the same Filename (keeping its other attributes).
  //   AppPath1     the workspace folder, for the same gates as WriteDatatoXML
  //   strFilePath  full path of the picture; nothing is written when no
  //                regular file is there
  //   Orgid, Busiorgid, Operno, Opername, BusiTime   as in WriteDatatoXML
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
  std::string method;    // "ReadEXIF", ..., or "" outside a method
  std::string path;      // "" when none
  std::string message;   // one line of English
  long long count = -1;  // records, for hand-over written and working file saved
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
