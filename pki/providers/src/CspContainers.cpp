// The key containers of a provider as container objects: a token's public-key objects, or the
// provider's named containers with their unique names.
#include <vsk/pki/Csp.h>

#include <vsk/pkcs11/Types.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/KeyContainer.h>
#include <vsk/utils/logScope.h>

#include "CspImpl.h"

namespace Vsk::PKI {

using Vsk::Utils::CArray;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

void CCsp::GetContainerList(CArray<CKeyContainer>& list, bool machine, Vsk::Utils::IProgress* progress) {
    Vsk::InternalUtils::CLogScope scope("Vsk::PKI::CCsp::GetContainerList", 3,
                                        machine ? CWString(u"true") : CWString(u"false"));
    m_pImpl.checkCreated();
    list.clear();
    CSPInfo* info = m_pImpl->m_info.get();
    if (!info) throw CCryptError(190201, Vsk::Utils::LastErrorCode, 0);

    if (info->isToken()) {
        const Vsk::PKCS11::CToken& token = info->getToken();
        const CArray<CK_OBJECT_HANDLE> keys = token.findObjects(CKO_PUBLIC_KEY);
        for (size_t i = 0; i < keys.getCount(); ++i) {
            CKeyContainer container(true);
            container.InitByToken(info, keys[i]);
            list.add(container);
        }
        return;
    }

    CError error(Vsk::Utils::NoErrorCode);
    CArray<CWString> names;
    CArray<CWString> uniqueNames;
    info->GetKeyContainers(names, &error, machine, &uniqueNames, progress);
    // Names that came back before an error are still listed.
    if (!error.isEmpty() && names.isEmpty()) throw CCryptError::CCryptErrorFromError(190202, error);
    try {
        for (size_t i = 0; i < names.getCount(); ++i) {
            CKeyContainer container(true);
            const CWString* unique = i < uniqueNames.getCount() ? &uniqueNames[i] : nullptr;
            container.Initialize(names[i], unique, info, machine);
            list.add(container);
        }
    } catch (...) {
        list.clear();
        throw;
    }
}

}  // namespace Vsk::PKI
