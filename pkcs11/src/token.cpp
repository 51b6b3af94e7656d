// PKCS#11 libraries, tokens and key pairs.
//
// This build does not load vendor libraries yet. A library handle can be made and asked for its
// configuration, but init reports failure with a log line, a library holds no token, and a token
// or key pair made for a library that is not loaded is an empty handle. Every operation on an
// empty handle raises the foundation's "not created" error naming the implementation class, so a
// caller that reaches a token branch by mistake learns it at once instead of reading nothing.
#include <vsk/pkcs11/Token.h>
#include <vsk/pkcs11/TokenKeyPair.h>

#include <vsk/utils/error.h>
#include <vsk/utils/log.h>
#include <vsk/utils/registry.h>

namespace Vsk::PKCS11 {

using Vsk::Utils::CArray;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CWString;

// The library object. No vendor library is attached in this build, so it holds only its
// configuration.
class CPKCS11::CImpl : public Vsk::Utils::CRefMan {
public:
    std::function<void(const CToken&)> m_onSlotEvent;
};

// A token object; made only for a loaded library.
class CToken::CImpl : public Vsk::Utils::CRefMan {
public:
    CPKCS11 m_library{false};
    CK_SLOT_ID m_slot = 0;
    SlotInfo m_slotInfo;
    TokenInfo m_tokenInfo;
};

// A key pair object; made only on a token object.
class CTokenKeyPair::CImpl : public Vsk::Utils::CRefMan {
public:
    CToken m_token;
    CK_OBJECT_HANDLE m_pubKey = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE m_privKey = CK_INVALID_HANDLE;
};

namespace {

constexpr const WCHAR* SettingsKey = u"Software\\Voskel\\HelvorCom\\Settings";
constexpr const WCHAR* LibrariesValue = u"pkcs11Libraries";

// The vendors' library names looked for when the registry names none (Rutoken, eToken, JaCarta).
constexpr const WCHAR* DefaultLibraries[] = {u"librtpkcs11ecp.so", u"libeToken.so", u"libjcPKCS11-2.so"};

// Reached only through a handle that is not empty, which no library of this build hands out.
[[noreturn]] void raiseNotLoaded(const char* function) {
    throw Vsk::Utils::CError(CAString(function) + ": библиотека PKCS#11 не загружена",
                             Vsk::Utils::NoErrorCode);
}

}  // namespace

CWString TokenSlot::getName() const {
    if (!hasTokenInfo) return {};
    CWString name = slotInfo.slotDescription.getLength() ? slotInfo.slotDescription : slotInfo.manufacturerID;
    return name + u" - " + tokenInfo.model + u" - " + tokenInfo.serialNumber;
}

// ---- CPKCS11 -------------------------------------------------------------------------------------

CPKCS11::CPKCS11(bool create) {
    if (create) m_pImpl = Vsk::Utils::CRefPtr<CImpl>::create();
}
CPKCS11::CPKCS11(const CPKCS11& other) = default;
CPKCS11& CPKCS11::operator=(const CPKCS11& other) = default;
CPKCS11::~CPKCS11() = default;

CArray<CWString> CPKCS11::getLibraries() {
    CArray<CWString> names;
    const CDataBlob value =
        Vsk::InternalUtils::regReadValue(SettingsKey, LibrariesValue, HKEY_CURRENT_USER, nullptr);
    // REG_SZ or REG_MULTI_SZ: names separated by NULs, line breaks or ';'.
    const auto* text = reinterpret_cast<const WCHAR*>(value.getData());
    const size_t count = value.getSize() / sizeof(WCHAR);
    size_t start = 0;
    for (size_t i = 0; i <= count; ++i) {
        const bool end =
            i == count || text[i] == 0 || text[i] == u';' || text[i] == u'\n' || text[i] == u'\r';
        if (!end) continue;
        if (i > start) {
            CWString name(text + start, i - start);
            name.trimRight();
            if (name.getLength()) names.add(name);
        }
        start = i + 1;
    }
    if (names.isEmpty())
        for (const WCHAR* name : DefaultLibraries) names.add(CWString(name));
    return names;
}

bool CPKCS11::init(const CWString& path) {
    m_pImpl.checkCreated();
    Vsk::InternalUtils::LogAt(1, CWString(u"PKCS11::CPKCS11::init ") + path +
                                     u": загрузка библиотек PKCS#11 в этой сборке не поддерживается");
    return false;
}

void CPKCS11::setOnSlotEvent(std::function<void(const CToken&)> handler) {
    m_pImpl.checkCreated();
    Vsk::Utils::CLock lock(m_pImpl.get());
    m_pImpl->m_onSlotEvent = std::move(handler);
}

CK_ULONG CPKCS11::getTokenCount() const {
    m_pImpl.checkCreated();
    return 0;
}

CToken CPKCS11::getToken(CK_ULONG index) const {
    m_pImpl.checkCreated();
    throw Vsk::Utils::CError(CWString(u"PKCS11::CPKCS11::getToken: нет токена с индексом ") +
                                 Vsk::Utils::ToWString(static_cast<uint64_t>(index)),
                             Vsk::Utils::NoErrorCode);
}

void CPKCS11::clearAll() {
    // No library is ever loaded, so the registry of loaded libraries is always empty.
}

bool CPKCS11::isLoaded() const {
    m_pImpl.checkCreated();
    return false;
}

// ---- CToken --------------------------------------------------------------------------------------

CToken::CToken(CPKCS11* library, CK_SLOT_ID slot) {
    if (!library || library->isEmpty() || !library->isLoaded()) return;
    m_pImpl = Vsk::Utils::CRefPtr<CImpl>::create();
    m_pImpl->m_library = *library;
    m_pImpl->m_slot = slot;
}
CToken::CToken(const CToken& other) = default;
CToken& CToken::operator=(const CToken& other) = default;
CToken::~CToken() = default;

const SlotInfo& CToken::getSlotInfo() const {
    m_pImpl.checkCreated();
    raiseNotLoaded("PKCS11::CToken::getSlotInfo");
}
const TokenInfo& CToken::getTokenInfo() const {
    m_pImpl.checkCreated();
    raiseNotLoaded("PKCS11::CToken::getTokenInfo");
}
TokenSlot CToken::getInfo() const {
    m_pImpl.checkCreated();
    raiseNotLoaded("PKCS11::CToken::getInfo");
}
CWString CToken::getName() const {
    return getInfo().getName();
}
CArray<MechanismInfo> CToken::getAlgs() const {
    m_pImpl.checkCreated();
    raiseNotLoaded("PKCS11::CToken::getAlgs");
}
CArray<CK_OBJECT_HANDLE> CToken::findObjects(CK_ULONG) const {
    m_pImpl.checkCreated();
    raiseNotLoaded("PKCS11::CToken::findObjects");
}
CDataBlob CToken::getAttributeValue(CK_OBJECT_HANDLE, CK_ATTRIBUTE_TYPE) const {
    m_pImpl.checkCreated();
    raiseNotLoaded("PKCS11::CToken::getAttributeValue");
}
CWString CToken::attributeToString(const CDataBlob&) const {
    m_pImpl.checkCreated();
    raiseNotLoaded("PKCS11::CToken::attributeToString");
}
int CToken::generateRandom(CDataBlob& data) const {
    m_pImpl.checkCreated();
    if (!data.getSize()) return 0;
    raiseNotLoaded("PKCS11::CToken::generateRandom");
}
void CToken::loginAnsi(CAString& pin, bool) const {
    // The caller's copy of the PIN is wiped whatever happens.
    pin.zeroFill();
    m_pImpl.checkCreated();
    raiseNotLoaded("PKCS11::CToken::loginAnsi");
}
void CToken::login(CWString& pin, bool) const {
    pin.zeroFill();
    m_pImpl.checkCreated();
    raiseNotLoaded("PKCS11::CToken::login");
}
void CToken::logout() const {
    m_pImpl.checkCreated();
    raiseNotLoaded("PKCS11::CToken::logout");
}
bool CToken::isLoggedIn() const {
    m_pImpl.checkCreated();
    raiseNotLoaded("PKCS11::CToken::isLoggedIn");
}
bool CToken::isRemoved() const {
    m_pImpl.checkCreated();
    raiseNotLoaded("PKCS11::CToken::isRemoved");
}
CK_OBJECT_HANDLE CToken::findCertificate(const CDataBlob&) const {
    m_pImpl.checkCreated();
    raiseNotLoaded("PKCS11::CToken::findCertificate");
}
CK_OBJECT_HANDLE CToken::findPubKey(const CDataBlob&) const {
    m_pImpl.checkCreated();
    raiseNotLoaded("PKCS11::CToken::findPubKey");
}
CK_OBJECT_HANDLE CToken::findPrivByPubKey(CK_OBJECT_HANDLE) const {
    m_pImpl.checkCreated();
    raiseNotLoaded("PKCS11::CToken::findPrivByPubKey");
}

// ---- CTokenKeyPair -------------------------------------------------------------------------------

CTokenKeyPair::CTokenKeyPair(const CToken* token) {
    if (!token || token->isEmpty()) return;
    m_pImpl = Vsk::Utils::CRefPtr<CImpl>::create();
    m_pImpl->m_token = *token;
}
CTokenKeyPair::CTokenKeyPair(const CToken* token, CK_OBJECT_HANDLE publicKey, CK_OBJECT_HANDLE privateKey)
    : CTokenKeyPair(token) {
    if (!m_pImpl) return;
    m_pImpl->m_pubKey = publicKey;
    m_pImpl->m_privKey = privateKey;
}
CTokenKeyPair::CTokenKeyPair(const CTokenKeyPair& other) = default;
CTokenKeyPair& CTokenKeyPair::operator=(const CTokenKeyPair& other) = default;
CTokenKeyPair::~CTokenKeyPair() = default;

CToken* CTokenKeyPair::getToken() const {
    return m_pImpl ? &m_pImpl->m_token : nullptr;
}
void CTokenKeyPair::setPubKey(CK_OBJECT_HANDLE) {
    m_pImpl.checkCreated();
    raiseNotLoaded("PKCS11::CTokenKeyPair::setPubKey");
}
CK_OBJECT_HANDLE CTokenKeyPair::getPubKeyHandle() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_pubKey;
}
CK_OBJECT_HANDLE CTokenKeyPair::getPrivKeyHandle() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_privKey;
}
CK_MECHANISM_TYPE CTokenKeyPair::getDigestAlg() const {
    m_pImpl.checkCreated();
    raiseNotLoaded("PKCS11::CTokenKeyPair::getDigestAlg");
}
CDataBlob CTokenKeyPair::getCertificate() const {
    m_pImpl.checkCreated();
    raiseNotLoaded("PKCS11::CTokenKeyPair::getCertificate");
}
void CTokenKeyPair::destroyObjects() {
    m_pImpl.checkCreated();
    raiseNotLoaded("PKCS11::CTokenKeyPair::destroyObjects");
}

}  // namespace Vsk::PKCS11
