// Key pairs on tokens: the choice of the pair's mechanisms, the search for a certificate's keys,
// digests, signatures and their verification on the token, key-pair generation and the key agreement
// that unwraps a session key sent to the pair's owner.
//
// Multi-part digests and hash-and-sign runs keep their progress in the token's operation state (0 idle,
// 1 digest, 2 hash-and-sign, 3 removed). A part that fails or is cancelled ends the token's operation
// before the error leaves, so that the session is free for the next one.
#include "pkcs11Impl.h"

#include <vsk/pkcs11/Mechanisms.h>
#include <vsk/pkcs11/TokenKeyPair.h>
#include <vsk/pkcs11/TokenSessionKey.h>
#include <vsk/platform/kernel.h>
#include <vsk/utils/base64.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <cstdio>
#include <cstring>
#include <type_traits>
#include <vector>

namespace Vsk::PKCS11 {

using Vsk::InternalUtils::GetLogLevel;
using Vsk::InternalUtils::LogAt;
using Vsk::Utils::CArray;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;
using Vsk::Utils::NoErrorCode;
using Vsk::Utils::ToWString;

namespace {

// Parts of multi-part operations and the largest hash `sign` takes.
constexpr size_t PartSize = 1024;
// The error code of a cancelled operation (ERROR_CANCELLED).
constexpr DWORD ErrorCancelled = 1223;

// DER of the OIDs the templates and the hash-parameter lookup use.
constexpr BYTE DerCryptoProA34102001[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
constexpr BYTE DerTc26_512A[] = {0x06, 0x09, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x01, 0x02, 0x01};
constexpr BYTE DerGost3411_94[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1E, 0x01};
constexpr BYTE DerStreebog256[] = {0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02};
constexpr BYTE DerStreebog512[] = {0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x03};
constexpr BYTE DerGost28147CryptoProA[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1F, 0x01};
constexpr BYTE DerGost28147Tc26Z[] = {0x06, 0x09, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x05, 0x01, 0x01};

// The DER of an OID given as dotted text; empty when the text is no OID.
CDataBlob oidDer(const CAString& dotted) {
    ASN1_OBJECT* object = OBJ_txt2obj(dotted.c_str(), 1);
    if (!object) return CDataBlob();
    CDataBlob der;
    const int size = i2d_ASN1_OBJECT(object, nullptr);
    if (size > 0) {
        der = CDataBlob(static_cast<size_t>(size));
        unsigned char* at = der.getData();
        if (i2d_ASN1_OBJECT(object, &at) != size) der = CDataBlob();
    }
    ASN1_OBJECT_free(object);
    return der;
}

template <size_t N>
bool equals(const CDataBlob& value, const BYTE (&der)[N]) {
    return value.getSize() == N && std::memcmp(value.getData(), der, N) == 0;
}

void logLine(int level, const char* function, const CWString& text) {
    if (GetLogLevel() >= level) LogAt(level, ToWString(function) + u" " + text);
}

CWString hex(uint64_t value) {
    return ToWString(value, 16);
}

// A template value taken by address: the attribute keeps a pointer into the caller's variable.
template <typename T>
requires std::is_scalar_v<T> CK_ATTRIBUTE attr(CK_ATTRIBUTE_TYPE type, T& value) {
    return CK_ATTRIBUTE{type, &value, sizeof value};
}
CK_ATTRIBUTE attr(CK_ATTRIBUTE_TYPE type, const void* data, size_t size) {
    return CK_ATTRIBUTE{type, const_cast<void*>(data), static_cast<CK_ULONG>(size)};
}
CK_ATTRIBUTE attr(CK_ATTRIBUTE_TYPE type, const CDataBlob& value) {
    return attr(type, value.getData(), value.getSize());
}
template <size_t N>
CK_ATTRIBUTE attr(CK_ATTRIBUTE_TYPE type, const BYTE (&der)[N]) {
    return attr(type, der, N);
}

CK_BBOOL True = CK_TRUE;
CK_BBOOL False = CK_FALSE;

}  // namespace

// ---- Shared helpers ----------------------------------------------------------------------------------

CKeyAgreementParams::CKeyAgreementParams(CK_MECHANISM_TYPE mechanism, const CDataBlob& publicKey,
                                         const CDataBlob& ukm, bool kdf)
    : m_publicKey(publicKey.clone()), m_ukm(ukm.clone()) {
    m_mechanism = CK_MECHANISM{mechanism, nullptr, 0};
    if (mechanism == CKM_GOSTR3410_DERIVE) {
        m_params.kdf = CKD_CPDIVERSIFY_KDF;
        m_params.pPublicData = m_publicKey.getData();
        m_params.ulPublicDataLen = m_publicKey.getSize();
        m_params.pUKM = m_ukm.getData();
        m_params.ulUKMLen = m_ukm.getSize();
        m_mechanism.pParameter = &m_params;
        m_mechanism.ulParameterLen = sizeof m_params;
    } else if (mechanism == CKM_GOSTR3410_12_DERIVE) {
        auto u32 = [this](uint32_t v) {
            const BYTE le[4] = {BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)};
            m_bytes.appendData(4, le);
        };
        u32(static_cast<uint32_t>(kdf ? CKD_KDF_4357 : CKD_KDF_GOSTR3411_2012_256));
        u32(m_publicKey.getSize());
        m_bytes.appendBlob(m_publicKey);
        u32(m_ukm.getSize());
        m_bytes.appendBlob(m_ukm);
        m_mechanism.pParameter = m_bytes.getData();
        m_mechanism.ulParameterLen = m_bytes.getSize();
    }
}

CWString localTimeText(bool milliseconds) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char text[64];
    if (milliseconds)
        std::snprintf(text, sizeof text, "%02u.%02u.%04u %02u.%02u.%02u.%03u", t.wDay, t.wMonth, t.wYear,
                      t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    else
        std::snprintf(text, sizeof text, "%02u.%02u.%04u %02u.%02u.%02u", t.wDay, t.wMonth, t.wYear, t.wHour,
                      t.wMinute, t.wSecond);
    return CWString(text, Vsk::Utils::CP_PROGRAM);
}

CK_MECHANISM_TYPE CToken::CImpl::getHashMechanism(CK_OBJECT_HANDLE key) {
    if (!key) throw CError("Ключ не задан.", NoErrorCode);
    const CDataBlob value = getAttributeValue(key, CKA_GOSTR3411_PARAMS);
    if (equals(value, DerGost3411_94)) return CKM_GOSTR3411;
    if (equals(value, DerStreebog256)) return CKM_GOSTR3411_12_256;
    if (equals(value, DerStreebog512)) return CKM_GOSTR3411_12_512;
    const char* const function = "PKCS11::CToken::CImpl::getHashMechanism";
    if (value.getSize())
        logLine(2, function, u"CKA_GOSTR3411_PARAMS=" + Vsk::Utils::Base64EncW(value, 0));
    else
        logLine(2, function, u"CKA_GOSTR3411_PARAMS is empty");
    const CK_KEY_TYPE type = getKeyType(key);
    if (type == CKK_GOSTR3410) {
        bool gost94 = false, streebog = false;
        for (const MechanismInfo& m : getAlgs(CKF_DIGEST)) {
            gost94 = gost94 || m.type == CKM_GOSTR3411;
            streebog = streebog || m.type == CKM_GOSTR3411_12_256;
        }
        if (gost94 && !streebog) return CKM_GOSTR3411;
        if (streebog && !gost94) return CKM_GOSTR3411_12_256;
        return value.getSize() ? CKM_GOSTR3411_12_256 : CKM_GOSTR3411;
    }
    if (type == CKK_GOSTR3410_512) return CKM_GOSTR3411_12_512;
    return 0;
}

// ---- Implementation ----------------------------------------------------------------------------------

class CTokenKeyPair::CImpl : public Vsk::Utils::CRefMan {
public:
    explicit CImpl(const CToken& token) : m_token(token), m_pToken(token.getImpl()) {}

    CK_FUNCTION_LIST_PTR functions() const { return m_pToken->functions(); }
    CK_SESSION_HANDLE session() const { return m_pToken->m_hSession; }
    CWString tokenName() const { return m_pToken->getName(); }
    [[noreturn]] void raiseUnsupported(const WCHAR* what, CK_MECHANISM_TYPE mechanism) const {
        throw CError(CWString(u"Токен \"") + tokenName() + what + hex(mechanism), NoErrorCode);
    }
    static void logChosen(const char* function, CK_MECHANISM_TYPE mechanism) {
        logLine(4, function, u"0x" + hex(mechanism));
    }

    // Selectors: each checks that the token lists the mechanism with the flags its use needs.
    void setDigestAlg(CK_MECHANISM_TYPE mechanism) {
        if (mechanism == m_digest) return;
        if (!m_pToken->hasMechanism(mechanism, CKF_DIGEST))
            raiseUnsupported(u"\" не поддерживает алгоритм хэширования 0x", mechanism);
        m_digest = mechanism;
        logChosen("PKCS11::CTokenKeyPair::CImpl::setDigestAlg", mechanism);
    }
    void setSignAlg(CK_MECHANISM_TYPE mechanism) {
        if (mechanism == m_sign) return;
        if (!m_pToken->hasMechanism(mechanism, CKF_SIGN))
            raiseUnsupported(u"\" не поддерживает алгоритм подписывания 0x", mechanism);
        m_sign = mechanism;
        logChosen("PKCS11::CTokenKeyPair::CImpl::setSignAlg", mechanism);
    }
    void setKeyPairGenAlg(CK_MECHANISM_TYPE mechanism) {
        if (mechanism == m_keyPairGen) return;
        if (!m_pToken->hasMechanism(mechanism, CKF_GENERATE_KEY_PAIR))
            raiseUnsupported(u"\" не поддерживает алгоритм генерации ключевой пары 0x", mechanism);
        m_keyPairGen = mechanism;
        logChosen("PKCS11::CTokenKeyPair::CImpl::setKeyPairGenAlg", mechanism);
    }
    // A token without the combined mechanism does the two steps apart; the combined one is recorded.
    void setSignAndDigAlg(CK_MECHANISM_TYPE mechanism) {
        if (mechanism == m_signAndDig) return;
        if (!m_pToken->hasMechanism(mechanism, CKF_SIGN | CKF_DIGEST)) {
            if (mechanism == CKM_GOSTR3410_WITH_GOSTR3411) {
                setDigestAlg(CKM_GOSTR3411);
                setSignAlg(CKM_GOSTR3410);
            } else if (mechanism == CKM_GOSTR3410_WITH_GOSTR3411_12_256) {
                setDigestAlg(CKM_GOSTR3411_12_256);
                setSignAlg(CKM_GOSTR3410);
            } else if (mechanism == CKM_GOSTR3410_WITH_GOSTR3411_12_512) {
                setDigestAlg(CKM_GOSTR3411_12_512);
                setSignAlg(CKM_GOSTR3410_512);
            } else {
                raiseUnsupported(u"\" не поддерживает алгоритм хэширования + подписывания 0x", mechanism);
            }
        }
        m_signAndDig = mechanism;
        logChosen("PKCS11::CTokenKeyPair::CImpl::setSignAndDigAlg", mechanism);
    }

    // Defaults: the preferred mechanisms in order, else the first the token lists.
    CK_MECHANISM_TYPE chooseDefault(const CArray<MechanismInfo>& listed,
                                    std::initializer_list<CK_MECHANISM_TYPE> order,
                                    const WCHAR* noneText) const {
        if (listed.isEmpty()) throw CError(CWString(u"Токен \"") + tokenName() + noneText, NoErrorCode);
        for (CK_MECHANISM_TYPE preferred : order)
            for (const MechanismInfo& m : listed)
                if (m.type == preferred) return preferred;
        return listed[0].type;
    }
    void checkDigestMechType() {
        if (m_digest) return;
        m_digest = chooseDefault(m_pToken->getAlgs(CKF_DIGEST),
                                 {CKM_GOSTR3411, CKM_GOSTR3411_12_512, CKM_GOSTR3411_12_256},
                                 u"\" не поддерживает алгоритмы хэширования.");
        logChosen("PKCS11::CTokenKeyPair::CImpl::checkDigestMechType", m_digest);
    }
    void checkSignMechType() {
        if (m_sign) return;
        m_sign = chooseDefault(m_pToken->getAlgs(CKF_SIGN), {CKM_GOSTR3410, CKM_GOSTR3410_512},
                               u"\" не поддерживает алгоритмы подписывания.");
        logChosen("PKCS11::CTokenKeyPair::CImpl::checkSignMechType", m_sign);
    }
    void checkSignAndDigMechType() {
        if (m_signAndDig) return;
        CArray<MechanismInfo> listed = m_pToken->getAlgs(CKF_SIGN | CKF_DIGEST);
        if (listed.isEmpty()) listed = m_pToken->getAlgs(CKF_SIGN);
        m_signAndDig = chooseDefault(listed,
                                     {CKM_GOSTR3410_WITH_GOSTR3411, CKM_GOSTR3410_WITH_GOSTR3411_12_512,
                                      CKM_GOSTR3410_WITH_GOSTR3411_12_256},
                                     u"\" не поддерживает алгоритмы подписывания с хешированием.");
        logChosen("PKCS11::CTokenKeyPair::CImpl::checkSignAndDigMechType", m_signAndDig);
    }

    void setAlgsByAlgId(ALG_ID algId) {
        CK_MECHANISM_TYPE set[4];
        if (algId == 0x2E23 || algId == 0x801E) {
            set[0] = CKM_GOSTR3411, set[1] = CKM_GOSTR3410, set[2] = CKM_GOSTR3410_WITH_GOSTR3411,
            set[3] = CKM_GOSTR3410_KEY_PAIR_GEN;
        } else if (algId == 0x2E3D || algId == 0x8022) {
            set[0] = CKM_GOSTR3411_12_512, set[1] = CKM_GOSTR3410_512,
            set[2] = CKM_GOSTR3410_WITH_GOSTR3411_12_512, set[3] = CKM_GOSTR3410_512_KEY_PAIR_GEN;
        } else if (algId == 0x2E49 || algId == 0x8021) {
            set[0] = CKM_GOSTR3411_12_256, set[1] = CKM_GOSTR3410,
            set[2] = CKM_GOSTR3410_WITH_GOSTR3411_12_256, set[3] = CKM_GOSTR3410_KEY_PAIR_GEN;
        } else {
            return;
        }
        setDigestAlg(set[0]);
        setSignAlg(set[1]);
        setSignAndDigAlg(set[2]);
        setKeyPairGenAlg(set[3]);
    }

    void setAlgsByKey(CK_OBJECT_HANDLE key) {
        const CK_MECHANISM_TYPE digest = m_pToken->getHashMechanism(key);
        if (digest == CKM_GOSTR3411) {
            setSignAndDigAlg(CKM_GOSTR3410_WITH_GOSTR3411);
            setDigestAlg(CKM_GOSTR3411);
            setSignAlg(CKM_GOSTR3410);
        } else if (digest == CKM_GOSTR3411_12_256) {
            setSignAndDigAlg(CKM_GOSTR3410_WITH_GOSTR3411_12_256);
            setDigestAlg(CKM_GOSTR3411_12_256);
            setSignAlg(CKM_GOSTR3410);
        } else if (digest == CKM_GOSTR3411_12_512) {
            setSignAndDigAlg(CKM_GOSTR3410_WITH_GOSTR3411_12_512);
            setDigestAlg(CKM_GOSTR3411_12_512);
            setSignAlg(CKM_GOSTR3410_512);
        }
    }

    // Ends the token's running digest or signature after a failed or cancelled part: a final call
    // into a buffer ends the operation whatever it answers. Its answer is of no interest.
    void endOperation(bool signing) {
        CK_FUNCTION_LIST_PTR list = functions();
        BYTE buffer[512];
        CK_ULONG length = sizeof buffer;
        if (signing)
            list->C_SignFinal(session(), buffer, &length);
        else
            list->C_DigestFinal(session(), buffer, &length);
        std::memset(buffer, 0, sizeof buffer);
        m_pToken->setState(CToken::CImpl::StateIdle);
    }

    // Feeds the data in parts to C_DigestUpdate or C_SignUpdate, with progress (and for digests the
    // cancellation query). A failure or cancellation ends the token's operation.
    void feedParts(const CDataBlob& data, bool signing) {
        Vsk::Utils::IProgress* progress = m_progress;
        const size_t size = data.getSize();
        const uint32_t parts = static_cast<uint32_t>((size + PartSize - 1) / PartSize);
        if (progress) {
            progress->start(signing ? u"Хэширование и подписывание" : u"Хэширование");
            progress->setRange(parts);
        }
        try {
            CK_FUNCTION_LIST_PTR list = functions();
            for (size_t at = 0; at < size; at += PartSize) {
                CK_BYTE_PTR pData = data.getData() + at;
                const CK_ULONG partLen = static_cast<CK_ULONG>(size - at < PartSize ? size - at : PartSize);
                if (signing)
                    checkRetVal(list->C_SignUpdate(session(), pData, partLen),
                                "C_SignUpdate(m_hSession, (CK_BYTE_PTR)pData, partLen)");
                else
                    checkRetVal(list->C_DigestUpdate(session(), pData, partLen),
                                "C_DigestUpdate(m_hSession, (CK_BYTE_PTR)pData, partLen)");
                if (progress) {
                    progress->next();
                    if (!signing && progress->isCancelled()) throw CError(ErrorCancelled);
                }
            }
        } catch (...) {
            if (progress) progress->stop();
            endOperation(signing);
            throw;
        }
        if (progress) progress->stop();
    }

    CToken m_token;
    CToken::CImpl* m_pToken;
    CK_OBJECT_HANDLE m_hPrivateKey = 0;
    CK_OBJECT_HANDLE m_hPublicKey = 0;
    CK_OBJECT_HANDLE m_hCertificate = 0;
    CK_MECHANISM_TYPE m_digest = 0;
    CK_MECHANISM_TYPE m_sign = 0;
    CK_MECHANISM_TYPE m_signAndDig = 0;
    CK_MECHANISM_TYPE m_keyPairGen = 0;
    Vsk::Utils::IProgress* m_progress = nullptr;
    // Ephemeral pairs of one wrap are session objects, so that nothing of them outlives the session.
    bool m_sessionObjects = false;
    // The curve of the next generated pair (DER of its OID); empty: the mechanism's usual set.
    CDataBlob m_curve;
};

// ---- Handle ------------------------------------------------------------------------------------------

CTokenKeyPair::CTokenKeyPair(const CToken* token) {
    if (!token || token->isEmpty()) return;
    m_pImpl = Vsk::Utils::CRefPtr<CImpl>::create(*token);
}
CTokenKeyPair::CTokenKeyPair(const CToken* token, CK_OBJECT_HANDLE publicKey, CK_OBJECT_HANDLE privateKey)
    : CTokenKeyPair(token) {
    if (!m_pImpl) return;
    m_pImpl->m_hPublicKey = publicKey;
    m_pImpl->m_hPrivateKey = privateKey;
}
CTokenKeyPair::CTokenKeyPair(const CTokenKeyPair& other) = default;
CTokenKeyPair& CTokenKeyPair::operator=(const CTokenKeyPair& other) = default;
CTokenKeyPair::~CTokenKeyPair() = default;

CToken* CTokenKeyPair::getToken() const {
    return m_pImpl ? &m_pImpl->m_token : nullptr;
}

CK_MECHANISM_TYPE CTokenKeyPair::getDigestAlg() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_digest;
}

void CTokenKeyPair::setAlgsByAlgId(ALG_ID algId) const {
    m_pImpl.checkCreated();
    m_pImpl->setAlgsByAlgId(algId);
}

void CTokenKeyPair::setPubKey(CK_OBJECT_HANDLE publicKey) const {
    m_pImpl.checkCreated();
    CImpl* p = m_pImpl.get();
    if (publicKey == p->m_hPublicKey) return;
    if (publicKey) p->setAlgsByKey(publicKey);
    p->m_hPublicKey = publicKey;
    p->m_hCertificate = 0;
}

void CTokenKeyPair::setPrivKey(CK_OBJECT_HANDLE privateKey) const {
    m_pImpl.checkCreated();
    CImpl* p = m_pImpl.get();
    if (privateKey == p->m_hPrivateKey) return;
    if (privateKey) p->setAlgsByKey(privateKey);
    p->m_hPrivateKey = privateKey;
}

CK_OBJECT_HANDLE CTokenKeyPair::getPubKeyHandle() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_hPublicKey;
}

CK_OBJECT_HANDLE CTokenKeyPair::getPrivKeyHandle() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_pToken->m_loggedIn ? m_pImpl->m_hPrivateKey : 0;
}

bool CTokenKeyPair::hasPrivKey() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_pToken->m_loggedIn && m_pImpl->m_hPrivateKey != 0;
}

bool CTokenKeyPair::findPrivKey() const {
    m_pImpl.checkCreated();
    CImpl* p = m_pImpl.get();
    if (!p->m_pToken->m_loggedIn || !p->m_hPublicKey) return false;
    const CK_OBJECT_HANDLE found = p->m_pToken->findPrivByPubKey(p->m_hPublicKey);
    if (found != p->m_hPrivateKey) {
        if (found) p->setAlgsByKey(found);
        p->m_hPrivateKey = found;
    }
    return found != 0;
}

bool CTokenKeyPair::findByCertificate(const CDataBlob& publicKeyValue, const CWString& certificateText,
                                      CError& error) const {
    m_pImpl.checkCreated();
    CImpl* p = m_pImpl.get();
    p->m_pToken->openSession();
    const CK_OBJECT_HANDLE publicKey = publicKeyValue.getSize() ? p->m_pToken->findPubKey(publicKeyValue) : 0;
    if (!publicKey) {
        error =
            CError(u"На токене отсутствует публичный ключ, соответствующий сертификату: " + certificateText,
                   NoErrorCode);
        return false;
    }
    const CK_OBJECT_HANDLE privateKey = p->m_pToken->findPrivByPubKey(publicKey);
    if (!privateKey) {
        error =
            CError(u"На токене отсутствует закрытый ключ, соответствующий сертификату: " + certificateText,
                   NoErrorCode);
        return false;
    }
    p->m_hPublicKey = publicKey;
    p->m_hPrivateKey = privateKey;
    p->m_hCertificate = 0;
    return true;
}

CDataBlob CTokenKeyPair::getCertificate() const {
    m_pImpl.checkCreated();
    CImpl* p = m_pImpl.get();
    if (!p->m_hCertificate && p->m_hPublicKey)
        p->m_hCertificate = p->m_pToken->findCertByPubKey(p->m_hPublicKey);
    if (!p->m_hCertificate) return {};
    return p->m_pToken->getAttributeValue(p->m_hCertificate, CKA_VALUE);
}

void CTokenKeyPair::setProgress(Vsk::Utils::IProgress* progress) const {
    m_pImpl.checkCreated();
    m_pImpl->m_progress = progress;
}

CDataBlob CTokenKeyPair::digest(const CDataBlob& data, bool final) const {
    m_pImpl.checkCreated();
    CImpl* p = m_pImpl.get();
    if (!data.getSize()) throw CError("Отсутствуют хэшируемые данные.", NoErrorCode);
    p->m_pToken->openSession();
    CK_FUNCTION_LIST_PTR list = p->functions();
    const uint32_t state = p->m_pToken->m_state;
    if (state == CToken::CImpl::StateIdle) {
        p->checkDigestMechType();
        CK_MECHANISM mech{p->m_digest, nullptr, 0};
        checkRetVal(list->C_DigestInit(p->session(), &mech), "C_DigestInit(m_hSession, &mech)");
    } else if (state != CToken::CImpl::StateDigest) {
        throw CError("Неверное использование Vsk::PKI::CPKCS11.", NoErrorCode);
    }

    if (final && state == CToken::CImpl::StateIdle && data.getSize() <= PartSize) {
        try {
            CK_ULONG hashLen = 0;
            checkRetVal(list->C_Digest(p->session(), data.getData(), data.getSize(), nullptr, &hashLen),
                        "C_Digest(m_hSession, (CK_BYTE_PTR)(LPCVOID)db, db.size(), NULL, &hashLen)", true);
            if (!hashLen) hashLen = 32;
            CDataBlob hash(static_cast<size_t>(hashLen));
            checkRetVal(
                list->C_Digest(p->session(), data.getData(), data.getSize(), hash.getData(), &hashLen),
                "C_Digest(m_hSession, (CK_BYTE_PTR)(LPCVOID)db, db.size(), dbHash, &hashLen)");
            return hashLen < hash.getSize() ? hash.getBlock(0, hashLen).clone() : hash;
        } catch (...) {
            p->endOperation(false);
            throw;
        }
    }

    p->m_pToken->setState(CToken::CImpl::StateDigest);
    p->feedParts(data, false);
    if (!final) return {};
    try {
        CK_ULONG hashLen = 0;
        checkRetVal(list->C_DigestFinal(p->session(), nullptr, &hashLen),
                    "C_DigestFinal(m_hSession, NULL, &hashLen)", true);
        CDataBlob hash(static_cast<size_t>(hashLen ? hashLen : 64));
        hashLen = hash.getSize();
        checkRetVal(list->C_DigestFinal(p->session(), hash.getData(), &hashLen),
                    "C_DigestFinal(m_hSession, dbHash, &hashLen)");
        p->m_pToken->setState(CToken::CImpl::StateIdle);
        return hashLen < hash.getSize() ? hash.getBlock(0, hashLen).clone() : hash;
    } catch (...) {
        p->endOperation(false);
        throw;
    }
}

CDataBlob CTokenKeyPair::sign(const CDataBlob& hash) const {
    m_pImpl.checkCreated();
    CImpl* p = m_pImpl.get();
    if (!hash.getSize()) throw CError("Отсутствуют подписываемые данные.", NoErrorCode);
    if (hash.getSize() > PartSize)
        throw CError(
            "Размер данных для подписи не должен быть больше 32 килобайт. Иначе используйте hashAndSign.",
            NoErrorCode);
    if (!p->m_hPrivateKey) throw CError("Закрытый ключ не задан", NoErrorCode);
    p->checkSignMechType();
    p->m_pToken->openSession();
    CK_FUNCTION_LIST_PTR list = p->functions();
    CK_MECHANISM mech{p->m_sign, nullptr, 0};
    checkRetVal(list->C_SignInit(p->session(), &mech, p->m_hPrivateKey),
                "C_SignInit(m_hSession, &mech, m_hPrivateKey)");
    CK_ULONG signLen = 0;
    if (p->m_sign == CKM_GOSTR3410)
        signLen = 64;
    else if (p->m_sign == CKM_GOSTR3410_512)
        signLen = 128;
    else
        checkRetVal(list->C_Sign(p->session(), hash.getData(), hash.getSize(), nullptr, &signLen),
                    "C_Sign(m_hSession, (CK_BYTE_PTR)(LPCVOID)db, db.size(), NULL, &signLen)", true);
    CDataBlob signature(static_cast<size_t>(signLen ? signLen : 1));
    signLen = signature.getSize();
    checkRetVal(list->C_Sign(p->session(), hash.getData(), hash.getSize(), signature.getData(), &signLen),
                "C_Sign(m_hSession, (CK_BYTE_PTR)(LPCVOID)db, db.size(), dbSign, &signLen)");
    return signLen < signature.getSize() ? signature.getBlock(0, signLen).clone() : signature;
}

CDataBlob CTokenKeyPair::hashAndSign(const CDataBlob& data, bool final) const {
    m_pImpl.checkCreated();
    CImpl* p = m_pImpl.get();
    if (!data.getSize()) throw CError("Отсутствуют исходные данные.", NoErrorCode);
    p->m_pToken->openSession();
    CK_FUNCTION_LIST_PTR list = p->functions();
    const uint32_t state = p->m_pToken->m_state;
    if (state == CToken::CImpl::StateIdle) {
        if (!p->m_hPrivateKey) throw CError("Закрытый ключ не задан", NoErrorCode);
        p->checkSignAndDigMechType();
        CK_MECHANISM mech{p->m_signAndDig, nullptr, 0};
        checkRetVal(list->C_SignInit(p->session(), &mech, p->m_hPrivateKey),
                    "C_SignInit(m_hSession, &mech, m_hPrivateKey)");
    } else if (state != CToken::CImpl::StateHashAndSign) {
        throw CError("Неверное использование Vsk::PKI::CPKCS11.", NoErrorCode);
    }

    auto signFinal = [&](bool oneCall) -> CDataBlob {
        try {
            CK_ULONG signLen = 0;
            if (oneCall)
                checkRetVal(list->C_Sign(p->session(), data.getData(), data.getSize(), nullptr, &signLen),
                            "C_Sign(m_hSession, (CK_BYTE_PTR)(LPCVOID)db, db.size(), NULL, &signLen)", true);
            else
                checkRetVal(list->C_SignFinal(p->session(), nullptr, &signLen),
                            "C_SignFinal(m_hSession, NULL, &signLen)", true);
            CDataBlob signature(static_cast<size_t>(signLen ? signLen : 128));
            signLen = signature.getSize();
            if (oneCall)
                checkRetVal(
                    list->C_Sign(p->session(), data.getData(), data.getSize(), signature.getData(), &signLen),
                    "C_Sign(m_hSession, (CK_BYTE_PTR)(LPCVOID)db, db.size(), dbSign, &signLen)");
            else
                checkRetVal(list->C_SignFinal(p->session(), signature.getData(), &signLen),
                            "C_SignFinal(m_hSession, dbSign, &signLen)");
            p->m_pToken->setState(CToken::CImpl::StateIdle);
            return signLen < signature.getSize() ? signature.getBlock(0, signLen).clone() : signature;
        } catch (...) {
            p->endOperation(true);
            throw;
        }
    };

    if (final && state == CToken::CImpl::StateIdle) {
        if (p->m_pToken->getSlotInfo().slotDescription.find(u"rutoken", false) >= 0) return signFinal(true);
    }
    p->m_pToken->setState(CToken::CImpl::StateHashAndSign);
    p->feedParts(data, true);
    if (!final) return {};
    return signFinal(false);
}

void CTokenKeyPair::verifySign(const CDataBlob& hash, const CDataBlob& signature, const CDataBlob& publicKey,
                               const CDataBlob& keyParams) const {
    m_pImpl.checkCreated();
    CImpl* p = m_pImpl.get();
    if (!p->m_hPublicKey && !publicKey.getSize()) throw CError("Открытый ключ не задан", NoErrorCode);
    p->checkSignMechType();
    const CK_MECHANISM_TYPE mechanism = p->m_sign;
    if (mechanism == CKM_GOSTR3410 || mechanism == CKM_GOSTR3410_512) {
        const bool large = mechanism == CKM_GOSTR3410_512;
        if (hash.getSize() != (large ? 64u : 32u))
            throw CError(
                CWString(
                    large ? u"Для verifySign длина данных должна составлять 64 байта, а она составляет: "
                          : u"Для verifySign длина данных должна составлять 32 байта, а она составляет: ") +
                    ToWString(static_cast<uint64_t>(hash.getSize())) +
                    u" байт. Возможно, надо использовать hashAndVerifySign.",
                NoErrorCode);
        if (signature.getSize() != (large ? 128u : 64u))
            throw CError(CWString(large ? u"Длина ЭП должна составлять 128 байт, а она составляет: "
                                        : u"Длина ЭП должна составлять 64 байта, а она составляет: ") +
                             ToWString(static_cast<uint64_t>(signature.getSize())) + u" байт.",
                         NoErrorCode);
    }
    p->m_pToken->openSession();
    CK_FUNCTION_LIST_PTR list = p->functions();
    CK_OBJECT_HANDLE hKey = 0;
    if (publicKey.getSize()) {
        CK_OBJECT_CLASS keyClass = CKO_PUBLIC_KEY;
        CK_KEY_TYPE keyType = mechanism == CKM_GOSTR3410_512 ? CKK_GOSTR3410_512 : CKK_GOSTR3410;
        // The curve of the signer's key when the caller knows it; the usual set of the mechanism else.
        CDataBlob curve = keyParams;
        if (!curve.getSize())
            curve = mechanism == CKM_GOSTR3410_512
                        ? CDataBlob(DerTc26_512A, sizeof DerTc26_512A, false)
                        : CDataBlob(DerCryptoProA34102001, sizeof DerCryptoProA34102001, false);
        CK_ATTRIBUTE attrs[] = {attr(CKA_CLASS, keyClass),   attr(CKA_TOKEN, False),
                                attr(CKA_VERIFY, True),      attr(CKA_VALUE, publicKey),
                                attr(CKA_KEY_TYPE, keyType), attr(CKA_GOSTR3410_PARAMS, curve)};
        const CK_ULONG count = mechanism == CKM_GOSTR3410 || mechanism == CKM_GOSTR3410_512 ? 6 : 4;
        checkRetVal(list->C_CreateObject(p->session(), attrs, count, &hKey),
                    "C_CreateObject(m_hSession, attrs, ARRAY_COUNT(attrs), &hKey)");
    }
    CK_MECHANISM mech{mechanism, nullptr, 0};
    CK_RV rv = list->C_VerifyInit(p->session(), &mech, hKey ? hKey : p->m_hPublicKey);
    const char* callText = "C_VerifyInit(m_hSession, &mech, hKey ? hKey : m_hPublicKey)";
    if (rv == CKR_OK) {
        rv = list->C_Verify(p->session(), hash.getData(), hash.getSize(), signature.getData(),
                            signature.getSize());
        callText = "C_Verify";
    }
    // The temporary key goes whatever the verification said, before its answer is raised.
    if (hKey) checkRetVal(list->C_DestroyObject(p->session(), hKey), "C_DestroyObject(m_hSession, hKey)");
    checkRetVal(rv, callText);
}

void CTokenKeyPair::generateKeyPair(const CWString& publicLabel, const CWString& privateLabel,
                                    const CWString& id) const {
    m_pImpl.checkCreated();
    CImpl* p = m_pImpl.get();
    p->m_pToken->openSession();
    const CArray<MechanismInfo> listed = p->m_pToken->getAlgs(CKF_GENERATE_KEY_PAIR);
    if (!p->m_keyPairGen) {
        if (listed.getCount() != 1)
            throw CError(
                CWString(u"Не задан алгоритм генерации ключевой пары на токене \"") + p->tokenName() + u"\"",
                NoErrorCode);
        p->m_keyPairGen = listed[0].type;
    } else {
        bool found = false;
        for (const MechanismInfo& m : listed) found = found || m.type == p->m_keyPairGen;
        if (!found)
            p->raiseUnsupported(u"\" не поддерживает алгоритм генерации ключевой пары 0x", p->m_keyPairGen);
    }
    CPKCS11::CImpl* library = p->m_pToken->library();
    const CAString pubLabel = library->toTokenText(publicLabel);
    const CAString privLabel = library->toTokenText(privateLabel);
    const CAString identifier = library->toTokenText(id.getLength() ? id : localTimeText(true));
    p->m_hPublicKey = 0;
    p->m_hPrivateKey = 0;
    p->m_hCertificate = 0;

    CK_OBJECT_CLASS pubClass = CKO_PUBLIC_KEY, privClass = CKO_PRIVATE_KEY;
    CK_BBOOL onToken = p->m_sessionObjects ? CK_FALSE : CK_TRUE;
    const CK_MECHANISM_TYPE mechanism = p->m_keyPairGen;
    CK_KEY_TYPE keyType = mechanism == CKM_GOSTR3410_512_KEY_PAIR_GEN ? CKK_GOSTR3410_512 : CKK_GOSTR3410;
    CDataBlob curve = p->m_curve;
    CDataBlob hashParams;
    if (mechanism == CKM_GOSTR3410_KEY_PAIR_GEN) {
        if (!curve.getSize()) curve = CDataBlob(DerCryptoProA34102001, sizeof DerCryptoProA34102001, false);
        hashParams = p->m_digest == CKM_GOSTR3411_12_256
                         ? CDataBlob(DerStreebog256, sizeof DerStreebog256, false)
                         : CDataBlob(DerGost3411_94, sizeof DerGost3411_94, false);
    } else if (mechanism == CKM_GOSTR3410_512_KEY_PAIR_GEN) {
        if (!curve.getSize()) curve = CDataBlob(DerTc26_512A, sizeof DerTc26_512A, false);
        hashParams = CDataBlob(DerStreebog512, sizeof DerStreebog512, false);
    }
    std::vector<CK_ATTRIBUTE> pubKeyAttribs{attr(CKA_CLASS, pubClass), attr(CKA_LABEL, pubLabel),
                                            attr(CKA_ID, identifier)};
    std::vector<CK_ATTRIBUTE> prKeyAttribs{attr(CKA_CLASS, privClass), attr(CKA_LABEL, privLabel),
                                           attr(CKA_ID, identifier)};
    const bool gost = hashParams.getSize() != 0;
    if (gost) {
        pubKeyAttribs.push_back(attr(CKA_KEY_TYPE, keyType));
        prKeyAttribs.push_back(attr(CKA_KEY_TYPE, keyType));
    }
    pubKeyAttribs.insert(pubKeyAttribs.end(), {attr(CKA_TOKEN, onToken), attr(CKA_PRIVATE, False)});
    if (mechanism != CKM_GOSTR3410_512_KEY_PAIR_GEN) pubKeyAttribs.push_back(attr(CKA_DERIVE, True));
    prKeyAttribs.insert(prKeyAttribs.end(),
                        {attr(CKA_TOKEN, onToken), attr(CKA_PRIVATE, True), attr(CKA_DERIVE, True)});
    if (gost) {
        for (auto* t : {&pubKeyAttribs, &prKeyAttribs})
            t->insert(t->end(), {attr(CKA_GOSTR3410_PARAMS, curve), attr(CKA_GOSTR3411_PARAMS, hashParams)});
    }
    CK_MECHANISM mech{mechanism, nullptr, 0};
    checkRetVal(
        p->functions()->C_GenerateKeyPair(p->session(), &mech, pubKeyAttribs.data(), pubKeyAttribs.size(),
                                          prKeyAttribs.data(), prKeyAttribs.size(), &p->m_hPublicKey,
                                          &p->m_hPrivateKey),
        "C_GenerateKeyPair(m_hSession, &mech, pubKeyAttribs, sizeof(pubKeyAttribs)/sizeof(CK_ATTRIBUTE), "
        "prKeyAttribs, sizeof(prKeyAttribs)/sizeof(CK_ATTRIBUTE), &m_hPublicKey, &m_hPrivateKey)");
}

CTokenSessionKey CTokenKeyPair::unwrapSessionKey(const CDataBlob& encryptedKey, const CDataBlob& mac,
                                                 const CDataBlob& senderPublicKey, const CDataBlob& ukm,
                                                 const CAString& paramSetOid, bool kdf,
                                                 const CAString& contentParamSetOid) const {
    m_pImpl.checkCreated();
    CImpl* p = m_pImpl.get();
    p->m_pToken->openSession();
    if (!p->m_hPublicKey) throw CError("Открытый ключ не задан.", NoErrorCode);
    if (!p->m_hPrivateKey) {
        p->m_hPrivateKey = p->m_pToken->findPrivByPubKey(p->m_hPublicKey);
        if (!p->m_hPrivateKey) throw CError("Закрытый ключ не найден.", NoErrorCode);
    }
    const CK_MECHANISM_TYPE hashMechanism = p->m_pToken->getHashMechanism(p->m_hPublicKey);
    size_t expected = 0;
    CK_MECHANISM_TYPE deriveMechanism = 0;
    if (hashMechanism == CKM_GOSTR3411) {
        expected = 64, deriveMechanism = CKM_GOSTR3410_DERIVE;
    } else if (hashMechanism == CKM_GOSTR3411_12_256) {
        expected = 64, deriveMechanism = CKM_GOSTR3410_12_DERIVE;
    } else if (hashMechanism == CKM_GOSTR3411_12_512) {
        expected = 128, deriveMechanism = CKM_GOSTR3410_12_DERIVE;
    }
    if (senderPublicKey.getSize() != expected)
        throw CError(u"Длина публичного ключа " +
                         ToWString(static_cast<uint64_t>(senderPublicKey.getSize())) + u" != " +
                         ToWString(static_cast<uint64_t>(expected)),
                     NoErrorCode);
    if (ukm.getSize() != 8) throw CError("Неверная длина UKM", NoErrorCode);
    const bool tc26Z = paramSetOid == CAString("1.2.643.7.1.2.5.1.1");
    const CDataBlob paramSet = tc26Z
                                   ? CDataBlob(DerGost28147Tc26Z, sizeof DerGost28147Tc26Z, false)
                                   : CDataBlob(DerGost28147CryptoProA, sizeof DerGost28147CryptoProA, false);

    // The key-encryption key follows the transport's set; the session key the content's, when given.
    CDataBlob keyParamSet = contentParamSetOid.getLength() ? oidDer(contentParamSetOid) : CDataBlob();
    if (!keyParamSet.getSize()) keyParamSet = paramSet;

    CKeyAgreementParams params(deriveMechanism, senderPublicKey, ukm, kdf);
    CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
    CK_KEY_TYPE gostKey = CKK_GOST28147;
    CK_ATTRIBUTE derivedKeyTemplate[] = {attr(CKA_CLASS, secretClass), attr(CKA_KEY_TYPE, gostKey),
                                         attr(CKA_TOKEN, False), attr(CKA_GOST28147_PARAMS, paramSet)};
    CK_FUNCTION_LIST_PTR list = p->functions();
    CK_OBJECT_HANDLE hDerivedKey = 0;
    checkRetVal(list->C_DeriveKey(p->session(), params.mechanism(), p->m_hPrivateKey, derivedKeyTemplate,
                                  std::size(derivedKeyTemplate), &hDerivedKey),
                "C_DeriveKey(m_hSession, &deriveKeyMechanism, m_hPrivateKey, derivedKeyTemplate, "
                "ARRAY_COUNT(derivedKeyTemplate), &hDerivedKey)");
    CK_OBJECT_HANDLE hSessionKey = 0;
    CK_RV rv;
    {
        CDataBlob dbWrappedKey = encryptedKey.clone();
        dbWrappedKey.appendBlob(mac);
        CDataBlob wrapUkm = ukm.clone();
        CK_MECHANISM wrapMech{CKM_GOST28147_KEY_WRAP, wrapUkm.getData(), wrapUkm.getSize()};
        CK_ATTRIBUTE attrGOST28147_89UnwrappedKey[] = {
            attr(CKA_CLASS, secretClass), attr(CKA_KEY_TYPE, gostKey),
            attr(CKA_DECRYPT, True),      attr(CKA_TOKEN, False),
            attr(CKA_PRIVATE, False),     attr(CKA_EXTRACTABLE, True),
            attr(CKA_SENSITIVE, True),    attr(CKA_GOST28147_PARAMS, keyParamSet)};
        rv = list->C_UnwrapKey(p->session(), &wrapMech, hDerivedKey, dbWrappedKey.getData(),
                               dbWrappedKey.getSize(), attrGOST28147_89UnwrappedKey,
                               std::size(attrGOST28147_89UnwrappedKey), &hSessionKey);
        dbWrappedKey.zeroFill();
    }
    // The derived key goes on every path: a failed unwrap must not leave it on the token.
    logIfError(list->C_DestroyObject(p->session(), hDerivedKey), "destroy derivedKey");
    checkRetVal(rv,
                "C_UnwrapKey(m_hSession, &wrapMech, hDerivedKey, dbWrappedKey, dbWrappedKey.size(), "
                "attrGOST28147_89UnwrappedKey, ARRAY_COUNT(attrGOST28147_89UnwrappedKey), &hSessionKey)");
    CTokenSessionKey key(&p->m_token);
    key.setKey(hSessionKey);
    return key;
}

void CTokenKeyPair::destroyObjects() const {
    m_pImpl.checkCreated();
    CImpl* p = m_pImpl.get();
    CToken::CImpl* token = p->m_pToken;
    if (p->m_hPublicKey) {
        if (!p->m_hCertificate) p->m_hCertificate = token->findCertByPubKey(p->m_hPublicKey);
        if (!p->m_hPrivateKey) p->m_hPrivateKey = token->findPrivByPubKey(p->m_hPublicKey);
        token->destroyObject(p->m_hPublicKey);
    }
    token->destroyObject(p->m_hCertificate);
    token->destroyObject(p->m_hPrivateKey);
}

// For the session-key export: the ephemeral pair of one wrap.
void prepareEphemeralPair(CTokenKeyPair& pair, const CDataBlob& curve) {
    pair.getImpl()->m_sessionObjects = true;
    pair.getImpl()->m_curve = curve.clone();
}

}  // namespace Vsk::PKCS11
