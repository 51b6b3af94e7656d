// The signed-data object: its handle, the signing half (CMS messages on CryptoAPI's streaming message
// functions, bare signatures with CryptSignHash) and the resets shared with the reading half.
#include "SignedDataImpl.h"

#include <vsk/pki/CertApi.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/CryptoApi.h>
#include <vsk/pki/KeyContainer.h>
#include <vsk/pki/OidNames.h>
#include <vsk/pki/ProviderChoice.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include "../../certificates/src/certHandles.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

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

const char* const ImplClassName = "PKI::CSignedData::CImpl";
constexpr DWORD EncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char SigningTimeOid[] = "1.2.840.113549.1.9.5";

CWString boolWord(bool value) {
    return value ? CWString(u"true") : CWString(u"false");
}

CWString blockArgs(const CDataBlob& block, bool final) {
    return u"size=" + ToWString(static_cast<uint64_t>(block.getSize())) + u", final=" + boolWord(final);
}

// The refusal of a bare signature whose settings ask for more than the signature itself.
[[noreturn]] void refuseClearSignature(const char16_t* what) {
    throw CError(CWString(u"Не обернутая (\"голая\") подпись не может ") + what,
                 static_cast<HRESULT>(E_INVALIDARG));
}

}  // namespace

CWString describeBlock(const CDataBlob& block) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    CWString text = u"size=" + ToWString(static_cast<uint64_t>(block.getSize()));
    if (EVP_Digest(block.getData(), block.getSize(), digest, &length, EVP_sha256(), nullptr) == 1) {
        text += u", sha256=";
        static const char16_t Hex[] = u"0123456789abcdef";
        for (unsigned int i = 0; i < length; ++i) {
            const char16_t pair[3] = {Hex[digest[i] >> 4], Hex[digest[i] & 15], 0};
            text += pair;
        }
    }
    return text;
}

// ---- Handle --------------------------------------------------------------------------------------------

CSignedData::CSignedData(bool create) {
    if (create) m_pImpl = Vsk::Utils::CRefPtr<CImpl>::create();
}

CSignedData::CSignedData(const CSignedData& other) = default;
CSignedData& CSignedData::operator=(const CSignedData& other) = default;
CSignedData::~CSignedData() = default;

CSignedData::CImpl* CSignedData::checkedImpl() const {
    m_pImpl.checkCreated();
    return m_pImpl.get();
}

void CSignedData::SignStart(const CSignSettings& settings) {
    CLogScope scope;
    if (scope.getLevel() >= 4)
        scope.enter("Vsk::PKI::CSignedData::SignStart", settings.isNull() ? CWString() : settings.getText());
    checkedImpl()->signStart(settings);
}

void CSignedData::SignBlock(const CDataBlob& block, CDataBlob* output, bool final) {
    CLogScope scope("Vsk::PKI::CSignedData::SignBlock", 4, blockArgs(block, final));
    checkedImpl()->SignBlock(block, output, final);
}

CSignature* CSignedData::GetSignature(DWORD index) {
    CLogScope scope("Vsk::PKI::CSignedData::GetSignature", 4);
    return checkedImpl()->getSignature(index);
}

void CSignedData::ImportBlock(const CDataBlob& block, CDataBlob* output, bool final) {
    CLogScope scope("Vsk::PKI::CSignedData::ImportBlock", 4, blockArgs(block, final));
    checkedImpl()->ImportBlock(block, output, final);
}

void CSignedData::ImportBlockClearData(const CDataBlob& block, bool final) {
    CLogScope scope("Vsk::PKI::CSignedData::ImportBlockClearData", 4, blockArgs(block, final));
    checkedImpl()->ImportBlockClearData(block, final);
}

CDataBlob CSignedData::getSigningTimeBlob(const FILETIME* time) {
    FILETIME now{};
    if (!time) {
        GetSystemTimeAsFileTime(&now);
        if (now.dwHighDateTime == 0 && now.dwLowDateTime == 0) throw CCryptError(100601, LastErrorCode);
        time = &now;
    }
    CDataBlob encoded;
    if (!EncodeObject(EncodingType, SigningTimeOid, time, &encoded)) throw CCryptError(100602, LastErrorCode);
    return encoded;
}

// ---- Implementation
// ----------------------------------------------------------------------------------------

CSignedData::CImpl::CImpl()
    : CExtSigned(&m_hash, &m_settings, &m_encodingMsg, &m_output, &m_outputCount),
      CTokenSigned(&m_dataHash, &m_settings, &m_signatures, &m_signerCount, &m_state) {
    m_streamInfo.cbContent = CMSG_INDEFINITE_LENGTH;
    m_streamInfo.pfnStreamOutput = &CImpl::SignedCallback;
    m_streamInfo.pvArg = this;
    m_signingTimeAttr.pszObjId = const_cast<char*>(SigningTimeOid);
    countLiveObject(ImplClassName, this, 1, "PKI::CSignedData::CImpl::CImpl");
}

CSignedData::CImpl::~CImpl() {
    try {
        reset();
        countLiveObject(ImplClassName, this, -1, "PKI::CSignedData::CImpl::~CImpl");
    } catch (...) {
        // A destructor raises nothing: the handles were closed as far as they could be.
    }
}

BOOL CSignedData::CImpl::SignedCallback(const void* arg, BYTE* data, DWORD size, BOOL final) {
    CLogScope scope;
    if (scope.getLevel() >= 5)
        scope.enter("Vsk::PKI::CSignedData::CImpl::SignedCallback",
                    u"cbData=" + ToWString(static_cast<uint64_t>(size)) + u", fFinal=" +
                        ToWString(static_cast<int64_t>(final)));
    auto* impl = static_cast<CImpl*>(const_cast<void*>(arg));
    if (!impl || !data || size == 0) return TRUE;
    CLock lock(impl);
    if (!impl->m_collectOutput) return TRUE;
    try {
        const size_t needed = static_cast<size_t>(impl->m_outputCount) + size;
        const size_t capacity = impl->m_output.getSize();
        if (capacity < needed)
            impl->m_output.setData(capacity + std::max<size_t>(size, capacity / 10), nullptr);
        std::memcpy(impl->m_output.getData() + impl->m_outputCount, data, size);
        impl->m_outputCount += size;
    } catch (...) {
        impl->m_output.clear();
        impl->m_outputCount = 0;
        SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
        return FALSE;
    }
    return TRUE;
}

void CSignedData::CImpl::signStart(const CSignSettings& settings) {
    CLock lock(this);
    reset();
    if (settings.isNull()) throw CCryptError(101601, NoErrorCode);
    const CCertificate* signer = settings.get_SignerCert();
    if (!signer || !signer->get_CertContext()) throw CCryptError(101602, NoErrorCode);
    m_settings = CSignSettings(&settings);
    if (m_settings.get_HSMToCSPOptimization()) hsmOptimSignStart(m_settings);

    m_keySpec = 0;
    m_signedInfo = CMSG_SIGNED_ENCODE_INFO{};
    m_signerInfo = CMSG_SIGNER_ENCODE_INFO{};
    m_signedInfo.cbSize = sizeof(CMSG_SIGNED_ENCODE_INFO);
    m_signedInfo.cSigners = 1;
    m_signedInfo.rgSigners = &m_signerInfo;
    m_signerInfo.cbSize = sizeof(CMSG_SIGNER_ENCODE_INFO);

    try {
        if (const CKeyContainer* container = m_settings.get_KeyContainer()) {
            container->get_CommonSettings().put_Silent(m_settings.get_CommonSettings().get_Silent());
            m_signingProv = container->get_hCryptProv();
            m_keySpec = container->get_KeySpec();
        } else {
            const DWORD flags = m_settings.get_CommonSettings().get_Silent() ? CRYPT_ACQUIRE_SILENT_FLAG : 0;
            m_signingProv =
                signer->AcquirePrivateKey(&m_keySpec, flags, m_settings.get_AutoBindWithKeyContainer());
        }
    } catch (const CError&) {
        // A key CryptoAPI cannot reach may lie on a token.
        if (CTokenSigned::signStart(m_settings)) return;
        throw;
    }
    m_settings.ApplyKeysetPassword(m_signingProv.get_hCryptProv(), m_keySpec);
    if (m_settings.get_ClearSignature()) return;

    m_signerInfo.pCertInfo = signer->get_CertContext()->pCertInfo;
    m_signerInfo.hCryptProv = m_signingProv.get_hCryptProv();
    m_signerInfo.dwKeySpec = m_keySpec;
    m_hashAlgorithm = CAString(m_settings.get_HashAlgorithm(false), Vsk::Utils::CP_PROGRAM);
    m_signerInfo.HashAlgorithm.pszObjId = const_cast<char*>(m_hashAlgorithm.c_str());
    if (m_settings.get_IncludeDateTime()) {
        try {
            m_signingTime = CSignedData::getSigningTimeBlob(m_settings.get_SigningTime());
        } catch (const CCryptError&) {
            reset();
            throw;
        }
        m_signingTimeValue.cbData = static_cast<DWORD>(m_signingTime.getSize());
        m_signingTimeValue.pbData = m_signingTime.getData();
        m_signingTimeAttr.cValue = 1;
        m_signingTimeAttr.rgValue = &m_signingTimeValue;
        m_signerInfo.cAuthAttr = 1;
        m_signerInfo.rgAuthAttr = &m_signingTimeAttr;
    }
    if (m_settings.get_IncludeSignerCert()) {
        const PCCERT_CONTEXT context = signer->get_CertContext();
        m_signerCertBlob.cbData = context->cbCertEncoded;
        m_signerCertBlob.pbData = context->pbCertEncoded;
        m_signedInfo.cCertEncoded = 1;
        m_signedInfo.rgCertEncoded = &m_signerCertBlob;
    }
    openToEncode();
    m_detached = m_settings.get_Detached();
}

void CSignedData::CImpl::openToEncode() {
    MsgClose(m_encodingMsg);
    m_encodingMsg = CryptMsgOpenToEncode(EncodingType, 0, CMSG_SIGNED, &m_signedInfo, nullptr, &m_streamInfo);
    if (!m_encodingMsg) {
        const DWORD error = GetLastError();
        reset();
        throw CCryptError(101606, error);
    }
    if (GetLogLevel() >= 4)
        LogAt(4,
              u"PKI::CSignedData::CImpl::openToEncode " + ToWString(static_cast<const void*>(m_encodingMsg)));
}

void CSignedData::CImpl::openToDecode() {
    if (m_decodingMsg) return;
    m_decodingMsg = CryptMsgOpenToDecode(EncodingType, m_detached ? CMSG_DETACHED_FLAG : 0, 0,
                                         m_decodingProv.get_hCryptProv(), nullptr, &m_streamInfo);
    if (!m_decodingMsg) {
        const DWORD error = GetLastError();
        reset();
        throw CCryptError(101302, error);
    }
    if (GetLogLevel() >= 4)
        LogAt(4,
              u"PKI::CSignedData::CImpl::openToDecode " + ToWString(static_cast<const void*>(m_decodingMsg)));
}

// The decoder of the signing road reads nothing but the encoder's output: it takes the encoder's
// content digest rather than hashing every block a second time.
void CSignedData::CImpl::openToDecodeOwnOutput() {
    openToDecode();
    if (!VskCryptMsgReadEncoderOutput(m_decodingMsg, m_encodingMsg) && GetLogLevel() >= 4)
        LogAt(4, u"PKI::CSignedData::CImpl::openToDecodeOwnOutput " +
                     Vsk::Utils::GetSystemErrorText(GetLastError()));
}

void CSignedData::CImpl::SignBlock(const CDataBlob& block, CDataBlob* output, bool final) {
    CLock lock(this);
    if (block.getSize() == 0) {
        reset();
        throw CCryptError(101701, static_cast<DWORD>(ERROR_INVALID_DATA));
    }
    const bool clear = !m_settings.isNull() && m_settings.get_ClearSignature();
    if (clear) {
        if (!m_settings.get_Detached()) refuseClearSignature(u"быть присоединенной.");
        if (m_settings.get_IncludeSignerCert()) refuseClearSignature(u"содержать сертификат.");
        if (m_settings.get_IncludeDateTime()) refuseClearSignature(u"содержать дату-время.");
        if (m_settings.get_IncludeTimestamp()) refuseClearSignature(u"содержать штамп времени.");
    } else if (!m_settings.isNull() && m_settings.get_IncludeTimestamp()) {
        // A time stamp is never requested by this system: asking for one is refused rather than
        // silently left out of the message.
        reset();
        throw CError(
            CWString(
                u"Подпись не может содержать штамп времени: получение штампа времени не поддерживается."),
            static_cast<HRESULT>(E_NOTIMPL));
    }

    if (hasTokenKeyPair()) {
        if (clear) {
            clearSignBlock(block, output, final);
            if (final) {
                m_state = SignedStateIdle;
                m_detached = true;
                CTokenSigned::reset();
            }
        } else {
            cmsSignBlock(block, output, final);
            if (final) {
                m_state = SignedStateIdle;
                m_detached = m_settings.get_Detached();
                CTokenSigned::reset();
            }
        }
        return;
    }

    if (clear) {
        if (m_signingProv.get_hCryptProv() == 0) throw CCryptError(101709, NoErrorCode);
        try {
            if (m_hash.getHoldCSP().get_hCryptProv() == 0)
                m_hash.createWithHoldCSP(
                    OIDToAlgId(CAString(m_settings.get_HashAlgorithm(false), Vsk::Utils::CP_PROGRAM)),
                    m_signingProv);
            m_hash.addData(block);
        } catch (...) {
            reset();
            throw;
        }
        if (!final) return;
        DWORD error = 0;
        CDataBlob signature = Vsk::PKI::SignHash(m_hash.getHashHandle(), m_keySpec, &error);
        reset();
        if (signature.getSize() == 0) throw CError(CWString(u"Подпись хэша"), error);
        if (output) *output = signature;
        m_state = SignedStateIdle;
        m_detached = true;
        return;
    }

    if (!m_encodingMsg) throw CCryptError(101709, NoErrorCode);

    if (m_settings.get_HSMToCSPOptimization()) {
        CDataBlob temp;
        bool handled = false;
        try {
            handled = hsmOptimSignBlock(block, temp, final);
        } catch (...) {
            reset();
            throw;
        }
        if (handled) {
            if (output) {
                if (!m_settings.get_Detached()) throw Vsk::Utils::NotImplementedError(__FILE__, __LINE__);
                *output = temp;
            }
            if (final) {
                reset();
                ImportBlock(temp, nullptr, true);
                m_state = SignedStateIdle;
                m_detached = m_settings.get_Detached();
            }
            return;
        }
        if (GetLogLevel() >= 1)
            LogAt(1, u"PKI::CSignedData::CImpl::SignBlock " + m_settings.getText() + u", hCryptProv=" +
                         ToWString(static_cast<uint64_t>(m_signerInfo.hCryptProv)));
    }

    // Ordinary CMS road: the encoder's output goes through the callback into the output buffer and
    // from there into the decoder, which keeps the signers and re-encodes a detached message.
    m_outputCount = 0;
    try {
        m_output.setData(static_cast<size_t>((static_cast<double>(block.getSize()) + 8192.0) * 1.1), nullptr);
    } catch (...) {
        reset();
        throw CCryptError(101703, static_cast<DWORD>(E_OUTOFMEMORY));
    }
    m_collectOutput = true;
    if (GetLogLevel() >= 4)
        LogAt(4, u"PKI::CSignedData::CImpl::SignBlock Before encode block, size=" +
                     ToWString(static_cast<uint64_t>(block.getSize())));
    if (!MsgUpdate(m_encodingMsg, block.getData(), static_cast<DWORD>(block.getSize()), final)) {
        const DWORD error = GetLastError();
        reset();
        throw CCryptError(101704, error);
    }
    if (GetLogLevel() >= 4) LogAt(4, u"PKI::CSignedData::CImpl::SignBlock After encode block");

    m_collectOutput = false;
    if (!m_decodingMsg) openToDecodeOwnOutput();
    if (GetLogLevel() >= 4)
        LogAt(4, u"PKI::CSignedData::CImpl::SignBlock Before decode block, size=" +
                     ToWString(static_cast<uint64_t>(m_outputCount)));
    if (!MsgUpdate(m_decodingMsg, m_output.getData(), m_outputCount, final)) {
        const DWORD first = GetLastError();
        bool mended = false;
        if (first == static_cast<DWORD>(NTE_BAD_ALGID) && m_decodingProv.get_hCryptProv() == 0) {
            // The default provider lacks the message's algorithm: once more with a GOST provider.
            m_decodingProv = CSPFromSupportedAID(CALG_GR3410EL, CRYPT_VERIFYCONTEXT, nullptr);
            if (m_decodingProv.get_hCryptProv() != 0) {
                MsgClose(m_decodingMsg);
                openToDecodeOwnOutput();
                mended = MsgUpdate(m_decodingMsg, m_output.getData(), m_outputCount, final) != FALSE;
                if (!mended) {
                    const DWORD again = GetLastError();
                    if (again != 0 && GetLogLevel() >= 1)
                        LogAt(1, u"PKI::CSignedData::CImpl::SignBlock MsgUpdate " +
                                     Vsk::Utils::GetSystemErrorText(again));
                }
            }
        }
        if (!mended) {
            reset();
            throw CCryptError(101705, first);
        }
    }
    if (GetLogLevel() >= 4) LogAt(4, u"PKI::CSignedData::CImpl::SignBlock After decode block");

    if (!m_detached) {
        if (output) {
            if (m_outputCount == 0) {
                output->clear();
            } else {
                output->setData(m_outputCount, m_output.getData());
            }
        }
    } else if (!final) {
        m_output.clear();
        m_outputCount = 0;
        if (output) output->clear();
    } else if (output) {
        m_state = SignedStateIdle;
        m_output = getEncoded();
        *output = m_output;
    }
    m_output.clear();
    m_outputCount = 0;
    m_collectOutput = true;
    if (final) {
        try {
            import();
        } catch (const CCryptError&) {
            reset();
            throw;
        }
        if (CSignature* first = getSignature(0)) first->put_SignerCert(m_settings.get_SignerCert());
        resetSigning();
    }
}

CDataBlob CSignedData::CImpl::getEncoded() {
    CLock lock(this);
    if (getContentInfo().getCount() != 0) return getContentInfo().encode();
    if (m_decodingMsg) {
        if (m_state != SignedStateIdle && m_state != SignedStateDetachedRead)
            throw CCryptError(101403, NoErrorCode);
        DWORD size = 0;
        if (!MsgGetParam(m_decodingMsg, CMSG_ENCODED_MESSAGE, 0, nullptr, &size))
            throw CCryptError(101404, LastErrorCode);
        CDataBlob encoded;
        try {
            encoded.setData(size, nullptr);
        } catch (...) {
            throw CCryptError(101405, static_cast<DWORD>(E_OUTOFMEMORY));
        }
        if (!MsgGetParam(m_decodingMsg, CMSG_ENCODED_MESSAGE, 0, encoded.getData(), &size))
            throw CCryptError(101406, LastErrorCode);
        if (size < encoded.getSize()) encoded = encoded.getBlock(0, size).clone();
        return encoded;
    }
    if (m_dataHash.getSize() == 0) throw CCryptError(101402, NoErrorCode);
    return signDataHash(m_dataHash);
}

CDataBlob CSignedData::CImpl::signDataHash(const CDataBlob& hash) {
    CLock lock(this);
    if (hash.getSize() == 0) {
        reset();
        throw CCryptError(CError(CWString(u"Хэш данных пуст"), NoErrorCode));
    }
    if (m_settings.isNull() || !m_settings.get_Detached())
        throw CCryptError(
            CError(CWString(u"Подпись хэша данных может быть только отсоединенной"), NoErrorCode));
    if (!m_encodingMsg && !hasTokenKeyPair()) signStart(CSignSettings(&m_settings));
    const bool clear = m_settings.get_ClearSignature();
    CDataBlob result;
    if (hasTokenKeyPair()) {
        if (clear)
            signHash(&result, hash);
        else
            cmsSign(&result, CDataBlob(), hash, m_settings);
        CTokenSigned::reset();
        return result;
    }
    if (clear) {
        if (m_hash.getHoldCSP().get_hCryptProv() == 0)
            m_hash.createWithHoldCSP(
                OIDToAlgId(CAString(m_settings.get_HashAlgorithm(false), Vsk::Utils::CP_PROGRAM)),
                m_signingProv);
        m_hash.setInitialValue(hash);
        DWORD error = 0;
        result = Vsk::PKI::SignHash(m_hash.getHashHandle(), m_keySpec, &error);
        if (result.getSize() == 0) throw CError(CWString(u"Подпись хэша"), error);
        return result;
    }
    if (!m_encodingMsg) throw CCryptError(101709, NoErrorCode);
    if (!cmsSignHash(hash, result)) {
        const DWORD error = GetLastError();
        reset();
        throw CError(CWString(u"Подпись хэша данных"), error);
    }
    const bool detached = m_detached;
    reset();
    ImportBlock(result, nullptr, true);
    m_detached = detached;
    m_state = SignedStateIdle;
    return result;
}

CSignature* CSignedData::CImpl::getSignature(DWORD index) {
    CLock lock(this);
    if (index >= m_signerCount) return nullptr;
    for (CSignature& signature : m_signatures)
        if (!signature.isNull() && signature.get_Index() == index) return &signature;
    return nullptr;
}

void CSignedData::CImpl::resetSigning() {
    CLock lock(this);
    m_output.clear();
    m_outputCount = 0;
    // The external-hash road reads the encoder's output through the callback as well.
    m_collectOutput = true;
    MsgClose(m_encodingMsg);
    m_signingProv = CHoldCSP();
    m_signingTime.clear();
    m_signerCertBlob = CERT_BLOB{};
    m_pending.clear();
    CExtSigned::reset();
    m_state = SignedStateIdle;
}

void CSignedData::CImpl::reset() {
    CLock lock(this);
    CTokenSigned::reset();
    m_signatures.clear();
    m_signerCount = 0;
    resetSigning();
    MsgClose(m_decodingMsg);
    m_decodingProv = CHoldCSP();
    clearReplay();
    m_readingByToken = false;
}

void CSignedData::CImpl::keepForReplay(const CDataBlob& block) {
    if (!m_replayComplete) return;
    if (m_replay.size() + block.getSize() > MaxReplayBytes) {
        std::vector<BYTE>().swap(m_replay);
        m_replayComplete = false;
        return;
    }
    m_replay.insert(m_replay.end(), block.getData(), block.getData() + block.getSize());
}

void CSignedData::CImpl::clearReplay() {
    std::vector<BYTE>().swap(m_replay);
    m_replayComplete = true;
}

}  // namespace Vsk::PKI
