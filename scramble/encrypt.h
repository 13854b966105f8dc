#ifndef PICMETA_SCRAMBLE_ENCRYPT_H
#define PICMETA_SCRAMBLE_ENCRYPT_H

#include <string>
#include <string_view>

// The byte shift that turns a record document into a hand-over file: every
// byte plus one, modulo 256. Unscramble is its inverse, for readers.
namespace picmeta::encrypt {

void Scramble(std::string& bytes);
void Unscramble(std::string& bytes);

// Writes the scrambled bytes of source to destination, which ends up holding
// exactly that, replaced atomically (never written through a link). A missing
// source is created empty.
// Throws platform::FsError on failure.
void EncryptFile(const std::string& source, const std::string& destination);

}  // namespace picmeta::encrypt

#endif
