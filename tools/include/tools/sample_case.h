#ifndef PICMETA_TOOLS_SAMPLE_CASE_H
#define PICMETA_TOOLS_SAMPLE_CASE_H

#include <string>
#include <vector>

// A small claims case as a host workstation keeps it, written to disk.
namespace picmeta::tooling {

struct SampleCase {
  std::string
      app_path;  // workspace: busiinfoprocess.xml, resourceprocess.xml, documentfilesource.xml
  std::string temp_path;            // picture tree: mirrors the record tree of busiinfoprocess.xml
  std::string case_folder;          // app_path/top/case: the explorer's case folder
  std::vector<std::string> listed;  // pictures listed in the case folder
  std::string orgid = "3100000ABCDEF001";
  std::string operno = "0815";
  std::string opername = "张三";
};

// Writes the sample case below root (created as needed):
//  - a record tree of three levels: documents at levels 2, 3 and 4, a level-3
//    folder with an empty name, an unknown resource index, a missing picture
//    and a picture without Exif data;
//  - the explorer files of a case folder "top\case" of business type 2,
//    class 11020000, with four listed pictures (one not marked for recording).
SampleCase BuildSampleCase(const std::string& root);

}  // namespace picmeta::tooling

#endif
