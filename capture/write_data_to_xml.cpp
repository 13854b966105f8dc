#include <unordered_map>
#include <unordered_set>

#include "capture/diagnostics.h"
#include "capture/gates.h"
#include "capture/guarded.h"
#include "capture/info_attributes.h"
#include "capture/methods.h"
#include "capture/public_function.h"
#include "capture/reports.h"
#include "capture/working_files.h"
#include "picmeta/clsmain.h"
#include "platform/os/fs.h"
#include "platform/os/text.h"
#include "records/formats.h"
#include "records/record_document.h"
#include "records/workspace.h"

namespace picmeta {
namespace {

using capture::Step;
namespace ws = records::workspace;

// Filenames of the records a working file holds.
class RecordedNames : public records::RecordEditor {
 public:
  explicit RecordedNames(const platform::Path& folder) : folder_(folder) {}
  void Begin() override { recorded_.clear(); }
  bool Record(records::Record& info) override {
    if (const std::string* name = info.GetAttribute("Filename")) recorded_.insert(*name);
    return true;
  }
  // The record holds the name in its stored form, and of the file as the
  // file system names it (which a listing may spell otherwise on Windows).
  bool Has(const std::string& listed) const {
    if (recorded_.count(records::StoredForm(listed))) return true;
    auto [it, fresh] = on_disk_.try_emplace(listed);
    if (fresh) {
      platform::FileInfo info;
      if (platform::StatFile(folder_ / listed, info).ok() && info.name != listed)
        it->second = info.name;
    }
    return !it->second.empty() && recorded_.count(records::StoredForm(it->second));
  }

 protected:
  std::unordered_set<std::string> recorded_;

 private:
  const platform::Path& folder_;
  mutable std::unordered_map<std::string, std::string>
      on_disk_;  // listed -> its name on disk, if other
};

// Appends a record for each listed picture that has none. The pictures are
// read once the records are, with the folder unlocked: a slow picture never
// keeps another writer of the folder out.
class AddListed : public RecordedNames {
 public:
  using Made = std::vector<std::pair<std::string, records::Record>>;
  // make: reads a picture into a record of `made`; none: the records made
  // before are added as they are.
  AddListed(const platform::Path& folder, const std::vector<std::string>& listed, Made& made,
            const std::function<void(const std::string&)>* make)
      : RecordedNames(folder), listed_(listed), made_(made), make_(make) {}
  bool Unlock() override {
    if (!make_) return false;
    for (const std::string& name : listed_)
      if (!Has(name)) return true;
    return false;
  }
  void Unlocked() override {
    for (const std::string& name : listed_)
      if (!Has(name)) (*make_)(name);
  }
  void End(const Add& add) override {
    for (const auto& [listed, info] : made_) {
      if (Has(listed)) continue;  // recorded meanwhile
      add(info);
      if (const std::string* added = info.GetAttribute("Filename")) recorded_.insert(*added);
    }
  }

 private:
  const std::vector<std::string>& listed_;
  Made& made_;
  const std::function<void(const std::string&)>* make_;
};

// The pictures the case folder's listing marks as processed, in its order,
// each once (as stored), that name a file inside the case folder.
std::vector<std::string> Listed(const ws::FileListing& listing) {
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  for (const ws::ListedFile& entry : listing.files) {
    if (entry.processflag != "1") continue;
    if (!entry.name || !records::SafeFileName(*entry.name)) continue;
    if (seen.insert(records::StoredForm(*entry.name)).second) names.push_back(*entry.name);
  }
  return names;
}

void Run(const std::string& AppPath1, const std::string& Orgid, const std::string& Busiorgid,
         const std::string& Operno, const std::string& Opername, const std::string& BusiTime) {
  const platform::Path W = capture::FolderParameter(AppPath1);
  clsPicinfo record;
  const auto R = capture::RecordableCaseFolder(W, record);
  if (!R) return;
  capture::SplitOrgid(Orgid, record);
  const platform::Path case_folder = W.Join(platform::Path::FromText(*R));
  const capture::CallerValues caller{Busiorgid, Operno, Opername, BusiTime, {}, {}, {}, {}};

  const platform::Path listing_path = case_folder / ws::kExplorerFile;
  const ws::FileListing listing = ws::ReadFileListing(listing_path);
  if (!listing.result) {  // nothing saved
    capture::ReportNotLoaded(listing_path, listing.result);
    return;
  }
  const std::vector<std::string> listed = Listed(listing);
  AddListed::Made made;
  const std::function<void(const std::string&)> make = [&](const std::string& name) {
    Step([&] {
      const platform::Path picture = case_folder / name;
      if (!records::StorableName(records::TrimBlanks(name))) {
        capture::ReportNameNotStorable(picture, "no working record written");
        return;
      }
      // A picture not on disk yet is recorded by a later call, once it exists.
      if (!platform::FileExists(picture)) {
        capture::Emit(PICMETA_EVENT_PICTURE_MISSING, picture.Native(),
                      "picture " + name + ": not on disk, recorded once it is");
        return;
      }
      const auto read = Public_Function::ReadPicture(picture, record);
      auto info = records::Record::Element("info");
      capture::SetInfoAttributes(info, record, caller, "", capture::InfoColumns::kWrite);
      if (read.kind == Public_Function::PictureRead::Kind::kNotRead) {
        capture::ReportNotRead(picture, read, "no record written; a later call records it");
        return;
      }
      if (read.kind == Public_Function::PictureRead::Kind::kMissing)
        return;  // gone meanwhile: told
      made.emplace_back(name, std::move(info));
    });
  };
  // Once more when the file changed while the pictures were read: the
  // records made are added to what it holds now.
  bool again = true;
  for (int pass = 0; again && pass < 2; ++pass) {
    AddListed add(case_folder, listed, made, pass == 0 ? &make : nullptr);
    auto opened = capture::OpenWorkingFile(case_folder, W);
    again =
        capture::RewriteWorkingFile(*opened, add, records::WorkingFile::IfNotLoaded::kStartEmpty)
            .changed_meanwhile;
  }
}

}  // namespace

namespace capture::methods {

void WriteDatatoXML(const std::string& AppPath1, const std::string& Orgid,
                    const std::string& Busiorgid, const std::string& Operno,
                    const std::string& Opername, const std::string& BusiTime) {
  if (capture::Accepted({{"AppPath1", &AppPath1},
                         {"Orgid", &Orgid},
                         {"Busiorgid", &Busiorgid},
                         {"Operno", &Operno},
                         {"Opername", &Opername},
                         {"BusiTime", &BusiTime}}))
    Run(AppPath1, Orgid, Busiorgid, Operno, Opername, BusiTime);
}

}  // namespace capture::methods

void clsmain::WriteDatatoXML(std::string AppPath1, std::string Orgid, std::string Busiorgid,
                             std::string Operno, std::string Opername, std::string BusiTime) {
  capture::Method("WriteDatatoXML", [&] {
    capture::methods::WriteDatatoXML(AppPath1, Orgid, Busiorgid, Operno, Opername, BusiTime);
  });
}

}  // namespace picmeta
