// Key containers of the provider stand-in as the key functions see them: the keys a context's
// container holds, their unlocking with the container's password, and writing keys and certificates
// back. The files, readers, names, locking and the password prompt live behind these functions.
#pragma once

#include "cryptState.h"
#include "keyMaterial.h"

namespace vsk::crypt {

// One key of a container as it is stored.
struct StoredKey {
    KeyKind kind;
    bool exportable = false;
    SecretBytes privateKey;  // EncodePrivateKey's form
    // SubjectPublicKeyInfo DER of the key (PublicKeyInfoDer), readable without the password; empty
    // when the store does not keep it (the key functions then take it from the private key).
    std::vector<BYTE> publicKey;
    std::vector<BYTE> certificate;  // DER of the certificate kept with the key (KP_CERTIFICATE); empty: none
};

// The stored key of `spec` (AT_KEYEXCHANGE or AT_SIGNATURE) of the context's container. False with
// NTE_NO_KEY when the container has no such key, NTE_BAD_KEYSET for a verification context or a
// container that is gone.
bool ContainerKey(Context& ctx, DWORD spec, StoredKey& key, DWORD& error);

// The private key of `spec`, decrypted. Uses the password set on the context (PP_KEYEXCHANGE_PIN /
// PP_SIGNATURE_PIN); without one on a password-protected container: NTE_SILENT_CONTEXT on a silent
// context, else the application's prompt (cancel: ERROR_CANCELLED); a wrong password
// SCARD_W_WRONG_CHV. Decrypted keys are kept in the context while it is open.
Pkey UnlockKey(Context& ctx, DWORD spec, DWORD& error);

// Writes a newly generated key under `spec`, replacing one that is there, encrypted with the
// container's password (the PIN set on a CRYPT_NEWKEYSET context before generation; none when it
// was empty). Atomic: the container file is replaced as a whole.
bool PutKey(Context& ctx, DWORD spec, const Pkey& key, const KeyKind& kind, bool exportable, DWORD& error);

// Writes (or, with an empty `der`, removes) the certificate kept with the key of `spec`.
bool PutCertificate(Context& ctx, DWORD spec, const std::vector<BYTE>& der, DWORD& error);

}  // namespace vsk::crypt
