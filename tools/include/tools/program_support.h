#ifndef PICMETA_TOOLS_PROGRAM_SUPPORT_H
#define PICMETA_TOOLS_PROGRAM_SUPPORT_H

#include <optional>
#include <string>
#include <utility>
#include <vector>

// What the picmeta program needs beyond the public API: its arguments and
// terminal, the files it reads and writes for its operator (in the
// library's own way: bounded reads, no file replaced unless asked), a
// hand-over file's scrambling, and the values a record holds for a picture.
namespace picmeta::tooling {

// The program's arguments in UTF-8, whatever the code page.
std::vector<std::string> ProgramArguments(int argc, char** argv);
bool StdoutIsTerminal();

// What stands under a path: an operand is the system's own path; a folder
// option is a method's parameter, where "/" and "\" both separate.
enum class Entry { kNothing, kFile, kFolder };
Entry OperandEntry(const std::string& operand);
Entry ParameterEntry(const std::string& parameter);
// Whether two operands name one file.
bool SameFile(const std::string& a, const std::string& b);

// A whole file of at most 2 GiB; nullopt, with why, when it cannot be read.
std::optional<std::string> ReadInput(const std::string& operand, std::string& why);

// OUT is replaced only when `replace`; otherwise it is created, never over
// a file that is there (also one that appears meanwhile).
enum class Written { kWritten, kTaken, kFailed };
Written WriteOutput(const std::string& operand, const std::string& bytes, bool replace,
                    std::string& why);

// The byte shift of hand-over files, and its inverse.
void Unscramble(std::string& bytes);
Written ScrambleFile(const std::string& in, const std::string& out, bool replace, std::string& why);
// Whether bytes are a well-formed GBK record document (root "root"), as the
// receiving side takes them.
bool IsRecordDocument(const std::string& bytes);
// A plain record document re-encoded as UTF-8 and laid out as the library
// lays out records; the bytes as they are when they do not load.
std::string AsUtf8(const std::string& plain);

// The file and Exif values the library would store for a picture, by
// attribute name in record order, as a record holds them.
std::vector<std::pair<std::string, std::string>> PictureValues(const std::string& operand);

}  // namespace picmeta::tooling

#endif
