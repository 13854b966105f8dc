#ifndef PICMETA_TESTS_TREE_ORACLE_H
#define PICMETA_TESTS_TREE_ORACLE_H

#include <string>
#include <utility>
#include <vector>

// libxml2's own tree load and formatted save, called directly: the reference
// that the record stream's reader and writer are held to, byte for byte.
// libxml2 decodes and encodes here itself, and decides itself which
// characters become character references. (A libxml2 built without iconv, as
// the Windows one is, is given a GBK converter made of the platform's, one
// character at a time.)
namespace picmeta::test {

// The document loaded by libxml2 (whitespace-only text dropped) and saved
// formatted in its declared encoding (UTF-8 when none is declared); "not
// loaded" when libxml2 refuses it.
std::string TreeSavedAgain(const std::string& bytes);

// A record document built as a tree (GBK declaration, root "root", one "info"
// element per record, with its attributes in order; characters XML cannot
// carry dropped) and saved by libxml2.
using TreeRecord = std::vector<std::pair<std::string, std::string>>;
std::string TreeRecordFile(const std::vector<TreeRecord>& records);

}  // namespace picmeta::test

#endif
