// GOST 28147-89 session keys on tokens: generation, ECB and feedback-mode encryption in one call or in
// parts, CryptoPro key meshing, and the export for a recipient through a key agreement between an
// ephemeral key pair on the token and the recipient's public key.
//
// Traces name sizes and SHA-256 digests of the data, never the data or the results themselves. The
// meshed key passes through a host buffer, which is wiped on every path.
#include "pkcs11Impl.h"

#include <vsk/pkcs11/TokenKeyPair.h>
#include <vsk/pkcs11/TokenSessionKey.h>
#include <vsk/utils/base64.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>
#include <iterator>

namespace Vsk::PKCS11 {

using Vsk::InternalUtils::CLogScope;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;
using Vsk::Utils::NoErrorCode;
using Vsk::Utils::ToWString;

namespace {

constexpr size_t GostKeySize = 32;

constexpr BYTE DerGost28147CryptoProA[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1F, 0x01};
constexpr BYTE DerGost28147Tc26Z[] = {0x06, 0x09, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x05, 0x01, 0x01};

// The key-meshing constant C of RFC 4357, 2.3.2.
constexpr BYTE constForKeyMeshing[GostKeySize] = {
    0x69, 0x00, 0x72, 0x22, 0x64, 0xC9, 0x04, 0x23, 0x8D, 0x3A, 0xDB, 0x96, 0x46, 0xE9, 0x2A, 0xC4,
    0x18, 0xFE, 0xAC, 0x94, 0x00, 0xED, 0x07, 0x12, 0xC0, 0x86, 0xDC, 0xC2, 0xEF, 0x4C, 0xA9, 0x2B};

// E_INVALIDARG.
constexpr HRESULT InvalidArgument = static_cast<HRESULT>(0x80070057L);

CK_BBOOL True = CK_TRUE;
CK_BBOOL False = CK_FALSE;

// A data block as it may appear in a trace: its size and SHA-256 digest.
CWString traceText(const CDataBlob& data) {
    CWString text = u"size=" + ToWString(static_cast<uint64_t>(data.getSize()));
    BYTE digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.getData(), data.getSize(), digest, &length, EVP_sha256(), nullptr) == 1)
        text += u" sha256=" + CWString(CDataBlob(digest, length, true).toHex(), Vsk::Utils::CP_PROGRAM);
    return text;
}

// Cuts a buffer to the length the token reported.
CDataBlob cut(const CDataBlob& buffer, CK_ULONG length) {
    return length < buffer.getSize() ? buffer.getBlock(0, length).clone() : buffer;
}

}  // namespace

class CTokenSessionKey::CImpl : public Vsk::Utils::CRefMan {
public:
    explicit CImpl(const CToken& token) : m_token(token), m_pToken(token.getImpl()) {}
    ~CImpl() override {
        try {
            endOperation();
            destroyKey(false);
        } catch (...) {
            // A token that went away took its session objects with it.
        }
    }

    CK_FUNCTION_LIST_PTR functions() const { return m_pToken->functions(); }
    CK_SESSION_HANDLE session() const { return m_pToken->m_hSession; }

    // Ends a cipher operation the token still runs (abandoned, or left by a failed part), so that the
    // session is free for the next one: a final call into a buffer ends it whatever it answers.
    void endOperation() {
        if (m_operation == Operation::None) return;
        const bool encrypting = m_operation == Operation::Encrypting;
        m_operation = Operation::None;
        BYTE buffer[64];
        CK_ULONG length = sizeof buffer;
        if (encrypting)
            functions()->C_EncryptFinal(session(), buffer, &length);
        else
            functions()->C_DecryptFinal(session(), buffer, &length);
        OPENSSL_cleanse(buffer, sizeof buffer);
    }

    void destroyKey(bool raise) {
        endOperation();
        if (!m_hSessionKey) return;
        const CK_RV rv = functions()->C_DestroyObject(session(), m_hSessionKey);
        m_hSessionKey = 0;
        if (raise)
            checkRetVal(rv, "C_DestroyObject(m_hSession, m_hSessionKey)");
        else
            logIfError(rv, "C_DestroyObject(m_hSession, m_hSessionKey)");
    }

    void start(const CDataBlob& iv, bool ecb, bool encrypting) {
        CLogScope scope;
        if (scope.getLevel() >= 5)
            scope.enter(encrypting ? "Vsk::PKCS11::CTokenSessionKey::encryptStart"
                                   : "Vsk::PKCS11::CTokenSessionKey::decryptStart",
                        u"IV=" + Vsk::Utils::Base64EncNoCrlfW(iv) + (ecb ? u" ECB" : u""), this);
        if (ecb) {
            if (iv.getSize())
                throw CError(
                    "В режиме ElectronicCodeBook (простой замены) не используется вектор инициализации.",
                    InvalidArgument);
        } else if (iv.getSize() != 8) {
            throw CError("Неверная длина IV", NoErrorCode);
        }
        if (!m_hSessionKey) throw CError("Сессионный ключ не был создан.", NoErrorCode);
        CDataBlob parameter = iv.clone();
        CK_MECHANISM encMechanism =
            ecb ? CK_MECHANISM{CKM_GOST28147_ECB, nullptr, 0}
                : CK_MECHANISM{CKM_GOST28147, parameter.getData(), parameter.getSize()};
        m_pToken->openSession();
        endOperation();
        if (encrypting)
            checkRetVal(functions()->C_EncryptInit(session(), &encMechanism, m_hSessionKey),
                        "C_EncryptInit(m_hSession, &encMechanism, m_hSessionKey)");
        else
            checkRetVal(functions()->C_DecryptInit(session(), &encMechanism, m_hSessionKey),
                        "C_DecryptInit(m_hSession, &encMechanism, m_hSessionKey)");
        m_operation = encrypting ? Operation::Encrypting : Operation::Decrypting;
    }

    CDataBlob oneCall(const CDataBlob& data, bool encrypting) {
        try {
            CDataBlob result = oneCallOnToken(data, encrypting);
            m_operation = Operation::None;
            return result;
        } catch (...) {
            endOperation();
            throw;
        }
    }

    CDataBlob update(const CDataBlob& data, bool final, bool encrypting) {
        try {
            CDataBlob result = updateOnToken(data, final, encrypting);
            if (final) m_operation = Operation::None;
            return result;
        } catch (...) {
            endOperation();
            throw;
        }
    }

    CDataBlob oneCallOnToken(const CDataBlob& data, bool encrypting) {
        CLogScope scope;
        if (scope.getLevel() >= 5)
            scope.enter(encrypting ? "Vsk::PKCS11::CTokenSessionKey::encrypt"
                                   : "Vsk::PKCS11::CTokenSessionKey::decrypt",
                        traceText(data), this);
        CK_FUNCTION_LIST_PTR list = functions();
        auto call = encrypting ? list->C_Encrypt : list->C_Decrypt;
        CK_ULONG length = 0;
        CK_RV rv = call(session(), data.getData(), data.getSize(), nullptr, &length);
        if (!length) checkRetVal(rv, encrypting ? "C_Encrypt" : "C_Decrypt");
        CDataBlob out(static_cast<size_t>(length ? length : 1));
        length = out.getSize();
        checkRetVal(
            call(session(), data.getData(), data.getSize(), out.getData(), &length),
            encrypting ? "C_Encrypt(m_hSession, (LPBYTE)(LPCBYTE)db, db.size(), dbEncrypted, &encryptedLen)"
                       : "C_Decrypt(m_hSession, (LPBYTE)(LPCBYTE)db, db.size(), dbDecrypted, &decryptedLen)");
        CDataBlob result = length ? cut(out, length) : CDataBlob();
        if (scope.isEntered()) scope.m_result = traceText(result);
        return result;
    }

    CDataBlob updateOnToken(const CDataBlob& data, bool final, bool encrypting) {
        CLogScope scope;
        if (scope.getLevel() >= 5)
            scope.enter(encrypting ? "Vsk::PKCS11::CTokenSessionKey::encryptUpdate"
                                   : "Vsk::PKCS11::CTokenSessionKey::decryptUpdate",
                        traceText(data) + (final ? u" final" : u""), this);
        CK_FUNCTION_LIST_PTR list = functions();
        auto call = encrypting ? list->C_EncryptUpdate : list->C_DecryptUpdate;
        CK_ULONG length = 0;
        CK_RV rv = call(session(), data.getData(), data.getSize(), nullptr, &length);
        if (!length) checkRetVal(rv, encrypting ? "C_EncryptUpdate" : "C_DecryptUpdate");
        CDataBlob result;
        if (length || data.getSize()) {
            CDataBlob out(static_cast<size_t>(length ? length : data.getSize()));
            length = out.getSize();
            checkRetVal(call(session(), data.getData(), data.getSize(), out.getData(), &length),
                        encrypting ? "C_EncryptUpdate(m_hSession, (LPBYTE)(LPCBYTE)db, db.size(), "
                                     "dbEncrypted, &encryptedLen)"
                                   : "C_DecryptUpdate(m_hSession, (LPBYTE)(LPCBYTE)db, db.size(), "
                                     "dbDecrypted, &decryptedLen)");
            if (length) result = cut(out, length);
        }
        if (final) {
            auto finish = encrypting ? list->C_EncryptFinal : list->C_DecryptFinal;
            CK_ULONG finalLength = 0;
            rv = finish(session(), nullptr, &finalLength);
            if (finalLength) {
                CDataBlob last(static_cast<size_t>(finalLength));
                checkRetVal(finish(session(), last.getData(), &finalLength),
                            encrypting ? "C_EncryptFinal(m_hSession, dbEncryptedFinal, &encryptedLen)"
                                       : "C_DecryptFinal(m_hSession, dbDecryptedFinal, &decryptedLen)");
                result.appendBlob(cut(last, finalLength));
            } else {
                checkRetVal(rv, encrypting ? "C_EncryptFinal" : "C_DecryptFinal");
            }
        }
        if (scope.isEntered()) scope.m_result = traceText(result);
        return result;
    }

    CToken m_token;
    CToken::CImpl* m_pToken;
    CK_OBJECT_HANDLE m_hSessionKey = 0;
    enum class Operation { None, Encrypting, Decrypting };
    // The cipher operation started on the token and not yet ended.
    Operation m_operation = Operation::None;
};

// ---- Handle ------------------------------------------------------------------------------------------

CTokenSessionKey::CTokenSessionKey(const CToken* token) {
    if (!token || token->isEmpty()) return;
    m_pImpl = Vsk::Utils::CRefPtr<CImpl>::create(*token);
}
CTokenSessionKey::CTokenSessionKey(const CTokenSessionKey& other) = default;
CTokenSessionKey& CTokenSessionKey::operator=(const CTokenSessionKey& other) = default;
CTokenSessionKey::~CTokenSessionKey() = default;

bool CTokenSessionKey::isCreated() const {
    return m_pImpl && m_pImpl->m_hSessionKey != 0;
}

CK_OBJECT_HANDLE CTokenSessionKey::getKeyHandle() const {
    return m_pImpl ? m_pImpl->m_hSessionKey : 0;
}

void CTokenSessionKey::generate(bool tc26Z) const {
    m_pImpl.checkCreated();
    CImpl* p = m_pImpl.get();
    p->m_pToken->openSession();
    p->destroyKey(true);
    CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
    CK_KEY_TYPE keyType = CKK_GOST28147;
    CK_ATTRIBUTE sessionKeyTemplate[] = {
        {CKA_CLASS, &secretClass, sizeof secretClass},
        {CKA_KEY_TYPE, &keyType, sizeof keyType},
        {CKA_ENCRYPT, &True, 1},
        {CKA_DECRYPT, &True, 1},
        {CKA_TOKEN, &False, 1},
        tc26Z ? CK_ATTRIBUTE{CKA_GOST28147_PARAMS, const_cast<BYTE*>(DerGost28147Tc26Z),
                             sizeof DerGost28147Tc26Z}
              : CK_ATTRIBUTE{CKA_GOST28147_PARAMS, const_cast<BYTE*>(DerGost28147CryptoProA),
                             sizeof DerGost28147CryptoProA},
        {CKA_PRIVATE, &True, 1},
        {CKA_EXTRACTABLE, &True, 1},
        {CKA_SENSITIVE, &True, 1},
        {CKA_MODIFIABLE, &False, 1}};
    CK_MECHANISM ckmGOST28147_89_KeyGenMech{CKM_GOST28147_KEY_GEN, nullptr, 0};
    checkRetVal(p->functions()->C_GenerateKey(p->session(), &ckmGOST28147_89_KeyGenMech, sessionKeyTemplate,
                                              std::size(sessionKeyTemplate), &p->m_hSessionKey),
                "C_GenerateKey(m_hSession, & ckmGOST28147_89_KeyGenMech, sessionKeyTemplate, "
                "ARRAY_COUNT(sessionKeyTemplate), &m_hSessionKey)");
}

void CTokenSessionKey::setKey(CK_OBJECT_HANDLE key) const {
    m_pImpl.checkCreated();
    if (key == m_pImpl->m_hSessionKey) return;
    m_pImpl->destroyKey(true);
    m_pImpl->m_hSessionKey = key;
}

void CTokenSessionKey::encryptStart(const CDataBlob& iv, bool ecb) const {
    m_pImpl.checkCreated();
    m_pImpl->start(iv, ecb, true);
}
void CTokenSessionKey::decryptStart(const CDataBlob& iv, bool ecb) const {
    m_pImpl.checkCreated();
    m_pImpl->start(iv, ecb, false);
}
CDataBlob CTokenSessionKey::encrypt(const CDataBlob& data) const {
    m_pImpl.checkCreated();
    return m_pImpl->oneCall(data, true);
}
CDataBlob CTokenSessionKey::decrypt(const CDataBlob& data) const {
    m_pImpl.checkCreated();
    return m_pImpl->oneCall(data, false);
}
CDataBlob CTokenSessionKey::encryptUpdate(const CDataBlob& data, bool final) const {
    m_pImpl.checkCreated();
    return m_pImpl->update(data, final, true);
}
CDataBlob CTokenSessionKey::decryptUpdate(const CDataBlob& data, bool final) const {
    m_pImpl.checkCreated();
    return m_pImpl->update(data, final, false);
}

void CTokenSessionKey::keyMeshing() const {
    m_pImpl.checkCreated();
    CImpl* p = m_pImpl.get();
    CK_FUNCTION_LIST_PTR list = p->functions();
    p->m_pToken->openSession();
    CK_MECHANISM gost28147EncDecEcbMech{CKM_GOST28147_ECB, nullptr, 0};
    checkRetVal(list->C_DecryptInit(p->session(), &gost28147EncDecEcbMech, p->m_hSessionKey),
                "C_DecryptInit(m_hSession, &gost28147EncDecEcbMech, m_hSessionKey)");
    BYTE keyBlobForMeshing[GostKeySize] = {};
    CK_ULONG keySize = GostKeySize;
    const CK_RV rv = list->C_Decrypt(p->session(), const_cast<BYTE*>(constForKeyMeshing), GostKeySize,
                                     keyBlobForMeshing, &keySize);
    CK_RV setRv = CKR_OK;
    if (rv == CKR_OK) {
        CK_ATTRIBUTE keyValueAttr{CKA_VALUE, keyBlobForMeshing, keySize};
        setRv = list->C_SetAttributeValue(p->session(), p->m_hSessionKey, &keyValueAttr, 1);
    }
    // The new key never stays in host memory, whatever the token answered.
    OPENSSL_cleanse(keyBlobForMeshing, sizeof keyBlobForMeshing);
    checkRetVal(
        rv, "C_Decrypt(m_hSession, constForKeyMeshing, GOST_28147_KEY_SIZE, keyBlobForMeshing, &keySize)");
    checkRetVal(setRv, "C_SetAttributeValue(m_hSession, m_hSessionKey, &keyValueAttr, 1)");
}

CDataBlob CTokenSessionKey::wrapKey(const CDataBlob& recipientPublicKey, const CAString& publicKeyOid,
                                    const CDataBlob& ukm, bool kdf, CDataBlob& ephemeralPublicKey,
                                    const CDataBlob& keyParams) const {
    m_pImpl.checkCreated();
    CImpl* p = m_pImpl.get();
    if (!p->m_hSessionKey) throw CError("Сессионный ключ не был создан.", NoErrorCode);
    CK_MECHANISM_TYPE deriveMechanism;
    bool tc26Z = true;
    if (publicKeyOid == CAString("1.2.643.2.2.19")) {
        deriveMechanism = CKM_GOSTR3410_DERIVE;
        tc26Z = false;
    } else if (publicKeyOid == CAString("1.2.643.7.1.1.1.1")) {
        deriveMechanism = CKM_GOSTR3410_DERIVE;
    } else if (publicKeyOid == CAString("1.2.643.7.1.1.1.2")) {
        deriveMechanism = CKM_GOSTR3410_12_DERIVE;
    } else {
        throw CError(CAString("Не реализовано шифрование ключами ") + publicKeyOid, static_cast<DWORD>(120));
    }
    p->m_pToken->openSession();
    if (ukm.getSize() != 8) throw CError("Неверная длина UKM", NoErrorCode);
    CKeyAgreementParams params(deriveMechanism, recipientPublicKey, ukm, kdf);
    const CDataBlob paramSet = tc26Z
                                   ? CDataBlob(DerGost28147Tc26Z, sizeof DerGost28147Tc26Z, false)
                                   : CDataBlob(DerGost28147CryptoProA, sizeof DerGost28147CryptoProA, false);

    CK_FUNCTION_LIST_PTR list = p->functions();
    CTokenKeyPair ephemeral(&p->m_token);
    CK_OBJECT_HANDLE hDerivedKey = 0;
    CDataBlob wrapped;
    try {
        // The ephemeral pair lives on the recipient's curve and only as long as the session at most.
        prepareEphemeralPair(ephemeral, keyParams);
        const CWString label = localTimeText(false);
        ephemeral.setAlgsByAlgId(CertOIDToAlgId(publicKeyOid.c_str()));
        ephemeral.generateKeyPair(label, label, label);

        static const char label25[] = "Derived GOST 28147-89 key";
        CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
        CK_KEY_TYPE keyType = CKK_GOST28147;
        CK_ATTRIBUTE derivedKeyTemplate[] = {{CKA_LABEL, const_cast<char*>(label25), sizeof label25 - 1},
                                             {CKA_CLASS, &secretClass, sizeof secretClass},
                                             {CKA_KEY_TYPE, &keyType, sizeof keyType},
                                             {CKA_TOKEN, &False, 1},
                                             {CKA_MODIFIABLE, &True, 1},
                                             {CKA_PRIVATE, &True, 1},
                                             {CKA_EXTRACTABLE, &True, 1},
                                             {CKA_SENSITIVE, &False, 1},
                                             {CKA_GOST28147_PARAMS, paramSet.getData(), paramSet.getSize()}};
        checkRetVal(list->C_DeriveKey(p->session(), params.mechanism(), ephemeral.getPrivKeyHandle(),
                                      derivedKeyTemplate, std::size(derivedKeyTemplate), &hDerivedKey),
                    "C_DeriveKey(m_hSession, &deriveKeyMechanism, hPrivateKey, derivedKeyTemplate, "
                    "ARRAY_COUNT(derivedKeyTemplate), &hDerivedKey)");

        CDataBlob wrapUkm = ukm.clone();
        CK_MECHANISM wrapKeyMechanism{CKM_GOST28147_KEY_WRAP, wrapUkm.getData(), wrapUkm.getSize()};
        CK_ULONG wrappedKeyLength = 0;
        checkRetVal(
            list->C_WrapKey(p->session(), &wrapKeyMechanism, hDerivedKey, p->m_hSessionKey, nullptr,
                            &wrappedKeyLength),
            "C_WrapKey(m_hSession, &wrapKeyMechanism, hDerivedKey, m_hSessionKey, NULL, &wrappedKeyLength)");
        CDataBlob dbWrappedKey(static_cast<size_t>(wrappedKeyLength ? wrappedKeyLength : 1));
        wrappedKeyLength = dbWrappedKey.getSize();
        checkRetVal(list->C_WrapKey(p->session(), &wrapKeyMechanism, hDerivedKey, p->m_hSessionKey,
                                    dbWrappedKey.getData(), &wrappedKeyLength),
                    "C_WrapKey(m_hSession, &wrapKeyMechanism, hDerivedKey, m_hSessionKey, dbWrappedKey, "
                    "&wrappedKeyLength)");
        wrapped = cut(dbWrappedKey, wrappedKeyLength);
        ephemeralPublicKey = p->m_pToken->getAttributeValue(ephemeral.getPubKeyHandle(), CKA_VALUE);
    } catch (...) {
        // The temporaries go before the failure leaves; the first failure is the one reported.
        if (hDerivedKey) logIfError(list->C_DestroyObject(p->session(), hDerivedKey), "destroy derivedKey");
        try {
            ephemeral.destroyObjects();
        } catch (...) {
        }
        try {
            throw;
        } catch (const CError&) {
            throw;
        } catch (...) {
            throw CError("...", Vsk::Utils::LastErrorCode);
        }
    }
    if (hDerivedKey) logIfError(list->C_DestroyObject(p->session(), hDerivedKey), "destroy derivedKey");
    ephemeral.destroyObjects();
    return wrapped;
}

}  // namespace Vsk::PKCS11
