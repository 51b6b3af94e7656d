// Log lines of the certificate code: "<function without Vsk::> <message>" at a level, and the same
// with the system text of an error. The caller's last error survives them.
#pragma once

#include <vsk/utils/dataBlob.h>
#include <vsk/utils/string.h>

namespace Vsk::PKI::CertText {

void log(int level, const char* function, const Vsk::Utils::CWString& message);
// An empty message gives "<function> <system text>".
void logError(int level, const char* function, const Vsk::Utils::CWString& message, DWORD error);
// Code page 1251 text widened.
Vsk::Utils::CWString a2w(const Vsk::Utils::CAString& text);

}  // namespace Vsk::PKI::CertText
