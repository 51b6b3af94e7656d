// The tables that map PKCS#11 mechanisms to CryptoAPI algorithm identifiers, OIDs and names.
#pragma once

#include <vsk/pkcs11/Types.h>
#include <vsk/platform/crypt.h>
#include <vsk/utils/string.h>

namespace Vsk::PKCS11 {

// The CryptoAPI ALG_ID of a GOST mechanism; 0 for any other (logged at level 4).
ALG_ID PKCS11AlgToWinCryptAlg(CK_MECHANISM_TYPE mechanism);
// The OID text of the mechanisms PKCS11AlgToWinCryptAlg maps; any other raises CError
// "Не реализовано, не было необходимости.".
Vsk::Utils::CAString PKCS11AlgToOID(CK_MECHANISM_TYPE mechanism);
// The mechanism's name without "CKM_" ("GOSTR3410", "SHA256_RSA_PKCS"); "unknown 0x" and the code
// in hexadecimal for a code the table does not know.
Vsk::Utils::CAString mechanismName(CK_MECHANISM_TYPE mechanism);

}  // namespace Vsk::PKCS11
