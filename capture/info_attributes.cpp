#include "capture/info_attributes.h"

#include "platform/os/clock.h"
#include "records/formats.h"

namespace picmeta::capture {
namespace {

enum Mask : unsigned { R = 1, W = 2, N = 4 };

using Getter = const std::string& (clsPicinfo::*)() const;
using Setter = void (clsPicinfo::*)(std::string);
using CallerField = std::string CallerValues::*;

enum class Source { kRecord, kCaller, kNow, kFilepath };

struct Column {
  const char* name;
  unsigned columns;
  Source source;
  Getter get = nullptr;          // kRecord: the property...
  Setter clear = nullptr;        // ...cleared after writing when set
  CallerField caller = nullptr;  // kCaller
};

#define PICMETA_RECORD(name) Source::kRecord, &clsPicinfo::name, nullptr
#define PICMETA_PICTURE(name) Source::kRecord, &clsPicinfo::name, &clsPicinfo::name
#define PICMETA_CALLER(name) Source::kCaller, nullptr, nullptr, &CallerValues::name

const Column kColumns[] = {
    {"Orgid", R | W | N, PICMETA_RECORD(Orgid)},
    {"Suborgid", R | W | N, PICMETA_RECORD(Suborgid)},
    {"Net", R | W | N, PICMETA_RECORD(Net)},
    {"Busiorgid", R | W | N, PICMETA_CALLER(Busiorgid)},
    {"Operno", R | W | N, PICMETA_CALLER(Operno)},
    {"Opername", R | W | N, PICMETA_CALLER(Opername)},
    {"Claimstno", R | W | N, PICMETA_RECORD(Claimstno)},
    {"BusiTime", R | W | N, PICMETA_CALLER(BusiTime)},
    {"Transdate", R | W | N, Source::kNow},
    {"Filetype", R | W | N, PICMETA_PICTURE(Filetype)},
    {"Filename", R | W | N, PICMETA_PICTURE(Filename)},
    {"Make", R | W | N, PICMETA_PICTURE(Make)},
    {"Model", R | W | N, PICMETA_PICTURE(Model)},
    {"Takedate", R | W | N, PICMETA_PICTURE(Takedate)},
    {"Digidate", R | W | N, PICMETA_PICTURE(Digidate)},
    {"Updatedate", R | W | N, PICMETA_PICTURE(Updatedate)},
    {"Software", R | W | N, PICMETA_PICTURE(Software)},
    {"Ifdoffset", R | W | N, PICMETA_PICTURE(Ifdoffset)},
    {"Offset", R | W | N, PICMETA_PICTURE(Offset)},
    {"Soioffset", R | W | N, PICMETA_PICTURE(Soioffset)},
    {"Thresholding", R, PICMETA_PICTURE(Thresholding)},
    {"CellWidth", R, PICMETA_PICTURE(CellWidth)},
    {"CellLength", R, PICMETA_PICTURE(CellLength)},
    {"Datecreat", R | W, PICMETA_PICTURE(Datecreat)},
    {"Datemodified", R | W, PICMETA_PICTURE(Datemodified)},
    {"IP", R, PICMETA_CALLER(IP)},
    {"Secdat", R, PICMETA_PICTURE(Secdat)},
    {"FileSize", R, PICMETA_PICTURE(FileSize)},
    {"BusiType", R, PICMETA_CALLER(BusiType)},
    {"ClassCode", R, PICMETA_RECORD(ClassCode)},
    {"Systemid", R, PICMETA_CALLER(Systemid)},
    {"BusiProcess", R, PICMETA_CALLER(BusiProcess)},
    {"BusiProcess", W | N, PICMETA_PICTURE(BusiProcess)},  // the record's, always ""
    {"filepath", R, Source::kFilepath},
};

#undef PICMETA_RECORD
#undef PICMETA_PICTURE
#undef PICMETA_CALLER

}  // namespace

void SetInfoAttributes(records::Record& element, clsPicinfo& record, const CallerValues& caller,
                       const std::string& filepath, InfoColumns columns) {
  const unsigned mask = columns == InfoColumns::kReadExif ? R
                        : columns == InfoColumns::kWrite  ? W
                                                          : N;
  for (const Column& c : kColumns) {
    if (!(c.columns & mask)) continue;
    switch (c.source) {
      case Source::kRecord:
        element.SetAttribute(c.name, (record.*c.get)());
        break;
      case Source::kCaller:
        element.SetAttribute(c.name, caller.*c.caller);
        break;
      case Source::kNow:
        element.SetAttribute(c.name, records::FormatTransdate(platform::Now()));
        break;
      case Source::kFilepath:
        element.SetAttribute(c.name, filepath);
        break;
    }
    if (c.clear) (record.*c.clear)(std::string());
  }
}

void SplitOrgid(const std::string& orgid, clsPicinfo& record) {
  record.Orgid(records::Mid(orgid, 1, 7));
  record.Suborgid(records::Mid(orgid, 8, 6));
  record.Net(records::Mid(orgid, 14, 3));
}

}  // namespace picmeta::capture
