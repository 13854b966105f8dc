#ifndef PICMETA_TESTS_FIXTURES_H
#define PICMETA_TESTS_FIXTURES_H

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "picmeta/clsmain.h"
#include "picmeta/picmeta.h"
#include "platform/os/fs.h"
#include "tests/support.h"
#include "tools/sample_case.h"

// Cases that more than one test file runs against (those of all systems and
// those of one system alike).
namespace picmeta::test {

// A working file of three records, a.jpg, b.jpg and c.jpg.
inline const std::string kThreeRecords =
    "<?xml version='1.0' encoding='GBK'?><root><info Filename='a.jpg'/><info Filename='b.jpg'/>"
    "<info Filename='c.jpg'/></root>";

// The records of HandOverTest's three folders.
inline const std::vector<std::string> kThree = {"b1", "b2", "c1", "f1", "f2", "f3"};

// The sample case, with the working file of its case folder.
class CaseTest : public ::testing::Test {
 public:
  void SetUp() override {
    case_ = tooling::BuildSampleCase(dir_.path());
    exifinfo_ = case_.case_folder + "/exifinfo.xml";
  }
  void Write() { clsmain().WriteDatatoXML(case_.app_path, case_.orgid, "", "0815", "", ""); }
  void NewWrite(const std::string& picture) {
    clsmain().NewWriteDatatoXML(case_.app_path, picture, case_.orgid, "", "0815", "", "");
  }
  void ReadExif(const std::string& operno = "0815") {
    clsmain().ReadEXIF(case_.temp_path, case_.app_path, "2", "", case_.orgid, "", operno, "", "",
                       "", "", "");
  }
  FixedClock clock_;
  TempDir dir_;
  tooling::SampleCase case_;
  std::string exifinfo_;
};

// The sample case with every event the calls raise.
class EventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    case_ = tooling::BuildSampleCase(dir_.path());
    SetLogHandler([this](const Event& e) { events_.push_back(e); });
  }
  void TearDown() override {
    SetLogHandler(nullptr);
    platform::SetFaultInjector(nullptr);
    platform::SetDefaultLockTimeout(20000);
  }
  void ReadExif(const std::string& busitype = "2", const std::string& classcode = "") {
    clsmain().ReadEXIF(case_.temp_path, case_.app_path, busitype, classcode, case_.orgid, "",
                       "0815", "", "", "", "", "");
  }
  void Write() { clsmain().WriteDatatoXML(case_.app_path, case_.orgid, "", "0815", "", ""); }
  std::vector<Event> Of(int code) const {
    std::vector<Event> out;
    for (const auto& e : events_)
      if (e.code == code) out.push_back(e);
    return out;
  }
  FixedClock clock_;
  TempDir dir_;
  tooling::SampleCase case_;
  std::vector<Event> events_;
};

// Makes dir/case the workspace of its writers too, as on a workstation (the
// sample case's explorer files, whose gates pass); the organisation id.
inline std::string CaseFolderAsWorkspace(const TempDir& dir) {
  const auto c = tooling::BuildSampleCase(dir / "ws");
  for (const char* f : {"documentfilesource.xml", "top/kelexplorersource.xml"})
    Write(dir / ("case/" + std::string(f)), Read(c.app_path + "/" + f));
  return c.orgid;
}

// A case of one document folder, \A\B, below the picture tree dir/pics,
// whose busiinfoprocess.xml is in dir/case.
class ExactlyOnce : public ::testing::Test {
 protected:
  void SetUp() override {
    Write(dir_ / "case/busiinfoprocess.xml",
          "<busiinfoprocess><busiinforecord foldername='A'><subcalsscodeinforecord "
          "foldername='B'><documentinfo><relationship><resourcemainindex/></relationship>"
          "</documentinfo></subcalsscodeinforecord></busiinforecord></busiinfoprocess>");
    orgid_ = CaseFolderAsWorkspace(dir_);
    app_ = dir_ / "case";
  }
  void Copy() { clsmain().CopyExifInfo(dir_ / "case", dir_ / "pics", "9"); }
  // Every record of every hand-over file and of the working file.
  std::map<std::string, int> Census() {
    std::map<std::string, int> seen;
    for (const auto& f : HandOvers(dir_ / "case"))
      for (const auto& n : RecordNames(dir_ / ("case/" + f), true)) seen[n]++;
    if (Exists(dir_ / "pics/A/B/exifinfo.xml"))
      for (const auto& n : RecordNames(dir_ / "pics/A/B/exifinfo.xml")) seen[n]++;
    return seen;
  }
  FixedClock clock_;
  TempDir dir_;
  std::string app_, orgid_;
};

// The hidden files of an unfinished hand-over.
inline bool Hidden(const std::string& name) {
  return name.rfind(".exifinfo.xml.", 0) == 0 || name.rfind(".picmeta-", 0) == 0;
}

// A case of three document folders, \A\B, \A\C and \E\F, below the picture
// tree dir/pics, whose busiinfoprocess.xml is in dir/case.
class HandOverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string docs =
        "<documentinfo><relationship><resourcemainindex/></relationship></documentinfo>";
    Write(dir_ / "case/busiinfoprocess.xml",
          "<busiinfoprocess><busiinforecord foldername='A'>"
          "<subcalsscodeinforecord foldername='B'>" +
              docs +
              "</subcalsscodeinforecord>"
              "<subcalsscodeinforecord foldername='C'>" +
              docs +
              "</subcalsscodeinforecord>"
              "</busiinforecord><busiinforecord foldername='E'>"
              "<subcalsscodeinforecord foldername='F'>" +
              docs +
              "</subcalsscodeinforecord>"
              "</busiinforecord></busiinfoprocess>");
    orgid_ = CaseFolderAsWorkspace(dir_);
    app_ = dir_ / "case";
  }
  std::string Folder(const std::string& f) const { return dir_ / ("pics/" + f); }
  void Working(const std::string& folder, const std::string& body,
               const std::string& declaration = "<?xml version='1.0' encoding='GBK'?>") {
    Write(Folder(folder) + "/exifinfo.xml", declaration + body);
  }
  void Copy() { clsmain().CopyExifInfo(case_, dir_ / "pics", "9"); }
  void NewWrite(const std::string& picture) {
    clsmain().NewWriteDatatoXML(app_, picture, orgid_, "", "1", "", "");
  }
  std::vector<std::string> HandOvers() {
    std::vector<std::string> out;
    for (const auto& name : List(case_))
      if (name.rfind("exif_", 0) == 0) out.push_back(case_ + "/" + name);
    return out;
  }
  // The three folders' working files again, and nothing else of a hand-over
  // anywhere (the workspace files and pictures stay).
  void Fresh() {
    for (const std::string& folder : {case_, Folder("A/B"), Folder("A/C"), Folder("E/F")})
      for (const auto& name : List(folder))
        if (Hidden(name) || name.rfind("exif", 0) == 0)
          std::filesystem::remove(P(folder + "/" + name));
    ThreeFolders();
  }
  // How often each record stands in a hand-over or a working file.
  std::map<std::string, int> Census() {
    std::map<std::string, int> seen;
    for (const auto& f : HandOvers())
      for (const auto& n : RecordNames(f, true)) ++seen[n];
    for (const char* folder : {"A/B", "A/C", "E/F"})
      if (Exists(Folder(folder) + "/exifinfo.xml"))
        for (const auto& n : RecordNames(Folder(folder) + "/exifinfo.xml")) ++seen[n];
    return seen;
  }
  // The hidden files of unfinished hand-overs, in every folder.
  std::vector<std::string> Leftovers() {
    std::vector<std::string> out;
    for (const std::string& folder : {case_, Folder("A/B"), Folder("A/C"), Folder("E/F")})
      for (const auto& name : List(folder))
        if (Hidden(name)) out.push_back(folder + "/" + name);
    return out;
  }
  static std::string Infos(std::initializer_list<const char*> names) {
    std::string body = "<root>";
    for (const char* n : names) body += "<info Filename='" + std::string(n) + "'/>";
    return body + "</root>";
  }
  void ThreeFolders() {
    Working("A/B", Infos({"b1", "b2"}));
    Working("A/C", Infos({"c1"}));
    Working("E/F", Infos({"f1", "f2", "f3"}));
  }
  void ExpectEachOnce(const std::map<std::string, int>& seen, const std::vector<std::string>& names,
                      const std::string& context) {
    for (const auto& n : names) EXPECT_EQ(seen.count(n) ? seen.at(n) : 0, 1) << n << " " << context;
    EXPECT_EQ(seen.size(), names.size()) << context;
  }

  FixedClock clock_;
  TempDir dir_;
  std::string case_ = dir_ / "case";  // where the case folder is now
  std::string app_, orgid_;
};

}  // namespace picmeta::test

#endif
