// The implementation behind CCrl, private to the library's certificate code.
#pragma once

#include <vsk/pki/Attributes.h>
#include <vsk/pki/Crl.h>

#include "certHandles.h"

namespace Vsk::PKI {

class CCrl::CImpl : public Vsk::Utils::CRefMan {
public:
    CImpl();
    ~CImpl() override;

    void clear();
    void LoadFromBlob(const Vsk::Utils::CDataBlob& der);
    void put_CrlContext(PCCRL_CONTEXT context);

    CrlContextPtr m_context;
    // The issuer Name in X.500 text, last RDN first.
    Vsk::Utils::CWString m_issuerText;
    CAttributesPtr m_issuer;
    // From the next-CRL-publish extension; zero without it.
    FILETIME m_nextPublish{};

private:
    void readFields();
};

}  // namespace Vsk::PKI
