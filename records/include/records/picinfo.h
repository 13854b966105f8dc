#ifndef PICMETA_RECORDS_PICINFO_H
#define PICMETA_RECORDS_PICINFO_H

#include <string>

namespace picmeta {

// The record of one picture while a method builds its `info` element: 25 text
// properties, each stored and returned unchanged.
// clang-format off
#define PICMETA_PICINFO_PROPERTIES(X)                                           \
  X(BusiProcess) X(Busitype) X(Orgid) X(Suborgid) X(Net) X(Claimstno)           \
  X(ClassCode) X(Filetype) X(Filename) X(Make) X(Model) X(Takedate) X(Digidate) \
  X(Updatedate) X(Software) X(Ifdoffset) X(Offset) X(Soioffset) X(Thresholding) \
  X(CellWidth) X(CellLength) X(Datecreat) X(Datemodified) X(Secdat) X(FileSize)
// clang-format on

class clsPicinfo {
 public:
#define PICMETA_ACCESSORS(name)                       \
  const std::string& name() const { return name##_; } \
  void name(std::string value) { name##_ = std::move(value); }
  PICMETA_PICINFO_PROPERTIES(PICMETA_ACCESSORS)
#undef PICMETA_ACCESSORS

 private:
#define PICMETA_FIELD(name) std::string name##_;
  PICMETA_PICINFO_PROPERTIES(PICMETA_FIELD)
#undef PICMETA_FIELD
};

}  // namespace picmeta

#endif
