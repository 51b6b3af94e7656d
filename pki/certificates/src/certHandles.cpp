#include <vsk/pki/CertApi.h>
#include <vsk/utils/global.h>
#include <vsk/utils/log.h>

#include "certHandles.h"
#include "certificateText.h"

namespace Vsk::PKI {

using Vsk::Utils::CWString;

bool CertContextFree::free(PCCERT_CONTEXT context, const char* function) noexcept {
    if (!context) return true;
    if (CertFreeCertificateContext(context)) return true;
    try {
        CertText::logError(1, function, u"CertFreeCertificateContext", GetLastError());
    } catch (...) {
        // Out of memory for the log line: the context is gone either way.
    }
    return false;
}

void CertContextFree::operator()(PCCERT_CONTEXT context) const noexcept {
    free(context, "Vsk::PKI::CertContextFree");
}

void CrlContextFree::operator()(PCCRL_CONTEXT context) const noexcept {
    if (!context || CertFreeCRLContext(context)) return;
    try {
        CertText::logError(1, "Vsk::PKI::CrlContextFree", u"CertFreeCRLContext", GetLastError());
    } catch (...) {
    }
}

void StoreClose::operator()(HCERTSTORE store) const noexcept {
    try {
        CloseStore(store);
    } catch (...) {
        // Only the trace of the close can throw (out of memory); the store is closed by then or the
        // failure was logged.
    }
}

CertContextPtr duplicateContext(PCCERT_CONTEXT context) {
    return CertContextPtr(context ? CertDuplicateCertificateContext(context) : nullptr);
}

void countLiveObject(const char* className, const void* object, int delta, const char* where) {
    if (Vsk::InternalUtils::GetLogLevel() < 5) return;
    const int count = Vsk::InternalUtils::addObjectCount(className, delta);
    Vsk::InternalUtils::LogAt(5, Vsk::Utils::ToWString(object) + u' ' +
                                     CWString(where, Vsk::Utils::CP_PROGRAM) + u' ' +
                                     Vsk::Utils::ToWString(count));
}

}  // namespace Vsk::PKI
