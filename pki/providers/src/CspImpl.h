// The implementation object of the provider handle, shared by the provider handle's sources.
#pragma once

#include <vsk/pki/Csp.h>

namespace Vsk::PKI {

class CCsp::CImpl : public Vsk::Utils::CRefMan {
public:
    // The description, null until putCSPInfo; shared with the catalogue.
    Vsk::Utils::CRefPtr<CSPInfo> m_info;
    // A context GenRandom uses when it holds one; nothing fills it yet.
    CHoldCSP m_holdCSP{0, true, nullptr};
};

}  // namespace Vsk::PKI
