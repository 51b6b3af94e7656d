// Owners of the platform's certificate handles: one owning pointer per kind of handle, freeing it
// with the platform's own function when the owner goes. Failures of the free are logged (level 1), as
// a free cannot be undone or reported to anybody.
//
// And the live-object count of implementation objects, kept at log level 5 only.
#pragma once

#include <vsk/platform/cert.h>

#include <memory>

namespace Vsk::PKI {

struct CertContextFree {
    void operator()(PCCERT_CONTEXT context) const noexcept;
    // Frees a context that was released from its owner, as the owner would: true when the platform
    // freed it; a failure is logged under `function`.
    static bool free(PCCERT_CONTEXT context, const char* function) noexcept;
};
using CertContextPtr = std::unique_ptr<const CERT_CONTEXT, CertContextFree>;

struct CrlContextFree {
    void operator()(PCCRL_CONTEXT context) const noexcept;
};
using CrlContextPtr = std::unique_ptr<const CRL_CONTEXT, CrlContextFree>;

// Closes through the library's store wrapper (CloseStore), which traces and logs the close.
struct StoreClose {
    void operator()(HCERTSTORE store) const noexcept;
};
using StorePtr = std::unique_ptr<void, StoreClose>;

// A duplicate of the context in an owner of its own; an empty owner for a null context.
CertContextPtr duplicateContext(PCCERT_CONTEXT context);

// At log level 5: adjusts the live count of the class (keyed by the address of `className`) and logs
// "<object> <where> <count>". Below level 5 nothing is counted.
void countLiveObject(const char* className, const void* object, int delta, const char* where);

}  // namespace Vsk::PKI
