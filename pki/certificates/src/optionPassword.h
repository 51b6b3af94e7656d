// What the signing and decryption option objects share about their keyset password.
#pragma once

#include <vsk/pki/Password.h>
#include <vsk/pki/Settings.h>

namespace Vsk::PKI {

// Sets the password on the provider for the key spec. A refusal of a password that was there is
// raised only when `common` is Silent: otherwise the provider can still ask the user itself.
void applyOptionKeysetPassword(CRememberedPassword* password, const CCommonSettings& common, HCRYPTPROV hProv,
                               DWORD keySpec);

}  // namespace Vsk::PKI
