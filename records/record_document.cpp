#include "records/record_document.h"

#include <errno.h>

#include <optional>

#include "platform/clock.h"
#include "platform/text.h"
#include "scramble/encrypt.h"

namespace picmeta::records {
namespace {

// "exif_" + "_" + 14 digits + ".xml"
constexpr std::size_t kHandOverNameOverhead = 5 + 1 + 14 + 4;
constexpr std::size_t kMaxFileNameBytes = 255;

}  // namespace

bool NewRecordDocument(platform::XmlDocument& doc) {
  return static_cast<bool>(doc.LoadXML(kRecordTemplate));
}

bool StartRecordStream(platform::XmlStreamWriter& writer) { return writer.Start(kRecordTemplate); }

std::string StoredForm(std::string_view value) {
  return platform::XmlSafe(platform::TrimBlanks(value));
}

std::string OperatorForFileName(std::string_view operno) {
  // The characters Windows refuses in names, on every platform, so that both
  // builds name a hand-over file alike.
  std::string out;
  for (const char ch : platform::XmlSafe(operno)) {
    const auto c = static_cast<unsigned char>(ch);
    const bool bad = c < 0x20 || std::string_view("/\\<>:\"|?*").find(ch) != std::string_view::npos;
    out.push_back(bad ? '_' : ch);
  }
  const std::size_t limit = kMaxFileNameBytes - kHandOverNameOverhead;
  if (out.size() > limit) {
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
  }
  return out;
}

std::string WriteHandOver(const std::string& folder, const std::string& operno, std::string bytes) {
  encrypt::Scramble(bytes);
  const std::string prefix = folder + "\\exif_" + OperatorForFileName(operno) + "_";
  const std::time_t now = platform::Now();
  // A day of seconds is far more than any operator writes hand-overs in.
  for (std::time_t t = now; t < now + 86400; ++t) {
    const std::string path = prefix + platform::FormatStamp(t) + ".xml";
    platform::FileInfo taken;
    const platform::Status look = platform::StatFile(path, taken);
    if (look.code == platform::FileStatus::kIoError) platform::Check(look, "cannot look at", path);
    if (look.code != platform::FileStatus::kNotFound) continue;  // taken, by anything
    // Another process may take the name between the look and the write:
    // the create is exclusive all the same.
    const platform::Status s = platform::CreateExclusive(path, bytes);
    if (s.code == platform::FileStatus::kExists) continue;
    platform::Check(s, "cannot write hand-over file", path);
    return path;
  }
  throw platform::FsError("no free hand-over name in " + folder,
                          {platform::FileStatus::kExists, EEXIST});
}

std::uint64_t ContentHash(std::string_view bytes) {
  platform::Fnv1a h;
  h.Add(bytes);
  return h.value();
}

WorkingFile::WorkingFile(std::string folder) : WorkingFile(std::move(folder), std::nullopt) {}

WorkingFile::WorkingFile(std::string folder, std::uint64_t known)
    : WorkingFile(std::move(folder), std::optional<std::uint64_t>(known)) {}

WorkingFile::WorkingFile(std::string folder, std::optional<std::uint64_t> known)
    : folder_(std::move(folder)),
      path_(folder_ + "\\" + std::string(kWorkingFileName)),
      lock_(folder_) {
  std::string bytes;
  const platform::Status s = platform::ReadWholeFile(path_, platform::kMaxDocumentBytes, bytes);
  if (!s.ok()) {
    result_ = platform::NotRead(s);
    // An I/O error says nothing about the file: touch nothing.
    if (result_.failure == platform::LoadFailure::kIoError)
      platform::Check(s, "cannot read", path_);
    return;
  }
  hash_ = ContentHash(bytes);
  unchanged_ = known && *known == hash_;
  if (!unchanged_) result_ = doc_.LoadBytes(std::move(bytes), platform::Blanks::kDrop);
}

bool WorkingFile::StartEmpty() { return NewRecordDocument(doc_); }

std::string WorkingFile::Save() {
  std::string set_aside;
  if (unreadable()) {
    const std::string aside = path_ + ".unreadable-" + platform::FormatStamp(platform::Now());
    for (int n = 1;; ++n) {
      try {
        const std::string name = n == 1 ? aside : aside + "-" + std::to_string(n);
        platform::RenameNoReplace(path_, name);
        set_aside = name;
        break;
      } catch (const platform::FsError& e) {
        if (e.status().code == platform::FileStatus::kNotFound) break;  // gone meanwhile
        if (e.status().code != platform::FileStatus::kExists || n >= 1000) throw;
      }
    }
    result_ = {};
  }
  doc_.Save(path_);
  result_ = {};
  return set_aside;
}

}  // namespace picmeta::records
