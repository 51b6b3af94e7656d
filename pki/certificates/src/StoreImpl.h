// The implementation behind CStore, private to the library's certificate code.
#pragma once

#include <vsk/pki/Store.h>
#include <vsk/utils/memory.h>

#include "certHandles.h"

namespace Vsk::PKI {

class CStore::CImpl : public Vsk::Utils::CRefMan {
public:
    CImpl() = default;
    ~CImpl() override;

    void close();

    // The name exactly as given to Open; empty when closed and after Load.
    Vsk::Utils::CWString m_name;
    StorePtr m_store;
    // CertOpenStore flags of Open, with 0x8000 added when the store had to be opened read-only.
    DWORD m_flags = 0;
};

}  // namespace Vsk::PKI
