#ifndef PICMETA_RECORDS_FORMATS_H
#define PICMETA_RECORDS_FORMATS_H

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

// How values look in records and in the names of record files, and which
// names a record can hold.
namespace picmeta::records {

// Characters `start` (from 1) to start + count - 1 of a UTF-8 text, counted in
// code points; positions past the end give a shorter or empty result.
std::string Mid(std::string_view text, std::size_t start, std::size_t count);

// Removes blanks (U+0020 only) at both ends.
std::string TrimBlanks(std::string_view text);

// Local time, 24-hour clock.
std::string FormatTransdate(std::time_t t);  // YYYY:MM:DD HH:MM:SS
std::string FormatStamp(std::time_t t);      // YYYYMMDDHHMMSS
// The general date form of the Chinese (PRC) locale: "2011/8/1 9:05:07", and
// the date alone at exactly midnight; independent of the process locale.
std::string FormatGeneralDate(std::time_t t);

// A text as a record stores it: blanks trimmed at both ends (as the picture's
// values are), without the characters XML cannot carry. Names are looked up
// in this form.
std::string StoredForm(std::string_view value);

// Whether a file name can be stored exactly in a record's Filename (valid
// UTF-8, only characters XML 1.0 carries): two pictures whose names could
// not would share one record.
bool StorableName(std::string_view name);

// A folder name of the case tree that stays inside its parent folder: not
// "." or "..", no "/" or "\". A record with any other name is not followed.
bool SafeFolderName(std::string_view name);

// A file name that names a file inside its folder: no "/" or "\", not "..".
bool SafeFileName(std::string_view name);

// The operator number as it stands in a hand-over file's name: every "/", "\"
// and character that file names cannot hold becomes "_", and it is cut (at a
// character boundary) so that the whole name fits the file-name limit.
std::string OperatorForFileName(std::string_view operno);

}  // namespace picmeta::records

#endif
