#include "tools/program_support.h"

#include <cstdint>

#include "capture/public_function.h"
#include "platform/os/console.h"
#include "platform/os/fs.h"
#include "platform/xml/document.h"
#include "platform/xml/record_reader.h"
#include "platform/xml/record_writer.h"
#include "records/formats.h"
#include "records/picinfo.h"
#include "scramble/encrypt.h"

namespace picmeta::tooling {
namespace {

constexpr std::int64_t kMaxInput = std::int64_t{1} << 31;

platform::Path Operand(const std::string& text) { return platform::Path::FromNative(text); }

Entry EntryAt(const platform::Path& path) {
  if (platform::FolderExists(path)) return Entry::kFolder;
  return platform::FileExists(path) ? Entry::kFile : Entry::kNothing;
}

// What a write of OUT came to; one its folder could not be made to keep
// (kNotSynced) is told as a failure, so that the operator looks.
Written Answer(const platform::Status& s, bool replace, const platform::Path& out,
               std::string& why) {
  if (s.ok()) return Written::kWritten;
  if (!replace && s.code == platform::FileStatus::kExists) return Written::kTaken;
  why = "cannot write " + out.Native() + ": " + platform::Describe(s);
  return Written::kFailed;
}

}  // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return platform::ProgramArguments(argc, argv);
}

bool StdoutIsTerminal() { return platform::StdoutIsTerminal(); }

Entry OperandEntry(const std::string& operand) { return EntryAt(Operand(operand)); }

Entry ParameterEntry(const std::string& parameter) {
  return EntryAt(platform::Path::FromText(parameter));
}

bool SameFile(const std::string& a, const std::string& b) {
  platform::FileId x, y;
  return platform::GetFileId(Operand(a), x).ok() && platform::GetFileId(Operand(b), y).ok() &&
         x == y;
}

std::optional<std::string> ReadInput(const std::string& operand, std::string& why) {
  std::string bytes;
  const platform::Status s = platform::ReadWholeFile(Operand(operand), kMaxInput, bytes);
  if (s.ok()) return bytes;
  why = platform::Describe(s);
  return std::nullopt;
}

Written WriteOutput(const std::string& operand, const std::string& bytes, bool replace,
                    std::string& why) {
  const platform::Path out = Operand(operand);
  if (!replace && EntryAt(out) != Entry::kNothing) return Written::kTaken;
  const platform::Status s =
      replace ? platform::AtomicWriteFile(out, bytes) : platform::CreateExclusive(out, bytes);
  return Answer(s, replace, out, why);
}

void Unscramble(std::string& bytes) { encrypt::Unscramble(bytes); }

Written ScrambleFile(const std::string& in, const std::string& out, bool replace,
                     std::string& why) {
  if (!replace && EntryAt(Operand(out)) != Entry::kNothing) return Written::kTaken;
  return Answer(encrypt::EncryptFile(Operand(in), Operand(out), replace), replace, Operand(out),
                why);
}

bool IsRecordDocument(const std::string& bytes) {
  platform::XmlDocument doc;
  return doc.LoadXML(bytes) && doc.DocumentElement().Name() == "root" &&
         records::TrimBlanks(bytes).find("encoding=\"GBK\"") != std::string::npos;
}

std::string AsUtf8(const std::string& plain) {
  platform::XmlItemReader reader;
  if (!reader.OpenBytes(plain)) return plain;
  std::vector<platform::XmlItem> items;
  for (platform::XmlItem item; reader.Next(item);) items.push_back(item);
  if (!reader.result()) return plain;
  platform::XmlFrame frame = reader.frame();
  frame.encoding = "UTF-8";
  std::string out;
  platform::XmlItemWriter writer;
  if (!writer.Begin(frame, [&out](std::string_view bytes) { out.append(bytes); })) return plain;
  for (const platform::XmlItem& item : items)
    if (!writer.Write(item)) return plain;
  if (!writer.End(frame.epilog)) return plain;
  return out;
}

std::vector<std::pair<std::string, std::string>> PictureValues(const std::string& operand) {
  clsPicinfo r;
  Public_Function::ReadPicture(Operand(operand), r);
  // What a record would hold: no characters XML cannot carry.
  std::vector<std::pair<std::string, std::string>> values;
  for (const auto& [name, value] : {std::pair{"Filename", r.Filename()},
                                    {"Filetype", r.Filetype()},
                                    {"FileSize", r.FileSize()},
                                    {"Datecreat", r.Datecreat()},
                                    {"Datemodified", r.Datemodified()},
                                    {"Make", r.Make()},
                                    {"Model", r.Model()},
                                    {"Takedate", r.Takedate()},
                                    {"Digidate", r.Digidate()},
                                    {"Updatedate", r.Updatedate()},
                                    {"Software", r.Software()},
                                    {"Ifdoffset", r.Ifdoffset()},
                                    {"Offset", r.Offset()},
                                    {"Soioffset", r.Soioffset()},
                                    {"Thresholding", r.Thresholding()},
                                    {"CellWidth", r.CellWidth()},
                                    {"CellLength", r.CellLength()},
                                    {"Secdat", r.Secdat()}})
    values.emplace_back(name, platform::XmlSafe(value));
  return values;
}

}  // namespace picmeta::tooling
