// The token road of enveloped messages: encryption and decryption on a PKCS#11 token, and raw content
// decrypted with a token session key.
#include "TokenEncrypted.h"

#include "EncryptedDataLog.h"
#include "TokenSignature.h"

#include <vsk/asn1/asn1.h>
#include <vsk/pkcs11/Token.h>
#include <vsk/pki/EncryptedDataRecipient.h>
#include <vsk/pki/KeyContainer.h>
#include <vsk/pki/Password.h>
#include <vsk/platform/cert.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>
#include <vsk/utils/string.h>

#include <cstring>

namespace Vsk::PKI {

using namespace Vsk::ASN1;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;
using Vsk::Utils::ToWString;

namespace {

constexpr const char* OidGost2001 = "1.2.643.2.2.19";
constexpr const char* OidGost28147 = "1.2.643.2.2.21";
constexpr const char* ParamSetCryptoProA = "1.2.643.2.2.31.1";
constexpr const char* ParamSetTc26Z = "1.2.643.7.1.2.5.1.1";
constexpr DWORD ScardWrongChv = 0x8010006B;
constexpr size_t BlockSize = 8;
// CryptoPro key meshing changes the key after every 1024 bytes.
constexpr uint64_t BlocksPerMeshing = 1024 / BlockSize;

const char16_t* const BadRecipientText = u"Неверная информация на получателя?";

// The serial number and issuer are compared as the certificate holds them (CRYPT_INTEGER_BLOB
// order, least significant byte first) with what the recipient information names.
bool sameBytes(const CDataBlob& blob, const BYTE* data, DWORD size) {
    return blob.getSize() == size && (size == 0 || std::memcmp(blob.getData(), data, size) == 0);
}

// A recipient failure as the recipient search collects it: the recipient text in front, once.
CCryptError recipientError(const CError& cause) {
    CCryptError error(cause);
    const CWString prefix(BadRecipientText);
    const CWString& message = error.getMessage();
    const bool hasPrefix =
        message.getLength() >= prefix.getLength() &&
        std::memcmp(message.c_str(), prefix.c_str(), prefix.getLength() * sizeof(char16_t)) == 0;
    if (!hasPrefix) error.prependText(prefix + u"\r\n");
    return error;
}

}  // namespace

CTokenEncrypted::~CTokenEncrypted() {
    try {
        reset();
    } catch (...) {
        // A token that went away while the object dies has nothing left to release.
    }
}

// ---- Encryption -------------------------------------------------------------------------------------------

void CTokenEncrypted::login() {
    Vsk::PKCS11::CToken* token = m_keyPair.getToken();
    if (!token) throw Vsk::Utils::InternalError(__FILE__, __LINE__);
    if (token->isLoggedIn()) return;
    CAString pin = m_pOwnerEncryptSettings ? m_pOwnerEncryptSettings->get_KeysetPassword() : CAString();
    if (pin.getLength() == 0) throw CCryptError(CError(CWString(u"Не задан ПИН токена!"), ScardWrongChv));
    try {
        token->loginAnsi(pin);
    } catch (...) {
        pin.zeroFill();
        throw;
    }
    pin.zeroFill();
}

CDataBlob CTokenEncrypted::cmsEncryptBlock(const CDataBlob& input, bool final) {
    Vsk::PKCS11::CToken* token = m_keyPair.getToken();
    if (!token) throw Vsk::Utils::InternalError(__FILE__, __LINE__);
    EncryptedDataLog::write(4, "CTokenEncrypted::cmsEncryptBlock", token->getLibraryName());
    try {
        return encryptOnToken(token, input, final);
    } catch (...) {
        // A message that failed half-way is not continued by the next one: the token is let go and
        // the writer starts afresh.
        try {
            reset();
        } catch (...) {
        }
        throw;
    }
}

CDataBlob CTokenEncrypted::encryptOnToken(Vsk::PKCS11::CToken* token, const CDataBlob& input, bool final) {
    if (!isMessageOpen()) {
        const Vsk::Utils::CArray<CCertificate> recipients =
            m_pOwnerEncryptSettings ? m_pOwnerEncryptSettings->get_RecipientCertificates()
                                    : Vsk::Utils::CArray<CCertificate>();
        if (recipients.isEmpty()) throw CCryptError(180301, DWORD(-1));
        CDataBlob ukm(BlockSize);
        ukm.fillRandom();
        CDataBlob iv(BlockSize);
        iv.fillRandom();
        login();

        // A GOST R 34.10-2001 recipient can only take a key of the CryptoPro A set; otherwise the key
        // is made with the TC 26 Z set.
        bool tc26Z = true;
        for (size_t i = 0; i < recipients.getCount(); ++i)
            if (CAString(recipients[i].get_PublicKeyAlgorithmOID(), 1251) == CAString(OidGost2001))
                tc26Z = false;
        m_tokenSessionKey = Vsk::PKCS11::CTokenSessionKey(token);
        m_tokenSessionKey.generate(tc26Z);

        recipientInfos().clear();
        for (size_t i = 0; i < recipients.getCount(); ++i) {
            const CCertificate& recipient = recipients[i];
            PCCERT_CONTEXT context = recipient.get_CertContext();
            if (!context || !context->pCertInfo) throw Vsk::Utils::InternalError(__FILE__, __LINE__);
            CDataBlob ephemeralPublicKey;
            const CDataBlob wrapped = m_tokenSessionKey.wrapKey(
                recipient.get_PublicKey(), CAString(recipient.get_PublicKeyAlgorithmOID(), 1251), ukm, true,
                ephemeralPublicKey, TokenKeyParamSet(context->pCertInfo->SubjectPublicKeyInfo));
            if (wrapped.getSize() <= 32) throw Vsk::Utils::InternalError(__FILE__, __LINE__);
            CEncryptedDataRecipient info;
            info.MakeKeyTransRecipientInfo(*context->pCertInfo, wrapped.getBlock(0, 32), wrapped.getBlock(32),
                                           ephemeralPublicKey, ukm);
            recipientInfos().addItem(info.get_RecipientInfo());
        }
        // The content declares the parameter set the key was really made with, so that any reader
        // decrypts it with the same substitution box.
        setContentEncryptionAlgorithm(CAString(OidGost28147), iv,
                                      CAString(tc26Z ? ParamSetTc26Z : ParamSetCryptoProA));
        m_tokenSessionKey.encryptStart(iv, false);
        if (final) {
            const CDataBlob ciphertext = m_tokenSessionKey.encrypt(input);
            CDataBlob message = makePKCS7Enveloped(ciphertext, true);
            releaseToken();
            return message;
        }
    }
    const CDataBlob ciphertext = m_tokenSessionKey.encryptUpdate(input, final);
    CDataBlob message = makePKCS7Enveloped(ciphertext, final);
    if (final) releaseToken();
    return message;
}

// ---- Decryption -------------------------------------------------------------------------------------------

void CTokenEncrypted::findDecryptionKeyPair(const CCertificate& certificate, CCryptError& error) {
    const CKeyContainer* container =
        m_pOwnerDecryptSettings ? m_pOwnerDecryptSettings->get_KeyContainer() : nullptr;
    if (container && !container->isNull()) {
        const Vsk::PKCS11::CTokenKeyPair pair = container->get_TokenKeyPair();
        if (!pair.isEmpty()) {
            if (!pair.getToken()) throw Vsk::Utils::InternalError(__FILE__, __LINE__);
            LoginTokenKeyPair(pair, m_pOwnerDecryptSettings->get_KeysetPassword(),
                              container->get_KeysetPassword());
            if (pair.hasPrivKey()) {
                m_keyPair = pair;
            } else {
                CError missing;
                if (pair.findByCertificate(certificate.get_PublicKey(), certificate.getText(), missing))
                    m_keyPair = pair;
                else
                    error = CCryptError(missing);
            }
        }
    }
    if (m_keyPair.isEmpty()) {
        CRememberedPassword* password =
            m_pOwnerDecryptSettings ? m_pOwnerDecryptSettings->get_KeysetPassword() : nullptr;
        m_keyPair = certificate.AcquireTokenPrivateKey(password ? static_cast<const CPassword&>(*password)
                                                                : CPassword());
        if (!m_keyPair.isEmpty()) error = CCryptError();
    }
}

CDataBlob CTokenEncrypted::readContent(const CDataBlob& input, CError& error, CSet& recipients,
                                       CSequence& algorithm) {
    const bool repeated = m_pOwnerReaderHasBlock && *m_pOwnerReaderHasBlock;
    CDataBlob content = getEncryptedContent(input, &error, &recipients, &algorithm, repeated);
    // Another road offered the same block in this call takes it as a repeat.
    if (m_pOwnerReaderHasBlock) *m_pOwnerReaderHasBlock = true;
    return content;
}

bool CTokenEncrypted::unwrapForRecipient(const CCertificate& certificate, const CSet& recipients,
                                         const CSequence& algorithm, const CDataBlob& iv,
                                         const CAString& contentParamSet) {
    for (size_t i = 0; i < recipients.getCount(); ++i) {
        CEncryptedDataRecipient recipient;
        recipient.Init(*recipients.getItem(i), algorithm);
        PCCERT_CONTEXT context = certificate.get_CertContext();
        if (!context || !context->pCertInfo) throw Vsk::Utils::NotImplementedError(__FILE__, __LINE__);
        const CERT_INFO& info = *context->pCertInfo;
        if (!sameBytes(recipient.get_Issuer(), info.Issuer.pbData, info.Issuer.cbData) ||
            !sameBytes(recipient.get_SerialNumber(), info.SerialNumber.pbData, info.SerialNumber.cbData))
            continue;
        CDataBlob encryptedKey, ephemeralPublicKey, mac, ukm, ephemeralParameters;
        CAString paramSet;
        ALG_ID ephemeralAlgId = 0;
        parseGostR3410KeyTransport(recipient.get_EncryptedKey(), encryptedKey, ephemeralPublicKey, mac, ukm,
                                   paramSet, ephemeralAlgId, ephemeralParameters);
        // The key is wrapped under the transport's parameter set, the content encrypted under its own.
        m_tokenSessionKey = m_keyPair.unwrapSessionKey(encryptedKey, mac, ephemeralPublicKey, ukm, paramSet,
                                                       true, contentParamSet);
        m_tokenSessionKey.decryptStart(iv, false);
        return true;
    }
    return false;
}

bool CTokenEncrypted::cmsDecryptBlockByToken(const CCertificate& certificate, const CDataBlob& input,
                                             bool final, CDataBlob& output, CCryptError& error) {
    error = CCryptError();
    output = CDataBlob();
    if (m_keyPair.isEmpty()) {
        try {
            findDecryptionKeyPair(certificate, error);
        } catch (const CError& failure) {
            error = CCryptError(failure);
            return false;
        }
        if (m_keyPair.isEmpty()) return false;
    }

    CError readError;
    CSet recipients;
    CSequence algorithm;
    const CDataBlob content = readContent(input, readError, recipients, algorithm);
    if (!readError.isEmpty()) {
        error = CCryptError(readError);
        return false;
    }

    if (!m_tokenSessionKey.isCreated()) {
        // The recipients and the content algorithm have not all come yet.
        if (recipients.getCount() == 0 || algorithm.getCount() < 2) return false;
        const CObjectId* oid = castToObjectId(algorithm.getItem(0));
        const CAString algorithmOid = oid ? oid->getValue() : CAString();
        if (algorithmOid != CAString(OidGost28147))
            EncryptedDataLog::write(3, "CTokenEncrypted::cmsDecryptBlockByToken",
                                    u"Content encryption algorithm " + CWString(algorithmOid, 1251));
        CNode* parameters = algorithm.getItem(1);
        if (!castToSequence(parameters)) return false;
        try {
            CDataBlob iv;
            CAString contentParamSet;
            parseGost28147_89Parameters(parameters->encode(), iv, contentParamSet);
            if (!unwrapForRecipient(certificate, recipients, algorithm, iv, contentParamSet)) return false;
        } catch (const CError& failure) {
            error = recipientError(failure);
            abandon();
            return false;
        }
        if (final) {
            try {
                output = m_tokenSessionKey.decrypt(content);
            } catch (const CError& failure) {
                error = recipientError(failure);
                abandon();
                return false;
            }
            return finish(output, error);
        }
    }

    try {
        // A final block without content still ends the token's operation.
        if (content.getSize() || final) output = m_tokenSessionKey.decryptUpdate(content, final);
    } catch (const CError& failure) {
        // There is no other recipient to try in the middle of the content: the message is given up.
        error = CCryptError(failure);
        output = CDataBlob();
        resetQuietly();
        return false;
    }
    if (final) return finish(output, error);
    return true;
}

bool CTokenEncrypted::finish(CDataBlob& output, CCryptError& error) {
    // The last block must have closed the content: a cut message yields no plaintext as if whole.
    const bool complete = isContentComplete();
    resetQuietly();
    if (complete) return true;
    output.zeroFill();
    output = CDataBlob();
    error = CCryptError(180604, DWORD(CRYPT_E_STREAM_INSUFFICIENT_DATA));
    return false;
}

void CTokenEncrypted::resetQuietly() {
    try {
        reset();
    } catch (const CError&) {
        // The token's own failure was reported already.
    }
}

void CTokenEncrypted::abandon() {
    // The DER reader keeps its place: the owner may offer the same block for another recipient.
    try {
        releaseToken();
    } catch (const CError&) {
        // The token's own failure was reported already.
    }
    m_pendingCipher = CDataBlob();
    m_blockCounter = 0;
}

// ---- Raw content with the session key ---------------------------------------------------------------------

CDataBlob CTokenEncrypted::decryptWithSessionKey(const CDataBlob& input, CDataBlob& iv) {
    if (iv.getSize() != BlockSize) throw CError(CWString(u"Неверная длина IV"), DWORD(NTE_BAD_DATA));
    CDataBlob data = m_pendingCipher;
    data.appendBlob(input);
    const size_t whole = data.getSize() - data.getSize() % BlockSize;
    m_pendingCipher = data.getBlock(whole).clone();
    if (whole == 0) return CDataBlob();

    CDataBlob feedback = iv.clone();
    CDataBlob output(whole);
    size_t at = 0;
    while (at < whole) {
        if (m_blockCounter != 0 && m_blockCounter % BlocksPerMeshing == 0) {
            m_tokenSessionKey.keyMeshing();
            m_tokenSessionKey.encryptStart(CDataBlob(), true);
            feedback = m_tokenSessionKey.encrypt(feedback);
        }
        // The blocks up to the next meshing go to the token in one ECB call; each plaintext block is
        // then the decrypted block XOR the ciphertext block before it.
        const uint64_t untilMeshing = BlocksPerMeshing - m_blockCounter % BlocksPerMeshing;
        const size_t blocks = static_cast<size_t>(std::min<uint64_t>(untilMeshing, (whole - at) / BlockSize));
        const size_t length = blocks * BlockSize;
        const CDataBlob cipher = data.getBlock(at, length);
        m_tokenSessionKey.decryptStart(CDataBlob(), true);
        const CDataBlob decrypted = m_tokenSessionKey.decrypt(cipher);
        if (decrypted.getSize() != length) throw Vsk::Utils::InternalError(__FILE__, __LINE__);
        BYTE* out = output.getData() + at;
        for (size_t b = 0; b < blocks; ++b) {
            const BYTE* chain = b == 0 ? feedback.getData() : cipher.getData() + (b - 1) * BlockSize;
            for (size_t k = 0; k < BlockSize; ++k)
                out[b * BlockSize + k] = decrypted.getData()[b * BlockSize + k] ^ chain[k];
        }
        feedback = cipher.getBlock(length - BlockSize, BlockSize).clone();
        m_blockCounter += blocks;
        at += length;
    }
    iv = feedback;
    return output;
}

// ---- State ------------------------------------------------------------------------------------------------

void CTokenEncrypted::releaseToken() {
    m_tokenSessionKey = Vsk::PKCS11::CTokenSessionKey();
    if (!m_keyPair.isEmpty()) {
        const Vsk::PKCS11::CTokenKeyPair pair = m_keyPair;
        m_keyPair = Vsk::PKCS11::CTokenKeyPair();
        if (Vsk::PKCS11::CToken* token = pair.getToken()) token->logout();
    }
}

void CTokenEncrypted::reset() {
    releaseToken();
    CPKCS7Encrypted::reset();
    m_pendingCipher = CDataBlob();
    m_blockCounter = 0;
}

}  // namespace Vsk::PKI
