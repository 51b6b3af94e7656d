// Tokens: the session a token object keeps, login with the remembered user PIN, the slot and token
// records, mechanisms, object search and attributes, random bytes.
//
// A token object opens one read-write serial session on first use and keeps it for its life. The
// caller serialises all use of one token object; only the removal mark comes from the slot-event
// thread. PINs: every copy the token makes (the converted bytes, a wide copy of an 8-bit PIN, the
// remembered PIN handed back) is wiped on every path; the remembered PIN is kept encrypted for this
// process.
#include "pkcs11Impl.h"

#include <vsk/platform/cert.h>
#include <vsk/platform/crypt.h>
#include <vsk/platform/kernel.h>
#include <vsk/utils/error.h>
#include <vsk/utils/file.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/system.h>

#include <cstring>
#include <vector>

namespace Vsk::PKCS11 {

using Vsk::InternalUtils::CLogScope;
using Vsk::InternalUtils::GetLogLevel;
using Vsk::InternalUtils::LogAt;
using Vsk::Utils::CArray;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CLock;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;
using Vsk::Utils::ToWString;

namespace {

// The error code of a missing login or PIN (SCARD_W_SECURITY_VIOLATION, SCARD_W_CARD_NOT_AUTHENTICATED).
constexpr DWORD ScardWSecurityViolation = 0x8010006F;
constexpr DWORD ScardWCardNotAuthenticated = 0x8010006B;

void logLine(int level, const char* function, const CWString& text) {
    if (GetLogLevel() >= level) LogAt(level, ToWString(function) + u" " + text);
}

CWString wide(const CAString& text) {
    return CWString(text, Vsk::Utils::CP_PROGRAM);
}

CWString hexUpper(const CDataBlob& value) {
    return wide(value.toHex(nullptr, false));
}

// A fixed-width, blank-padded text field of a Cryptoki record.
CWString fieldText(CPKCS11::CImpl* library, const CK_UTF8CHAR* field, size_t size) {
    CWString text = library ? library->fromTokenText(field, size)
                            : CWString(reinterpret_cast<const char*>(field), size, CP_UTF8);
    text.trimRight();
    return text;
}

// The public key of a DER certificate in the form tokens keep in CKA_VALUE: the content of the
// OCTET STRING that GOST keys wrap their point in, otherwise the key bits as they are.
CDataBlob certificatePublicKey(const CDataBlob& der) {
    PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, der.getData(), der.getSize());
    if (!cert) return {};
    const CRYPT_BIT_BLOB& bits = cert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    CDataBlob key(bits.pbData, bits.cbData, true);
    CertFreeCertificateContext(cert);
    const BYTE* p = key.getData();
    const size_t n = key.getSize();
    if (n >= 2 && p[0] == 0x04) {
        size_t length = p[1], header = 2;
        if (length == 0x81 && n >= 3) {
            length = p[2];
            header = 3;
        } else if (length == 0x82 && n >= 4) {
            length = (static_cast<size_t>(p[2]) << 8) | p[3];
            header = 4;
        } else if (length >= 0x80) {
            return key;
        }
        if (header + length == n) return key.getBlock(header, length).clone();
    }
    return key;
}

// Wipes a wide PIN when the scope ends, whatever way it ends.
class CPinWipe {
public:
    explicit CPinWipe(CWString* pin = nullptr) : m_pin(pin) {}
    ~CPinWipe() {
        if (m_pin) m_pin->zeroFill();
    }
    void arm(CWString* pin) { m_pin = pin; }
    CPinWipe(const CPinWipe&) = delete;
    CPinWipe& operator=(const CPinWipe&) = delete;

private:
    CWString* m_pin;
};

}  // namespace

CWString versionToString(const CK_VERSION& v) {
    return ToWString(static_cast<uint32_t>(v.major)) + u"." + ToWString(static_cast<uint32_t>(v.minor));
}

CWString TokenSlot::getName() const {
    if (!hasTokenInfo) return {};
    const CWString first = hasSlotInfo && slotInfo.slotDescription.getLength() ? slotInfo.slotDescription
                                                                               : tokenInfo.manufacturerID;
    return first + u" - " + tokenInfo.model + u" - " + tokenInfo.serialNumber;
}

// ---- Remembered PIN ------------------------------------------------------------------------------------

void CRememberedPin::put(const CWString& pin) {
    clear();
    const size_t length = pin.getLength();
    if (!length) return;
    const size_t bytes = length * sizeof(WCHAR);
    const size_t padded = (bytes + CRYPTPROTECTMEMORY_BLOCK_SIZE - 1) / CRYPTPROTECTMEMORY_BLOCK_SIZE *
                          CRYPTPROTECTMEMORY_BLOCK_SIZE;
    CDataBlob block(padded);
    std::memset(block.getData(), 0, padded);
    std::memcpy(block.getData(), pin.c_str(), bytes);
    m_protected =
        CryptProtectMemory(block.getData(), static_cast<DWORD>(padded), CRYPTPROTECTMEMORY_SAME_PROCESS);
    if (!m_protected)
        logLine(1, "PKCS11::CRememberedPin::put",
                u"CryptProtectMemory " + Vsk::Utils::GetSystemErrorText(GetLastError()));
    m_bytes = block;
    m_length = length;
}

CWString CRememberedPin::get() const {
    if (!m_bytes.getSize()) return {};
    CDataBlob copy = m_bytes.clone();
    if (m_protected &&
        !CryptUnprotectMemory(copy.getData(), copy.getSize(), CRYPTPROTECTMEMORY_SAME_PROCESS)) {
        // Bytes that cannot be decrypted are never handed to a token as a PIN: it counts wrong PINs.
        logLine(1, "PKCS11::CRememberedPin::get",
                u"CryptUnprotectMemory " + Vsk::Utils::GetSystemErrorText(GetLastError()));
        copy.zeroFill();
        return {};
    }
    CWString pin(reinterpret_cast<const WCHAR*>(copy.getData()), m_length);
    copy.zeroFill();
    return pin;
}

void CRememberedPin::clear() {
    if (m_bytes.getSize()) m_bytes.zeroFill();
    m_bytes = CDataBlob();
    m_length = 0;
    m_protected = false;
}

// ---- Token object ----------------------------------------------------------------------------------

CToken::CImpl::CImpl(const CPKCS11& library, CK_SLOT_ID slot)
    : m_library(library), m_pLib(library.getImpl()) {
    m_info.slotId = slot;
    m_pLib->addToken(this);
}

CToken::CImpl::~CImpl() {
    closeSession();
    m_pLib->removeToken(this);
    m_info = TokenSlot();
    m_pin.clear();
}

CK_FUNCTION_LIST_PTR CToken::CImpl::functions() const {
    CK_FUNCTION_LIST_PTR list;
    {
        CLock lock(m_pLib);
        list = m_pLib->m_functions;
    }
    if (!list) checkRetVal(CKR_CRYPTOKI_NOT_INITIALIZED, "C_GetFunctionList");
    return list;
}

UINT CToken::CImpl::getCodePage() {
    return m_pLib->getCodePage();
}

void CToken::CImpl::openSession() {
    if (m_hSession) return;
    checkRetVal(functions()->C_OpenSession(m_info.slotId, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                           nullptr, &m_hSession),
                "C_OpenSession(m_info.slotId, (CKF_SERIAL_SESSION | CKF_RW_SESSION), 0, 0, &m_hSession)");
}

void CToken::CImpl::closeSession() {
    if (m_hSession) {
        CK_FUNCTION_LIST_PTR list;
        {
            CLock lock(m_pLib);
            list = m_pLib->m_functions;
        }
        // A finalised library has closed every session already.
        if (list) {
            if (m_loggedIn) list->C_Logout(m_hSession);
            list->C_CloseSession(m_hSession);
        }
    }
    m_loggedIn = false;
    m_hSession = 0;
}

void CToken::CImpl::login(CWString& pin, bool so) {
    // A PIN the token fills in from memory is its own copy: wiped whatever happens.
    CPinWipe substituteWipe;
    if (!pin.getLength()) {
        if (m_pin.isEmpty())
            throw CError(CWString(u"Не задан ПИН код токена \"") + getName() + u"\"!",
                         ScardWSecurityViolation);
        pin = m_pin.get();
        substituteWipe.arm(&pin);
    }
    CK_FUNCTION_LIST_PTR list = functions();
    openSession();
    if (m_loggedIn) {
        m_loggedIn = false;
        checkRetVal(list->C_Logout(m_hSession), "C_Logout(m_hSession)");
    }
    CAString converted = m_pLib->toTokenText(pin);
    const CK_RV rv = list->C_Login(m_hSession, so ? CKU_SO : CKU_USER,
                                   reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(converted.c_str())),
                                   converted.getLength());
    converted.zeroFill();
    if (rv == CKR_USER_ALREADY_LOGGED_IN)
        logLine(2, "PKCS11::CToken::CImpl::login", wide(rvCallText(rv, "C_Login")));
    else
        checkRetVal(rv, "C_Login");
    m_loggedIn = true;
    if (!so) m_pin.put(pin);
    pin.zeroFill();
}

void CToken::CImpl::logout() {
    if (!m_hSession || !m_loggedIn) {
        m_loggedIn = false;
        return;
    }
    m_loggedIn = false;
    checkRetVal(functions()->C_Logout(m_hSession), "C_Logout(m_hSession)");
}

const SlotInfo& CToken::CImpl::getSlotInfo() {
    if (!m_info.hasSlotInfo) {
        CK_SLOT_INFO si;
        checkRetVal(functions()->C_GetSlotInfo(m_info.slotId, &si), "C_GetSlotInfo(m_info.slotId, &si)");
        SlotInfo& info = m_info.slotInfo;
        info.slotDescription = fieldText(m_pLib, si.slotDescription, sizeof si.slotDescription);
        info.manufacturerID = fieldText(m_pLib, si.manufacturerID, sizeof si.manufacturerID);
        info.flags = si.flags;
        info.hardwareVersion = si.hardwareVersion;
        info.firmwareVersion = si.firmwareVersion;
        m_info.hasSlotInfo = true;
    }
    return m_info.slotInfo;
}

const TokenInfo& CToken::CImpl::getTokenInfo() {
    if (!m_info.hasTokenInfo) {
        CK_TOKEN_INFO ti;
        checkRetVal(functions()->C_GetTokenInfo(m_info.slotId, &ti), "C_GetTokenInfo(m_info.slotId, &ti)");
        TokenInfo& info = m_info.tokenInfo;
        info.label = fieldText(m_pLib, ti.label, sizeof ti.label);
        info.manufacturerID = fieldText(m_pLib, ti.manufacturerID, sizeof ti.manufacturerID);
        info.model = fieldText(m_pLib, ti.model, sizeof ti.model);
        info.serialNumber = fieldText(m_pLib, ti.serialNumber, sizeof ti.serialNumber);
        info.flags = ti.flags;
        info.maxSessionCount = ti.ulMaxSessionCount;
        info.sessionCount = ti.ulSessionCount;
        info.maxRwSessionCount = ti.ulMaxRwSessionCount;
        info.rwSessionCount = ti.ulRwSessionCount;
        info.maxPinLen = ti.ulMaxPinLen;
        info.minPinLen = ti.ulMinPinLen;
        info.totalPublicMemory = ti.ulTotalPublicMemory;
        info.freePublicMemory = ti.ulFreePublicMemory;
        info.totalPrivateMemory = ti.ulTotalPrivateMemory;
        info.freePrivateMemory = ti.ulFreePrivateMemory;
        info.hardwareVersion = ti.hardwareVersion;
        info.firmwareVersion = ti.firmwareVersion;
        info.utcTime = fieldText(m_pLib, ti.utcTime, sizeof ti.utcTime);
        m_info.hasTokenInfo = true;
    }
    return m_info.tokenInfo;
}

CWString CToken::CImpl::getName() {
    getSlotInfo();
    getTokenInfo();
    return m_info.getName();
}

CArray<MechanismInfo> CToken::CImpl::getAlgs(CK_FLAGS requiredFlags) {
    CK_FUNCTION_LIST_PTR list = functions();
    CK_ULONG count = 0;
    checkRetVal(list->C_GetMechanismList(m_info.slotId, nullptr, &count),
                "C_GetMechanismList(m_info.slotId, NULL, &cnt)");
    std::vector<CK_MECHANISM_TYPE> types(count);
    if (count)
        checkRetVal(list->C_GetMechanismList(m_info.slotId, types.data(), &count),
                    "C_GetMechanismList(m_info.slotId, pMechanismList, &cnt)");
    types.resize(count);
    CArray<MechanismInfo> kept;
    CWString text;
    for (CK_MECHANISM_TYPE type : types) {
        MechanismInfo m;
        m.type = type;
        if (list->C_GetMechanismInfo(m_info.slotId, type, &m.info) != CKR_OK) continue;
        const bool keep = requiredFlags == static_cast<CK_FLAGS>(-1)
                              ? m.info.flags != 0
                              : (m.info.flags & requiredFlags) == requiredFlags;
        if (!keep) continue;
        kept.add(m);
        if (GetLogLevel() >= 4) {
            if (text.getLength()) text += u",\r\n";
            text += u"type=" + ToWString(static_cast<uint64_t>(type), 16) + u" ulMinKeySize=" +
                    ToWString(static_cast<uint64_t>(m.info.ulMinKeySize)) + u" ulMaxKeySize=" +
                    ToWString(static_cast<uint64_t>(m.info.ulMaxKeySize)) + u" flags=" +
                    ToWString(static_cast<uint64_t>(m.info.flags), 16);
        }
    }
    if (text.getLength()) logLine(4, "PKCS11::CToken::CImpl::getAlgs", text);
    return kept;
}

bool CToken::CImpl::hasMechanism(CK_MECHANISM_TYPE mechanism, CK_FLAGS requiredFlags) {
    for (const MechanismInfo& m : getAlgs(requiredFlags))
        if (m.type == mechanism) return true;
    return false;
}

CArray<CK_OBJECT_HANDLE> CToken::CImpl::findObjects(CK_ATTRIBUTE* attributes, CK_ULONG count) {
    CK_FUNCTION_LIST_PTR list = functions();
    openSession();
    checkRetVal(list->C_FindObjectsInit(m_hSession, attributes, count),
                "C_FindObjectsInit(m_hSession, pAttr, ulCount)");
    CArray<CK_OBJECT_HANDLE> found;
    try {
        for (;;) {
            CK_OBJECT_HANDLE object = 0;
            CK_ULONG n = 0;
            checkRetVal(list->C_FindObjects(m_hSession, &object, 1, &n),
                        "C_FindObjects(m_hSession, &hObject, 1, &pulObjectCount)");
            if (n == 0) break;
            found.add(object);
        }
    } catch (...) {
        // The search must not stay open on the session: the next one would be refused.
        logIfError(list->C_FindObjectsFinal(m_hSession), "C_FindObjectsFinal(m_hSession)");
        throw;
    }
    checkRetVal(list->C_FindObjectsFinal(m_hSession), "C_FindObjectsFinal(m_hSession)");
    return found;
}

CDataBlob CToken::CImpl::getAttributeValue(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_FUNCTION_LIST_PTR list = functions();
    openSession();
    CK_ATTRIBUTE attribute{type, nullptr, 0};
    CK_RV rv = list->C_GetAttributeValue(m_hSession, object, &attribute, 1);
    if (rv == CKR_OBJECT_HANDLE_INVALID || (rv == CKR_BUFFER_TOO_SMALL && attribute.ulValueLen == 0))
        throw CError(rvText(rv), Vsk::Utils::LastErrorCode);
    if ((rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) || attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION)
        return {};
    if (attribute.ulValueLen == 0) return {};
    CDataBlob value(static_cast<size_t>(attribute.ulValueLen));
    attribute.pValue = value.getData();
    rv = list->C_GetAttributeValue(m_hSession, object, &attribute, 1);
    if (rv != CKR_OK || attribute.ulValueLen > value.getSize()) return {};
    if (attribute.ulValueLen < value.getSize()) return value.getBlock(0, attribute.ulValueLen).clone();
    return value;
}

CK_KEY_TYPE CToken::CImpl::getKeyType(CK_OBJECT_HANDLE object) {
    const CDataBlob value = getAttributeValue(object, CKA_KEY_TYPE);
    bool ok = value.getSize() != 0;
    const uint32_t type = ok ? value.toUInt32(&ok) : 0;
    if (!ok) throw CError(CWString(u"Тип ключа не ULONG: ") + hexUpper(value), Vsk::Utils::NoErrorCode);
    return type;
}

CK_OBJECT_HANDLE CToken::CImpl::createObject(CK_ATTRIBUTE* attributes, CK_ULONG count) {
    CK_FUNCTION_LIST_PTR list = functions();
    openSession();
    CK_OBJECT_HANDLE object = 0;
    checkRetVal(list->C_CreateObject(m_hSession, attributes, count, &object),
                "C_CreateObject(m_hSession, pTemplate, ulCount, &hObject)");
    return object;
}

void CToken::CImpl::destroyObject(CK_OBJECT_HANDLE& object) {
    if (!object) return;
    CK_FUNCTION_LIST_PTR list = functions();
    openSession();
    checkRetVal(list->C_DestroyObject(m_hSession, object), "C_DestroyObject(m_hSession, handle)");
    object = 0;
}

namespace {

// The first object of a {class, value} search; several are logged.
CK_OBJECT_HANDLE findByValue(CToken::CImpl* token, CK_OBJECT_CLASS objectClass, const CDataBlob& value,
                             const WCHAR* severalText, const char* traceName) {
    CLogScope scope(traceName, 4, GetLogLevel() >= 4 ? hexUpper(value) : CWString(), token);
    CK_ATTRIBUTE search[] = {{CKA_CLASS, &objectClass, sizeof objectClass},
                             {CKA_VALUE, value.getData(), value.getSize()}};
    const CArray<CK_OBJECT_HANDLE> found = token->findObjects(search, 2);
    CK_OBJECT_HANDLE object = 0;
    if (!found.isEmpty()) object = found[0];
    if (found.getCount() > 1)
        logLine(2, "PKCS11::CToken::CImpl::findObjects", CWString(severalText) + hexUpper(value));
    if (scope.getLevel() >= 3) scope.m_result = ToWString(static_cast<uint64_t>(object));
    return object;
}

}  // namespace

CK_OBJECT_HANDLE CToken::CImpl::findPubKey(const CDataBlob& value) {
    return findByValue(this, CKO_PUBLIC_KEY, value, u"На токене более одного публичного ключа со значением: ",
                       "Vsk::PKCS11::CToken::findPubKey");
}

CK_OBJECT_HANDLE CToken::CImpl::findCertificate(const CDataBlob& der) {
    return findByValue(this, CKO_CERTIFICATE, der, u"На токене более одного сертификата со значением: ",
                       "Vsk::PKCS11::CToken::findCertificate");
}

CK_OBJECT_HANDLE CToken::CImpl::findCertByPubKey(CK_OBJECT_HANDLE publicKey) {
    const CDataBlob id = getAttributeValue(publicKey, CKA_ID);
    const CDataBlob keyValue = getAttributeValue(publicKey, CKA_VALUE);
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    auto firstMatching = [&](CK_ATTRIBUTE* search, CK_ULONG count) -> CK_OBJECT_HANDLE {
        for (CK_OBJECT_HANDLE cert : findObjects(search, count)) {
            const CDataBlob key = certificatePublicKey(getAttributeValue(cert, CKA_VALUE));
            if (key.getSize() && key == keyValue) return cert;
        }
        return 0;
    };
    if (id.getSize()) {
        CK_ATTRIBUTE byId[] = {{CKA_CLASS, &certificateClass, sizeof certificateClass},
                               {CKA_ID, id.getData(), id.getSize()}};
        if (CK_OBJECT_HANDLE cert = firstMatching(byId, 2)) return cert;
    }
    CK_ATTRIBUTE all[] = {{CKA_CLASS, &certificateClass, sizeof certificateClass}};
    return firstMatching(all, 1);
}

CK_OBJECT_HANDLE CToken::CImpl::findPrivByPubKey(CK_OBJECT_HANDLE publicKey) {
    const CDataBlob id = getAttributeValue(publicKey, CKA_ID);
    CK_KEY_TYPE keyType = getKeyType(publicKey);
    CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
    const char* const function = "PKCS11::CToken::CImpl::findPrivByPubKey";
    if (id.getSize()) {
        CK_ATTRIBUTE byId[] = {{CKA_CLASS, &privateClass, sizeof privateClass},
                               {CKA_KEY_TYPE, &keyType, sizeof keyType},
                               {CKA_ID, id.getData(), id.getSize()}};
        const CArray<CK_OBJECT_HANDLE> found = findObjects(byId, 3);
        if (found.isEmpty()) {
            if (!m_loggedIn) throw CError("Не авторизовались на токене!", ScardWCardNotAuthenticated);
            logLine(2, function, u"На токене отсутствует закрытый ключ с CKA_ID=" + attributeToString(id));
        } else if (found.getCount() == 1) {
            if (isPubKeyCorrespondPrivKey(publicKey, found[0])) return found[0];
            logLine(2, function,
                    u"На токене закрытый ключ с CKA_ID=" + attributeToString(id) +
                        u" не соответствует открытому с тем же CKA_ID");
        } else {
            logLine(2, function,
                    u"На токене " + ToWString(static_cast<uint64_t>(found.getCount())) +
                        u" закрытых ключей с CKA_ID=" + attributeToString(id));
        }
    } else {
        logLine(2, function,
                u"CKA_ID публичного ключа " + ToWString(static_cast<uint64_t>(publicKey)) + u" пуст");
    }
    CK_ATTRIBUTE byType[] = {{CKA_CLASS, &privateClass, sizeof privateClass},
                             {CKA_KEY_TYPE, &keyType, sizeof keyType}};
    for (CK_OBJECT_HANDLE privateKey : findObjects(byType, 2))
        if (isPubKeyCorrespondPrivKey(publicKey, privateKey)) return privateKey;
    logLine(2, function,
            u"На токене отсутствует закрытый ключ, соотвтетствующий открытому " +
                ToWString(static_cast<uint64_t>(publicKey)));
    return 0;
}

bool CToken::CImpl::isPubKeyCorrespondPrivKey(CK_OBJECT_HANDLE publicKey, CK_OBJECT_HANDLE privateKey) {
    const CK_KEY_TYPE keyType = getKeyType(publicKey);
    CK_MECHANISM_TYPE mechanism;
    size_t length = 32;
    if (keyType == CKK_GOSTR3410) {
        mechanism = CKM_GOSTR3410;
    } else if (keyType == CKK_GOSTR3410_512) {
        mechanism = CKM_GOSTR3410_512;
        length = 64;
    } else {
        const CArray<MechanismInfo> signing = getAlgs(CKF_SIGN);
        auto listed = [&](CK_MECHANISM_TYPE type) {
            for (const MechanismInfo& m : signing)
                if (m.type == type) return true;
            return false;
        };
        if (listed(CKM_GOSTR3410)) {
            mechanism = CKM_GOSTR3410;
        } else if (listed(CKM_GOSTR3410_512)) {
            mechanism = CKM_GOSTR3410_512;
            length = 64;
        } else {
            // Keys outside GOST (RSA on most tokens) get a trial that fits them: raw PKCS #1 for RSA,
            // else the first signing mechanism the token lists.
            if (signing.isEmpty())
                throw CError(
                    CWString(u"Токен \"") + getName() + u"\" не поддерживает алгоритмы подписывания.",
                    Vsk::Utils::NoErrorCode);
            mechanism = keyType == CKK_RSA && listed(CKM_RSA_PKCS) ? CKM_RSA_PKCS : signing[0].type;
            logLine(2, "PKCS11::CToken::CImpl::isPubKeyCorrespondPrivKey",
                    CWString(u"Токен \"") + getName() +
                        u"\" не поддерживает алгоритмы подписывания CKM_GOSTR3410 и CKM_GOSTR3410_512, взят "
                        u"алгоритм 0x" +
                        ToWString(static_cast<uint64_t>(mechanism), 16));
        }
    }
    CDataBlob data(length);
    data.fillRandom();
    CK_FUNCTION_LIST_PTR list = functions();
    openSession();
    CK_MECHANISM mech{mechanism, nullptr, 0};
    checkRetVal(list->C_SignInit(m_hSession, &mech, privateKey),
                "C_SignInit(m_hSession, &mech, m_hPrivateKey)");
    CK_ULONG signatureLength = 0;
    checkRetVal(list->C_Sign(m_hSession, data.getData(), data.getSize(), nullptr, &signatureLength),
                "C_Sign(m_hSession, db, db.size(), NULL, &len)", true);
    CDataBlob signature(static_cast<size_t>(signatureLength ? signatureLength : 1));
    checkRetVal(
        list->C_Sign(m_hSession, data.getData(), data.getSize(), signature.getData(), &signatureLength),
        "C_Sign(m_hSession, db, db.size(), sign, &len)");
    try {
        checkRetVal(list->C_VerifyInit(m_hSession, &mech, publicKey),
                    "C_VerifyInit(m_hSession, &mech, hPubKey)");
        checkRetVal(
            list->C_Verify(m_hSession, data.getData(), data.getSize(), signature.getData(), signatureLength),
            "C_Verify(m_hSession, db, db.size(), sign, len)");
    } catch (const CError&) {
        return false;
    }
    return true;
}

void CToken::CImpl::generateRandom(CDataBlob& data) {
    if (!data.getSize()) return;
    CK_FUNCTION_LIST_PTR list = functions();
    openSession();
    SYSTEMTIME now;
    GetSystemTime(&now);
    logIfError(list->C_SeedRandom(m_hSession, reinterpret_cast<CK_BYTE_PTR>(&now), sizeof now), "SeedRandom");
    checkRetVal(list->C_GenerateRandom(m_hSession, data.getData(), data.getSize()),
                "C_GenerateRandom(m_hSession, db, db.size())");
}

CWString CToken::CImpl::attributeToString(const CDataBlob& value) {
    if (!value.getSize()) return {};
    const CWString text = m_pLib->fromTokenText(value.getData(), value.getSize());
    for (DWORD i = 0; i < text.getLength(); ++i) {
        const WCHAR c = text.c_str()[i];
        const bool printable = c == u'\t' || (c >= 0x20 && c <= 0xFE) || (c >= 0x410 && c <= 0x44F);
        if (!printable) return hexUpper(value);
    }
    return text;
}

// ---- Handle ------------------------------------------------------------------------------------------

CToken::CToken(CPKCS11* library, CK_SLOT_ID slot) {
    if (!library) return;
    if (library->isEmpty()) CRefPtr<CPKCS11::CImpl>().checkCreated();
    m_pImpl = CRefPtr<CImpl>::create(*library, slot);
}
CToken::CToken(CImpl* impl) : m_pImpl(impl) {}
CToken::CToken(const CToken& other) = default;
CToken& CToken::operator=(const CToken& other) = default;
CToken::~CToken() = default;

const SlotInfo& CToken::getSlotInfo() const {
    m_pImpl.checkCreated();
    return m_pImpl->getSlotInfo();
}
const TokenInfo& CToken::getTokenInfo() const {
    m_pImpl.checkCreated();
    return m_pImpl->getTokenInfo();
}
TokenSlot CToken::getInfo() const {
    m_pImpl.checkCreated();
    m_pImpl->getSlotInfo();
    m_pImpl->getTokenInfo();
    return m_pImpl->m_info;
}
CWString CToken::getName() const {
    m_pImpl.checkCreated();
    return m_pImpl->getName();
}
CArray<MechanismInfo> CToken::getAlgs() const {
    m_pImpl.checkCreated();
    return m_pImpl->getAlgs(static_cast<CK_FLAGS>(-1));
}
CArray<CK_OBJECT_HANDLE> CToken::findObjects(CK_ULONG objectClass) const {
    m_pImpl.checkCreated();
    CK_OBJECT_CLASS value = objectClass;
    CK_ATTRIBUTE search{CKA_CLASS, &value, sizeof value};
    return m_pImpl->findObjects(&search, 1);
}
CDataBlob CToken::getAttributeValue(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const {
    m_pImpl.checkCreated();
    return m_pImpl->getAttributeValue(object, type);
}
CWString CToken::attributeToString(const CDataBlob& value) const {
    m_pImpl.checkCreated();
    return m_pImpl->attributeToString(value);
}
int CToken::generateRandom(CDataBlob& data) const {
    m_pImpl.checkCreated();
    m_pImpl->generateRandom(data);
    return 0;
}
void CToken::login(CWString& pin, bool so) const {
    m_pImpl.checkCreated();
    m_pImpl->login(pin, so);
}
void CToken::loginAnsi(CAString& pin, bool so) const {
    CWString widePin(pin, Vsk::Utils::CP_PROGRAM);
    pin.zeroFill();
    // The wide copy is the token's own: wiped on every path.
    CPinWipe wipe(&widePin);
    m_pImpl.checkCreated();
    m_pImpl->login(widePin, so);
}
void CToken::logout() const {
    m_pImpl.checkCreated();
    m_pImpl->logout();
}
bool CToken::isLoggedIn() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_loggedIn;
}
bool CToken::isRemoved() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_state == CImpl::StateRemoved;
}
CK_OBJECT_HANDLE CToken::findCertificate(const CDataBlob& der) const {
    m_pImpl.checkCreated();
    return m_pImpl->findCertificate(der);
}
CK_OBJECT_HANDLE CToken::findPubKey(const CDataBlob& value) const {
    m_pImpl.checkCreated();
    return m_pImpl->findPubKey(value);
}
CK_OBJECT_HANDLE CToken::findPrivByPubKey(CK_OBJECT_HANDLE publicKey) const {
    m_pImpl.checkCreated();
    return m_pImpl->findPrivByPubKey(publicKey);
}
CWString CToken::getLibraryName() const {
    if (!m_pImpl) return {};
    CPKCS11::CImpl* library = m_pImpl->library();
    CLock lock(library);
    if (!library->m_module) return {};
    return Vsk::InternalUtils::GetModuleVersion(library->m_module) + u" " +
           Vsk::InternalUtils::GetModuleFileNameW(library->m_module);
}

}  // namespace Vsk::PKCS11
