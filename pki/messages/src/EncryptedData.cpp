// The enveloped-data object: the handle, the encryption half (message road through the system's
// enveloped message encoder, raw session-key road, token road), the stream callback that collects
// what a message emits, and the return to idle.
#include "EncryptedDataImpl.h"
#include "EncryptedDataLog.h"

#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/CryptError.h>
#include <vsk/utils/logScope.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace Vsk::PKI {

using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CLock;
using Vsk::Utils::CWString;
using Vsk::Utils::ToWString;

namespace {

std::atomic<int64_t> g_liveObjects{0};

[[noreturn]] void raiseNoSessionKey() {
    throw CCryptError(CError(CWString(u"Не был задан сессионный ключ!"), DWORD(0)));
}

CWString blockArguments(const CDataBlob& input, bool final) {
    return u"size=" + ToWString(input.getSize()) + u", final=" + (final ? u"true" : u"false");
}

}  // namespace

// ---- Handle -----------------------------------------------------------------------------------------------

CEncryptedData::CEncryptedData(bool create) {
    if (create) m_pImpl = Vsk::Utils::CRefPtr<CImpl>::create();
}
CEncryptedData::CEncryptedData(const CEncryptedData& other) = default;
CEncryptedData& CEncryptedData::operator=(const CEncryptedData& other) = default;
CEncryptedData::~CEncryptedData() = default;

CEncryptedData::CImpl* CEncryptedData::checked() const {
    m_pImpl.checkCreated();
    return m_pImpl.get();
}

CEncryptSettings& CEncryptedData::EncryptSettings() {
    CImpl* impl = checked();
    EncryptedDataLog::write(4, "CEncryptedData::EncryptSettings", ToWString(&impl->m_encryptSettings));
    return impl->m_encryptSettings;
}

CDecryptSettings& CEncryptedData::DecryptSettings() {
    CImpl* impl = checked();
    EncryptedDataLog::write(4, "CEncryptedData::DecryptSettings", ToWString(&impl->m_decryptSettings));
    return impl->m_decryptSettings;
}

void CEncryptedData::EncryptStart() {
    CImpl* impl = checked();
    Vsk::InternalUtils::CLogScope scope("Vsk::PKI::CEncryptedData::EncryptStart", 4);
    impl->EncryptStart();
}

CDataBlob CEncryptedData::EncryptBlock(const CDataBlob& input, bool final) {
    CImpl* impl = checked();
    Vsk::InternalUtils::CLogScope scope("Vsk::PKI::CEncryptedData::EncryptBlock", 4,
                                        blockArguments(input, final));
    return impl->EncryptBlock(input, final);
}

void CEncryptedData::DecryptStart() {
    CImpl* impl = checked();
    Vsk::InternalUtils::CLogScope scope("Vsk::PKI::CEncryptedData::DecryptStart", 4);
    impl->DecryptStart();
}

CDataBlob CEncryptedData::DecryptBlock(const CDataBlob& input, bool final) {
    CImpl* impl = checked();
    Vsk::InternalUtils::CLogScope scope("Vsk::PKI::CEncryptedData::DecryptBlock", 4,
                                        blockArguments(input, final));
    return impl->DecryptBlock(input, final);
}

void CEncryptedData::put_SessionKey(const CSessionKey& key) {
    CImpl* impl = checked();
    CLock lock(impl);
    impl->m_sessionKey = key;
    impl->m_sessionKeyFromCaller = key.getImpl() != nullptr;
    if (!impl->m_sessionKeyFromCaller) impl->freshSessionKey();
}

CSessionKey CEncryptedData::get_SessionKey() const {
    CImpl* impl = checked();
    CLock lock(impl);
    return impl->m_sessionKey;
}

// ---- Implementation ---------------------------------------------------------------------------------------

CEncryptedData::CImpl::CImpl() : m_decryptCertificate() {
    m_streamInfo.cbContent = CMSG_INDEFINITE_LENGTH;
    m_streamInfo.pfnStreamOutput = &CImpl::EncryptedDataCallback;
    m_streamInfo.pvArg = this;
    m_pRecipientCertificates = &m_recipientCertificates;
    m_pCmsRecipientInfo = &m_cmsRecipientInfo;
    m_pDecryptCertificate = &m_decryptCertificate;
    m_pHoldCSP = &m_holdCSP;
    m_pDecryptSettings = &m_decryptSettings;
    m_pOwnerEncryptSettings = &m_encryptSettings;
    m_pOwnerDecryptSettings = &m_decryptSettings;
    m_pOwnerReaderHasBlock = &m_readerHasBlock;
    m_pEnvelopeAlgorithm = &m_envelopeAlgorithm;
    freshSessionKey();
    const int64_t live = ++g_liveObjects;
    EncryptedDataLog::write(5, "CEncryptedData::CImpl::CImpl",
                            CWString(u"Vsk::PKI::CEncryptedData::CImpl ") +
                                ToWString(static_cast<const void*>(this)) + u" " + ToWString(live));
}

CEncryptedData::CImpl::~CImpl() {
    try {
        reset();
        clearRecipients();
    } catch (...) {
    }
    const int64_t live = --g_liveObjects;
    EncryptedDataLog::write(5, "CEncryptedData::CImpl::~CImpl",
                            CWString(u"Vsk::PKI::CEncryptedData::CImpl ") +
                                ToWString(static_cast<const void*>(this)) + u" " + ToWString(live));
}

void CEncryptedData::CImpl::freshSessionKey() {
    m_sessionKey = CSessionKey(true);
    m_sessionKey.put_TokenSessionKey(tokenSessionKey());
    m_sessionKeyFromCaller = false;
}

void CEncryptedData::CImpl::EncryptStart() {
    CLock lock(this);
    CSPInfo* provider = m_encryptSettings.get_Provider();
    EncryptedDataLog::write(
        4, "CEncryptedData::CImpl::EncryptStart",
        provider ? provider->m_name
                 : (m_encryptSettings.get_ProviderName() ? CWString(m_encryptSettings.get_ProviderName())
                                                         : CWString()));
    if (provider && provider->isToken()) {
        // A message given up half-way is not continued: the token road starts afresh.
        CTokenEncrypted::reset();
        putKeyPair(Vsk::PKCS11::CTokenKeyPair(&provider->m_token));
        return;
    }
    if (m_encryptSettings.get_UseSessionKey()) {
        if (!m_sessionKey.isCreated()) raiseNoSessionKey();
        return;
    }
    reset();
    const Vsk::Utils::CArray<CCertificate>& recipients = m_encryptSettings.get_RecipientCertificates();
    if (recipients.isEmpty()) throw CCryptError(180301, DWORD(-1));
    auto* array = static_cast<PCERT_INFO*>(std::calloc(recipients.getCount(), sizeof(PCERT_INFO)));
    if (!array) {
        reset();
        throw CCryptError(180302, DWORD(ERROR_NOT_ENOUGH_MEMORY));
    }
    DWORD count = 0;
    for (size_t i = 0; i < recipients.getCount(); ++i) {
        PCCERT_CONTEXT context = recipients[i].get_CertContext();
        if (context) array[count++] = context->pCertInfo;
    }
    HCRYPTPROV hProv = 0;
    const int type = m_encryptSettings.get_ProviderType();
    const WCHAR* name = m_encryptSettings.get_ProviderName();
    if (!CryptAcquireContextW(&hProv, nullptr, name, static_cast<DWORD>(type), CRYPT_VERIFYCONTEXT)) {
        const DWORD code = GetLastError();
        std::free(array);
        reset();
        throw CCryptError(
            180303, u"ProviderType " + ToWString(type) + u" " + (name ? CWString(name) : CWString()), code);
    }
    EncryptedDataLog::write(4, "CEncryptedData::CImpl::EncryptStart",
                            u"hCryptProv=" + ToWString(static_cast<uint64_t>(hProv)));
    auto* info = static_cast<CMSG_ENVELOPED_ENCODE_INFO*>(std::calloc(1, sizeof(CMSG_ENVELOPED_ENCODE_INFO)));
    if (!info) {
        CryptReleaseContext(hProv, 0);
        std::free(array);
        reset();
        throw CCryptError(180304, DWORD(ERROR_NOT_ENOUGH_MEMORY));
    }
    const CAString oid(m_encryptSettings.get_EncryptAlgorithm(false), 1251);
    info->cbSize = sizeof(CMSG_ENVELOPED_ENCODE_INFO);
    info->hCryptProv = hProv;
    info->ContentEncryptionAlgorithm.pszObjId = const_cast<char*>(oid.c_str());
    info->pvEncryptionAuxInfo = nullptr;
    info->cRecipients = count;
    info->rgpRecipients = array;
    m_encodeInfo = info;
    m_msg = CryptMsgOpenToEncode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CMSG_ENVELOPED, info, nullptr,
                                 &m_streamInfo);
    info->ContentEncryptionAlgorithm.pszObjId = nullptr;
    if (!m_msg) {
        const DWORD code = GetLastError();
        reset();
        throw CCryptError(180305, code);
    }
    EncryptedDataLog::write(4, "CEncryptedData::CImpl::EncryptStart",
                            u"hMsg=" + ToWString(static_cast<const void*>(m_msg)));
}

CDataBlob CEncryptedData::CImpl::takeOutput() {
    CDataBlob result = m_written ? m_output.getBlock(0, m_written) : CDataBlob();
    return result;
}

CDataBlob CEncryptedData::CImpl::EncryptBlock(const CDataBlob& input, bool final) {
    CLock lock(this);
    if (input.getSize() == 0) {
        reset();
        throw CCryptError(180401, DWORD(ERROR_INVALID_DATA));
    }
    if (m_encryptSettings.get_UseSessionKey()) {
        if (!m_sessionKey.isCreated() || !m_sessionKey.get_hKey()) raiseNoSessionKey();
        const HCRYPTKEY hKey = m_sessionKey.get_hKey();
        DWORD length = input.getSize();
        if (!CryptEncrypt(hKey, 0, final, 0, nullptr, &length, input.getSize()))
            throw CCryptError(CError(CWString(u"Определение размера шифровки"), DWORD(GetLastError())));
        CDataBlob buffer(std::max<size_t>(length, input.getSize()));
        std::memcpy(buffer.getData(), input.getData(), input.getSize());
        DWORD size = input.getSize();
        if (!CryptEncrypt(hKey, 0, final, 0, buffer.getData(), &size, buffer.getSize()))
            throw CCryptError(CError(CWString(u"Шифрование"), DWORD(GetLastError())));
        return buffer.getBlock(0, size);
    }
    if (hasKeyPair()) return cmsEncryptBlock(input, final);
    if (!m_msg || !m_encodeInfo) {
        reset();
        throw CCryptError(180402, DWORD(-1));
    }
    m_written = 0;
    try {
        const size_t want = static_cast<size_t>((static_cast<double>(input.getSize()) + 8192.0) * 1.1);
        if (m_output.getSize() < want) m_output = CDataBlob(want);
    } catch (const std::exception&) {
        reset();
        throw CCryptError(180403, DWORD(ERROR_NOT_ENOUGH_MEMORY));
    }
    if (!CryptMsgUpdate(m_msg, input.getData(), input.getSize(), final)) {
        const DWORD code = GetLastError();
        reset();
        throw CCryptError(180404, code);
    }
    CDataBlob result = takeOutput().clone();
    if (final) reset();
    return result;
}

BOOL CEncryptedData::CImpl::EncryptedDataCallback(const void* arg, BYTE* data, DWORD size, BOOL) {
    EncryptedDataLog::write(5, "CEncryptedData::CImpl::EncryptedDataCallback", u"cbData=" + ToWString(size));
    if (!arg) return FALSE;
    if (!data || !size) return TRUE;
    auto* impl = const_cast<CImpl*>(static_cast<const CImpl*>(arg));
    CLock lock(impl);
    try {
        const size_t have = impl->m_output.getSize();
        if (static_cast<uint64_t>(impl->m_written) + size > have) {
            const size_t grown = have + std::max<size_t>(size, static_cast<size_t>(have * 0.1));
            CDataBlob bigger(grown);
            if (impl->m_written) std::memcpy(bigger.getData(), impl->m_output.getData(), impl->m_written);
            // The old buffer may hold plaintext of a decryption: wiped before it is let go.
            if (have) impl->m_output.zeroFill();
            impl->m_output = bigger;
        }
        std::memcpy(impl->m_output.getData() + impl->m_written, data, size);
        impl->m_written += size;
        return TRUE;
    } catch (...) {
        impl->m_output.clear();
        impl->m_written = 0;
        return FALSE;
    }
}

void CEncryptedData::CImpl::reset() {
    CLock lock(this);
    if (m_output.getSize()) m_output.zeroFill();
    m_output.clear();
    m_written = 0;
    if (m_msg) {
        CryptMsgClose(m_msg);
        m_msg = nullptr;
    }
    if (m_encodeInfo) {
        std::free(m_encodeInfo->rgpRecipients);
        if (m_encodeInfo->hCryptProv) CryptReleaseContext(m_encodeInfo->hCryptProv, 0);
        std::free(m_encodeInfo);
        m_encodeInfo = nullptr;
    }
    m_decryptCertificate = CCertificate();
    m_recipientIndex = -1;
    m_decrypted = false;
    m_contentByOwnReader = false;
    m_readerHasBlock = false;
    CPKCS7Encrypted::reset();
    CTokenEncrypted::reset();
    // A key the caller gave stays; one found for a message goes with it.
    if (!m_sessionKeyFromCaller) freshSessionKey();
}

void CEncryptedData::CImpl::clearRecipients() {
    CLock lock(this);
    m_recipientCertificates.clear();
    m_cmsRecipientInfo.clear();
    m_recipients.clear();
    m_envelopeAlgorithm.clear();
}

}  // namespace Vsk::PKI
