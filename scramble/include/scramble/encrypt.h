#ifndef PICMETA_SCRAMBLE_ENCRYPT_H
#define PICMETA_SCRAMBLE_ENCRYPT_H

#include <string>
#include <string_view>

#include "platform/os/fs.h"

// The byte shift that turns a record document into a hand-over file: every
// byte plus one, modulo 256. Unscramble is its inverse, for readers.
namespace picmeta::encrypt {

void Scramble(std::string& bytes);
void Unscramble(std::string& bytes);

// Writes the scrambled bytes of source to destination, whole or not at all
// (never written through a link): `replace` replaces a file there atomically,
// otherwise the destination is created and a name that is taken fails with
// kExists. The source's read failure (a missing source included) or the
// destination's write failure; kNotSynced when written, its folder unsynced.
// The source is never written.
platform::Status EncryptFile(const platform::Path& source, const platform::Path& destination,
                             bool replace = true);

}  // namespace picmeta::encrypt

#endif
