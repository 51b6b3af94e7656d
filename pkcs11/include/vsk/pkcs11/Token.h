// PKCS#11 libraries and the tokens they present. Every public class is a handle to a counted
// implementation; an operation on an empty handle raises the "not created" error naming the class.
//
// Vendor libraries are not loaded by this build yet: CPKCS11::init reports failure (with a log
// line), a library holds no token, and so every token handle the provider layer meets is empty.
#pragma once

#include <vsk/pkcs11/Types.h>
#include <vsk/utils/array.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/memory.h>
#include <vsk/utils/string.h>

#include <functional>

namespace Vsk::PKCS11 {

class CToken;

// One PKCS#11 library (shared process-wide per path once loaded).
class CPKCS11 {
public:
    class CImpl;
    // true: a fresh library object, not attached to a library yet; false: an empty handle.
    explicit CPKCS11(bool create);
    CPKCS11(const CPKCS11& other);
    CPKCS11& operator=(const CPKCS11& other);
    ~CPKCS11();

    // The configured library file names in order: the registry value "pkcs11Libraries" (one name
    // per line or separated by ';'), else the built-in defaults.
    static Vsk::Utils::CArray<Vsk::Utils::CWString> getLibraries();
    // Attaches the handle to the library at `path`; false when it could not be loaded.
    bool init(const Vsk::Utils::CWString& path);
    // The handler the slot-event thread calls under the library's lock.
    void setOnSlotEvent(std::function<void(const CToken&)> handler);
    // The number of present tokens.
    CK_ULONG getTokenCount() const;
    // The index-th present token.
    CToken getToken(CK_ULONG index) const;
    // Releases every loaded library and empties the registry of loaded libraries.
    static void clearAll();

    bool isEmpty() const { return !m_pImpl; }
    // Whether a vendor library is attached.
    bool isLoaded() const;

private:
    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

// A token in a slot of a library.
class CToken {
public:
    class CImpl;
    // A null library, or one that is not loaded, gives an empty handle.
    CToken(CPKCS11* library = nullptr, CK_SLOT_ID slot = 0);
    CToken(const CToken& other);
    CToken& operator=(const CToken& other);
    ~CToken();

    bool isEmpty() const { return !m_pImpl; }
    // Whether both handles name the same token object.
    bool isSame(const CToken& other) const { return m_pImpl.get() == other.m_pImpl.get(); }

    const SlotInfo& getSlotInfo() const;
    const TokenInfo& getTokenInfo() const;
    TokenSlot getInfo() const;
    // The display text, as TokenSlot::getName.
    Vsk::Utils::CWString getName() const;
    // Every mechanism with its information, in the token's order.
    Vsk::Utils::CArray<MechanismInfo> getAlgs() const;
    // The handles of all objects of the class, in the token's order.
    Vsk::Utils::CArray<CK_OBJECT_HANDLE> findObjects(CK_ULONG objectClass) const;
    // An attribute's value; CKR_OBJECT_HANDLE_INVALID raises, other failures give an empty blob.
    Vsk::Utils::CDataBlob getAttributeValue(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const;
    // The value as text in the token's code page when it is printable, else as hexadecimal.
    Vsk::Utils::CWString attributeToString(const Vsk::Utils::CDataBlob& value) const;
    // Fills the blob's bytes at its present size; returns 0. An empty blob returns at once.
    int generateRandom(Vsk::Utils::CDataBlob& data) const;
    // Logs in (as the security officer when `so`); the caller's PIN copy is wiped.
    void loginAnsi(Vsk::Utils::CAString& pin, bool so = false) const;
    void login(Vsk::Utils::CWString& pin, bool so = false) const;
    void logout() const;
    bool isLoggedIn() const;
    bool isRemoved() const;
    // The certificate object with these DER bytes; 0 when there is none.
    CK_OBJECT_HANDLE findCertificate(const Vsk::Utils::CDataBlob& der) const;
    // The public-key object with this key value; 0 when there is none.
    CK_OBJECT_HANDLE findPubKey(const Vsk::Utils::CDataBlob& value) const;
    // The private key that belongs to a public-key object; 0 when there is none.
    CK_OBJECT_HANDLE findPrivByPubKey(CK_OBJECT_HANDLE publicKey) const;

private:
    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

}  // namespace Vsk::PKCS11
