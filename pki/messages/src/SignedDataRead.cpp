// The reading half of the signed-data object: a signed message fed block by block to CryptoAPI's
// streaming decoder, the content of an attached message released as it is decoded, the signers made
// into signature objects; telling a detached message from its start; bare-signature verification.
#include "SignedDataImpl.h"

#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/CertApi.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/CryptoApi.h>
#include <vsk/pki/OidNames.h>
#include <vsk/utils/error.h>
#include <vsk/utils/global.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include "Pkcs7Signed.h"

#include <vector>

namespace Vsk::PKI {

using Vsk::InternalUtils::CLogScope;
using Vsk::InternalUtils::GetLogLevel;
using Vsk::InternalUtils::LogAt;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CLock;
using Vsk::Utils::CWString;
using Vsk::Utils::LastErrorCode;
using Vsk::Utils::NoErrorCode;
using Vsk::Utils::ToWString;

namespace {

constexpr DWORD EncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

CWString boolWord(bool value) {
    return value ? CWString(u"true") : CWString(u"false");
}

// Destroys a key handle when it goes out of scope.
struct KeyGuard {
    HCRYPTKEY& key;
    ~KeyGuard() { DestroyKey(key); }
};

}  // namespace

// ---- Reading ---------------------------------------------------------------------------------------------

void CSignedData::CImpl::ImportBlock(const CDataBlob& block, CDataBlob* output, bool final) {
    CLock lock(this);
    if (output) output->clear();
    if (block.getSize() == 0) {
        reset();
        throw CCryptError(101301, NoErrorCode);
    }
    const DWORD maxBlock = Vsk::InternalUtils::GetMaxFileBlockSize();
    if (maxBlock != 0 && maxBlock < block.getSize()) {
        // The decoder never sees more than one file block at a time.
        const size_t size = block.getSize();
        for (size_t start = 0; start < size; start += maxBlock) {
            const size_t length = std::min<size_t>(maxBlock, size - start);
            const bool last = start + length == size;
            CDataBlob piece;
            importBlockPiece(block.getBlock(start, length), output ? &piece : nullptr, final && last);
            if (output && piece.getSize() != 0) output->appendBlob(piece);
        }
        return;
    }
    importBlockPiece(block, output, final);
}

void CSignedData::CImpl::importBlockPiece(const CDataBlob& given, CDataBlob* output, bool final) {
    if (output) output->clear();
    if ((hasTokenKeyPair() || m_readingByToken) && !m_decodingMsg) {
        if (final) m_readingByToken = false;
        importByToken(given, output, final, &m_detached);
        if (final && m_detached) m_state = SignedStateDetachedRead;
        return;
    }

    CDataBlob block = given;
    if (!m_decodingMsg || m_state == SignedStateIdle || m_state == SignedStateDetachedRead) {
        // The start of a message: held until it tells whether the message is detached.
        if (!final && block.getSize() < PendingStartBytes) {
            m_pending.appendBlob(block);
            if (m_pending.getSize() < PendingStartBytes) return;
            block = m_pending;
        } else if (m_pending.getSize() != 0) {
            block = m_pending + block;
        }
        reset();
        try {
            m_detached = CSignedData::IsDetached(block);
        } catch (const CError& error) {
            if (error.getCode() == static_cast<int32_t>(ERROR_MORE_DATA) && !final &&
                block.getSize() < MaxPendingStartBytes) {
                m_pending = block;
                return;
            }
            throw;
        }
        m_state = SignedStateReading;
        openToDecode();
    } else if (m_state != SignedStateReading) {
        reset();
        throw CCryptError(101303, NoErrorCode);
    }

    m_collectOutput = !m_detached && output != nullptr;
    if (m_collectOutput) {
        m_outputCount = 0;
        try {
            m_output.setData(static_cast<size_t>(static_cast<double>(block.getSize()) * 1.1) + 1, nullptr);
        } catch (...) {
            reset();
            throw CCryptError(101304, static_cast<DWORD>(E_OUTOFMEMORY));
        }
    }

    if (!MsgUpdate(m_decodingMsg, block.getData(), block.getSize(), final)) {
        const DWORD error = GetLastError();
        if (GetLogLevel() >= 4)
            LogAt(4, u"PKI::CSignedData::CImpl::ImportBlock " + Vsk::Utils::GetSystemErrorText(error));
        if (error == static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO)) {
            switchToToken(block, output, final);
            return;
        }
        reset();
        if (GetLogLevel() >= 1)
            LogAt(1, u"PKI::CSignedData::CImpl::ImportBlock Signed Data Block (bFinal=" + boolWord(final) +
                         u"): " + describeBlock(block));
        throw CCryptError(101305, error);
    }
    keepForReplay(block);

    if (m_collectOutput && m_outputCount != 0 && output) output->setData(m_outputCount, m_output.getData());
    m_output.clear();
    m_outputCount = 0;
    m_collectOutput = true;

    if (final) {
        m_state = m_detached ? SignedStateDetachedRead : SignedStateIdle;
        clearReplay();
        try {
            import();
        } catch (const CCryptError&) {
            reset();
            throw;
        }
    }
}

// The decoder does not know the message's algorithm: the token road reads the message again from
// its first byte (the bytes the decoder has taken so far, then this block).
void CSignedData::CImpl::switchToToken(const CDataBlob& block, CDataBlob* output, bool final) {
    MsgClose(m_decodingMsg);
    m_output.clear();
    m_outputCount = 0;
    m_collectOutput = true;
    if (!m_replayComplete) {
        reset();
        throw CCryptError(101305, static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO));
    }
    const CDataBlob earlier =
        m_replay.empty() ? CDataBlob() : CDataBlob(m_replay.data(), m_replay.size(), true);
    clearReplay();
    if (earlier.getSize() != 0) importByToken(earlier, nullptr, false, nullptr);
    m_readingByToken = !final;
    importByToken(block, output, final, nullptr);
    if (final) m_state = m_detached ? SignedStateDetachedRead : SignedStateIdle;
}

void CSignedData::CImpl::ImportBlockClearData(const CDataBlob& block, bool final) {
    CLock lock(this);
    if (block.getSize() == 0) {
        reset();
        throw CCryptError(101301, NoErrorCode);
    }
    if (m_state != SignedStateDetachedRead) {
        reset();
        throw CCryptError(101303, NoErrorCode);
    }
    if (hasTokenKeyPair()) {
        digestClearData(block, final);
        if (final) m_state = SignedStateIdle;
        return;
    }
    if (!m_decodingMsg) openToDecode();
    m_collectOutput = false;
    const BOOL ok = MsgUpdate(m_decodingMsg, block.getData(), block.getSize(), final);
    m_collectOutput = true;
    if (!ok) {
        const DWORD error = GetLastError();
        reset();
        if (GetLogLevel() >= 1)
            LogAt(1, u"PKI::CSignedData::CImpl::ImportBlockClearData Clear Data Block (bFinal=" +
                         boolWord(final) + u"): " + describeBlock(block));
        throw CCryptError(101306, error);
    }
    if (final) {
        m_state = SignedStateIdle;
        try {
            import();
        } catch (const CCryptError&) {
            reset();
            throw;
        }
    }
}

void CSignedData::CImpl::import() {
    CLock lock(this);
    CLogScope scope("Vsk::PKI::CSignedData::CImpl::import", 4);
    if (!m_decodingMsg) throw CCryptError(101001, NoErrorCode);
    DWORD type = 0;
    DWORD size = sizeof(type);
    if (!MsgGetParam(m_decodingMsg, CMSG_TYPE_PARAM, 0, &type, &size))
        throw CCryptError(101002, LastErrorCode);
    if (type != CMSG_SIGNED) throw CCryptError(101003, NoErrorCode);
    size = sizeof(m_signerCount);
    if (!MsgGetParam(m_decodingMsg, CMSG_SIGNER_COUNT_PARAM, 0, &m_signerCount, &size)) {
        m_signerCount = 0;
        throw CCryptError(101004, LastErrorCode);
    }
    DWORD certCount = 0;
    size = sizeof(certCount);
    if (!MsgGetParam(m_decodingMsg, CMSG_CERT_COUNT_PARAM, 0, &certCount, &size))
        throw CCryptError(101005, LastErrorCode);
    HCERTSTORE store = OpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (!store) throw CCryptError(101006, LastErrorCode);

    try {
        for (DWORD i = 0; i < certCount; ++i) {
            DWORD certSize = 0;
            if (!MsgGetParam(m_decodingMsg, CMSG_CERT_PARAM, i, nullptr, &certSize))
                throw CCryptError(101007, LastErrorCode);
            CDataBlob cert;
            try {
                cert.setData(certSize, nullptr);
            } catch (const CError& error) {
                throw CCryptError::CCryptErrorFromError(101008, error);
            }
            if (!MsgGetParam(m_decodingMsg, CMSG_CERT_PARAM, i, cert.getData(), &certSize))
                throw CCryptError(101009, LastErrorCode);
            if (!CertAddEncodedCertificateToStore(store, EncodingType, cert.getData(), certSize,
                                                  CERT_STORE_ADD_ALWAYS, nullptr))
                throw CCryptError(101010, LastErrorCode);
        }
        m_signatures.clear();
        for (DWORD j = 0; j < m_signerCount; ++j) {
            CSignature signature(&m_state);
            signature.create(j, m_decodingMsg, store);
            if (m_dataHash.getSize() == 0) m_dataHash = signature.get_MessageDigest();
            m_signatures.push_back(signature);
        }
    } catch (const CError& error) {
        CloseStore(store);
        // A plain CError that keeps the step's number (CError(text, number) would take it for a
        // system code and leave the number 0).
        throw CError(error);
    }
    CloseStore(store);
}

// ---- Static operations ----------------------------------------------------------------------------------

bool CSignedData::IsDetached(const CDataBlob& start) {
    CLogScope scope("Vsk::PKI::CSignedData::IsDetached", 4,
                    ToWString(static_cast<uint64_t>(start.getSize())));
    Vsk::ASN1::CSequence contentInfo;
    std::vector<CDataBlob> contents;
    const int result = parsePKCS7Signed(start, contentInfo, nullptr, &contents, nullptr, nullptr, nullptr);
    if (result == 1)
        throw CCryptError::CCryptErrorTextW(101203, u"Недостаточно данных для определения типа подписи.",
                                            static_cast<DWORD>(ERROR_MORE_DATA));
    bool detached = true;
    for (const CDataBlob& content : contents)
        if (content.getSize() != 0) detached = false;
    if (GetLogLevel() >= 3) scope.setResult(detached);
    return detached;
}

void createHashForSignVerify(const CCertificate& cert, CHash& hash, HCRYPTKEY* key, bool silent) {
    const PCCERT_CONTEXT context = cert.get_CertContext();
    if (!context || !context->pCertInfo)
        throw CError(CWString(u"Не задан сертификат для проверки подписи."),
                     static_cast<HRESULT>(E_INVALIDARG));
    const Vsk::Utils::CRefPtr<CAlgorithm> algorithm = cert.getPublicKeyAlgorithm();
    if (!algorithm) throw CError(CWString(u"Не получен алгоритм публичного ключа сертификата"), NoErrorCode);
    const CSPInfoArray providers = algorithm->getProviders();
    if (providers.getCount() == 0)
        throw CError(CWString(u"Отсутствует криптпровайдер, поддерживащий алгоритм ") + algorithm->toString(),
                     NoErrorCode);
    // The last provider that is no hardware module; the first when every one is.
    CSPInfo* provider = providers[0].get();
    for (size_t i = providers.getCount(); i-- > 0;) {
        if (!CSPInfo::isHSM(providers[i]->m_name)) {
            provider = providers[i].get();
            break;
        }
    }
    Vsk::Utils::CArray<CAString> hashOids;
    cert.getPossibleHashAlgorithms(hashOids);
    if (hashOids.getCount() == 0)
        throw CError(CWString(u"Не найдены алгоритмы хеширования по сертификату ") + cert.getText(),
                     LastErrorCode);
    CHoldCSP verifyContext =
        provider->acquireContext(nullptr, CRYPT_VERIFYCONTEXT | (silent ? CRYPT_SILENT : 0));
    if (!verifyContext.isAcquired())
        throw CError(CWString(u"Получение контекста криптопровайдера"), LastErrorCode);
    if (!ImportPublicKeyInfo(verifyContext.get_hCryptProv(), context->dwCertEncodingType,
                             &context->pCertInfo->SubjectPublicKeyInfo, key))
        throw CError(CWString(u"Импорт публичного ключа сертификата"), LastErrorCode);
    try {
        if (GetLogLevel() >= 4)
            LogAt(4, u"PKI::createHashForSignVerify " + CWString(hashOids[0], Vsk::Utils::CP_PROGRAM));
        hash.createWithHoldCSP(OIDToAlgId(hashOids[0]), verifyContext);
    } catch (...) {
        DestroyKey(*key);
        throw;
    }
}

DWORD CSignedData::VerifyClearSignature(const CDataBlob& data, const CDataBlob& signature,
                                        const CCertificate& cert, bool silent) {
    CHash hash;
    HCRYPTKEY key = 0;
    createHashForSignVerify(cert, hash, &key, silent);
    KeyGuard guard{key};
    hash.addData(data);
    const BOOL ok = CryptVerifySignatureW(hash.getHashHandle(), signature.getData(), signature.getSize(), key,
                                          nullptr, 0);
    const DWORD error = ok ? 0 : GetLastError();
    DestroyKey(key);
    if (ok) return 0;
    if (GetLogLevel() >= 4)
        LogAt(4, u"PKI::CSignedData::VerifyClearSignature результат проверки подписи: " +
                     Vsk::Utils::GetSystemErrorText(error));
    if (error != static_cast<DWORD>(NTE_BAD_SIGNATURE)) throw CError(CWString(u"Проверка подписи"), error);
    return static_cast<DWORD>(NTE_BAD_SIGNATURE);
}

}  // namespace Vsk::PKI
