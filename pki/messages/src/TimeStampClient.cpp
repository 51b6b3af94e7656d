#include "TimeStampClient.h"

#include <vsk/pki/CryptError.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/kernel.h>
#include <vsk/utils/error.h>
#include <vsk/utils/file.h>

#include <cstring>
#include <exception>

namespace Vsk::PKI::TSP {

using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CLock;
using Vsk::Utils::CWString;

const WCHAR ClientModuleName[] = u"" VSK_TSP_LIBRARY_NAME;

namespace {

// Step codes of the operations.
constexpr DWORD StepNotLoaded = 120001;
constexpr DWORD StepImport = 120101;
constexpr DWORD StepVerify = 120701;
constexpr DWORD StepAddData = 121101;

// The module beside the program when it is there, else the name for the library path.
CWString defaultModule() {
    const CWString beside = Vsk::InternalUtils::GetModuleFolder() + CWString(ClientModuleName);
    return Vsk::InternalUtils::FileExists(beside) ? beside : CWString(ClientModuleName);
}

// A failed call of the library, as the library's own error: its text and its code.
[[noreturn]] void raiseLibraryError(uint32_t status, const char* text) {
    const HRESULT hr = static_cast<HRESULT>(status);
    if (!text || !*text) throw CError(hr);
    throw CError(CWString(text, std::strlen(text), CP_UTF8), hr);
}

// Runs one operation of the stamp and turns what it raises into the operation's step code: a
// CCryptError passes unchanged; a CError keeps its own number or gets the step's; anything else
// becomes the step with the operation's name and the last error.
template <class Action>
auto mapped(DWORD step, const char* operation, Action&& action) {
    try {
        return action();
    } catch (const CCryptError&) {
        throw;
    } catch (const CError& error) {
        if (error.getErrorNumber() != 0) throw CCryptError::CCryptErrorFromError(error);
        throw CCryptError::CCryptErrorFromError(step, error);
    } catch (...) {
        throw CCryptError::CCryptErrorTextA(step, operation, Vsk::Utils::LastErrorCode);
    }
}

}  // namespace

CClient::CClient(const WCHAR* moduleName)
    : Vsk::InternalUtils::CLib(moduleName ? CWString(moduleName).c_str() : defaultModule().c_str()) {}

CClient::~CClient() {
    // The objects go before the module that holds their code (request first, as they were made).
    if (m_request) m_requestDestroy(m_request);
    if (m_stamp) m_stampDestroy(m_stamp);
}

void CClient::open() {
    CLock guard(this);
    if (m_stamp) return;
    auto requestCreate = reinterpret_cast<VskTspRequestCreateFn>(getProcAddress("VskTspRequestCreate"));
    auto requestDestroy = reinterpret_cast<VskTspRequestDestroyFn>(getProcAddress("VskTspRequestDestroy"));
    auto stampCreate = reinterpret_cast<VskTspStampCreateFn>(getProcAddress("VskTspStampCreate"));
    auto stampDestroy = reinterpret_cast<VskTspStampDestroyFn>(getProcAddress("VskTspStampDestroy"));
    auto getFunctions = reinterpret_cast<VskTspGetFunctionsFn>(getProcAddress("VskTspGetFunctions"));
    const VskTspFunctions* functions = getFunctions(VSK_TSP_API_VERSION);
    if (!functions || functions->version < VSK_TSP_API_VERSION || functions->size < sizeof(VskTspFunctions))
        throw CError(
            u"Модуль " + getModuleName() + u" не поддерживает нужную версию интерфейса штампов времени",
            static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    VskTspRequest* request = nullptr;
    if (const uint32_t status = requestCreate(&request)) raiseLibraryError(status, nullptr);
    VskTspStamp* stamp = nullptr;
    if (const uint32_t status = stampCreate(&stamp)) {
        requestDestroy(request);
        raiseLibraryError(status, nullptr);
    }
    m_requestDestroy = requestDestroy;
    m_stampDestroy = stampDestroy;
    m_functions = functions;
    m_request = request;
    m_stamp = stamp;
}

void CClient::import(const CDataBlob& token) {
    CLock guard(this);
    try {
        mapped(StepImport, "Vsk::PKI::CTimeStamp::Import", [&] {
            if (!m_stamp) throw CError(u"Библиотека штампов времени не загружена", static_cast<DWORD>(0));
            m_functions->stampClear(m_stamp);
            if (const uint32_t status = m_functions->stampLoad(m_stamp, token.getData(), token.getSize()))
                raiseLibraryError(status, m_functions->stampLastError(m_stamp));
            uint32_t stampAlg = 0;
            uint32_t requestAlg = 0;
            if (const uint32_t status = m_functions->stampGetImprintAlgorithm(m_stamp, &stampAlg))
                raiseLibraryError(status, m_functions->stampLastError(m_stamp));
            if (const uint32_t status = m_functions->requestGetImprintAlgorithm(m_request, &requestAlg))
                raiseLibraryError(status, m_functions->requestLastError(m_request));
            if (requestAlg != stampAlg) {
                if (const uint32_t status = m_functions->requestSetImprintAlgorithm(m_request, stampAlg))
                    raiseLibraryError(status, m_functions->requestLastError(m_request));
            }
        });
    } catch (...) {
        release();
        throw;
    }
}

void CClient::addData(const CDataBlob& data) {
    CLock guard(this);
    try {
        mapped(StepAddData, "Vsk::PKI::CTimeStamp::AddData", [&] {
            if (!m_request) throw CError(u"Библиотека штампов времени не загружена", static_cast<DWORD>(0));
            if (const uint32_t status =
                    m_functions->requestAddData(m_request, data.getData(), data.getSize()))
                raiseLibraryError(status, m_functions->requestLastError(m_request));
        });
    } catch (...) {
        release();
        throw;
    }
}

DWORD CClient::verify(PCCERT_CONTEXT certificate, CertContextPtr* authority) {
    CLock guard(this);
    if (isEmpty()) throw CCryptError(StepNotLoaded, static_cast<DWORD>(0));
    return mapped(StepVerify, "Vsk::PKI::CTimeStamp::Verify", [&]() -> DWORD {
        const uint8_t* imprint = nullptr;
        size_t imprintSize = 0;
        if (const uint32_t status = m_functions->requestGetImprint(m_request, &imprint, &imprintSize))
            raiseLibraryError(status, m_functions->requestLastError(m_request));
        if (imprintSize != 0) {
            const uint8_t* covered = nullptr;
            size_t coveredSize = 0;
            if (const uint32_t status = m_functions->stampGetMessageImprint(m_stamp, &covered, &coveredSize))
                raiseLibraryError(status, m_functions->stampLastError(m_stamp));
            if (coveredSize != imprintSize || std::memcmp(covered, imprint, imprintSize) != 0)
                return StampImprintMismatch;
        }
        CertContextPtr used;
        if (certificate) {
            used = duplicateContext(certificate);
        } else {
            const uint8_t* der = nullptr;
            size_t size = 0;
            if (const uint32_t status = m_functions->stampGetTsaCertificate(m_stamp, &der, &size))
                raiseLibraryError(status, m_functions->stampLastError(m_stamp));
            if (size != 0) {
                used.reset(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der,
                                                        static_cast<DWORD>(size)));
                if (!used) throw CError(u"Сертификат службы штампов времени", Vsk::Utils::LastErrorCode);
            }
        }
        if (!used) return StampNoCertificate;
        uint32_t verdict = 0;
        if (const uint32_t status = m_functions->stampVerifySignature(m_stamp, used->pbCertEncoded,
                                                                      used->cbCertEncoded, &verdict))
            raiseLibraryError(status, m_functions->stampLastError(m_stamp));
        if (verdict != 0) return StampBadSignature;
        if (authority) *authority = std::move(used);
        return 0;
    });
}

bool CClient::isEmpty() const {
    CLock guard(const_cast<CClient*>(this));
    return !m_stamp || m_functions->stampIsEmpty(m_stamp) != 0;
}

void CClient::release() {
    CLock guard(this);
    if (m_stamp) m_functions->stampClear(m_stamp);
}

bool CClient::getTime(SYSTEMTIME* time) const {
    CLock guard(const_cast<CClient*>(this));
    VskTspTime stampTime{};
    if (!time || !m_stamp || m_functions->stampGetTime(m_stamp, &stampTime) != 0) return false;
    time->wYear = stampTime.year;
    time->wMonth = stampTime.month;
    time->wDayOfWeek = stampTime.dayOfWeek;
    time->wDay = stampTime.day;
    time->wHour = stampTime.hour;
    time->wMinute = stampTime.minute;
    time->wSecond = stampTime.second;
    time->wMilliseconds = stampTime.milliseconds;
    return true;
}

}  // namespace Vsk::PKI::TSP
