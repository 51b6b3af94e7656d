// The token-as-provider switch and the token step of the catalogue's filling.
#include <vsk/pki/TokenAsCsp.h>

#include <vsk/utils/global.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/system.h>

namespace Vsk::PKI {

bool getTokenAsCsp() {
    Vsk::Utils::CFlags* flags = Vsk::InternalUtils::GetCommonFlags();
    if (!flags) return false;
    // Administrators start with the feature off, everyone else with it on.
    const int defaultWord = Vsk::Utils::IsCurrentUserAdmin() ? 0 : 1;
    return (flags->getFlags(defaultWord) & Vsk::Utils::CFlags::TokenAsCsp) != 0;
}

void FillTokenAsCsp(Vsk::Utils::CErrorFormatter* /*errors*/) {
    Vsk::InternalUtils::CLogScope scope;
    if (Vsk::InternalUtils::GetLogLevel() >= 4) scope.enter("Vsk::PKI::FillTokenAsCsp");
    // No PKCS#11 library is loaded yet: there is no token to enter.
}

}  // namespace Vsk::PKI
