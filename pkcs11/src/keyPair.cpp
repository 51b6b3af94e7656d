// Key pairs on tokens. This build keeps the pair as its handles only: the operations on the pair's
// keys (digest, signature, key agreement) are not built yet and raise a CError that says so.
#include "pkcs11Impl.h"

#include <vsk/pkcs11/TokenKeyPair.h>
#include <vsk/utils/error.h>

namespace Vsk::PKCS11 {

using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;

class CTokenKeyPair::CImpl : public Vsk::Utils::CRefMan {
public:
    CToken m_token;
    CK_OBJECT_HANDLE m_pubKey = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE m_privKey = CK_INVALID_HANDLE;
};

namespace {

[[noreturn]] void raiseNotBuilt(const char* function) {
    throw Vsk::Utils::CError(
        CAString(function) + ": операции ключевой пары токена в этой сборке не поддерживаются",
        Vsk::Utils::NoErrorCode);
}

}  // namespace

CTokenKeyPair::CTokenKeyPair(const CToken* token) {
    if (!token || token->isEmpty()) return;
    m_pImpl = Vsk::Utils::CRefPtr<CImpl>::create();
    m_pImpl->m_token = *token;
}
CTokenKeyPair::CTokenKeyPair(const CToken* token, CK_OBJECT_HANDLE publicKey, CK_OBJECT_HANDLE privateKey)
    : CTokenKeyPair(token) {
    if (!m_pImpl) return;
    m_pImpl->m_pubKey = publicKey;
    m_pImpl->m_privKey = privateKey;
}
CTokenKeyPair::CTokenKeyPair(const CTokenKeyPair& other) = default;
CTokenKeyPair& CTokenKeyPair::operator=(const CTokenKeyPair& other) = default;
CTokenKeyPair::~CTokenKeyPair() = default;

CToken* CTokenKeyPair::getToken() const {
    return m_pImpl ? &m_pImpl->m_token : nullptr;
}
void CTokenKeyPair::setPubKey(CK_OBJECT_HANDLE) {
    m_pImpl.checkCreated();
    raiseNotBuilt("PKCS11::CTokenKeyPair::setPubKey");
}
CK_OBJECT_HANDLE CTokenKeyPair::getPubKeyHandle() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_pubKey;
}
CK_OBJECT_HANDLE CTokenKeyPair::getPrivKeyHandle() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_privKey;
}
CK_MECHANISM_TYPE CTokenKeyPair::getDigestAlg() const {
    m_pImpl.checkCreated();
    raiseNotBuilt("PKCS11::CTokenKeyPair::getDigestAlg");
}
CDataBlob CTokenKeyPair::getCertificate() const {
    m_pImpl.checkCreated();
    raiseNotBuilt("PKCS11::CTokenKeyPair::getCertificate");
}
void CTokenKeyPair::destroyObjects() {
    m_pImpl.checkCreated();
    raiseNotBuilt("PKCS11::CTokenKeyPair::destroyObjects");
}

}  // namespace Vsk::PKCS11
