// The checks every call into a PKCS#11 library goes through, and the texts of its return codes.
#pragma once

#include <vsk/pkcs11/Types.h>
#include <vsk/utils/string.h>

namespace Vsk::PKCS11 {

// Returns for CKR_OK, and for CKR_BUFFER_TOO_SMALL when `allowBufferTooSmall`; otherwise logs the
// call text with the code and raises CError with the code's text (or "Токен вернул ошибку с кодом
// 0x<code>"), the return code as the error's own number and, for CKR_USER_NOT_LOGGED_IN, the code
// 0x8010006F.
void checkRetVal(CK_RV rv, const char* callText, bool allowBufferTooSmall = false);
// Logs a failing call (level 1); never raises.
void logIfError(CK_RV rv, const char* callText);
// The code's text in code page 1251; null for a code without one.
const char* rvText(CK_RV rv);
// "0x" + the code in lower-case hexadecimal, then ": " and the text when there is one.
Vsk::Utils::CAString rvToString(CK_RV rv);
// The call text, " вернула ошибку " and rvToString.
Vsk::Utils::CAString rvCallText(CK_RV rv, const char* callText);

}  // namespace Vsk::PKCS11
