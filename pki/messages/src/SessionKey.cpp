// GOST 28147-89 session keys of enveloped messages: imported from a GostR3410-KeyTransport through
// the provider's key blobs (the transported key as a SIMPLEBLOB, the sender's ephemeral key as a
// PUBLICKEYBLOB agreed with the recipient's private key), or unwrapped on a token; and moved between
// providers through an agreement of two ephemeral key pairs.
//
// The session key itself never leaves a provider or token in the clear, and nothing secret is
// logged: the log shows the wrapped key, the public keys and the UKM only.
#include <vsk/pki/SessionKey.h>

#include "Pkcs7Encrypted.h"

#include <vsk/pkcs11/Token.h>
#include <vsk/pkcs11/TokenKeyPair.h>
#include <vsk/pkcs11/TokenSessionKey.h>
#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/FileInfo.h>
#include <vsk/pki/KeyContainer.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/OidNames.h>
#include <vsk/pki/Settings.h>
#include <vsk/platform/cert.h>
#include <vsk/utils/base64.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <cstring>
#include <optional>

namespace Vsk::PKI {

using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;
using Vsk::Utils::ToWString;

namespace {

constexpr size_t SimpleBlobFixedSize = 60;
constexpr size_t SimpleBlobUkmSize = 8;
constexpr size_t SimpleBlobKeySize = 32;
constexpr size_t SimpleBlobMacSize = 4;
constexpr DWORD PublicKeyBlobMagic = 0x3147414D;  // "MAG1"

void putU32(BYTE* p, DWORD v) {
    p[0] = static_cast<BYTE>(v);
    p[1] = static_cast<BYTE>(v >> 8);
    p[2] = static_cast<BYTE>(v >> 16);
    p[3] = static_cast<BYTE>(v >> 24);
}

CWString base64Of(const CDataBlob& data) {
    return ToWString(Vsk::Utils::Base64Enc(data, Vsk::Utils::Base64NoLineBreaks));
}

CWString hexOf(const CDataBlob& data) {
    return ToWString(data.toHex());
}

void log(int level, const char* function, const CWString& text) {
    if (Vsk::InternalUtils::GetLogLevel() >= level)
        Vsk::InternalUtils::LogAt(level,
                                  CWString(u"PKI::CSessionKey::CImpl::") + ToWString(function) + u" " + text);
}

// A CError for a failed provider call, with the call's system error.
[[noreturn]] void raiseSystem(const CWString& text) {
    DWORD code = GetLastError();
    throw CError(text, code);
}

[[noreturn]] void raiseInternal(int line) {
    throw Vsk::Utils::InternalError(__FILE__, line);
}

// A key handle destroyed when the scope ends.
struct KeyGuard {
    HCRYPTKEY key = 0;
    ~KeyGuard() { reset(); }
    void reset() {
        if (key) CryptDestroyKey(key);
        key = 0;
    }
    HCRYPTKEY release() {
        HCRYPTKEY k = key;
        key = 0;
        return k;
    }
};

// KP_DHOID of a key; empty when the key has none.
CAString readDhOid(HCRYPTKEY key) {
    DWORD size = 0;
    if (!CryptGetKeyParam(key, KP_DHOID, nullptr, &size, 0) || size == 0) return CAString();
    CDataBlob data(size);
    if (!CryptGetKeyParam(key, KP_DHOID, data.getData(), &size, 0)) return CAString();
    size_t n = strnlen(reinterpret_cast<const char*>(data.getData()), size);
    return CAString(reinterpret_cast<const char*>(data.getData()), n);
}

CDataBlob exportKey(HCRYPTKEY key, HCRYPTKEY wrapKey, DWORD blobType, const CWString& failure) {
    DWORD size = 0;
    if (!CryptExportKey(key, wrapKey, blobType, 0, nullptr, &size)) raiseSystem(failure);
    CDataBlob blob(size);
    if (!CryptExportKey(key, wrapKey, blobType, 0, blob.getData(), &size)) raiseSystem(failure);
    return blob.getBlock(0, size).clone();
}

HCRYPTKEY importKey(HCRYPTPROV prov, const CDataBlob& blob, HCRYPTKEY with, DWORD flags,
                    const CWString& failure) {
    HCRYPTKEY key = 0;
    if (!CryptImportKey(prov, blob.getData(), blob.getSize(), with, flags, &key)) raiseSystem(failure);
    return key;
}

void setProExport(HCRYPTKEY agreement, const char16_t* suffix) {
    BYTE alg[4];
    putU32(alg, CALG_PRO_EXPORT);
    if (CryptSetKeyParam(agreement, KP_ALGID, alg, 0)) return;
    DWORD code = GetLastError();
    // Tolerated: the agreement key then wraps with the provider's default algorithm.
    if (code != 0)
        Vsk::InternalUtils::LogAt(1, CWString(u"PKI::CSessionKey::CImpl CALG_PRO_EXPORT ключа согласования") +
                                         suffix + u" " + Vsk::Utils::GetSystemErrorText(code));
}

void setKeyIv(HCRYPTKEY key, const CDataBlob& iv) {
    if (iv.getSize() == 0) return;
    if (!CryptSetKeyParam(key, KP_IV, iv.getData(), 0))
        raiseSystem(CWString(u"Установка вектора инициализации"));
}

}  // namespace

// ---- Implementation ---------------------------------------------------------------------------------------

CSessionKey::CImpl::CImpl() : m_hKeySession(0), m_pTokenSessionKey(nullptr), m_silent(0) {}

CSessionKey::CImpl::~CImpl() {
    destroyKey();
    m_holdCSP = CHoldCSP();
    m_targetCSP = Vsk::Utils::CRefPtr<CSPInfo>();
}

void CSessionKey::CImpl::destroyKey() {
    if (m_hKeySession) CryptDestroyKey(m_hKeySession);
    m_hKeySession = 0;
}

CDataBlob CSessionKey::CImpl::makeSimpleBlob(const CDataBlob& encryptedKey, const CDataBlob& ukm,
                                             const CDataBlob& mac, const CDataBlob& paramSet) {
    if (ukm.getSize() > SimpleBlobUkmSize)
        throw CError(CWString(u"Вектор инициализации не вмещается"), E_INVALIDARG);
    if (encryptedKey.getSize() > SimpleBlobKeySize)
        throw CError(CWString(u"Зашифрованный сессионный ключ не вмещается"), E_INVALIDARG);
    if (mac.getSize() > SimpleBlobMacSize)
        throw CError(CWString(u"macKey (Gost28147-89-MAC) не вмещается"), E_INVALIDARG);
    CDataBlob blob(SimpleBlobFixedSize);
    BYTE* p = blob.getData();
    std::memset(p, 0, SimpleBlobFixedSize);
    p[0] = SIMPLEBLOB;
    p[1] = 0x20;
    putU32(p + 4, CALG_G28147);
    putU32(p + 8, G28147_MAGIC);
    putU32(p + 12, CALG_G28147);
    if (ukm.getSize()) std::memcpy(p + 16, ukm.getData(), ukm.getSize());
    if (encryptedKey.getSize()) std::memcpy(p + 24, encryptedKey.getData(), encryptedKey.getSize());
    if (mac.getSize()) std::memcpy(p + 56, mac.getData(), mac.getSize());
    blob.appendBlob(paramSet);
    return blob;
}

CDataBlob CSessionKey::CImpl::makePublicKeyBlob(const CDataBlob& publicKey, ALG_ID algId,
                                                const CDataBlob& parameters) {
    CDataBlob blob(16);
    BYTE* p = blob.getData();
    std::memset(p, 0, 16);
    p[0] = PUBLICKEYBLOB;
    p[1] = 0x20;
    putU32(p + 4, algId);
    putU32(p + 8, PublicKeyBlobMagic);
    putU32(p + 12, static_cast<DWORD>(publicKey.getSize()) * 8);
    blob.appendBlob(parameters);
    blob.appendBlob(publicKey);
    return blob;
}

void CSessionKey::CImpl::checkAlgorithm(const CHoldCSP& provider, const CDataBlob& publicKeyBlob) {
    if (!provider.isAcquired()) return;
    CDataBlob key, parameters;
    ALG_ID algId = 0;
    parsePublicKeyBlob(publicKeyBlob, key, parameters, algId);
    CSPInfo* info = provider.get_CSPInfo();
    if (info->getAlgorithm(algId)) return;
    CAString oid = AlgIdToOID(algId);
    CWString name = CNameOID::getName(oid);
    log(1, "checkAlgorithm",
        CWString(u"Криптопровайдер \"") + info->m_name + u"\" типа " + ToWString(info->m_type) +
            u" сессионного ключа не поддерживает алгоритм " + ToWString(oid) + u" (" + name +
            u") у публичного ключа " + base64Of(publicKeyBlob));
    throw CError(CWString(u"Алгоритм \"") + name +
                     u"\" у публичного ключа не поддерживается криптопровайдером типа " +
                     ToWString(info->m_type),
                 E_INVALIDARG);
}

void CSessionKey::CImpl::Decrypt(const CDataBlob& simpleBlob, DWORD keySpec, const CDataBlob& publicKeyBlob) {
    if (simpleBlob.getSize() == 0 || publicKeyBlob.getSize() == 0)
        throw CCryptError::CCryptErrorHResult(130501, E_INVALIDARG);
    destroyKey();
    HCRYPTPROV prov = m_holdCSP.get_hCryptProv();
    if (!prov) throw CError(CWString(u"Не задан закрытый ключ получателя"), DWORD(0));
    checkAlgorithm(m_holdCSP, publicKeyBlob);
    std::optional<CError> kept;
    KeyGuard user, agreement;
    try {
        if (hasPassword()) {
            CError pinError;
            if (!ApplyPassword(prov, keySpec, true, &pinError))
                log(4, "Decrypt", CWString(u"ApplyPassword ") + pinError.getMessage());
        }
        if (!CryptGetUserKey(prov, keySpec, &user.key))
            raiseSystem(CWString(u"Получение закрытого ключа получателя"));
        CAString dhOid = readDhOid(user.key);
        m_recipientDhOid =
            dhOid.getLength() ? CDataBlob(dhOid.c_str(), dhOid.getLength(), true) : CDataBlob();
        if (dhOid.getLength()) log(4, "Decrypt", CWString(u"KP_DHOID=") + ToWString(dhOid));
        agreement.key =
            importKey(prov, publicKeyBlob, user.key, 0, CWString(u"Получение ключа согласования"));
        setProExport(agreement.key, u"");
        m_hKeySession = importKey(prov, simpleBlob, agreement.key, CRYPT_EXPORTABLE,
                                  CWString(u"Расшифрование сессионного ключа"));
        log(4, "Decrypt", CWString(u"hKeySession=") + ToWString(static_cast<uint64_t>(m_hKeySession)));
        setKeyIv(m_hKeySession, m_iv);
    } catch (CError& e) {
        kept = e;
    }
    user.reset();
    agreement.reset();
    if (kept) {
        destroyKey();
        m_holdCSP = CHoldCSP();
        throw CCryptError(*kept);
    }
}

void CSessionKey::CImpl::decryptWithCertificate(const CDataBlob& simpleBlob, const CCertificate& certificate,
                                                bool autoBind, const CDataBlob& publicKeyBlob) {
    if (!certificate.get_CertContext())
        throw CCryptError(CError(
            CWString(u"Не задан и отсутствует в системном хранилище личный сертификат для расшифрования: ") +
                certificate.getText(),
            E_INVALIDARG));
    DWORD keySpec = 0;
    m_holdCSP = certificate.AcquirePrivateKey(&keySpec, m_silent ? 0x40 : 0, autoBind);
    Decrypt(simpleBlob, keySpec, publicKeyBlob);
}

void CSessionKey::CImpl::decryptWithKeyContainer(const CDataBlob& simpleBlob, const CKeyContainer& container,
                                                 const CDataBlob& publicKeyBlob) {
    m_holdCSP = container.get_hCryptProv();
    Decrypt(simpleBlob, container.get_KeySpec(), publicKeyBlob);
}

void CSessionKey::CImpl::DecryptViaGostR3410KeyTransport(const CDataBlob& transport, bool kdf,
                                                         const CDecryptSettings& settings) {
    CDataBlob encryptedKey, ephemeralKey, mac, ukm, parameters;
    CAString paramSet;
    ALG_ID ephemeralAlgId = 0;
    CPKCS7Encrypted::parseGostR3410KeyTransport(transport, encryptedKey, ephemeralKey, mac, ukm, paramSet,
                                                ephemeralAlgId, parameters);
    Vsk::ASN1::CSequence paramSetNode;
    paramSetNode.addItem(Vsk::ASN1::CObjectId(paramSet));
    CDataBlob paramSetBlock = paramSetNode.encode();

    m_silent = settings.get_CommonSettings().get_Silent() ? 1 : 0;
    const CCertificate* certificate = settings.get_Certificate();
    log(4, "DecryptViaGostR3410KeyTransport",
        (certificate ? certificate->getText() : CWString()) + u", silent=" + (m_silent ? u"true" : u"false") +
            u", EncryptedSessKey=" + hexOf(encryptedKey) + u", MacKey=" + hexOf(mac) +
            u", EphemeralPublicKey=" + hexOf(ephemeralKey) + u", UKM=" + hexOf(ukm) +
            u", algIdEphemKeyEncr=" + ToWString(static_cast<uint64_t>(ephemeralAlgId)));
    CDataBlob publicKeyBlob = makePublicKeyBlob(ephemeralKey, ephemeralAlgId, parameters);
    log(4, "DecryptViaGostR3410KeyTransport", CWString(u"PubKeyWithParams=") + base64Of(publicKeyBlob));
    CDataBlob simpleBlob = makeSimpleBlob(encryptedKey, ukm, mac, paramSetBlock);
    log(4, "DecryptViaGostR3410KeyTransport", CWString(u"CryptoProEncryptedSessKey=") + base64Of(simpleBlob));

    CRememberedPassword* password = settings.get_KeysetPassword();
    if (password && password->hasPassword()) copyFrom(*password);

    auto unwrapOnToken = [&](const Vsk::PKCS11::CTokenKeyPair& pair) {
        if (!m_pTokenSessionKey) raiseInternal(__LINE__);
        *m_pTokenSessionKey = pair.unwrapSessionKey(encryptedKey, mac, ephemeralKey, ukm, paramSet, kdf);
    };

    if (const CKeyContainer* container = settings.get_KeyContainer()) {
        Vsk::PKCS11::CTokenKeyPair pair = container->get_TokenKeyPair();
        if (!pair.isEmpty()) {
            Vsk::PKCS11::CToken* token = pair.getToken();
            if (token && !token->isLoggedIn()) {
                CWString pin = getPasswordWide();
                token->login(pin);
            }
            unwrapOnToken(pair);
        } else {
            decryptWithKeyContainer(simpleBlob, *container, publicKeyBlob);
        }
        return;
    }
    if (!certificate) throw CError(CWString(u"Не задан личный сертификат для расшифрования"), DWORD(0));
    try {
        decryptWithCertificate(simpleBlob, *certificate, settings.get_AutoBindWithKeyContainer(),
                               publicKeyBlob);
    } catch (CError& e) {
        DWORD code = static_cast<DWORD>(e.getCode());
        if (code != CRYPT_E_NO_KEY_PROPERTY && code != CRYPT_E_NO_DECRYPT_CERT) throw;
        Vsk::PKCS11::CTokenKeyPair pair = certificate->AcquireTokenPrivateKey(*this);
        if (pair.isEmpty()) throw;
        unwrapOnToken(pair);
    }
}

HCRYPTKEY CSessionKey::CImpl::GenEphemeralKey(const CHoldCSP& provider, CAString& dhOid) {
    ALG_ID algId = provider.get_CSPInfo()->getEphemDHAlgId();
    KeyGuard key;
    bool given = dhOid.getLength() != 0;
    if (!CryptGenKey(provider.get_hCryptProv(), algId,
                     given ? (CRYPT_EXPORTABLE | CRYPT_PREGEN) : CRYPT_EXPORTABLE, &key.key))
        raiseSystem(CWString(u"Создание эфемерной пары ключей"));
    if (!given) {
        dhOid = readDhOid(key.key);
        if (dhOid.getLength()) log(4, "GenEphemeralKey", CWString(u"KP_DHOID=") + ToWString(dhOid));
        return key.release();
    }
    if (!CryptSetKeyParam(key.key, KP_DHOID, reinterpret_cast<const BYTE*>(dhOid.c_str()), 0))
        raiseSystem(CWString(u"Установка KP_DHOID в ") + ToWString(dhOid));
    if (!CryptSetKeyParam(key.key, KP_X, nullptr, 0))
        raiseSystem(CWString(u"Генерация эфемерной пары ключей (установка KP_X)"));
    return key.release();
}

void CSessionKey::CImpl::setCSP(CSPInfo* target) {
    if (!m_hKeySession) {
        m_targetCSP = Vsk::Utils::CRefPtr<CSPInfo>(target);
        return;
    }
    if (!m_holdCSP.isAcquired()) raiseInternal(__LINE__);
    if (!target) raiseInternal(__LINE__);
    std::optional<CError> kept;
    KeyGuard from, to, fromAgreement, toAgreement, newKey;
    CHoldCSP targetContext;
    try {
        targetContext = target->acquireContext(nullptr, CRYPT_VERIFYCONTEXT);
        if (!targetContext.isAcquired()) raiseSystem(CWString(u"Получение контекста криптопровайдера To"));
        HCRYPTPROV fromProv = m_holdCSP.get_hCryptProv();
        if (!CryptGenKey(fromProv, m_holdCSP.get_CSPInfo()->getEphemDHAlgId(), CRYPT_EXPORTABLE, &from.key))
            raiseSystem(CWString(u"Создание эфемерной пары ключей From"));
        CAString dhOid = readDhOid(from.key);
        if (dhOid.getLength()) log(4, "setCSP", CWString(u"KP_DHOID=") + ToWString(dhOid));
        to.key = GenEphemeralKey(targetContext, dhOid);
        CDataBlob fromPublic =
            exportKey(from.key, 0, PUBLICKEYBLOB, CWString(u"Экспорт публичного эфемерного ключа From"));
        CDataBlob toPublic =
            exportKey(to.key, 0, PUBLICKEYBLOB, CWString(u"Экспорт публичного эфемерного ключа To"));
        checkAlgorithm(m_holdCSP, toPublic);
        checkAlgorithm(targetContext, fromPublic);
        fromAgreement.key =
            importKey(fromProv, toPublic, from.key, 0, CWString(u"Получение ключа согласования From"));
        toAgreement.key = importKey(targetContext.get_hCryptProv(), fromPublic, to.key, 0,
                                    CWString(u"Получение ключа согласования To"));
        setProExport(fromAgreement.key, u" From");
        setProExport(toAgreement.key, u" To");
        CDataBlob wrapped = exportKey(m_hKeySession, fromAgreement.key, SIMPLEBLOB,
                                      CWString(u"Шифрование сессионного ключа"));
        newKey.key = importKey(targetContext.get_hCryptProv(), wrapped, toAgreement.key, CRYPT_EXPORTABLE,
                               CWString(u"Расшифрование сессионного ключа"));
        setKeyIv(newKey.key, m_iv);
        destroyKey();
        m_hKeySession = newKey.release();
        m_holdCSP = targetContext;
    } catch (CError& e) {
        kept = e;
    }
    from.reset();
    to.reset();
    fromAgreement.reset();
    toAgreement.reset();
    newKey.reset();
    if (kept) throw CCryptError(*kept);
    m_targetCSP = Vsk::Utils::CRefPtr<CSPInfo>(target);
}

void CSessionKey::CImpl::setIV(const CDataBlob& iv) {
    if (m_hKeySession && iv.getSize() != 0) setKeyIv(m_hKeySession, iv);
    m_iv = iv.clone();
}

// ---- Handle -----------------------------------------------------------------------------------------------

CSessionKey::CSessionKey(bool create) {
    if (create) m_pImpl = Vsk::Utils::CRefPtr<CImpl>::create();
}

CSessionKey::CImpl* CSessionKey::checked() const {
    m_pImpl.checkCreated();
    return m_pImpl.get();
}

bool CSessionKey::isCreated() const {
    if (!m_pImpl) return false;
    if (m_pImpl->m_hKeySession) return true;
    return m_pImpl->m_pTokenSessionKey && m_pImpl->m_pTokenSessionKey->isCreated();
}

HCRYPTKEY CSessionKey::get_hKey() const {
    return checked()->m_hKeySession;
}

void CSessionKey::put_TokenSessionKey(Vsk::PKCS11::CTokenSessionKey* tokenSessionKey) {
    checked()->m_pTokenSessionKey = tokenSessionKey;
}

CHoldCSP CSessionKey::get_HoldCSP() const {
    return checked()->m_holdCSP;
}

CDataBlob CSessionKey::get_IV() const {
    return checked()->m_iv;
}

void CSessionKey::put_IV(const CDataBlob& iv) {
    CImpl* impl = checked();
    Vsk::Utils::CLock lock(impl);
    impl->setIV(iv);
}

void CSessionKey::setCSP(CSPInfo* target) {
    CImpl* impl = checked();
    Vsk::Utils::CLock lock(impl);
    Vsk::InternalUtils::CLogScope scope("Vsk::PKI::CSessionKey::setCSP", 4,
                                        target ? target->toString() : CWString());
    impl->setCSP(target);
}

void CSessionKey::DecryptViaGostR3410KeyTransport(const CDataBlob& transport, bool kdf,
                                                  const CDecryptSettings& settings) {
    CImpl* impl = checked();
    Vsk::Utils::CLock lock(impl);
    Vsk::InternalUtils::CLogScope scope("Vsk::PKI::CSessionKey::DecryptViaGostR3410KeyTransport", 4,
                                        base64Of(transport));
    impl->DecryptViaGostR3410KeyTransport(transport, kdf, settings);
}

}  // namespace Vsk::PKI
