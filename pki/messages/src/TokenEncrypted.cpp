// The token road of enveloped messages: its entry points, not yet carried out.
#include "TokenEncrypted.h"

#include <vsk/utils/error.h>
#include <vsk/utils/string.h>

namespace Vsk::PKI {

using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

namespace {

[[noreturn]] void raiseNotImplemented(int line) {
    throw CError(CWString(u"Не реализовано, не было необходимости. ") + Vsk::Utils::ToWString(__FILE__) +
                     u":" + Vsk::Utils::ToWString(line) + u".",
                 DWORD(0));
}

}  // namespace

CDataBlob CTokenEncrypted::cmsEncryptBlock(const CDataBlob&, bool) {
    raiseNotImplemented(__LINE__);
}

bool CTokenEncrypted::cmsDecryptBlockByToken(const CCertificate&, const CDataBlob&, bool, CDataBlob&,
                                             CCryptError&) {
    raiseNotImplemented(__LINE__);
}

CDataBlob CTokenEncrypted::decryptWithSessionKey(const CDataBlob&, CDataBlob&) {
    raiseNotImplemented(__LINE__);
}

void CTokenEncrypted::reset() {
    m_keyPair = Vsk::PKCS11::CTokenKeyPair();
    m_tokenSessionKey = Vsk::PKCS11::CTokenSessionKey();
}

}  // namespace Vsk::PKI
