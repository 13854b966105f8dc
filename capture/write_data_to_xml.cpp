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

// Appends a record for each picture of the listing marked as processed that
// has none yet and is on disk.
class AddListed : public records::RecordEditor {
 public:
  AddListed(const platform::XmlDocument& listing, const std::string& case_folder,
            clsPicinfo& record, const capture::CallerValues& caller)
      : listing_(listing), case_folder_(case_folder), record_(record), caller_(caller) {}

  void Begin() override { recorded_.clear(); }

  bool Record(platform::XmlItem& info) override {
    if (const std::string* name = info.GetAttribute("Filename")) recorded_.insert(*name);
    return true;
  }

  void End(const Add& add) override {
    for (const auto& entry : listing_.SelectNodes(ws::kFileQuery)) {
      Step([&] {
        if (entry.GetAttribute("processflag") != "1") return;
        const auto name = entry.GetAttribute("name");
        // The record holds the name as stored, so it is looked up so.
        if (!name || !Public_Function::SafeFileName(*name) ||
            recorded_.count(records::StoredForm(*name)))
          return;
        const std::string picture = ws::Join(case_folder_, *name);
        // A picture not on disk yet is recorded by a later call, once it exists.
        if (!platform::FileExists(picture)) {
          capture::Emit(PICMETA_EVENT_PICTURE_MISSING, picture,
                        "picture " + *name + ": not on disk, recorded once it is");
          return;
        }
        Public_Function::ReadPicInfo(picture, record_);
        auto info = platform::XmlItem::Element("info");
        capture::SetInfoAttributes(info, record_, caller_, "", capture::InfoColumns::kWrite);
        add(info);
        if (const std::string* added = info.GetAttribute("Filename")) recorded_.insert(*added);
      });
    }
  }

 private:
  const platform::XmlDocument& listing_;
  const std::string& case_folder_;
  clsPicinfo& record_;
  const capture::CallerValues& caller_;
  // Filenames of the records, kept up to date as records are appended: the
  // same answers as scanning the records for every listed picture.
  std::unordered_set<std::string> recorded_;
};

void Run(const std::string& AppPath1, const std::string& Orgid, const std::string& Busiorgid,
         const std::string& Operno, const std::string& Opername, const std::string& BusiTime) {
  const std::string W = platform::BackslashPath(AppPath1);
  clsPicinfo record;
  const auto R = Public_Function::RecordableCaseFolder(W, record);
  if (!R) return;
  Public_Function::SplitOrgid(Orgid, record);
  const std::string case_folder = ws::Join(W, *R);  // F without its trailing "\"
  const capture::CallerValues caller{Busiorgid, Operno, Opername, BusiTime, {}, {}, {}, {}};

  auto opened = Public_Function::OpenWorkingFile(case_folder);
  platform::XmlDocument listing;
  const std::string listing_path = ws::Join(case_folder, ws::kExplorerFile);
  if (const auto r = listing.Load(listing_path); !r) {  // nothing saved
    Public_Function::ReportNotLoaded(listing_path, r);
    return;
  }
  AddListed add(listing, case_folder, record, caller);
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
