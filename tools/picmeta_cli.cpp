// picmeta: the library's methods from the command line, for operators,
// support staff and scripts. What a call did comes from the library's
// diagnostics events: warnings and errors on stderr, the hand-over file's
// path on stdout.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "capture/public_function.h"
#include "picmeta/clsmain.h"
#include "platform/os/console.h"
#include "platform/os/fs.h"
#include "platform/os/text.h"
#include "platform/xml/document.h"
#include "platform/xml/record_reader.h"
#include "platform/xml/record_writer.h"
#include "records/formats.h"
#include "records/picinfo.h"
#include "records/record_document.h"
#include "scramble/encrypt.h"
#include "tools/sample_case.h"

namespace {

using picmeta::clsmain;
using picmeta::clsPicinfo;
namespace platform = picmeta::platform;
namespace records = picmeta::records;

constexpr int kDone = 0;
constexpr int kNothingWritten = 1;  // a gate, no working file, or an error event
constexpr int kUsage = 2;           // wrong usage or a missing input
constexpr std::int64_t kMaxInput = std::int64_t{1} << 31;

struct Args {
  std::map<std::string, std::string> options;
  std::vector<std::string> operands;
  std::string Get(const std::string& name) const {
    const auto it = options.find(name);
    return it == options.end() ? std::string() : it->second;
  }
  bool Flag(const std::string& name) const { return options.count(name) > 0; }
};

// What the library told while a command ran.
struct Outcome {
  std::vector<std::string> handovers;
  int saved = 0;
  bool error = false;
};

struct Option {
  const char* name;
  const char* meaning;
  bool flag = false;  // takes no value
};

struct Command {
  const char* name;
  const char* summary;
  std::vector<Option> options;
  const char* operands;
  const char* example;
  int (*run)(const Args&, Outcome&);
};

int ReadExif(const Args&, Outcome&);
int Write(const Args&, Outcome&);
int NewWrite(const Args&, Outcome&);
int Delete(const Args&, Outcome&);
int Copy(const Args&, Outcome&);
int Unscramble(const Args&, Outcome&);
int Scramble(const Args&, Outcome&);
int Show(const Args&, Outcome&);
int Demo(const Args&, Outcome&);

std::vector<Option> WithBusiness(std::vector<Option> options) {
  options.insert(options.end(), {{"orgid", "16-character organisation id"},
                                 {"busiorgid", "business organisation id"},
                                 {"operno", "operator number"},
                                 {"opername", "operator name"},
                                 {"busi-time", "business time"}});
  return options;
}

// The one table: help and dispatch both come from it.
const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"read-exif",
       "Record every picture of a case into a scrambled hand-over file (ReadEXIF); prints its "
       "path.",
       {{"temp-path", "root folder of the case's picture tree"},
        {"app-path", "the case's workspace folder (receives the hand-over file)"},
        {"busitype", "business type (only 2 is recorded)"},
        {"class-code", "document class code (empty: taken from busiinfoprocess.xml)"},
        {"orgid", "16-character organisation id"},
        {"busiorgid", "business organisation id"},
        {"operno", "operator number"},
        {"opername", "operator name"},
        {"busi-time", "business time"},
        {"systemid", "system id"},
        {"busi-process", "business process"},
        {"ip", "the workstation's IP address"}},
       "",
       "picmeta read-exif --temp-path /cases/1/pictures --app-path /cases/1/app --busitype 2 "
       "--orgid 3100000ABCDEF001 --operno 0815 --opername 张三",
       &ReadExif},
      {"write",
       "Append records for the newly listed pictures of the current case folder (WriteDatatoXML).",
       WithBusiness({{"app-path", "the workspace folder holding documentfilesource.xml"}}), "",
       "picmeta write --app-path /cases/1/app --orgid 3100000ABCDEF001 --operno 0815", &Write},
      {"new-write",
       "Insert or refresh the record of one picture in its folder's exifinfo.xml "
       "(NewWriteDatatoXML).",
       WithBusiness({{"app-path", "the workspace folder holding documentfilesource.xml"},
                     {"file", "full path of the picture"}}),
       "",
       "picmeta new-write --app-path /cases/1/app --file /cases/1/app/top/case/IMG_0001.JPG "
       "--operno 0815",
       &NewWrite},
      {"delete",
       "Remove the record of a deleted picture from a folder's exifinfo.xml (DeleteDatafromXML).",
       {{"folder", "the folder holding exifinfo.xml"}, {"picture", "the picture's file name"}},
       "",
       "picmeta delete --folder /cases/1/app/top/case --picture IMG_0001.JPG",
       &Delete},
      {"copy",
       "Gather the working files of a case into one scrambled hand-over file (CopyExifInfo); "
       "prints each collected folder and the hand-over file's path.",
       {{"folder", "the case folder holding busiinfoprocess.xml (receives the hand-over file)"},
        {"temp-path", "root folder of the case's picture tree"},
        {"operno", "operator number"}},
       "",
       "picmeta copy --folder /cases/1/app --temp-path /cases/1/pictures --operno 0815",
       &Copy},
      {"unscramble",
       "Undo the byte shift of a hand-over file: to OUT, or to stdout (as UTF-8 on a terminal).",
       {{"raw", "keep the GBK bytes on a terminal too", true},
        {"force", "replace OUT when it exists", true}},
       "IN [OUT]",
       "picmeta unscramble /cases/1/app/exif_0815_20110811143005.xml plain.xml",
       &Unscramble},
      {"scramble",
       "Apply the byte shift of hand-over files to IN, writing OUT (the reverse of unscramble).",
       {{"force", "replace OUT when it exists", true}},
       "IN OUT",
       "picmeta scramble plain.xml /cases/1/app/exif_0815_20110811143005.xml",
       &Scramble},
      {"show",
       "Show the file and Exif values the library would store for each picture; a picture that "
       "is not there gets an error line.",
       {{"json", "print JSON instead of a table", true}},
       "PICTURE...",
       "picmeta show --json IMG_0001.JPG",
       &Show},
      {"demo",
       "Build a sample case in DIR (a new or empty folder; default: a new temporary folder), run "
       "ReadEXIF on it and print the records.",
       {},
       "[DIR]",
       "picmeta demo /tmp/picmeta-demo",
       &Demo},
  };
  return commands;
}

// Options every command takes.
const std::vector<Option> kCommon = {
    {"quiet", "print no warnings or errors", true},
    {"verbose", "print what the library did, not only warnings and errors", true},
    {"help", "describe the command", true}};

void PrintHelp(std::ostream& out) {
  out << "picmeta: records the file and Exif metadata of claim pictures in GBK XML record files\n\n"
         "usage: picmeta COMMAND [OPTIONS] [OPERANDS]\n       picmeta --version\n"
         "       picmeta --help-all\n\ncommands:\n";
  for (const auto& c : Commands())
    out << "  " << c.name << std::string(12 - std::string(c.name).size(), ' ') << c.summary << "\n";
  out << "\n'picmeta COMMAND --help' describes a command's options; 'picmeta --help-all' every\n"
         "command's.\n"
         "Exit status: 0 done, 1 done with nothing written (a gate stopped the call, no working\n"
         "file) or an error, 2 wrong usage or a missing input.\n";
}

void PrintHelp(const Command& c, std::ostream& out) {
  out << "usage: picmeta " << c.name;
  for (const auto& o : c.options) out << " [--" << o.name << (o.flag ? "]" : " VALUE]");
  out << " [--quiet|--verbose]";
  if (*c.operands) out << " " << c.operands;
  out << "\n\n" << c.summary << "\n\noptions (an option left out counts as empty):\n";
  for (const auto* list : {&c.options, &kCommon})
    for (const auto& o : *list)
      out << "  --" << o.name << std::string(14 - std::string(o.name).size(), ' ') << o.meaning
          << "\n";
  out << "\nexample:\n  " << c.example << "\n";
}

std::optional<Args> Parse(const Command& c, int argc, char** argv, std::string& error) {
  Args args;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h") a = "--help";
    if (a.rfind("--", 0) != 0 || a == "--") {
      args.operands.push_back(a);
      continue;
    }
    std::string name = a.substr(2);
    std::optional<std::string> value;
    if (const auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    const Option* option = nullptr;
    for (const auto* list : {&c.options, &kCommon})
      for (const auto& o : *list)
        if (name == o.name) option = &o;
    if (!option) {
      error = "unknown option --" + name;
      return std::nullopt;
    }
    if (option->flag) {
      args.options[name] = "1";
      continue;
    }
    if (!value) {
      if (i + 1 >= argc) {
        error = "option --" + name + " needs a value";
        return std::nullopt;
      }
      value = argv[++i];
    }
    args.options[name] = *value;
  }
  return args;
}

// A folder option is a method's parameter ("/" and "\\" separate); a file
// operand is the system's own path.
platform::Path Parameter(const std::string& text) { return platform::Path::FromText(text); }
platform::Path Operand(const std::string& text) { return platform::Path::FromNative(text); }

bool Missing(bool present, const std::string& what, const std::string& path) {
  if (present) return false;
  std::cerr << "error: " << what << " '" << path << "' does not exist\n";
  return true;
}
bool NoFolder(const std::string& path, const char* what) {
  return Missing(platform::FolderExists(Parameter(path)), std::string(what) + " folder", path);
}
bool NoFile(const platform::Path& file, const std::string& path, const char* what) {
  if (platform::FolderExists(file)) {
    std::cerr << "error: " << what << " '" << path << "' is a folder, not a file\n";
    return true;
  }
  return Missing(platform::FileExists(file), what, path);
}

int Finish(const Outcome& o, bool wrote) { return wrote && !o.error ? kDone : kNothingWritten; }

int PrintHandOvers(const Outcome& o) {
  for (const auto& path : o.handovers) std::cout << path << "\n";
  return Finish(o, !o.handovers.empty());
}

int ReadExif(const Args& a, Outcome& o) {
  if (NoFolder(a.Get("app-path"), "workspace") || NoFolder(a.Get("temp-path"), "picture tree"))
    return kUsage;
  clsmain().ReadEXIF(a.Get("temp-path"), a.Get("app-path"), a.Get("busitype"), a.Get("class-code"),
                     a.Get("orgid"), a.Get("busiorgid"), a.Get("operno"), a.Get("opername"),
                     a.Get("busi-time"), a.Get("systemid"), a.Get("busi-process"), a.Get("ip"));
  return PrintHandOvers(o);
}

int Write(const Args& a, Outcome& o) {
  if (NoFolder(a.Get("app-path"), "workspace")) return kUsage;
  clsmain().WriteDatatoXML(a.Get("app-path"), a.Get("orgid"), a.Get("busiorgid"), a.Get("operno"),
                           a.Get("opername"), a.Get("busi-time"));
  return Finish(o, o.saved > 0);
}

int NewWrite(const Args& a, Outcome& o) {
  if (NoFolder(a.Get("app-path"), "workspace") ||
      NoFile(Parameter(a.Get("file")), a.Get("file"), "picture"))
    return kUsage;
  clsmain().NewWriteDatatoXML(a.Get("app-path"), a.Get("file"), a.Get("orgid"), a.Get("busiorgid"),
                              a.Get("operno"), a.Get("opername"), a.Get("busi-time"));
  return Finish(o, o.saved > 0);
}

int Delete(const Args& a, Outcome& o) {
  if (NoFolder(a.Get("folder"), "record")) return kUsage;
  clsmain().DeleteDatafromXML(a.Get("folder"), a.Get("picture"));
  return Finish(o, o.saved > 0);
}

int Copy(const Args& a, Outcome& o) {
  if (NoFolder(a.Get("folder"), "case") || NoFolder(a.Get("temp-path"), "picture tree"))
    return kUsage;
  picmeta::SetFolderNotification(
      [](const std::string& f) { std::cout << "collected " << f << "\n"; });
  clsmain().CopyExifInfo(a.Get("folder"), a.Get("temp-path"), a.Get("operno"));
  picmeta::SetFolderNotification(nullptr);
  return PrintHandOvers(o);
}

// IN and OUT naming one file would lose IN: refused.
bool SameFile(const std::string& in, const std::string& out) {
  platform::FileId a, b;
  if (!platform::GetFileId(Operand(in), a).ok() || !platform::GetFileId(Operand(out), b).ok() ||
      !(a == b))
    return false;
  std::cerr << "error: IN and OUT are the same file\n";
  return true;
}

std::optional<std::string> ReadInput(const std::string& path) {
  std::string bytes;
  const platform::Status s = platform::ReadWholeFile(Operand(path), kMaxInput, bytes);
  if (s.ok()) return bytes;
  std::cerr << "error: cannot read '" << path << "': " << platform::Describe(s) << "\n";
  return std::nullopt;
}

// The plain document re-encoded as UTF-8 and laid out as the library lays
// out records, or the bytes as they are when they do not load.
std::string AsUtf8(const std::string& plain) {
  platform::XmlItemReader reader;
  if (!reader.OpenBytes(plain)) return plain;
  std::vector<platform::XmlItem> items;
  for (platform::XmlItem item; reader.Next(item);) items.push_back(item);
  if (!reader.result()) return plain;
  platform::XmlFrame frame = reader.frame();
  frame.encoding = "UTF-8";
  std::string out;
  try {
    platform::XmlItemWriter writer;
    writer.Begin(frame, [&out](std::string_view bytes) { out.append(bytes); });
    for (const platform::XmlItem& item : items) writer.Write(item);
    writer.End(frame.epilog);
  } catch (const platform::XmlRefused&) {
    return plain;
  }
  return out;
}

int Taken(const std::string& path) {
  std::cerr << "error: '" << path << "' exists; --force replaces it\n";
  return kUsage;
}

// OUT is replaced only when asked to; otherwise it is created, never over a
// file that is there (also one that appears meanwhile).
int WriteOutput(const std::string& path, const std::string& bytes, bool force) {
  const platform::Path out = Operand(path);
  try {
    if (force) {
      platform::Check(platform::AtomicWriteFile(out, bytes), "cannot write", out);
      return kDone;
    }
    if (platform::FileExists(out) || platform::FolderExists(out)) return Taken(path);
    const platform::Status s = platform::CreateExclusive(out, bytes);
    if (s.code == platform::FileStatus::kExists) return Taken(path);
    platform::Check(s, "cannot write", out);
    return kDone;
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << "\n";
    return kNothingWritten;
  }
}

int Unscramble(const Args& a, Outcome&) {
  if (a.operands.empty() || a.operands.size() > 2) {
    std::cerr << "error: unscramble takes IN and an optional OUT\n";
    return kUsage;
  }
  if (NoFile(Operand(a.operands[0]), a.operands[0], "input")) return kUsage;
  if (a.operands.size() == 2 && SameFile(a.operands[0], a.operands[1])) return kUsage;
  auto bytes = ReadInput(a.operands[0]);
  if (!bytes) return kUsage;
  picmeta::encrypt::Unscramble(*bytes);
  if (bytes->rfind("<?xml", 0) != 0)
    std::cerr << "warning: " << a.operands[0]
              << " does not unscramble to an XML declaration: is it a hand-over file?\n";
  if (a.operands.size() == 2) return WriteOutput(a.operands[1], *bytes, a.Flag("force"));
  const std::string out = platform::StdoutIsTerminal() && !a.Flag("raw") ? AsUtf8(*bytes) : *bytes;
  std::cout.write(out.data(), static_cast<std::streamsize>(out.size()));
  return std::cout ? kDone : kNothingWritten;
}

int Scramble(const Args& a, Outcome&) {
  if (a.operands.size() != 2) {
    std::cerr << "error: scramble takes IN and OUT\n";
    return kUsage;
  }
  if (NoFile(Operand(a.operands[0]), a.operands[0], "input") ||
      SameFile(a.operands[0], a.operands[1]))
    return kUsage;
  auto bytes = ReadInput(a.operands[0]);
  if (!bytes) return kUsage;
  platform::XmlDocument doc;
  const auto loaded = doc.LoadXML(*bytes);
  if (!loaded || doc.DocumentElement().Name() != "root" ||
      records::TrimBlanks(*bytes).find("encoding=\"GBK\"") == std::string::npos)
    std::cerr << "warning: " << a.operands[0]
              << " is not a well-formed GBK record document: the receiving side will reject it\n";
  const platform::Path out = Operand(a.operands[1]);
  const bool force = a.Flag("force");
  if (!force && (platform::FileExists(out) || platform::FolderExists(out)))
    return Taken(a.operands[1]);
  try {
    picmeta::encrypt::EncryptFile(Operand(a.operands[0]), out, force);
    return kDone;
  } catch (const platform::FsError& e) {
    if (!force && e.status().code == platform::FileStatus::kExists) return Taken(a.operands[1]);
    std::cerr << "error: " << e.what() << "\n";
    return kNothingWritten;
  }
}

std::string Escaped(const std::string& s, bool json) {
  std::string out;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' && json) {
      out += "\\\"";
    } else if (c == '\\' && json) {
      out += "\\\\";
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, json ? "\\u%04x" : "\\x%02x", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out;
}

int Show(const Args& a, Outcome&) {
  if (a.operands.empty()) {
    std::cerr << "error: show needs at least one PICTURE\n";
    return kUsage;
  }
  const bool json = a.Flag("json");
  bool missing = false;
  std::size_t shown = 0;
  if (json) std::cout << "[";
  for (const std::string& path : a.operands) {
    // Every picture that is there is shown; each one that is not gets its line.
    if (NoFile(Operand(path), path, "picture")) {
      missing = true;
      continue;
    }
    const std::size_t i = shown++;
    clsPicinfo r;
    picmeta::Public_Function::ReadPicture(Operand(path), r);
    const std::vector<std::pair<const char*, std::string>> fields = {
        {"Filename", r.Filename()},
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
        {"Secdat", r.Secdat()}};
    if (json) {
      std::cout << (i ? ",\n " : "\n ") << "{\"path\": \"" << Escaped(path, true) << "\"";
    } else {
      std::cout << (i ? "\n" : "") << path << "\n";
    }
    for (const auto& [name, value] : fields) {
      // What a record would hold: no characters XML cannot carry.
      const std::string stored = platform::XmlSafe(value);
      if (json) {
        std::cout << ", \"" << name << "\": \"" << Escaped(stored, true) << "\"";
      } else {
        std::cout << "  " << name << std::string(14 - std::string(name).size(), ' ')
                  << Escaped(stored, false) << "\n";
      }
    }
    if (json) std::cout << "}";
  }
  if (json) std::cout << (shown ? "\n]\n" : "]\n");
  return missing ? kUsage : kDone;
}

int Demo(const Args& a, Outcome& o) {
  if (a.operands.size() > 1) {
    std::cerr << "error: demo takes at most one DIR\n";
    return kUsage;
  }
  std::string root;
  if (a.operands.empty()) {
    // A new folder of a random name, never one that exists.
    std::random_device random;
    std::error_code ec;
    for (int attempt = 0; attempt < 100 && root.empty(); ++attempt) {
      char name[32];
      std::snprintf(name, sizeof name, "picmeta-demo-%08x", static_cast<unsigned>(random()));
      const auto candidate = std::filesystem::temp_directory_path(ec) / name;
      if (!ec && std::filesystem::create_directory(candidate, ec) && !ec) {
        const std::u8string utf8 = candidate.u8string();
        root.assign(utf8.begin(), utf8.end());
      }
    }
    if (root.empty()) {
      std::cerr << "error: cannot create a temporary folder\n";
      return kNothingWritten;
    }
  } else {
    root = a.operands[0];
    // The sample case's files would replace a case's own: only a new or empty folder.
    std::error_code ec;
    const std::filesystem::path dir(
        std::u8string(root.begin(), root.end()));  // UTF-8 on every platform
    if (std::filesystem::exists(dir, ec) &&
        (!std::filesystem::is_directory(dir, ec) || !std::filesystem::is_empty(dir, ec))) {
      std::cerr << "error: demo: '" << root
                << "' is not an empty folder: the sample case would overwrite what is there; "
                   "give a new or empty folder\n";
      return kUsage;
    }
  }
  picmeta::tooling::SampleCase c;
  try {
    c = picmeta::tooling::BuildSampleCase(root);
  } catch (const std::exception& e) {
    std::cerr << "error: cannot build the sample case in '" << root << "': " << e.what() << "\n";
    return kNothingWritten;
  }
  std::cout << "sample case in " << root << "\n  workspace     " << c.app_path
            << "\n  picture tree  " << c.temp_path << "\n\n";
  clsmain().ReadEXIF(c.temp_path, c.app_path, "2", "", c.orgid, "31000", c.operno, c.opername,
                     "2011-08-11 14:30:05", "CLAIMS", "survey", "10.0.0.8");
  if (o.handovers.empty()) {
    std::cerr << "error: ReadEXIF wrote no hand-over file\n";
    return kNothingWritten;
  }
  const std::string path = o.handovers.back();
  auto bytes = ReadInput(path);
  if (!bytes) return kNothingWritten;
  picmeta::encrypt::Unscramble(*bytes);
  std::cout << "ReadEXIF wrote " << path << "\nunscrambled, as UTF-8:\n\n"
            << AsUtf8(*bytes)
            << "\nHow to read it: the seven records follow the case tree of busiinfoprocess.xml\n"
               "(level-4 documents before their level-3 folder, before level 2). scan.jpg has no\n"
               "Exif block, so only its file values are filled. The two records with an empty\n"
               "Filename stand for documents without a picture: resource index R9 is missing\n"
               "from resourceprocess.xml, and missing.jpg is named there but not on disk.\n"
               "Every attribute is explained in docs/records.md.\n";
  return kDone;
}

}  // namespace

int Main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "--version") {
    std::cout << "picmeta " << PICMETA_VERSION << "\n";
    return kDone;
  }
  if (argc >= 2 && std::string(argv[1]) == "--help-all") {
    PrintHelp(std::cout);
    for (const auto& c : Commands()) {
      std::cout << "\n" << c.name << ":\n";
      PrintHelp(c, std::cout);
    }
    return kDone;
  }
  if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h" ||
      std::string(argv[1]) == "help") {
    PrintHelp(argc < 2 ? std::cerr : std::cout);
    return argc < 2 ? kUsage : kDone;
  }
  const Command* command = nullptr;
  for (const auto& c : Commands())
    if (argv[1] == std::string(c.name)) command = &c;
  if (!command) {
    std::cerr << "error: unknown command '" << argv[1] << "'\n\n";
    PrintHelp(std::cerr);
    return kUsage;
  }
  std::string error;
  const auto args = Parse(*command, argc - 2, argv + 2, error);
  if (!args) {
    std::cerr << "error: " << command->name << ": " << error << "\n\n";
    PrintHelp(*command, std::cerr);
    return kUsage;
  }
  if (args->Flag("help")) {
    PrintHelp(*command, std::cout);
    return kDone;
  }
  const bool takes_operands = *command->operands != '\0';
  if (!takes_operands && !args->operands.empty()) {
    std::cerr << "error: " << command->name << ": unexpected operand '" << args->operands[0]
              << "'\n";
    return kUsage;
  }
  Outcome outcome;
  const bool quiet = args->Flag("quiet"), verbose = args->Flag("verbose");
  picmeta::SetLogHandler([&](const picmeta::Event& e) {
    if (e.code == PICMETA_EVENT_HANDOVER_WRITTEN) outcome.handovers.push_back(e.path);
    if (e.code == PICMETA_EVENT_WORKING_FILE_SAVED) ++outcome.saved;
    if (e.severity == PICMETA_ERROR) outcome.error = true;
    if (quiet || (e.severity == PICMETA_INFO && !verbose)) return;
    static const char* const kLabel[] = {"info", "warning", "error"};
    std::cerr << kLabel[e.severity] << ": " << e.message << "\n";
  });
  const int status = command->run(*args, outcome);
  picmeta::SetLogHandler(nullptr);
  return status;
}

int main(int argc, char** argv) {
  // Arguments in UTF-8, whatever the code page: Chinese folder and picture
  // names reach the library intact.
  std::vector<std::string> args = platform::ProgramArguments(argc, argv);
  std::vector<char*> pointers;
  for (std::string& arg : args) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  return Main(static_cast<int>(args.size()), pointers.data());
}
