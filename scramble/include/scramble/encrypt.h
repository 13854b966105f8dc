#ifndef PICMETA_SCRAMBLE_ENCRYPT_H
#define PICMETA_SCRAMBLE_ENCRYPT_H

#include <string>
#include <string_view>

#include "platform/os/path.h"

// The byte shift that turns a record document into a hand-over file: every
// byte plus one, modulo 256. Unscramble is its inverse, for readers.
namespace picmeta::encrypt {

void Scramble(std::string& bytes);
void Unscramble(std::string& bytes);

// Writes the scrambled bytes of source to destination, whole or not at all
// (never written through a link): `replace` replaces a file there atomically,
// otherwise the destination is created and a name that is taken fails with
// kExists. Throws platform::FsError on failure, a missing source included;
// the source is never written.
void EncryptFile(const platform::Path& source, const platform::Path& destination,
                 bool replace = true);

}  // namespace picmeta::encrypt

#endif
