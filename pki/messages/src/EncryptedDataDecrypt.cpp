// Decryption with the enveloped-data object: the decoding message fed block by block, the recipients
// learned from the library's own parse and from the decoder, and the search for a recipient whose
// private key is at hand (the given certificate or key container first, then every recipient), with
// the error that lists the message's recipients when no key works. The session-key and other-provider
// roads are taken here too.
#include "EncryptedDataImpl.h"
#include "EncryptedDataLog.h"

#include <vsk/pki/CryptError.h>
#include <vsk/pki/KeyContainer.h>
#include <vsk/pki/TokenAsCsp.h>
#include <vsk/utils/global.h>
#include <vsk/utils/logScope.h>

#include <chrono>
#include <exception>
#include <vector>

namespace Vsk::PKI {

using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CLock;
using Vsk::Utils::CWString;
using Vsk::Utils::ToWString;

namespace {

constexpr DWORD ScardCancelledByUser = 0x8010006F;
constexpr DWORD AsnBadTag = 0x8009310B;
constexpr DWORD StreamNotReady = 0x80091010;
constexpr DWORD RecipientNotFound = 0x8009100B;

[[noreturn]] void raiseNoSessionKey() {
    throw CCryptError(CError(CWString(u"Не был задан сессионный ключ!"), DWORD(0)));
}

[[noreturn]] void raiseInternal(int line) {
    throw Vsk::Utils::InternalError(__FILE__, line);
}

// A parameter of the decoding message in one block of its own (pointers inside point into it).
bool readParam(HCRYPTMSG msg, DWORD param, DWORD index, CDataBlob& out) {
    DWORD size = 0;
    if (!CryptMsgGetParam(msg, param, index, nullptr, &size)) return false;
    CDataBlob buffer(size ? size : 1);
    if (!CryptMsgGetParam(msg, param, index, buffer.getData(), &size)) return false;
    out = buffer;
    return true;
}

}  // namespace

void CEncryptedData::CImpl::raiseSearchFailure(const std::vector<CCryptError>& errors,
                                               const CCryptError& lastError, const CWString& text) {
    if (errors.size() == 1 && !lastError.isEmpty()) {
        CCryptError raised = lastError;
        raised.appendText(u"\r\n" + text);
        throw raised;
    }
    if (errors.size() < 2)
        throw CCryptError(180611, u"Не найден Личный сертификат или ключи для расшифрования. " + text,
                          DWORD(-1));
    for (const CCryptError& e : errors)
        if (static_cast<DWORD>(e.getCode()) == ScardCancelledByUser) throw e;
    CWString joined;
    DWORD code = 0;
    for (const CCryptError& e : errors) {
        joined += e.getText() + u"\r\n";
        if (!code && e.getCode()) code = static_cast<DWORD>(e.getCode());
    }
    throw CCryptError(CError(joined + text, code));
}

void CEncryptedData::CImpl::openDecoder() {
    m_msg = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, &m_streamInfo);
    if (!m_msg) {
        const DWORD code = GetLastError();
        reset();
        throw CCryptError(180501, code);
    }
    EncryptedDataLog::write(4, "CEncryptedData::CImpl::openDecoder",
                            u"hMsg=" + ToWString(static_cast<const void*>(m_msg)));
}

void CEncryptedData::CImpl::DecryptStart() {
    CLock lock(this);
    clearRecipients();
    if (m_decryptSettings.get_UseSessionKey()) {
        if (!m_sessionKey.isCreated()) raiseNoSessionKey();
        return;
    }
    // Only a session key the caller gave survives into a new message; one that the other-provider
    // road found belonged to the previous message (reset drops it). A message left unfinished does
    // not leave the caller's key in the middle of its stream.
    reset();
    if (m_sessionKey.isCreated() && m_sessionKey.get_hKey()) restartStream(m_sessionKey);
    const CCertificate* certificate = m_decryptSettings.get_Certificate();
    if (!m_decryptSettings.get_AutoFindRecipient() && (!certificate || certificate->isNull()))
        throw CCryptError(180502, DWORD(-1));
    if (certificate && certificate->get_CertContext()) {
        m_decryptCertificate = *certificate;
    } else if (const CKeyContainer* container = m_decryptSettings.get_KeyContainer();
               container && !container->isNull()) {
        const CCertificate* stored = container->getCertificate();
        m_decryptCertificate = stored ? *stored : CCertificate();
    }
    openDecoder();
}

bool CEncryptedData::CImpl::ImportBlock(const CDataBlob& input, bool final) {
    CLock lock(this);
    if (m_decryptSettings.get_UseSessionKey()) {
        if (!m_sessionKey.isCreated()) raiseNoSessionKey();
        return true;
    }
    m_readerHasBlock = false;
    // The own reader learns the recipients; on the other-provider road it also follows the content
    // until a key is found, since that road reads the content itself.
    if (m_recipients.isEmpty() || (m_decryptSettings.get_HSMToCSPOptimization() && !m_decrypted)) {
        try {
            CError error;
            Vsk::ASN1::CSet recipientInfos;
            Vsk::ASN1::CSequence algorithm;
            const bool needRecipients = m_recipients.isEmpty();
            getEncryptedContent(input, &error, needRecipients ? &recipientInfos : nullptr,
                                needRecipients ? &algorithm : nullptr);
            m_readerHasBlock = true;
            if (needRecipients && error.isEmpty() && recipientInfos.getCount() > 0) {
                // The recipients are taken in message order up to the first one that does not read
                // (one named by key identifier, say): the positions stay those of the decoder's
                // recipient index, and the ones before it can still be searched. None read (the
                // content algorithm may not have come yet): asked again with the next block.
                for (size_t i = 0; i < recipientInfos.getCount(); ++i) {
                    CEncryptedDataRecipient recipient;
                    recipient.Init(*recipientInfos.getItem(i), algorithm);
                    m_recipients.add(recipient);
                }
            }
        } catch (const CError&) {
            // The system's decoder below decides whether the message is sound; the recipients are
            // read again from a later block (the content algorithm may not have come yet).
        } catch (const std::exception&) {
        }
    }
    // Once the library's own reader decrypts the content, the system's decoder is no longer fed: it
    // would only keep the ciphertext it cannot decrypt, up to its cap.
    if (m_contentByOwnReader) return true;
    if (!m_msg) openDecoder();
    const auto started = std::chrono::steady_clock::now();
    if (!CryptMsgUpdate(m_msg, input.getData(), input.getSize(), final)) {
        const DWORD code = GetLastError();
        reset();
        EncryptedDataLog::writeBlock(
            1, "CEncryptedData::CImpl::ImportBlock",
            CWString(u"Encrypted Data Block (bFinal=") + (final ? u"true" : u"false") + u")", input);
        if (code == AsnBadTag)
            throw CCryptError(180604, CWString(u"Данные не являются зашифрованными в формате PKCS#7."), code);
        throw CCryptError(180604, code);
    }
    if (Vsk::InternalUtils::GetLogLevel() >= 4) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        EncryptedDataLog::write(
            4, "CEncryptedData::CImpl::ImportBlock",
            u"MsgUpdate done " + CWString(std::to_string(seconds).c_str(), 1251) + u"sec");
    }
    if (m_recipientCertificates.isEmpty()) {
        DWORD size = 0;
        if (!CryptMsgGetParam(m_msg, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, nullptr, &size)) {
            const DWORD code = GetLastError();
            if (code == StreamNotReady) return false;
            reset();
            throw CCryptError(180605, code);
        }
        if (!readParam(m_msg, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, m_envelopeAlgorithm)) {
            const DWORD code = GetLastError();
            reset();
            throw CCryptError(180605, code);
        }
        if (m_recipients.isEmpty()) {
            reset();
            throw CCryptError(180607, DWORD(-1));
        }
        for (size_t i = 0; i < m_recipients.getCount(); ++i) {
            CDataBlob info;
            if (!readParam(m_msg, CMSG_CMS_RECIPIENT_INFO_PARAM, static_cast<DWORD>(i), info))
                info = CDataBlob();
            m_cmsRecipientInfo.add(info);
            m_recipientCertificates.add(m_recipients[i].get_Certificate());
        }
    }
    return true;
}

bool CEncryptedData::CImpl::decrypt(const CCertificate& certificate, CCryptError& error) {
    error = CCryptError();
    CHoldCSP provider;
    DWORD keySpec = 0;
    try {
        const CKeyContainer* container = m_decryptSettings.get_KeyContainer();
        if (container && !container->isNull()) {
            container->get_CommonSettings().put_Silent(m_decryptSettings.get_CommonSettings().get_Silent());
            keySpec = container->get_KeySpec();
            if (!container->get_TokenKeyPair().isEmpty()) return false;
            provider = container->get_hCryptProv();
        } else {
            const DWORD flags = m_decryptSettings.get_CommonSettings().get_Silent() ? 0x40 : 0;
            provider = certificate.AcquirePrivateKey(&keySpec, flags,
                                                     m_decryptSettings.get_AutoBindWithKeyContainer());
        }
        m_decryptSettings.ApplyKeysetPassword(provider.get_hCryptProv(), keySpec);
    } catch (const CError& e) {
        error = CCryptError(e);
        return false;
    }
    CMSG_CTRL_DECRYPT_PARA para{};
    para.cbSize = sizeof para;
    para.hCryptProv = provider.get_hCryptProv();
    para.dwKeySpec = keySpec;
    para.dwRecipientIndex = static_cast<DWORD>(m_recipientIndex);
    EncryptedDataLog::write(4, "CEncryptedData::CImpl::decrypt",
                            u"Before decrypt, hCryptProv=" +
                                ToWString(static_cast<uint64_t>(para.hCryptProv)) + u", dwKeySpec=" +
                                ToWString(keySpec) + u", dwRecipientIndex=" +
                                ToWString(static_cast<uint32_t>(para.dwRecipientIndex)));
    m_decrypted = CryptMsgControl(m_msg, 0, CMSG_CTRL_DECRYPT, &para) != FALSE;
    if (m_decrypted) {
        m_decryptCertificate = certificate;
        m_holdCSP = provider;
    } else {
        error = CCryptError(180614, DWORD(GetLastError()));
    }
    EncryptedDataLog::write(4, "CEncryptedData::CImpl::decrypt", CWString(u"After decrypt"));
    return m_decrypted;
}

CDataBlob CEncryptedData::CImpl::DecryptBlock(const CDataBlob& input, bool final) {
    CLock lock(this);
    if (input.getSize() == 0) {
        reset();
        throw CCryptError(180601, DWORD(-1));
    }
    const DWORD pieceSize = Vsk::InternalUtils::GetMaxFileBlockSize();
    if (pieceSize && input.getSize() > pieceSize) {
        CDataBlob result;
        for (size_t at = 0; at < input.getSize(); at += pieceSize) {
            const size_t n = std::min<size_t>(pieceSize, input.getSize() - at);
            result.appendBlob(DecryptBlock(input.getBlock(at, n), final && at + n == input.getSize()));
        }
        return result;
    }

    if (m_decryptSettings.get_UseSessionKey()) {
        if (!m_sessionKey.isCreated()) raiseNoSessionKey();
        if (const HCRYPTKEY hKey = m_sessionKey.get_hKey()) {
            CDataBlob data = input.clone();
            DWORD length = data.getSize();
            if (!CryptDecrypt(hKey, 0, final, 0, data.getData(), &length))
                throw CCryptError(180615, DWORD(GetLastError()));
            return data.getBlock(0, length);
        }
        CDataBlob iv = m_sessionKey.get_IV();
        CDataBlob result = decryptWithSessionKey(input, iv);
        m_sessionKey.put_IV(iv);
        return result;
    }

    if (m_sessionKey.isCreated() && m_sessionKey.get_hKey()) {
        CDataBlob result = CExtEncrypted::decrypt(input, final, m_sessionKey);
        // The key found for this message ends with it.
        if (final && !m_sessionKeyFromCaller) freshSessionKey();
        return result;
    }

    if ((!m_msg && !m_contentByOwnReader) || m_encodeInfo) {
        reset();
        throw CCryptError(180602, DWORD(-1));
    }
    m_written = 0;
    try {
        const size_t want = static_cast<size_t>(static_cast<double>(input.getSize()) * 1.1);
        if (m_output.getSize() < want) m_output = CDataBlob(want);
    } catch (const std::exception&) {
        reset();
        throw CCryptError(180603, DWORD(ERROR_NOT_ENOUGH_MEMORY));
    }
    if (!ImportBlock(input, final)) return CDataBlob();

    if (!m_decrypted) {
        CCryptError lastError;
        std::vector<CCryptError> errors;
        auto record = [&](const CCryptError& e) {
            if (e.isEmpty()) return;
            lastError = e;
            errors.push_back(e);
        };
        const bool autoFind = m_decryptSettings.get_AutoFindRecipient();
        const bool tokenAsCsp = getTokenAsCsp();

        if (m_decryptSettings.get_HSMToCSPOptimization()) {
            // Once the road has the key, this message stays on it even when this block completed no
            // content yet.
            bool taken = false;
            CDataBlob plaintext = hsmOptimDecryptBlock(input, final, m_sessionKey, &taken);
            if (taken) {
                takeContentByOwnReader();
                if (final && !m_sessionKeyFromCaller) freshSessionKey();
                return plaintext;
            }
        }
        if (!m_decryptCertificate.isNull() && m_decryptCertificate.get_CertContext()) {
            if (m_recipientIndex == -1) {
                for (size_t i = 0; i < m_recipientCertificates.getCount(); ++i) {
                    if (!m_recipientCertificates[i].equal(m_decryptCertificate)) continue;
                    m_recipientIndex = static_cast<int32_t>(i);
                    CCryptError error;
                    if (!decrypt(m_decryptCertificate, error)) {
                        record(error);
                        if (tokenAsCsp) {
                            CDataBlob output;
                            CCryptError tokenError;
                            if (cmsDecryptBlockByToken(m_decryptCertificate, input, final, output,
                                                       tokenError)) {
                                m_decrypted = true;
                                takeContentByOwnReader();
                                return output;
                            }
                            record(tokenError);
                        }
                        if (!autoFind && !lastError.isEmpty()) throw lastError;
                    }
                    break;
                }
                if (!m_decrypted && !autoFind) throw CCryptError(180503, DWORD(RecipientNotFound));
            } else {
                CCryptError error;
                if (!decrypt(m_decryptCertificate, error)) {
                    if (!autoFind) throw error;
                    record(error);
                }
            }
        }
        if (!m_decrypted) {
            if (m_decryptCertificate.isNull()) m_decryptCertificate = CCertificate(true);
            const CCertificate given = m_decryptCertificate;
            for (size_t i = 0; i < m_recipientCertificates.getCount(); ++i) {
                const CCertificate candidate = m_recipientCertificates[i];
                if (candidate.equal(given) || !candidate.get_CertContext()) continue;
                m_recipientIndex = static_cast<int32_t>(i);
                CCryptError error;
                if (decrypt(candidate, error)) break;
                record(error);
                if (tokenAsCsp) {
                    CDataBlob output;
                    CCryptError tokenError;
                    if (cmsDecryptBlockByToken(candidate, input, final, output, tokenError)) {
                        m_decryptCertificate = candidate;
                        m_decrypted = true;
                        takeContentByOwnReader();
                        return output;
                    }
                    record(tokenError);
                }
            }
        }
        if (!m_decrypted) {
            CWString text =
                u"Зашифровано на сертификатах (" + ToWString(m_recipientCertificates.getCount()) + u" шт.):";
            for (size_t i = 0; i < m_recipientCertificates.getCount(); ++i)
                text += u"\r\n - " + m_recipientCertificates[i].getText();
            reset();
            raiseSearchFailure(errors, lastError, text);
        }
    }

    if (m_holdCSP.isAcquired() || !getTokenAsCsp()) {
        CDataBlob result = takeOutput().clone();
        if (final) {
            // The buffer held plaintext: wiped, not only let go.
            if (m_output.getSize()) m_output.zeroFill();
            m_output.clear();
            m_written = 0;
            if (m_msg) {
                CryptMsgClose(m_msg);
                m_msg = nullptr;
            }
            m_holdCSP = CHoldCSP();
        }
        return result;
    }
    CDataBlob output;
    CCryptError error;
    if (!cmsDecryptBlockByToken(m_decryptCertificate, input, final, output, error)) {
        if (!error.isEmpty()) throw error;
        raiseInternal(__LINE__);
    }
    return output;
}

void CEncryptedData::CImpl::takeContentByOwnReader() {
    m_contentByOwnReader = true;
    if (m_msg) {
        CryptMsgClose(m_msg);
        m_msg = nullptr;
    }
}

}  // namespace Vsk::PKI
