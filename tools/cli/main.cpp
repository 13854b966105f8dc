// picmeta: the library's methods from the command line, for operators,
// support staff and scripts. What a call did comes from the library's
// diagnostics events: warnings and errors on stderr, the hand-over file's
// path on stdout.
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "picmeta/clsmain.h"
#include "tools/program_support.h"

namespace picmeta::cli {
namespace {

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
      args.options[name].assign(1, '1');  // (not = "1": GCC 12 -O3 warns wrongly, bug 105329)
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

}  // namespace
}  // namespace picmeta::cli

int Main(int argc, char** argv) {
  using namespace picmeta::cli;
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
  std::vector<std::string> args = picmeta::tooling::ProgramArguments(argc, argv);
  std::vector<char*> pointers;
  for (std::string& arg : args) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  return Main(static_cast<int>(args.size()), pointers.data());
}
