#include "records/journal.h"

#include <algorithm>
#include <charconv>

#include "records/hidden_files.h"

namespace picmeta::records {
namespace {

constexpr std::string_view kJournalHeader = "picmeta hand-over 2";
constexpr std::string_view kNoteHeader = "picmeta claim 2";
// "claim " and two 20-digit numbers around a colon, and its line break.
constexpr std::int64_t kClaimLineBytes = 48;
// The head: header, id, case and an operator of at most 255 bytes.
constexpr std::int64_t kHeadBytes = 512;

std::string FormatId(const platform::FileId& id) {
  return std::to_string(id.device) + ":" + std::to_string(id.file);
}

bool ParseNumber(std::string_view text, std::uint64_t& value) {
  if (text.empty() || text.size() > 20) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

bool ParseId(std::string_view text, platform::FileId& id) {
  const auto colon = text.find(':');
  return colon != std::string_view::npos && ParseNumber(text.substr(0, colon), id.device) &&
         ParseNumber(text.substr(colon + 1), id.file);
}

// The complete lines of text (a torn last one left out), each split at its
// first blank into a key and a value.
struct Line {
  std::string_view key, value;
};
std::vector<Line> Lines(std::string_view text) {
  std::vector<Line> lines;
  for (std::size_t at = 0;;) {
    const auto end = text.find('\n', at);
    if (end == std::string_view::npos) break;
    const std::string_view line = text.substr(at, end - at);
    const auto blank = line.find(' ');
    lines.push_back({line.substr(0, blank), blank == std::string_view::npos
                                                ? std::string_view()
                                                : line.substr(blank + 1)});
    at = end + 1;
  }
  return lines;
}

// An operator as OperatorForFileName leaves it: one line of a file name.
bool FileNamePart(std::string_view text) {
  return text.size() <= 255 && std::none_of(text.begin(), text.end(), [](char c) {
           return static_cast<unsigned char>(c) < 0x20 || c == '/' || c == '\\';
         });
}

}  // namespace

std::int64_t MaxJournalBytes(std::size_t folders) {
  return kHeadBytes +
         kClaimLineBytes * static_cast<std::int64_t>(std::min(folders, kMaxCaseFolders)) +
         kClaimLineBytes;  // the committed line
}

bool JournalText::Lists(const platform::FileId& folder) const {
  return std::find(claims.begin(), claims.end(), folder) != claims.end();
}

std::string JournalHead(const std::string& id, const platform::FileId& case_folder,
                        const std::string& operno) {
  return std::string(kJournalHeader) + "\nid " + id + "\ncase " + FormatId(case_folder) +
         "\noperno " + operno + "\n";
}

std::string ClaimLine(const platform::FileId& folder) { return "claim " + FormatId(folder) + "\n"; }

std::string AbortedLine() { return "\naborted\n"; }

std::string CommittedLine(std::time_t stamp) {
  return "committed " + std::to_string(static_cast<long long>(stamp)) + "\n";
}

std::optional<JournalText> ParseJournal(std::string_view text) {
  const std::vector<Line> lines = Lines(text);
  // The head is written whole before the journal takes its name.
  if (lines.size() < 4 ||
      text.substr(0, kJournalHeader.size() + 1) != std::string(kJournalHeader) + "\n")
    return std::nullopt;
  JournalText j;
  if (lines[1].key != "id" || !hidden::ValidId(lines[1].value)) return std::nullopt;
  j.id = std::string(lines[1].value);
  if (lines[2].key != "case" || !ParseId(lines[2].value, j.case_folder)) return std::nullopt;
  if (lines[3].key != "operno" || !FileNamePart(lines[3].value)) return std::nullopt;
  j.operno = std::string(lines[3].value);
  // A revoked commit ends the journal: the line before the revocation is the
  // line break it began with, or the commit line its writer left torn.
  std::size_t end = lines.size();
  const bool revoked = end > 5 && lines[end - 1].key == "aborted" && lines[end - 1].value.empty();
  if (revoked) end -= 2;
  for (std::size_t i = 4; i < end; ++i) {
    const Line& line = lines[i];
    if (line.key == "claim") {
      platform::FileId folder;
      if (!ParseId(line.value, folder) || j.claims.size() >= kMaxCaseFolders) return std::nullopt;
      j.claims.push_back(folder);
    } else if (line.key == "committed" && i + 1 == end) {
      std::uint64_t stamp = 0;
      if (!ParseNumber(line.value, stamp) || stamp > (std::uint64_t{1} << 40)) return std::nullopt;
      j.committed = static_cast<std::time_t>(stamp);
    } else {
      return std::nullopt;
    }
  }
  if (revoked) j.committed.reset();
  return j;
}

std::string FormatNote(const ClaimNote& note) {
  return std::string(kNoteHeader) + "\nid " + note.id + "\ncase " + FormatId(note.case_folder) +
         "\nfolder " + FormatId(note.folder) + "\n";
}

std::optional<ClaimNote> ParseNote(std::string_view text) {
  if (text.substr(0, kNoteHeader.size() + 1) != std::string(kNoteHeader) + "\n")
    return std::nullopt;
  const std::vector<Line> lines = Lines(text);
  ClaimNote note;
  if (lines.size() != 4 || lines[1].key != "id" || !hidden::ValidId(lines[1].value) ||
      lines[2].key != "case" || !ParseId(lines[2].value, note.case_folder) ||
      lines[3].key != "folder" || !ParseId(lines[3].value, note.folder))
    return std::nullopt;
  note.id = std::string(lines[1].value);
  // Written whole, at once: anything more is no note of ours.
  if (FormatNote(note) != text) return std::nullopt;
  return note;
}

}  // namespace picmeta::records
