// A one-line description of a file (size, time, MD5 digest, version) for the developer log, and the
// splitting of a GOST public-key blob into its key, its parameters and its algorithm identifier.
#pragma once

#include <vsk/utils/dataBlob.h>
#include <vsk/utils/string.h>

namespace Vsk::PKI {

// "<path> (<size> bytes, <time>, md5:<digest>[, version:<a.b.c.d>])"; an empty path means the
// program's own file. A failing step ends the text with a blank and the error's text; nothing is
// raised for file errors.
Vsk::Utils::CWString getFileInfoText(const Vsk::Utils::CWString& path);

// Splits a GOST PUBLICKEYBLOB (header, magic "MAG1", bit length, encoded parameters, key): `key` is
// the last bit length / 8 bytes, `parameters` the bytes from offset 16 up to the key, both views of
// the blob's storage. Raises CError for a blob of another kind or one too short for what it claims.
void parsePublicKeyBlob(const Vsk::Utils::CDataBlob& blob, Vsk::Utils::CDataBlob& key,
                        Vsk::Utils::CDataBlob& parameters, ALG_ID& keyAlgorithm);

}  // namespace Vsk::PKI
