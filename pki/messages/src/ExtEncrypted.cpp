// The other-provider road of enveloped-message decryption: a recipient's session key decrypted by
// itself (in the provider that holds the recipient's private key), moved into an ordinary provider and
// used there with CryptDecrypt on the content that the library's DER reader extracts.
#include "ExtEncrypted.h"

#include "EncryptedDataLog.h"

#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/KeyContainer.h>
#include <vsk/pki/ProviderChoiceCert.h>
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

constexpr const char* Gost28147Oid = "1.2.643.2.2.21";

[[noreturn]] void raiseText(const char16_t* text) {
    throw CCryptError(CError(CWString(text), DWORD(0)));
}

[[noreturn]] void raiseNotImplemented(int line) {
    throw Vsk::Utils::NotImplementedError(__FILE__, line);
}

}  // namespace

CDataBlob CExtEncrypted::hsmOptimDecryptBlock(const CDataBlob& block, bool final, CSessionKey& sessionKey,
                                              bool* taken) {
    if (taken) *taken = false;
    CDecryptSettings& settings = *m_pDecryptSettings;
    const CKeyContainer* container = settings.get_KeyContainer();
    if (container && !container->isNull() && !container->get_TokenKeyPair().isEmpty()) return CDataBlob();
    const CCertificate* settingsCertificate = settings.get_Certificate();
    const CCertificate given =
        settingsCertificate && !settingsCertificate->isNull() ? *settingsCertificate : CCertificate(true);
    for (size_t i = 0; i < m_pRecipientCertificates->getCount(); ++i) {
        CCertificate candidate = (*m_pRecipientCertificates)[i];
        const bool isGiven = candidate.equal(given);
        if (isGiven)
            candidate = given;
        else if (!settings.get_AutoFindRecipient())
            continue;
        if (!candidate.get_CertContext()) continue;
        if (!CSPInfo::isHSM(candidate.get_ProviderName())) continue;
        const CSPInfoArray providers = CSPsFromCertificate(candidate.get_CertContext(), nullptr);
        CSPInfo* target = nullptr;
        for (size_t p = 0; p < providers.getCount() && !target; ++p)
            if (providers[p] && !CSPInfo::isHSM(providers[p]->m_name)) target = providers[p].get();
        if (!target) continue;
        EncryptedDataLog::write(4, "CExtEncrypted::hsmOptimDecryptBlock",
                                CWString(u"Смена криптопровайдера для расшифрования на ") +
                                    ToWString(target->m_type) + u" " + target->m_name);
        if (!isGiven) settings.put_Certificate(&candidate);
        CSessionKey key = findSessionKey();
        key.setCSP(target);
        CDataBlob plaintext = decrypt(block, final, key);
        sessionKey = key;
        if (taken) *taken = true;
        EncryptedDataLog::write(3, "CExtEncrypted::hsmOptimDecryptBlock",
                                CWString(u"HSMToCSPOptimization done ok"));
        return plaintext;
    }
    return CDataBlob();
}

CSessionKey CExtEncrypted::findSessionKey() {
    if (m_pRecipientCertificates->isEmpty() || m_pCmsRecipientInfo->isEmpty())
        raiseText(u"Зашифрованные данные не были загружены");
    CDecryptSettings& settings = *m_pDecryptSettings;
    const bool autoFind = settings.get_AutoFindRecipient();
    const CCertificate* settingsCertificate = settings.get_Certificate();
    *m_pDecryptCertificate = settingsCertificate ? *settingsCertificate : CCertificate();
    std::optional<CError> failure;
    const CCertificate named = *m_pDecryptCertificate;
    if (named.isNull() || !named.get_CertContext()) {
        if (!autoFind)
            raiseText(u"При UseSystemCertStores = false должен быть задан сертификат для расшифрования");
    } else {
        bool found = false;
        for (size_t i = 0; i < m_pRecipientCertificates->getCount(); ++i) {
            if (!(*m_pRecipientCertificates)[i].equal(named)) continue;
            found = true;
            const CDataBlob& info = (*m_pCmsRecipientInfo)[i];
            if (info.getSize() == 0) {
                found = false;
                break;
            }
            try {
                return decryptSessionKey(info);
            } catch (const CError& e) {
                failure = e;
                if (!autoFind) throw CCryptError(e);
            }
            break;
        }
        if (!found && !autoFind)
            raiseText((u"Сертификат " + named.getText() + u" отсутствует в получателях").toU16().c_str());
    }
    for (size_t i = 0; i < m_pRecipientCertificates->getCount(); ++i) {
        const CCertificate candidate = (*m_pRecipientCertificates)[i];
        *m_pDecryptCertificate = candidate;
        if (!candidate.get_CertContext()) continue;
        if (settingsCertificate && candidate.equal(*settingsCertificate)) continue;
        // A recipient whose information the decoder could not give has nothing to decrypt.
        if ((*m_pCmsRecipientInfo)[i].getSize() == 0) continue;
        try {
            return decryptSessionKey((*m_pCmsRecipientInfo)[i]);
        } catch (const CError& e) {
            failure = e;
        }
    }
    if (!failure) raiseText(u"Отсутствует сертификат для расшифрования");
    throw CCryptError(*failure);
}

CSessionKey CExtEncrypted::decryptSessionKey(const CDataBlob& recipientInfo) {
    Vsk::InternalUtils::CLogScope scope("Vsk::PKI::CExtEncrypted::decryptSessionKey", 3,
                                        ToWString(static_cast<const void*>(recipientInfo.getData())));
    const auto* info = reinterpret_cast<const CMSG_CMS_RECIPIENT_INFO*>(recipientInfo.getData());
    const auto* algorithm =
        m_pEnvelopeAlgorithm && m_pEnvelopeAlgorithm->getSize() >= sizeof(CRYPT_ALGORITHM_IDENTIFIER)
            ? reinterpret_cast<const CRYPT_ALGORITHM_IDENTIFIER*>(m_pEnvelopeAlgorithm->getData())
            : nullptr;
    if (!info || recipientInfo.getSize() < sizeof(CMSG_CMS_RECIPIENT_INFO) ||
        info->dwRecipientChoice != CMSG_KEY_TRANS_RECIPIENT || !info->pKeyTrans || !algorithm ||
        !algorithm->pszObjId || std::strcmp(algorithm->pszObjId, Gost28147Oid) != 0)
        raiseNotImplemented(__LINE__);

    CSessionKey key(true);
    CDecryptSettings& settings = *m_pDecryptSettings;
    settings.put_Certificate(m_pDecryptCertificate->isNull() ? nullptr : m_pDecryptCertificate);
    key.DecryptViaGostR3410KeyTransport(CDataBlob(info->pKeyTrans->EncryptedKey, true), true, settings);

    CDataBlob iv;
    CAString paramSet;
    CPKCS7Encrypted::parseGost28147_89Parameters(CDataBlob(algorithm->Parameters, true), iv, paramSet);
    if (!CryptSetKeyParam(key.get_hKey(), KP_CIPHEROID, reinterpret_cast<const BYTE*>(paramSet.c_str()), 0)) {
        const DWORD code = GetLastError();
        if (code)
            EncryptedDataLog::write(1, "CExtEncrypted::decryptSessionKey",
                                    CWString(u"Установка KP_CIPHEROID в ") + CWString(paramSet, 1251) + u" " +
                                        Vsk::Utils::GetSystemErrorText(code));
    }
    key.put_IV(iv);
    *m_pHoldCSP = key.get_HoldCSP();
    return key;
}

void CExtEncrypted::restartStream(const CSessionKey& sessionKey) {
    const HCRYPTKEY hKey = sessionKey.get_hKey();
    if (!hKey) return;
    CDataBlob iv = sessionKey.get_IV();
    // A key whose IV was never given keeps the one it has; setting it again restarts the stream.
    if (iv.getSize() == 0) {
        BYTE own[8];
        DWORD size = sizeof own;
        if (CryptGetKeyParam(hKey, KP_IV, own, &size, 0) && size) iv = CDataBlob(own, size, true);
    }
    if (iv.getSize() && !CryptSetKeyParam(hKey, KP_IV, iv.getData(), 0)) {
        const DWORD code = GetLastError();
        if (code)
            EncryptedDataLog::write(1, "CExtEncrypted::decrypt",
                                    u"set KP_IV " + Vsk::Utils::GetSystemErrorText(code));
    }
}

CDataBlob CExtEncrypted::decrypt(const CDataBlob& block, bool final, CSessionKey& sessionKey) {
    const HCRYPTKEY hKey = sessionKey.isCreated() ? sessionKey.get_hKey() : 0;
    Vsk::InternalUtils::CLogScope scope("Vsk::PKI::CExtEncrypted::decrypt", 3,
                                        u"hKeySess=" + ToWString(static_cast<uint64_t>(hKey)));
    if (!hKey) raiseText(u"Сессионный ключ не инициализирован");
    CError error;
    // The block may already have been read on this call's behalf, while the recipients were learned.
    const bool repeated = m_readerHasBlock;
    m_readerHasBlock = false;
    CDataBlob content = getEncryptedContent(block, &error, nullptr, nullptr, repeated);
    // The caller's last block must end the content: a message cut short has no integrity check
    // that would otherwise tell its partial plaintext from the whole.
    if (error.isEmpty() && final && !isContentComplete())
        error = CError(CWString(u"Неполный EncryptedContentInfo.encryptedContent"),
                       static_cast<DWORD>(CRYPT_E_STREAM_INSUFFICIENT_DATA));
    if (!error.isEmpty()) {
        restartStream(sessionKey);
        EncryptedDataLog::writeBlock(1, "CExtEncrypted::decrypt", u"ContentInfo", block);
        throw CCryptError::CCryptErrorFromError(
            error, CWString(u"Данные не являются зашифрованными в формате PKCS#7"));
    }
    if (content.getSize() > 0) {
        if (content.getRefCount() > 1) content = content.clone();
        DWORD length = content.getSize();
        if (!CryptDecrypt(hKey, 0, final, 0, content.getData(), &length)) {
            const DWORD code = GetLastError();
            restartStream(sessionKey);
            throw CError(CWString(u"Ошибка расшифрования"), code);
        }
        EncryptedDataLog::write(4, "CExtEncrypted::decrypt", u"decrypted ok, length=" + ToWString(length));
        content = content.getBlock(0, length);
    }
    if (final) {
        restartStream(sessionKey);
        *m_pHoldCSP = CHoldCSP();
    }
    scope.setResult(ToWString(content.getSize()));
    return content;
}

}  // namespace Vsk::PKI
