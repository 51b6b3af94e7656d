// The implementation objects of a PKCS#11 library and of a token, shared by the library, token, key
// pair and session-key code. Not installed.
//
// Locks, in the order they may be taken: a library's event lock, the library lock (the library
// object's own lock), the common lock of the common-information record. The common lock guards the
// process-wide map of loaded libraries and is never held while a library loads or is finalised.
#pragma once

#include <vsk/pkcs11/ReturnCodes.h>
#include <vsk/pkcs11/Token.h>
#include <vsk/pkcs11/TokenKeyPair.h>
#include <vsk/platform/module.h>
#include <vsk/utils/dataBlob.h>

#include <atomic>
#include <memory>
#include <vector>

namespace Vsk::PKCS11 {

// One entry of a library's slot table: the slot and the result of the last C_GetTokenInfo on it
// (CKR_OK: a token is present).
struct SlotStatus {
    CK_SLOT_ID slotId;
    CK_RV status;
};

// What the slot-event thread shares with its library. The thread owns a reference of its own, so
// that a thread that does not come back from the module in time can be left behind: the library
// then lets go of it (`owner` null, under the event lock) and the thread, whenever it returns,
// touches nothing of the library.
struct CSlotEventContext {
    Vsk::Utils::CCriticalSection eventLock;
    CPKCS11::CImpl* owner = nullptr;
    CK_FUNCTION_LIST_PTR functions = nullptr;
};

class CPKCS11::CImpl : public Vsk::Utils::CRefMan {
public:
    CImpl();
    ~CImpl() override;

    // Loads, initialises and enters the library into the process-wide map (under the library lock).
    bool init(const Vsk::Utils::CWString& path);
    // Finalises and unloads; never raises.
    void deinit();
    // Reads the present slots into the slot table.
    void fillSlotList();
    // Starts the thread that waits for slot events in the module's current function list.
    void startEventThread();
    // One slot event, on the event thread under the event lock.
    void onSlotEvent(CK_SLOT_ID slot);

    // 65001 for Cryptoki 2.10 and later, else 1251 (the version read once with C_GetInfo).
    UINT getCodePage();
    // A text for the token in the library's code page.
    Vsk::Utils::CAString toTokenText(const Vsk::Utils::CWString& text);
    // Bytes from the token as text in the library's code page.
    Vsk::Utils::CWString fromTokenText(const void* bytes, size_t size);

    // Registration of the token objects alive for this library (under the library lock).
    void addToken(CToken::CImpl* token);
    void removeToken(CToken::CImpl* token);

    // Slot table and counters.
    std::vector<SlotStatus> m_slots;
    uint64_t m_presentCount = 0;
    std::vector<CToken::CImpl*> m_liveTokens;
    Vsk::Utils::CDataBlob m_dbInfo;

    HMODULE m_module = nullptr;
    HMODULE m_etsapi = nullptr;
    Vsk::Utils::CWString m_path;
    Vsk::Utils::CWString m_versionText;
    CK_FUNCTION_LIST_PTR m_functions = nullptr;
    void* m_extendedFunctions = nullptr;

    // Vendor entry points, kept for the life of the load and never called.
    FARPROC m_createCSR = nullptr;
    FARPROC m_freeBuffer = nullptr;
    FARPROC m_genCert = nullptr;
    FARPROC m_pkcs7Sign = nullptr;
    FARPROC m_pkcs7SignEx = nullptr;
    FARPROC m_pkcs7Verify = nullptr;
    FARPROC m_jcCtrl = nullptr;
    FARPROC m_sapiInitToken = nullptr;

    HANDLE m_eventThread = nullptr;
    DWORD m_eventThreadId = 0;
    std::shared_ptr<CSlotEventContext> m_events;
    SlotEventCallback m_onSlotEvent;
};

// The parameter of a GOST R 34.10 key agreement for a derivation mechanism, the other side's public key
// value and the UKM: CK_GOSTR3410_DERIVE_PARAMS for CKM_GOSTR3410_DERIVE, the byte string of the 2012
// derivation (KDF, key length, key, UKM length, UKM; lengths and codes u32 little-endian) for
// CKM_GOSTR3410_12_DERIVE, nothing for any other mechanism. Keeps its own copies of the inputs.
class CKeyAgreementParams {
public:
    CKeyAgreementParams(CK_MECHANISM_TYPE mechanism, const Vsk::Utils::CDataBlob& publicKey,
                        const Vsk::Utils::CDataBlob& ukm, bool kdf);
    CKeyAgreementParams(const CKeyAgreementParams&) = delete;
    CKeyAgreementParams& operator=(const CKeyAgreementParams&) = delete;
    CK_MECHANISM* mechanism() { return &m_mechanism; }

private:
    // The standard's structure with the Linux ABI (natural alignment, CK_ULONG fields).
    struct DeriveParams {
        CK_ULONG kdf;
        CK_BYTE_PTR pPublicData;
        CK_ULONG ulPublicDataLen;
        CK_BYTE_PTR pUKM;
        CK_ULONG ulUKMLen;
    };
    Vsk::Utils::CDataBlob m_publicKey;
    Vsk::Utils::CDataBlob m_ukm;
    Vsk::Utils::CDataBlob m_bytes;
    DeriveParams m_params{};
    CK_MECHANISM m_mechanism{};
};

// Makes the pair's next generated keys session objects on the curve `curve` (DER of its OID; empty: the
// mechanism's usual set): the ephemeral pair of a session-key export.
void prepareEphemeralPair(CTokenKeyPair& pair, const Vsk::Utils::CDataBlob& curve);

// The local time as "dd.MM.yyyy hh.mm.ss", with ".mmm" milliseconds when asked: the labels and
// identifiers of generated key pairs.
Vsk::Utils::CWString localTimeText(bool milliseconds);

// Forgets the library names read from the registry, so that the next getLibraries reads them again
// (tests only: the program reads them once per process).
void ResetLibraryNames();

// A user PIN kept for later logins: UTF-16 bytes padded to the memory protection's block and
// encrypted for this process when the protection is there. Wiped when replaced and when it goes.
class CRememberedPin {
public:
    CRememberedPin() = default;
    ~CRememberedPin() { clear(); }
    CRememberedPin(const CRememberedPin&) = delete;
    CRememberedPin& operator=(const CRememberedPin&) = delete;

    void put(const Vsk::Utils::CWString& pin);
    // A fresh copy that the caller wipes; empty when none is kept or it cannot be decrypted.
    Vsk::Utils::CWString get() const;
    bool isEmpty() const { return m_bytes.getSize() == 0; }
    void clear();

private:
    Vsk::Utils::CDataBlob m_bytes;
    size_t m_length = 0;
    bool m_protected = false;
};

class CToken::CImpl : public Vsk::Utils::CRefMan {
public:
    // Operation states of the token; multi-part operations of the key pairs move between the
    // first three, removal from the slot sets the last for good.
    enum : uint32_t { StateIdle = 0, StateDigest = 1, StateHashAndSign = 2, StateRemoved = 3 };

    CImpl(const CPKCS11& library, CK_SLOT_ID slot);
    ~CImpl() override;

    // The library's current function list; raises when the library has been finalised.
    CK_FUNCTION_LIST_PTR functions() const;
    CPKCS11::CImpl* library() const { return m_pLib; }

    void openSession();
    void closeSession();
    void login(Vsk::Utils::CWString& pin, bool so);
    void logout();

    const SlotInfo& getSlotInfo();
    const TokenInfo& getTokenInfo();
    Vsk::Utils::CWString getName();

    // Mechanisms whose flags hold all of `requiredFlags`; (CK_FLAGS)-1: any flag at all.
    Vsk::Utils::CArray<MechanismInfo> getAlgs(CK_FLAGS requiredFlags);
    bool hasMechanism(CK_MECHANISM_TYPE mechanism, CK_FLAGS requiredFlags);

    Vsk::Utils::CArray<CK_OBJECT_HANDLE> findObjects(CK_ATTRIBUTE* attributes, CK_ULONG count);
    Vsk::Utils::CDataBlob getAttributeValue(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
    CK_KEY_TYPE getKeyType(CK_OBJECT_HANDLE object);
    CK_OBJECT_HANDLE createObject(CK_ATTRIBUTE* attributes, CK_ULONG count);
    // Destroys the object and sets the handle to 0; 0 does nothing.
    void destroyObject(CK_OBJECT_HANDLE& object);

    CK_OBJECT_HANDLE findPubKey(const Vsk::Utils::CDataBlob& value);
    CK_OBJECT_HANDLE findCertificate(const Vsk::Utils::CDataBlob& der);
    CK_OBJECT_HANDLE findCertByPubKey(CK_OBJECT_HANDLE publicKey);
    CK_OBJECT_HANDLE findPrivByPubKey(CK_OBJECT_HANDLE publicKey);
    bool isPubKeyCorrespondPrivKey(CK_OBJECT_HANDLE publicKey, CK_OBJECT_HANDLE privateKey);
    // The digest mechanism that fits a key's hash parameters (0 when none does).
    CK_MECHANISM_TYPE getHashMechanism(CK_OBJECT_HANDLE key);
    // Moves the operation state on, unless the token has been removed meanwhile (that mark stays).
    void setState(uint32_t state) {
        uint32_t current = m_state.load();
        while (current != StateRemoved && !m_state.compare_exchange_weak(current, state)) {
        }
    }

    void generateRandom(Vsk::Utils::CDataBlob& data);
    Vsk::Utils::CWString attributeToString(const Vsk::Utils::CDataBlob& value);
    UINT getCodePage();

    CPKCS11 m_library;
    CPKCS11::CImpl* m_pLib;
    TokenSlot m_info;
    CK_SESSION_HANDLE m_hSession = 0;
    bool m_loggedIn = false;
    // Set from the slot-event thread, read by the token's user.
    std::atomic<uint32_t> m_state{StateIdle};
    CRememberedPin m_pin;
};

}  // namespace Vsk::PKCS11
