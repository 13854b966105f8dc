#include <cstring>
#include <new>

#include "capture/guarded.h"
#include "picmeta/clsmain.h"
#include "picmeta/picmeta.h"

// The C interface: a NULL string counts as "", a NULL object does nothing, and
// nothing escapes as an exception.
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
  picmeta::capture::Step([&] { obj->object.DeleteDatafromXML(S(LastPath1), S(pic_name)); });
}

}  // extern "C"
