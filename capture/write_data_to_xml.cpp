#include <unordered_set>

#include "capture/diagnostics.h"
#include "capture/guarded.h"
#include "capture/info_attributes.h"
#include "capture/public_function.h"
#include "picmeta/clsmain.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "records/record_document.h"
#include "records/workspace.h"

namespace picmeta {
namespace {

using capture::Step;
namespace ws = records::workspace;

// Filenames of the records a working file holds.
class RecordedNames : public records::RecordEditor {
 public:
  void Begin() override { recorded_.clear(); }
  bool Record(platform::XmlItem& info) override {
    if (const std::string* name = info.GetAttribute("Filename")) recorded_.insert(*name);
    return true;
  }
  // The record holds the name as stored, so it is looked up so.
  bool Has(const std::string& listed) const {
    return recorded_.count(records::StoredForm(listed)) > 0;
  }

 protected:
  std::unordered_set<std::string> recorded_;
};

// First pass: the listed pictures without a record. When there are none, the
// file is saved as it is (as every call saves it); otherwise nothing is saved
// yet, and the pictures are read before the second pass, with no lock held.
class FindUnrecorded : public RecordedNames {
 public:
  explicit FindUnrecorded(const std::vector<std::string>& listed) : listed_(listed) {}
  void End(const Add&) override {
    unrecorded_.clear();
    for (const std::string& name : listed_)
      if (!Has(name)) unrecorded_.push_back(name);
  }
  bool Save() const override { return unrecorded_.empty(); }
  const std::vector<std::string>& unrecorded() const { return unrecorded_; }

 private:
  const std::vector<std::string>& listed_;
  std::vector<std::string> unrecorded_;
};

// Second pass: appends the records made meanwhile, each unless a record of its
// picture appeared in the meantime.
class AddRecords : public RecordedNames {
 public:
  explicit AddRecords(const std::vector<std::pair<std::string, platform::XmlItem>>& made)
      : made_(made) {}
  void End(const Add& add) override {
    for (const auto& [listed, info] : made_) {
      if (Has(listed)) continue;
      add(info);
      if (const std::string* added = info.GetAttribute("Filename")) recorded_.insert(*added);
    }
  }

 private:
  const std::vector<std::pair<std::string, platform::XmlItem>>& made_;
};

// The pictures the case folder's listing marks as processed, in its order,
// each once (as stored), that name a file inside the case folder.
std::vector<std::string> Listed(const platform::XmlDocument& listing) {
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  for (const auto& entry : listing.SelectNodes(ws::kFileQuery)) {
    if (entry.GetAttribute("processflag") != "1") continue;
    const auto name = entry.GetAttribute("name");
    if (!name || !Public_Function::SafeFileName(*name)) continue;
    if (seen.insert(records::StoredForm(*name)).second) names.push_back(*name);
  }
  return names;
}

void Run(const std::string& AppPath1, const std::string& Orgid, const std::string& Busiorgid,
         const std::string& Operno, const std::string& Opername, const std::string& BusiTime) {
  const std::string W = platform::BackslashPath(AppPath1);
  clsPicinfo record;
  const auto R = Public_Function::RecordableCaseFolder(W, record);
  if (!R) return;
  Public_Function::SplitOrgid(Orgid, record);
  const std::string case_folder = ws::Join(W, *R);  // F without its trailing "\"
  const capture::CallerValues caller{Busiorgid, Operno, Opername, BusiTime, {}, {}, {}, {}};

  platform::XmlDocument listing;
  const std::string listing_path = ws::Join(case_folder, ws::kExplorerFile);
  if (const auto r = ws::Load(listing, listing_path); !r) {  // nothing saved
    Public_Function::ReportNotLoaded(listing_path, r);
    return;
  }
  const std::vector<std::string> listed = Listed(listing);
  FindUnrecorded find(listed);
  {
    auto opened = Public_Function::OpenWorkingFile(case_folder);
    Public_Function::RewriteWorkingFile(*opened, find,
                                        records::WorkingFile::IfNotLoaded::kStartEmpty);
  }
  if (find.unrecorded().empty()) return;

  // The pictures are read with no lock held: a slow picture never keeps
  // another writer of the folder out.
  std::vector<std::pair<std::string, platform::XmlItem>> made;
  for (const std::string& name : find.unrecorded()) {
    Step([&] {
      const std::string picture = ws::Join(case_folder, name);
      if (!Public_Function::StorableName(platform::TrimBlanks(name))) {
        Public_Function::ReportNameNotStorable(picture, "no working record written");
        return;
      }
      // A picture not on disk yet is recorded by a later call, once it exists.
      if (!platform::FileExists(picture)) {
        capture::Emit(PICMETA_EVENT_PICTURE_MISSING, picture,
                      "picture " + name + ": not on disk, recorded once it is");
        return;
      }
      const auto read = Public_Function::ReadPicture(picture, record);
      auto info = platform::XmlItem::Element("info");
      capture::SetInfoAttributes(info, record, caller, "", capture::InfoColumns::kWrite);
      if (read.kind == Public_Function::PictureRead::Kind::kNotRead) {
        Public_Function::ReportNotRead(picture, read, "no record written; a later call records it");
        return;
      }
      if (read.kind == Public_Function::PictureRead::Kind::kMissing)
        return;  // gone meanwhile: told
      made.emplace_back(name, std::move(info));
    });
  }
  AddRecords add(made);
  auto opened = Public_Function::OpenWorkingFile(case_folder);
  Public_Function::RewriteWorkingFile(*opened, add, records::WorkingFile::IfNotLoaded::kStartEmpty);
}

}  // namespace

void clsmain::WriteDatatoXML(std::string AppPath1, std::string Orgid, std::string Busiorgid,
                             std::string Operno, std::string Opername, std::string BusiTime) {
  capture::MethodScope scope("WriteDatatoXML");
  Step([&] { Run(AppPath1, Orgid, Busiorgid, Operno, Opername, BusiTime); });
  scope.Finish();
}

}  // namespace picmeta
