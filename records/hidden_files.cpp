#include "records/hidden_files.h"

namespace picmeta::records::hidden {
namespace {

constexpr std::string_view kFolderPrefix = ".exifinfo.xml.";
constexpr std::string_view kCasePrefix = ".picmeta-";

struct Form {
  Kind kind;
  std::string_view prefix;
  std::string_view suffix;
};
// The longer suffixes first: ".claim.since" before ".claim".
constexpr Form kForms[] = {
    {Kind::kClaimSince, kFolderPrefix, ".claim.since"},
    {Kind::kKeepSince, kFolderPrefix, ".keep.since"},
    {Kind::kClaim, kFolderPrefix, ".claim"},
    {Kind::kKeep, kFolderPrefix, ".keep"},
    {Kind::kNote, kFolderPrefix, ".owner"},
    {Kind::kJournal, kCasePrefix, ".journal"},
    {Kind::kHandOver, kCasePrefix, ".handover"},
};

bool Digits(std::string_view s, std::size_t max, bool hex) {
  if (s.empty() || s.size() > max) return false;
  for (const char c : s) {
    const bool digit = c >= '0' && c <= '9';
    if (!digit && !(hex && c >= 'a' && c <= 'f')) return false;
  }
  return true;
}

}  // namespace

bool ValidId(std::string_view id) {
  const auto first = id.find('-');
  if (first == std::string_view::npos) return false;
  const auto second = id.find('-', first + 1);
  if (second == std::string_view::npos) return false;
  const std::string_view salt = id.substr(second + 1);
  return Digits(id.substr(0, first), 10, false) &&
         Digits(id.substr(first + 1, second - first - 1), 20, false) && salt.size() == 8 &&
         Digits(salt, 8, true);
}

platform::Path Name(const platform::Path& folder, Kind kind, std::string_view id) {
  for (const Form& f : kForms)
    if (f.kind == kind)
      return folder / (std::string(f.prefix) + std::string(id) + std::string(f.suffix));
  return folder;  // every kind has its form
}

std::optional<Parsed> Parse(std::string_view name) {
  for (const Form& f : kForms) {
    if (name.size() <= f.prefix.size() + f.suffix.size()) continue;
    if (name.substr(0, f.prefix.size()) != f.prefix) continue;
    if (name.substr(name.size() - f.suffix.size()) != f.suffix) continue;
    const std::string_view id =
        name.substr(f.prefix.size(), name.size() - f.prefix.size() - f.suffix.size());
    if (ValidId(id)) return Parsed{f.kind, std::string(id)};
  }
  return std::nullopt;
}

bool LooksHidden(std::string_view name) {
  return name.substr(0, kFolderPrefix.size()) == kFolderPrefix ||
         name.substr(0, kCasePrefix.size()) == kCasePrefix;
}

}  // namespace picmeta::records::hidden
