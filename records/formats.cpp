#include "records/formats.h"

#include <cstdio>

#include "platform/os/clock.h"
#include "platform/xml/items.h"

namespace picmeta::records {
namespace {

// "exif_" + "_" + 14 digits + ".xml"
constexpr std::size_t kHandOverNameOverhead = 5 + 1 + 14 + 4;
constexpr std::size_t kMaxFileNameBytes = 255;

// The local time as year, month, day, hour, minute and second, four digits
// and then two each, with the separators given after the date's fields, between
// the date and the time, and after the time's.
std::string Fields(std::time_t t, std::string_view date, std::string_view between,
                   std::string_view time) {
  const std::tm tm = platform::LocalTime(t);
  const int fields[] = {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                        tm.tm_hour,        tm.tm_min,     tm.tm_sec};
  std::string out;
  for (int i = 0; i < 6; ++i) {
    char digits[16];
    std::snprintf(digits, sizeof digits, i == 0 ? "%04d" : "%02d", fields[i]);
    out += digits;
    if (i == 0 || i == 1) out += date;
    if (i == 2) out += between;
    if (i == 3 || i == 4) out += time;
  }
  return out;
}

}  // namespace

std::string Mid(std::string_view text, std::size_t start, std::size_t count) {
  if (start == 0) start = 1;
  std::size_t i = 0;
  std::size_t position = 1;
  // Continuation bytes never start a character, so this counts code points
  // even in text that is not strictly valid.
  auto advance = [&] {
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
  };
  while (i < text.size() && position < start) {
    advance();
    ++position;
  }
  const std::size_t from = i;
  for (std::size_t n = 0; n < count && i < text.size(); ++n) advance();
  return std::string(text.substr(from, i - from));
}

std::string TrimBlanks(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(' ');
  return std::string(text.substr(first, last - first + 1));
}

std::string FormatTransdate(std::time_t t) { return Fields(t, ":", " ", ":"); }

std::string FormatStamp(std::time_t t) { return Fields(t, "", "", ""); }

std::string FormatGeneralDate(std::time_t t) {
  // Formatted by hand: it runs twice per picture.
  const std::tm tm = platform::LocalTime(t);
  std::string out = std::to_string(tm.tm_year + 1900);
  auto number = [&out](int n, bool two_digits) {
    if (two_digits || n >= 10) out.push_back(static_cast<char>('0' + n / 10 % 10));
    out.push_back(static_cast<char>('0' + n % 10));
  };
  out.push_back('/');
  number(tm.tm_mon + 1, false);
  out.push_back('/');
  number(tm.tm_mday, false);
  if (tm.tm_hour == 0 && tm.tm_min == 0 && tm.tm_sec == 0) return out;
  out.push_back(' ');
  number(tm.tm_hour, false);
  out.push_back(':');
  number(tm.tm_min, true);
  out.push_back(':');
  number(tm.tm_sec, true);
  return out;
}

std::string StoredForm(std::string_view value) { return platform::XmlSafe(TrimBlanks(value)); }

bool StorableName(std::string_view name) { return platform::XmlSafe(name) == name; }

bool SafeFolderName(std::string_view name) {
  return name != "." && name != ".." && name.find_first_of("/\\") == std::string_view::npos;
}

bool SafeFileName(std::string_view name) {
  return name != ".." && name.find_first_of("/\\") == std::string_view::npos;
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

}  // namespace picmeta::records
