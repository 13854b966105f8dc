#include <cstring>
#include <new>

#include "capture/guarded.h"
#include "capture/methods.h"
#include "picmeta/clsmain.h"
#include "picmeta/picmeta.h"

// The C interface: a NULL string counts as "", a NULL object does nothing, and
// nothing escapes as an exception. A method runs under the library's one
// guard (capture::Method), its C strings copied inside it.
struct picmeta_clsmain {
  picmeta::clsmain object;
};

namespace {

std::string S(const char* s) { return s ? std::string(s) : std::string(); }

}  // namespace

extern "C" {

picmeta_clsmain* picmeta_clsmain_create(void) { return new (std::nothrow) picmeta_clsmain; }

void picmeta_clsmain_release(picmeta_clsmain* obj) { delete obj; }

size_t picmeta_clsmain_get_GV_FilePath(const picmeta_clsmain* obj, char* buf, size_t size) {
  if (!obj) {
    if (buf && size > 0) buf[0] = '\0';
    return 0;
  }
  const std::string& value = obj->object.GV_FilePath();
  if (buf && size > 0) {
    const size_t n = value.size() < size - 1 ? value.size() : size - 1;
    std::memcpy(buf, value.data(), n);
    buf[n] = '\0';
  }
  return value.size();
}

void picmeta_clsmain_set_GV_FilePath(picmeta_clsmain* obj, const char* value) {
  if (!obj) return;
  picmeta::capture::Step([&] { obj->object.GV_FilePath(S(value)); });
}

void picmeta_clsmain_DeleteDatafromXML(picmeta_clsmain* obj, const char* LastPath1,
                                       const char* pic_name) {
  if (!obj) return;
  picmeta::capture::Method("DeleteDatafromXML", [&] {
    picmeta::capture::methods::DeleteDatafromXML(S(LastPath1), S(pic_name));
  });
}

void picmeta_clsmain_ReadEXIF(picmeta_clsmain* obj, const char* TempPath1, const char* AppPath1,
                              const char* Busitype, const char* ClassCode, const char* Orgid,
                              const char* Busiorgid, const char* Operno, const char* Opername,
                              const char* BusiTime, const char* Systemid, const char* BusiProcess,
                              const char* IP) {
  if (!obj) return;
  picmeta::capture::Method("ReadEXIF", [&] {
    picmeta::capture::methods::ReadEXIF(S(TempPath1), S(AppPath1), S(Busitype), S(ClassCode),
                                        S(Orgid), S(Busiorgid), S(Operno), S(Opername), S(BusiTime),
                                        S(Systemid), S(BusiProcess), S(IP));
  });
}

void picmeta_clsmain_WriteDatatoXML(picmeta_clsmain* obj, const char* AppPath1, const char* Orgid,
                                    const char* Busiorgid, const char* Operno, const char* Opername,
                                    const char* BusiTime) {
  if (!obj) return;
  picmeta::capture::Method("WriteDatatoXML", [&] {
    picmeta::capture::methods::WriteDatatoXML(S(AppPath1), S(Orgid), S(Busiorgid), S(Operno),
                                              S(Opername), S(BusiTime));
  });
}

void picmeta_clsmain_CopyExifInfo(picmeta_clsmain* obj, const char* strFolderPath1,
                                  const char* TempPath1, const char* Operno) {
  if (!obj) return;
  picmeta::capture::Method("CopyExifInfo", [&] {
    picmeta::capture::methods::CopyExifInfo(S(strFolderPath1), S(TempPath1), S(Operno));
  });
}

void picmeta_clsmain_NewWriteDatatoXML(picmeta_clsmain* obj, const char* AppPath1,
                                       const char* strFilePath, const char* Orgid,
                                       const char* Busiorgid, const char* Operno,
                                       const char* Opername, const char* BusiTime) {
  if (!obj) return;
  picmeta::capture::Method("NewWriteDatatoXML", [&] {
    picmeta::capture::methods::NewWriteDatatoXML(S(AppPath1), S(strFilePath), S(Orgid),
                                                 S(Busiorgid), S(Operno), S(Opername), S(BusiTime));
  });
}

void picmeta_set_folder_notification(picmeta_folder_notification fn, void* user_data) {
  // The std::function is built here, outside the noexcept setter: guard it too.
  picmeta::capture::Step([&] {
    if (!fn) {
      picmeta::SetFolderNotification(nullptr);
      return;
    }
    picmeta::SetFolderNotification(
        [fn, user_data](const std::string& folder) { fn(folder.c_str(), user_data); });
  });
}

}  // extern "C"
