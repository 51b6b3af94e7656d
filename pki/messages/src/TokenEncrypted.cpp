// The token road of enveloped messages: its entry points, not yet carried out.
#include "TokenEncrypted.h"

#include <vsk/pki/Password.h>
#include <vsk/utils/error.h>
#include <vsk/utils/string.h>

namespace Vsk::PKI {

using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

namespace {

[[noreturn]] void raiseNotImplemented(int line) {
    throw Vsk::Utils::NotImplementedError(__FILE__, line);
}

}  // namespace

CDataBlob CTokenEncrypted::cmsEncryptBlock(const CDataBlob&, bool) {
    raiseNotImplemented(__LINE__);
}

bool CTokenEncrypted::cmsDecryptBlockByToken(const CCertificate& certificate, const CDataBlob&, bool,
                                             CDataBlob&, CCryptError& error) {
    error = CCryptError();
    // The recipient search asks every recipient here whenever tokens are presented as providers:
    // a certificate without a key on a token is no token message, and its search goes on.
    if (m_keyPair.isEmpty()) {
        try {
            m_keyPair = certificate.AcquireTokenPrivateKey(CPassword());
        } catch (const CError& failure) {
            error = CCryptError(failure);
            return false;
        }
        if (m_keyPair.isEmpty()) return false;
    }
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
