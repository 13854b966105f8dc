#ifndef PICMETA_CAPTURE_INFO_ATTRIBUTES_H
#define PICMETA_CAPTURE_INFO_ATTRIBUTES_H

#include <string>

#include "records/loaded.h"
#include "records/picinfo.h"

namespace picmeta::capture {

// The record attribute sets of the writing methods. Each is a subsequence of
// ReadEXIF's 33 attributes, in the same order.
enum class InfoColumns { kReadExif, kWrite, kNewWrite };

// Values a method takes from its caller rather than from the record.
struct CallerValues {
  std::string Busiorgid, Operno, Opername, BusiTime;
  std::string IP, BusiType, Systemid, BusiProcess;  // ReadEXIF only
};

// Sets the columns' attributes on element, in order, each as a step of its
// own; the picture properties of the record are cleared once written, so
// that the next picture cannot inherit them.
void SetInfoAttributes(records::Record& element, clsPicinfo& record, const CallerValues& caller,
                       const std::string& filepath, InfoColumns columns);

// Characters 1-7, 8-13 and 14-16 of an organisation id into the record.
void SplitOrgid(const std::string& orgid, clsPicinfo& record);

}  // namespace picmeta::capture

#endif
