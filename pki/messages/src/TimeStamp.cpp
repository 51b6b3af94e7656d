#include "TimeStampImpl.h"

#include <vsk/pki/Certificate.h>
#include <vsk/pki/CryptError.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>
#include "../../certificates/src/certHandles.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>

namespace Vsk::PKI {

using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CLock;
using Vsk::Utils::CWString;

namespace {

// The key of the class's live count in the level-5 log.
const char* const LiveClassName = "PKI::CTimeStamp::CImpl";

constexpr DWORD StepNoSettings = 120002;
constexpr DWORD StepImport = 120101;
constexpr DWORD StepVerify = 120701;
constexpr DWORD StepAddData = 121101;

std::mutex g_moduleMutex;
std::optional<CWString> g_module;

std::optional<CWString> clientModule() {
    std::lock_guard<std::mutex> guard(g_moduleMutex);
    return g_module;
}

// An empty handle's "not created" error (no number of its own) becomes the operation's step code.
template <class Action>
auto onHandle(DWORD step, Action&& action) {
    try {
        return action();
    } catch (const CCryptError&) {
        throw;
    } catch (const CError& error) {
        if (error.getErrorNumber() != 0) throw CCryptError::CCryptErrorFromError(error);
        throw CCryptError::CCryptErrorFromError(step, error);
    }
}

}  // namespace

namespace TSP {
void SetClientModule(const WCHAR* moduleName) {
    std::lock_guard<std::mutex> guard(g_moduleMutex);
    if (moduleName)
        g_module = CWString(moduleName);
    else
        g_module.reset();
}
}  // namespace TSP

// ---- Implementation ---------------------------------------------------------------------------------

CTimeStamp::CImpl::CImpl()
    : m_moduleName(clientModule().value_or(CWString())),
      m_client(m_moduleName.getLength() == 0 ? nullptr : m_moduleName.c_str()) {
    m_client.open();
    countLiveObject(LiveClassName, this, 1, "PKI::CTimeStamp::CImpl::CImpl");
}

CTimeStamp::CImpl::~CImpl() {
    countLiveObject(LiveClassName, this, -1, "PKI::CTimeStamp::CImpl::~CImpl");
}

void CTimeStamp::CImpl::import(const CDataBlob& token) {
    m_client.import(token);
}

void CTimeStamp::CImpl::addData(const CDataBlob& data) {
    m_client.addData(data);
}

DWORD CTimeStamp::CImpl::verify(const CStampVerifySettings* settings) {
    if (!settings) throw CCryptError(StepNoSettings, static_cast<DWORD>(0));
    const CCertificate* stampCert = settings->get_StampCert();
    PCCERT_CONTEXT given = stampCert ? stampCert->get_CertContext() : nullptr;
    CertContextPtr authority;
    const DWORD result = m_client.verify(given, &authority);
    if (result != 0) return result;
    if (settings->get_CertVerifyMode() != 2) return 0;
    try {
        return CCertificate::VerifyCertificate(authority.get(), settings->get_CertVerifySettings(), nullptr);
    } catch (const CCryptError&) {
        throw;
    } catch (const CError& error) {
        if (error.getErrorNumber() != 0) throw CCryptError::CCryptErrorFromError(error);
        throw CCryptError::CCryptErrorFromError(StepVerify, error);
    }
}

// ---- Handle -------------------------------------------------------------------------------------------

CTimeStamp::CTimeStamp(bool create) {
    if (create) m_pImpl = Vsk::Utils::CRefPtr<CImpl>::create();
}
CTimeStamp::CTimeStamp(const CTimeStamp& other) = default;
CTimeStamp::CTimeStamp(CTimeStamp&& other) noexcept = default;
CTimeStamp& CTimeStamp::operator=(const CTimeStamp& other) = default;
CTimeStamp& CTimeStamp::operator=(CTimeStamp&& other) noexcept = default;
CTimeStamp::~CTimeStamp() = default;

CTimeStamp::CImpl* CTimeStamp::impl() const {
    m_pImpl.checkCreated();
    return m_pImpl.get();
}

bool CTimeStamp::create() {
    m_pImpl.release();
    m_pImpl = Vsk::Utils::CRefPtr<CImpl>::create();
    return !isNull();
}

void CTimeStamp::Import(const CDataBlob& token) {
    onHandle(StepImport, [&] { impl()->import(token); });
}

void CTimeStamp::AddData(const CDataBlob& data) {
    onHandle(StepAddData, [&] { impl()->addData(data); });
}

DWORD CTimeStamp::Verify(const CStampVerifySettings* settings) {
    return onHandle(StepVerify, [&] { return impl()->verify(settings); });
}

bool CTimeStamp::isEmpty() const {
    return !m_pImpl || m_pImpl->m_client.isEmpty();
}

void CTimeStamp::release() {
    if (m_pImpl) m_pImpl->m_client.release();
}

void CTimeStamp::get_Time(SYSTEMTIME* time) const {
    try {
        impl()->m_client.getTime(time);
    } catch (...) {
        // The time stays unfilled: a signer without a readable stamp time is verified without it.
    }
}

void CTimeStamp::get_FileTime(FILETIME* time) const {
    if (!time) return;
    SYSTEMTIME system{};
    get_Time(&system);
    if (!SystemTimeToFileTime(&system, time)) *time = FILETIME{};
}

}  // namespace Vsk::PKI
