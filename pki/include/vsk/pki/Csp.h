// The public object of one provider (or token presented as a provider): its type, name, version,
// default marks, token, key containers and random bytes, and the lists of all providers that the
// application shows.
#pragma once

#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/HoldCSP.h>
#include <vsk/utils/array.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/memory.h>
#include <vsk/utils/progress.h>
#include <vsk/utils/string.h>

namespace Vsk::PKI {

class CKeyContainer;

class CCsp {
public:
    class CImpl;
    // true: a new object without a description (a failed allocation leaves the handle empty);
    // false: an empty handle.
    explicit CCsp(bool create);
    CCsp(const CCsp& other);
    CCsp& operator=(const CCsp& other);
    ~CCsp();

    // Makes the object when the handle is empty, then holds `description`.
    void putCSPInfo(CSPInfo* description);

    // The provider type; 0 without a description.
    DWORD get_Type() const;
    // The provider name; empty without a description.
    Vsk::Utils::CWString get_Name() const;
    // The version text; empty without a description.
    Vsk::Utils::CWString get_Version() const;
    // The token part of the description when it presents a token; null otherwise.
    CTokenAsCsp* get_Token() const;
    // 0x1 machine default of its type, 0x2 user default; 0 without a description.
    DWORD get_DefaultFlags() const;

    // The provider's key containers (the user's, or the machine's with `machine`).
    void GetContainerList(Vsk::Utils::CArray<CKeyContainer>& list, bool machine,
                          Vsk::Utils::IProgress* progress);
    // Fills the blob's bytes, at its present size, with random bytes; returns 0.
    int GenRandom(Vsk::Utils::CDataBlob& data);

    // The providers that have a GOST algorithm, in catalogue order.
    static void GetGostCspArr(Vsk::Utils::CArray<CCsp>& list);
    // Every provider: the GOST providers first (in reverse catalogue order), then the others.
    static void GetAllCspArr(Vsk::Utils::CArray<CCsp>& list);

    bool isEmpty() const { return !m_pImpl; }

private:
    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

}  // namespace Vsk::PKI
