// PKCS#11 libraries and the tokens they present. Every public class is a handle to a counted
// implementation; an operation on an empty handle raises the "not created" error naming the class.
//
// A library is loaded once per path for the whole process (a map from the path to its object), is
// initialised for calls from several threads at once, and runs a thread that waits for slot events
// and tells a registered callback about every token inserted or removed. A token keeps one
// read-write session, its login state and the user PIN of its last login (encrypted in memory).
#pragma once

#include <vsk/pkcs11/Types.h>
#include <vsk/utils/array.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/memory.h>
#include <vsk/utils/string.h>

#include <functional>

namespace Vsk::PKCS11 {

class CToken;

// The handler of slot events: called once for each insertion (with a new token object) and, for a
// removal, once for each live token object of that slot (each already marked removed).
using SlotEventCallback = std::function<void(const CToken&)>;

// One PKCS#11 library (shared process-wide per path once loaded).
class CPKCS11 {
public:
    class CImpl;
    // true: a fresh library object, not attached to a library yet; false: an empty handle.
    explicit CPKCS11(bool create);
    CPKCS11(const CPKCS11& other);
    CPKCS11& operator=(const CPKCS11& other);
    ~CPKCS11();

    // The configured library names in order: the registry value "pkcs11Libraries" ("|"-separated,
    // the user's before the machine's), else the built-in defaults, which are then stored for the
    // user. Read once per process.
    static Vsk::Utils::CArray<Vsk::Utils::CWString> getLibraries();
    // Replaces the cached list; with `write` also stores it as the user's "pkcs11Libraries".
    static void setLibraries(const Vsk::Utils::CArray<Vsk::Utils::CWString>& names, bool write);
    // Attaches the handle to the library at `path` (a full path, or a name the loader searches for),
    // sharing the object already loaded for that path. True on success; failures raise CError.
    bool init(const Vsk::Utils::CWString& path);
    // Sets or replaces the handler of slot events.
    void setOnSlotEvent(SlotEventCallback handler);
    // The number of present tokens.
    uint64_t getTokenCount() const;
    // The token of the index-th present slot.
    CToken getToken(uint64_t index) const;
    // Empties the process-wide map of loaded libraries; a library whose last handle goes is
    // finalised and unloaded.
    static void clearAll();

    bool isEmpty() const { return !m_pImpl; }
    // Whether a library is attached.
    bool isLoaded() const;
    CImpl* getImpl() const { return m_pImpl.get(); }

private:
    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

// A token in a slot of a library. The caller serialises the use of one token object.
class CToken {
public:
    class CImpl;
    // A null library gives an empty handle; a library handle that is empty raises.
    CToken(CPKCS11* library = nullptr, CK_SLOT_ID slot = 0);
    CToken(const CToken& other);
    CToken& operator=(const CToken& other);
    ~CToken();
    // A handle to an existing token object (the slot-event handling hands out the very objects).
    explicit CToken(CImpl* impl);

    bool isEmpty() const { return !m_pImpl; }
    // Whether both handles name the same token object.
    bool isSame(const CToken& other) const { return m_pImpl.get() == other.m_pImpl.get(); }
    CImpl* getImpl() const { return m_pImpl.get(); }

    // The slot and token records, each read once and kept.
    const SlotInfo& getSlotInfo() const;
    const TokenInfo& getTokenInfo() const;
    TokenSlot getInfo() const;
    // The display text, as TokenSlot::getName.
    Vsk::Utils::CWString getName() const;
    // Every mechanism that has any flag, with its information, in the token's order.
    Vsk::Utils::CArray<MechanismInfo> getAlgs() const;
    // The handles of all objects of the class, in the token's order.
    Vsk::Utils::CArray<CK_OBJECT_HANDLE> findObjects(CK_ULONG objectClass) const;
    // An attribute's value; an invalid object handle raises, other failures give an empty blob.
    Vsk::Utils::CDataBlob getAttributeValue(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const;
    // The value as text in the token's code page when it is printable, else as hexadecimal.
    Vsk::Utils::CWString attributeToString(const Vsk::Utils::CDataBlob& value) const;
    // Fills the blob's bytes at its present size; returns 0. An empty blob returns at once.
    int generateRandom(Vsk::Utils::CDataBlob& data) const;
    // Logs in (as the security officer when `so`). An empty PIN uses the remembered user PIN. The
    // caller's PIN is wiped after a successful login; a user PIN is remembered.
    void login(Vsk::Utils::CWString& pin, bool so = false) const;
    // login with an 8-bit PIN in code page 1251; the caller's 8-bit text is wiped at once.
    void loginAnsi(Vsk::Utils::CAString& pin, bool so = false) const;
    void logout() const;
    bool isLoggedIn() const;
    // Whether the token has left its slot.
    bool isRemoved() const;
    // The certificate object with these DER bytes; 0 when there is none.
    CK_OBJECT_HANDLE findCertificate(const Vsk::Utils::CDataBlob& der) const;
    // The public-key object with this CKA_VALUE; 0 when there is none.
    CK_OBJECT_HANDLE findPubKey(const Vsk::Utils::CDataBlob& value) const;
    // The private key that belongs to a public-key object; 0 when there is none.
    CK_OBJECT_HANDLE findPrivByPubKey(CK_OBJECT_HANDLE publicKey) const;
    // The library module's file version, a blank and its path; empty without a library.
    Vsk::Utils::CWString getLibraryName() const;

private:
    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

}  // namespace Vsk::PKCS11
