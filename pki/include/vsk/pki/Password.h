// Passwords and PINs of key containers and tokens: held only as bytes the system has encrypted for
// this process, handed out as code page 1251 text when a provider needs them, and handed to a
// provider as a container's PIN. A remembered password is read (never written) from the user's
// registry with its expiry.
#pragma once

#include <vsk/platform/crypt.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/error.h>
#include <vsk/utils/memory.h>
#include <vsk/utils/string.h>

#include <cstdint>

namespace Vsk::PKI {

// A password or PIN. Usually a base of an implementation object, whose one recursive lock it shares
// through the virtual base.
class CPassword : public virtual Vsk::Utils::CCriticalSection {
public:
    CPassword();
    CPassword(const CPassword& other);
    CPassword& operator=(const CPassword& other);
    ~CPassword();

    // Stores a new password and wipes `text` (with every string sharing its storage). An empty text
    // empties the password. A failure of the memory protection is logged, never raised.
    void putPassword(const Vsk::Utils::CWString& text);
    // putPassword of a copy, then overwrites the caller's characters with zeros (the terminator is
    // left as it is).
    void putPasswordAndClear(WCHAR* text);
    // Takes the other's protected bytes as they are, with their protection state.
    void copyFrom(const CPassword& other);
    // The password in code page 1251; empty when none is set, or when its protected bytes cannot be
    // unprotected (logged). The caller owns the cleartext and wipes it.
    virtual Vsk::Utils::CAString getPassword();
    // getPassword converted to UTF-16; the 8-bit copy is wiped.
    Vsk::Utils::CWString getPasswordWide();
    // Sets the password as the PIN of the container open on `hProv`: PP_KEYEXCHANGE_PIN for key
    // spec 1 (AT_KEYEXCHANGE), PP_SIGNATURE_PIN for any other. With `skipEmpty` an empty password
    // does nothing and gives true. A failure gives false and fills `error`, or is logged without it.
    bool ApplyPassword(HCRYPTPROV hProv, DWORD keySpec, bool skipEmpty, Vsk::Utils::CError* error);

    // Whether a password is set.
    bool hasPassword() const;
    // The size of the held (padded) bytes, for log lines that must not show the password.
    DWORD getProtectedSize() const;
    // Whether the held bytes are encrypted by the memory protection (false: plain or empty).
    bool isProtected() const;

private:
    // The password's bytes: code page 1251 text with a NUL padded to a multiple of 16 and encrypted
    // in place when `m_protected`; the plain text without terminator or padding when the memory
    // protection was unavailable or failed.
    Vsk::Utils::CDataBlob m_protectedPassword;
    bool m_protected;
};

// A password that may also be remembered in the registry for a key container, with an expiry.
class CRememberedPassword : public CPassword {
public:
    CRememberedPassword();

    // Loads the container's remembered password when one exists and has not expired; deletes an
    // expired one. Registry failures are logged.
    void fillRememberedPasswordUpTo(const Vsk::Utils::CWString& containerName);
    // Removes the value "rem" of `keyPath` under HKEY_CURRENT_USER; true when it was removed.
    bool deleteRememberedPassword(const Vsk::Utils::CWString& keyPath);

    // The remembered-until time (FILETIME, UTC); 0 means none.
    uint64_t getRememberedUntil() const { return m_rememberedUntil; }
    // Forgets the remembered-until time (the option objects do so when their key or signer changes);
    // the password bytes stay.
    void clearRememberedUntil() { m_rememberedUntil = 0; }

private:
    uint64_t m_rememberedUntil;
};

// The registry key of a container's remembered password: "Software\Voskel\Keyset\" + the container
// name made a valid file name.
Vsk::Utils::CWString RememberedPasswordKey(const Vsk::Utils::CWString& containerName);

// Descrambles a remembered value: the output has the input's length; byte 0 is kept, every further
// byte is taken down by a byte of the MD5 or SHA-1 of the output before it.
Vsk::Utils::CDataBlob VskDecode(const Vsk::Utils::CDataBlob& scrambled);

}  // namespace Vsk::PKI

namespace Vsk::InternalUtils {

// Binds CryptProtectMemory and CryptUnprotectMemory from the already loaded "Crypt32.dll" again.
// They are bound once on first use; a process that replaced the module's exports calls this so
// that the passwords use the new ones.
void BindMemoryProtection();

}  // namespace Vsk::InternalUtils
