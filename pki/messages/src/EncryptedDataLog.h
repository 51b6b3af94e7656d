// Log lines of the enveloped-data object. Message blocks are never written out: a failing block is
// identified by its size and SHA-256 digest, so neither ciphertext nor plaintext reaches the log.
#pragma once

#include <vsk/utils/dataBlob.h>
#include <vsk/utils/string.h>

namespace Vsk::PKI::EncryptedDataLog {

// "PKI::<function> <text>" at `level` and above.
void write(int level, const char* function, const Vsk::Utils::CWString& text);
// "PKI::<function> <label>: size=<n>, sha256=<hex>" at `level` and above.
void writeBlock(int level, const char* function, const Vsk::Utils::CWString& label,
                const Vsk::Utils::CDataBlob& block);

}  // namespace Vsk::PKI::EncryptedDataLog
