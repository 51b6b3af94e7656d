// The token-as-provider switch and the token step of the catalogue's filling.
#include <vsk/pki/TokenAsCsp.h>

#include <vsk/pkcs11/Types.h>
#include <vsk/utils/global.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/system.h>

namespace Vsk::PKI {

Vsk::Utils::CWString CTokenAsCsp::getVersionText() const {
    if (!isToken()) return {};
    const Vsk::PKCS11::TokenInfo& info = m_token.getTokenInfo();
    using Vsk::Utils::ToWString;
    return ToWString(static_cast<uint32_t>(info.hardwareVersion.major)) + u"." +
           ToWString(static_cast<uint32_t>(info.hardwareVersion.minor)) + u":" +
           ToWString(static_cast<uint32_t>(info.firmwareVersion.major)) + u"." +
           ToWString(static_cast<uint32_t>(info.firmwareVersion.minor));
}

Vsk::Utils::CArray<Vsk::Utils::CWString> CTokenAsCsp::getKeyContainers(const Vsk::PKCS11::CToken& token) {
    Vsk::InternalUtils::CLogScope scope("Vsk::PKI::CTokenAsCsp::getKeyContainers", 4);
    Vsk::Utils::CArray<Vsk::Utils::CWString> names;
    const Vsk::Utils::CArray<CK_OBJECT_HANDLE> keys = token.findObjects(CKO_PUBLIC_KEY);
    for (size_t i = 0; i < keys.getCount(); ++i)
        names.add(token.attributeToString(token.getAttributeValue(keys[i], CKA_LABEL)));
    if (scope.isEntered() && scope.getLevel() >= 3) {
        Vsk::Utils::CWString text;
        for (size_t i = 0; i < names.getCount(); ++i) {
            if (i) text += u", ";
            text += u"\"" + names[i] + u"\"";
        }
        scope.m_result = text;
    }
    return names;
}

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
