// picmeta: the library's methods from the command line, for operators,
// support staff and scripts.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "capture/public_function.h"
#include "picmeta/clsmain.h"
#include "platform/fs.h"
#include "platform/xml.h"
#include "records/picinfo.h"
#include "records/record_document.h"
#include "scramble/encrypt.h"
#include "tools/sample_case.h"

namespace {

using picmeta::clsmain;
using picmeta::clsPicinfo;

constexpr int kUsage = 2;
constexpr int kFailed = 1;

struct Command {
  const char* name;
  const char* summary;
  std::vector<std::pair<const char*, const char*>> options;  // name, meaning
  const char* operands;
  const char* example;
};

// The business data every working-file writer records.
const std::vector<std::pair<const char*, const char*>> kBusinessOptions = {
    {"orgid", "16-character organisation id"},
    {"busiorgid", "business organisation id"},
    {"operno", "operator number"},
    {"opername", "operator name"},
    {"busi-time", "business time"}};

std::vector<std::pair<const char*, const char*>> WithBusiness(
    std::vector<std::pair<const char*, const char*>> options) {
  options.insert(options.end(), kBusinessOptions.begin(), kBusinessOptions.end());
  return options;
}

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"read-exif",
       "Record every picture of a case into a scrambled hand-over file (ReadEXIF); prints its path.",
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
       "--orgid 3100000ABCDEF001 --operno 0815 --opername 张三"},
      {"write",
       "Append records for the newly listed pictures of the current case folder (WriteDatatoXML).",
       WithBusiness({{"app-path", "the workspace folder holding documentfilesource.xml"}}),
       "",
       "picmeta write --app-path /cases/1/app --orgid 3100000ABCDEF001 --operno 0815"},
      {"new-write",
       "Insert or refresh the record of one picture in its folder's exifinfo.xml "
       "(NewWriteDatatoXML).",
       WithBusiness({{"app-path", "the workspace folder holding documentfilesource.xml"},
                     {"file", "full path of the picture"}}),
       "",
       "picmeta new-write --app-path /cases/1/app --file /cases/1/app/top/case/IMG_0001.JPG "
       "--operno 0815"},
      {"delete",
       "Remove the record of a deleted picture from a folder's exifinfo.xml (DeleteDatafromXML).",
       {{"folder", "the folder holding exifinfo.xml"}, {"picture", "the picture's file name"}},
       "",
       "picmeta delete --folder /cases/1/app/top/case --picture IMG_0001.JPG"},
      {"copy",
       "Gather the working files of a case into one scrambled hand-over file (CopyExifInfo); "
       "prints its path and each collected folder.",
       {{"folder", "the case folder holding busiinfoprocess.xml (receives the hand-over file)"},
        {"temp-path", "root folder of the case's picture tree"},
        {"operno", "operator number"}},
       "",
       "picmeta copy --folder /cases/1/app --temp-path /cases/1/pictures --operno 0815"},
      {"unscramble", "Undo the byte shift of a hand-over file (to stdout when OUT is absent).",
       {},
       "IN [OUT]",
       "picmeta unscramble /cases/1/app/exif_0815_20110811143005.xml plain.xml"},
      {"scramble",
       "Apply the byte shift of hand-over files to IN, writing OUT (the reverse of unscramble).",
       {},
       "IN OUT",
       "picmeta scramble plain.xml /cases/1/app/exif_0815_20110811143005.xml"},
      {"show",
       "Show the file and Exif values the library records for each picture.",
       {{"json", "print JSON instead of a table (a flag, takes no value)"}},
       "PICTURE...",
       "picmeta show --json IMG_0001.JPG"},
      {"demo",
       "Build a sample case in DIR (default: a new temporary folder), run ReadEXIF on it and "
       "print the records.",
       {},
       "[DIR]",
       "picmeta demo /tmp/picmeta-demo"},
  };
  return commands;
}

const Command* Find(const std::string& name) {
  for (const auto& c : Commands())
    if (name == c.name) return &c;
  return nullptr;
}

void PrintHelp(std::ostream& out) {
  out << "picmeta: records the file and Exif metadata of claim pictures in GBK XML record files\n\n"
         "usage: picmeta COMMAND [OPTIONS] [OPERANDS]\n\ncommands:\n";
  for (const auto& c : Commands()) out << "  " << c.name << std::string(12 - std::string(c.name).size(), ' ') << c.summary << "\n";
  out << "\n'picmeta COMMAND --help' describes a command's options.\n";
}

void PrintHelp(const Command& c, std::ostream& out) {
  out << "usage: picmeta " << c.name;
  for (const auto& [name, meaning] : c.options) {
    (void)meaning;
    out << " [--" << name << (std::string(name) == "json" ? "]" : " VALUE]");
  }
  if (*c.operands) out << " " << c.operands;
  out << "\n\n" << c.summary << "\n";
  if (!c.options.empty()) out << "\noptions (an option left out counts as empty):\n";
  for (const auto& [name, meaning] : c.options)
    out << "  --" << name << std::string(14 - std::string(name).size(), ' ') << meaning << "\n";
  out << "\nexample:\n  " << c.example << "\n";
}

struct Args {
  std::map<std::string, std::string> options;
  std::vector<std::string> operands;
  bool help = false;
  std::string Get(const std::string& name) const {
    const auto it = options.find(name);
    return it == options.end() ? std::string() : it->second;
  }
};

std::optional<Args> Parse(const Command& c, int argc, char** argv, std::string& error) {
  Args args;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      args.help = true;
      continue;
    }
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
    bool known = false;
    for (const auto& [option, meaning] : c.options) known |= name == option;
    if (!known) {
      error = "unknown option --" + name;
      return std::nullopt;
    }
    if (name == "json") {
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

bool RequireFolder(const std::string& path, const char* what) {
  if (picmeta::platform::FolderExists(path)) return true;
  std::cerr << "picmeta: " << what << " '" << path << "' is not a folder\n";
  return false;
}

// Hand-over files of an operator in a folder, with their modification times.
std::map<std::string, std::int64_t> HandOvers(const std::string& folder, const std::string& operno) {
  std::map<std::string, std::int64_t> found;
  const std::string prefix = "exif_" + picmeta::records::OperatorForFileName(operno) + "_";
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(picmeta::platform::NativePath(folder), ec)) {
    const std::string name = e.path().filename();
    if (name.rfind(prefix, 0) != 0 || name.size() < 4 || name.substr(name.size() - 4) != ".xml")
      continue;
    std::error_code time_ec;
    const auto t = std::filesystem::last_write_time(e.path(), time_ec);
    if (!time_ec) found[e.path()] = t.time_since_epoch().count();
  }
  return found;
}

std::optional<std::string> NewHandOver(const std::map<std::string, std::int64_t>& before,
                                       const std::map<std::string, std::int64_t>& after) {
  std::optional<std::string> newest;
  for (const auto& [path, mtime] : after) {
    const auto it = before.find(path);
    if (it == before.end() || it->second != mtime) newest = path;
  }
  return newest;
}

// IN and OUT naming one file would lose IN: refused.
bool SameFile(const std::string& in, const std::string& out) {
  if (!picmeta::platform::SameFile(in, out)) return false;
  std::cerr << "picmeta: IN and OUT are the same file\n";
  return true;
}

constexpr std::int64_t kMaxInput = std::int64_t{1} << 31;

// The unscrambled document, re-encoded as UTF-8 for the terminal.
std::string Readable(std::string bytes) {
  picmeta::encrypt::Unscramble(bytes);
  picmeta::platform::XmlDocument doc;
  if (!doc.LoadXML(bytes)) return bytes;
  return doc.Serialize("UTF-8");
}

std::string ReadAll(const std::string& path) {
  std::string bytes;
  picmeta::platform::ReadWholeFile(path, kMaxInput, bytes);
  return bytes;
}

int ReadExif(const Args& a) {
  const std::string app = a.Get("app-path");
  if (!RequireFolder(app, "workspace folder --app-path")) return kUsage;
  const auto before = HandOvers(app, a.Get("operno"));
  clsmain().ReadEXIF(a.Get("temp-path"), app, a.Get("busitype"), a.Get("class-code"),
                     a.Get("orgid"), a.Get("busiorgid"), a.Get("operno"), a.Get("opername"),
                     a.Get("busi-time"), a.Get("systemid"), a.Get("busi-process"), a.Get("ip"));
  const auto written = NewHandOver(before, HandOvers(app, a.Get("operno")));
  if (!written) {
    std::cerr << "picmeta: no hand-over file was written (business type not 2, class code not "
                 "11020000, or busiinfoprocess.xml missing or unreadable)\n";
    return kFailed;
  }
  std::cout << *written << "\n";
  return 0;
}

int Copy(const Args& a) {
  const std::string folder = a.Get("folder");
  if (!RequireFolder(folder, "case folder --folder")) return kUsage;
  picmeta::SetFolderNotification([](const std::string& f) { std::cout << "collected " << f << "\n"; });
  const auto before = HandOvers(folder, a.Get("operno"));
  clsmain().CopyExifInfo(folder, a.Get("temp-path"), a.Get("operno"));
  picmeta::SetFolderNotification(nullptr);
  const auto written = NewHandOver(before, HandOvers(folder, a.Get("operno")));
  if (!written) {
    std::cerr << "picmeta: no hand-over file was written (no working file found)\n";
    return kFailed;
  }
  std::cout << *written << "\n";
  return 0;
}

int Unscramble(const Args& a) {
  if (a.operands.empty() || a.operands.size() > 2) {
    std::cerr << "picmeta: unscramble takes IN and an optional OUT\n";
    return kUsage;
  }
  if (a.operands.size() == 2 && SameFile(a.operands[0], a.operands[1])) return kUsage;
  std::string bytes;
  const auto s = picmeta::platform::ReadWholeFile(a.operands[0], kMaxInput, bytes);
  if (!s.ok()) {
    std::cerr << "picmeta: cannot read '" << a.operands[0] << "': " << picmeta::platform::Describe(s)
              << "\n";
    return kFailed;
  }
  picmeta::encrypt::Unscramble(bytes);
  if (a.operands.size() == 1) {
    std::cout.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return std::cout ? 0 : kFailed;
  }
  try {
    picmeta::platform::AtomicWriteFile(a.operands[1], bytes);
  } catch (const std::exception& e) {
    std::cerr << "picmeta: " << e.what() << "\n";
    return kFailed;
  }
  return 0;
}

int Scramble(const Args& a) {
  if (a.operands.size() != 2) {
    std::cerr << "picmeta: scramble takes IN and OUT\n";
    return kUsage;
  }
  if (!picmeta::platform::FileExists(a.operands[0])) {
    std::cerr << "picmeta: cannot read '" << a.operands[0] << "'\n";
    return kFailed;
  }
  if (SameFile(a.operands[0], a.operands[1])) return kUsage;
  try {
    picmeta::encrypt::EncryptFile(a.operands[0], a.operands[1]);
  } catch (const std::exception& e) {
    std::cerr << "picmeta: " << e.what() << "\n";
    return kFailed;
  }
  return 0;
}

std::string Escaped(const std::string& s, bool json) {
  std::string out;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' && json) out += "\\\"";
    else if (c == '\\' && json) out += "\\\\";
    else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, json ? "\\u%04x" : "\\x%02x", c);
      out += buf;
    } else out += ch;
  }
  return out;
}

int Show(const Args& a) {
  if (a.operands.empty()) {
    std::cerr << "picmeta: show needs at least one PICTURE\n";
    return kUsage;
  }
  const bool json = !a.Get("json").empty();
  int status = 0;
  if (json) std::cout << "[";
  for (std::size_t i = 0; i < a.operands.size(); ++i) {
    const std::string& path = a.operands[i];
    if (!picmeta::platform::FileExists(path)) {
      std::cerr << "picmeta: no picture '" << path << "'\n";
      status = kFailed;
    }
    clsPicinfo r;
    picmeta::Public_Function::ReadPicInfo(path, r);
    const std::vector<std::pair<const char*, std::string>> fields = {
        {"Filename", r.Filename()},   {"Filetype", r.Filetype()},     {"FileSize", r.FileSize()},
        {"Datecreat", r.Datecreat()}, {"Datemodified", r.Datemodified()},
        {"Make", r.Make()},           {"Model", r.Model()},           {"Takedate", r.Takedate()},
        {"Digidate", r.Digidate()},   {"Updatedate", r.Updatedate()}, {"Software", r.Software()},
        {"Ifdoffset", r.Ifdoffset()}, {"Offset", r.Offset()},         {"Soioffset", r.Soioffset()},
        {"Thresholding", r.Thresholding()}, {"CellWidth", r.CellWidth()},
        {"CellLength", r.CellLength()},     {"Secdat", r.Secdat()}};
    if (json) {
      std::cout << (i ? ",\n " : "\n ") << "{\"path\": \"" << Escaped(path, true) << "\"";
      for (const auto& [name, value] : fields)
        std::cout << ", \"" << name << "\": \"" << Escaped(value, true) << "\"";
      std::cout << "}";
    } else {
      std::cout << (i ? "\n" : "") << path << "\n";
      for (const auto& [name, value] : fields)
        std::cout << "  " << name << std::string(14 - std::string(name).size(), ' ')
                  << Escaped(value, false) << "\n";
    }
  }
  if (json) std::cout << "\n]\n";
  return status;
}

int Demo(const Args& a) {
  std::string root;
  if (a.operands.size() > 1) {
    std::cerr << "picmeta: demo takes at most one DIR\n";
    return kUsage;
  }
  if (a.operands.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "picmeta-demo-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
      std::cerr << "picmeta: cannot create a temporary folder\n";
      return kFailed;
    }
    root = pattern;
  } else {
    root = a.operands[0];
  }
  picmeta::tooling::SampleCase c;
  try {
    c = picmeta::tooling::BuildSampleCase(root);
  } catch (const std::exception& e) {
    std::cerr << "picmeta: cannot build the sample case in '" << root << "': " << e.what() << "\n";
    return kFailed;
  }
  std::cout << "sample case in " << root << "\n  workspace     " << c.app_path
            << "\n  picture tree  " << c.temp_path << "\n\n";
  const auto before = HandOvers(c.app_path, c.operno);
  clsmain().ReadEXIF(c.temp_path, c.app_path, "2", "", c.orgid, "31000", c.operno, c.opername,
                     "2011-08-11 14:30:05", "CLAIMS", "survey", "10.0.0.8");
  const auto written = NewHandOver(before, HandOvers(c.app_path, c.operno));
  if (!written) {
    std::cerr << "picmeta: ReadEXIF wrote no hand-over file\n";
    return kFailed;
  }
  std::cout << "ReadEXIF wrote " << *written << "\nunscrambled, as UTF-8:\n\n"
            << Readable(ReadAll(*written));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h" ||
      std::string(argv[1]) == "help") {
    PrintHelp(argc < 2 ? std::cerr : std::cout);
    return argc < 2 ? kUsage : 0;
  }
  const Command* command = Find(argv[1]);
  if (!command) {
    std::cerr << "picmeta: unknown command '" << argv[1] << "'\n\n";
    PrintHelp(std::cerr);
    return kUsage;
  }
  std::string error;
  const auto args = Parse(*command, argc - 2, argv + 2, error);
  if (!args) {
    std::cerr << "picmeta " << command->name << ": " << error << "\n\n";
    PrintHelp(*command, std::cerr);
    return kUsage;
  }
  if (args->help) {
    PrintHelp(*command, std::cout);
    return 0;
  }
  const std::string name = command->name;
  if (name == "read-exif") return ReadExif(*args);
  if (name == "unscramble") return Unscramble(*args);
  if (name == "scramble") return Scramble(*args);
  if (name == "show") return Show(*args);
  if (name == "demo") return Demo(*args);
  if (name == "copy") return Copy(*args);
  if (!args->operands.empty()) {
    std::cerr << "picmeta " << name << ": unexpected operand '" << args->operands[0] << "'\n";
    return kUsage;
  }
  if (name == "write") {
    if (!RequireFolder(args->Get("app-path"), "workspace folder --app-path")) return kUsage;
    clsmain().WriteDatatoXML(args->Get("app-path"), args->Get("orgid"), args->Get("busiorgid"),
                             args->Get("operno"), args->Get("opername"), args->Get("busi-time"));
  } else if (name == "new-write") {
    if (!RequireFolder(args->Get("app-path"), "workspace folder --app-path")) return kUsage;
    if (!picmeta::platform::FileExists(args->Get("file"))) {
      std::cerr << "picmeta: no picture '" << args->Get("file") << "'\n";
      return kUsage;
    }
    clsmain().NewWriteDatatoXML(args->Get("app-path"), args->Get("file"), args->Get("orgid"),
                                args->Get("busiorgid"), args->Get("operno"),
                                args->Get("opername"), args->Get("busi-time"));
  } else if (name == "delete") {
    if (!RequireFolder(args->Get("folder"), "folder --folder")) return kUsage;
    clsmain().DeleteDatafromXML(args->Get("folder"), args->Get("picture"));
  }
  return 0;
}
