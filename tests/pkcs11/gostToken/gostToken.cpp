// The GOST test token (see gostToken.h): a Cryptoki module whose slots, tokens and failures the tests
// configure. All state lives in one Module behind one mutex; the Cryptoki calls take it for their
// whole run (the library calls from several threads with CKF_OS_LOCKING_OK), and C_WaitForSlotEvent
// gives it up while it waits on the module's condition variable. The state is never destroyed, so a
// thread still waiting at process exit or after C_Finalize finds it alive.
#include "gostToken.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "gost28147.h"
#include "gostKeys.h"

using namespace VskGostToken;

namespace {

constexpr CK_ULONG GostKeySize = 32;
constexpr CK_ULONG WrappedKeySize = 36;  // encrypted key and 4-byte MAC
constexpr CK_ULONG UkmSize = 8;
constexpr CK_ULONG IvSize = 8;
constexpr int DefaultPinTries = 10;
const char* const DefaultSBox = "1.2.643.2.2.31.1";  // CryptoPro A, the GOST 28147 default

// Hash parameter sets as the keys carry them in CKA_GOSTR3411_PARAMS.
const char* const Hash94Oid = "1.2.643.2.2.30.1";
const char* const Hash256Oid = "1.2.643.7.1.1.2.2";

// ---- configuration, slots and tokens -------------------------------------------------------------

struct Mechanism {
    CK_MECHANISM_TYPE type;
    CK_ULONG minBits, maxBits;
    CK_FLAGS flags;
};

// Everything the token knows, with the flags it reports by default. The hash-and-sign mechanisms carry
// CKF_DIGEST too, as the vendors' tokens list them.
const std::vector<Mechanism>& AllMechanisms() {
    static const std::vector<Mechanism> all = {
        {CKM_GOSTR3410_KEY_PAIR_GEN, 256, 256, CKF_HW | CKF_GENERATE_KEY_PAIR},
        {CKM_GOSTR3410, 256, 256, CKF_HW | CKF_SIGN | CKF_VERIFY},
        {CKM_GOSTR3410_WITH_GOSTR3411, 256, 256, CKF_HW | CKF_SIGN | CKF_VERIFY | CKF_DIGEST},
        {CKM_GOSTR3410_DERIVE, 256, 256, CKF_HW | CKF_DERIVE},
        {CKM_GOSTR3411, 0, 0, CKF_HW | CKF_DIGEST},
        {CKM_GOST28147_KEY_GEN, 256, 256, CKF_HW | CKF_GENERATE},
        {CKM_GOST28147_ECB, 256, 256, CKF_HW | CKF_ENCRYPT | CKF_DECRYPT},
        {CKM_GOST28147, 256, 256, CKF_HW | CKF_ENCRYPT | CKF_DECRYPT},
        {CKM_GOST28147_KEY_WRAP, 256, 256, CKF_HW | CKF_WRAP | CKF_UNWRAP},
        {VSK_CKM_GOSTR3410_512_KEY_PAIR_GEN, 512, 512, CKF_HW | CKF_GENERATE_KEY_PAIR},
        {VSK_CKM_GOSTR3410_512, 512, 512, CKF_HW | CKF_SIGN | CKF_VERIFY},
        {VSK_CKM_GOSTR3410_12_DERIVE, 256, 512, CKF_HW | CKF_DERIVE},
        {VSK_CKM_GOSTR3410_WITH_GOSTR3411_12_256, 256, 256, CKF_HW | CKF_SIGN | CKF_VERIFY | CKF_DIGEST},
        {VSK_CKM_GOSTR3410_WITH_GOSTR3411_12_512, 512, 512, CKF_HW | CKF_SIGN | CKF_VERIFY | CKF_DIGEST},
        {VSK_CKM_GOSTR3411_12_256, 0, 0, CKF_HW | CKF_DIGEST},
        {VSK_CKM_GOSTR3411_12_512, 0, 0, CKF_HW | CKF_DIGEST},
    };
    return all;
}

struct Slot {
    std::string description = "Kestrovan GOST test slot";
    std::string slotManufacturer = "Kestrovan";
    std::string label = "GOST test token";
    std::string manufacturer = "Kestrovan";
    std::string model = "GOST test";
    std::string serial;
    CK_VERSION hw{1, 0}, fw{1, 0};
    bool present = true;
    std::string pin = "12345678", soPin = "87654321";
    std::string folder;  // where the token objects persist; none when empty
    int pinTries = DefaultPinTries;
    int userTriesLeft = DefaultPinTries, soTriesLeft = DefaultPinTries;
    std::vector<Mechanism> mechanisms = AllMechanisms();
    // Login state of the token, shared by its sessions.
    std::optional<CK_USER_TYPE> user;
};

struct Failure {
    std::string function;
    CK_RV rv;
    int times;  // -1: always
    CK_SLOT_ID slot;
};

// ---- objects ----------------------------------------------------------------------------------------

using Attrs = std::map<CK_ATTRIBUTE_TYPE, Bytes>;

struct Object {
    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE session = 0;  // owner of a session object; 0 for token objects
    Attrs attrs;
    Pkey key;  // the GOST R 34.10 key of a public or private key object
    ~Object() {
        for (auto& [type, value] : attrs) Wipe(value.data(), value.size());
    }
};

bool IsUlongAttr(CK_ATTRIBUTE_TYPE t) {
    return t == CKA_CLASS || t == CKA_KEY_TYPE || t == CKA_CERTIFICATE_TYPE || t == CKA_VALUE_LEN ||
           t == CKA_CERTIFICATE_CATEGORY || t == CKA_KEY_GEN_MECHANISM;
}

bool IsBoolAttr(CK_ATTRIBUTE_TYPE t) {
    switch (t) {
        case CKA_TOKEN:
        case CKA_PRIVATE:
        case CKA_MODIFIABLE:
        case CKA_SENSITIVE:
        case CKA_ENCRYPT:
        case CKA_DECRYPT:
        case CKA_WRAP:
        case CKA_UNWRAP:
        case CKA_SIGN:
        case CKA_SIGN_RECOVER:
        case CKA_VERIFY:
        case CKA_VERIFY_RECOVER:
        case CKA_DERIVE:
        case CKA_EXTRACTABLE:
        case CKA_LOCAL:
        case CKA_NEVER_EXTRACTABLE:
        case CKA_ALWAYS_SENSITIVE:
        case CKA_TRUSTED:
        case CKA_COPYABLE:
        case CKA_DESTROYABLE:
        case CKA_ALWAYS_AUTHENTICATE:
        case CKA_WRAP_WITH_TRUSTED:
            return true;
        default:
            return false;
    }
}

Bytes UlongBytes(CK_ULONG v) {
    Bytes b(sizeof(CK_ULONG));
    std::memcpy(b.data(), &v, sizeof(v));
    return b;
}

Bytes BoolBytes(bool v) {
    return Bytes{static_cast<uint8_t>(v ? CK_TRUE : CK_FALSE)};
}

std::optional<CK_ULONG> UlongOf(const Attrs& a, CK_ATTRIBUTE_TYPE t) {
    auto it = a.find(t);
    if (it == a.end() || it->second.size() != sizeof(CK_ULONG)) return std::nullopt;
    CK_ULONG v;
    std::memcpy(&v, it->second.data(), sizeof(v));
    return v;
}

bool BoolOf(const Attrs& a, CK_ATTRIBUTE_TYPE t, bool dflt) {
    auto it = a.find(t);
    return it == a.end() || it->second.size() != 1 ? dflt : it->second[0] != CK_FALSE;
}

Bytes BytesOf(const Attrs& a, CK_ATTRIBUTE_TYPE t) {
    auto it = a.find(t);
    return it == a.end() ? Bytes() : it->second;
}

// A template's attributes, with the sizes of the typed ones checked.
CK_RV ReadTemplate(CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, Attrs& out) {
    if (count && !tmpl) return CKR_ARGUMENTS_BAD;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& a = tmpl[i];
        if (a.ulValueLen && !a.pValue) return CKR_ARGUMENTS_BAD;
        if ((IsUlongAttr(a.type) && a.ulValueLen != sizeof(CK_ULONG)) ||
            (IsBoolAttr(a.type) && a.ulValueLen != 1))
            return CKR_ATTRIBUTE_VALUE_INVALID;
        const uint8_t* p = static_cast<const uint8_t*>(a.pValue);
        out[a.type] = Bytes(p, p + a.ulValueLen);
    }
    return CKR_OK;
}

// ---- sessions and operations --------------------------------------------------------------------------

struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

struct Operation {
    bool active = false;
    CK_MECHANISM_TYPE mechanism = 0;
    CK_OBJECT_HANDLE key = 0;
    MdCtx md;                        // hashing part of digest and hash-and-sign
    Bytes data;                      // raw signature: the hash collected so far
    std::unique_ptr<Cfb> cfb;        // CKM_GOST28147
    std::unique_ptr<Gost28147> ecb;  // CKM_GOST28147_ECB
    bool encrypt = true;
    Bytes pending;  // ECB bytes short of a block
    void reset() {
        Wipe(data.data(), data.size());
        Wipe(pending.data(), pending.size());
        *this = Operation();
    }
};

struct Session {
    CK_SLOT_ID slot = 0;
    CK_FLAGS flags = 0;
    bool findActive = false;
    std::vector<CK_OBJECT_HANDLE> found;
    size_t foundPos = 0;
    Operation digest, sign, verify, encrypt, decrypt;
};

struct Module {
    std::mutex mu;
    std::condition_variable cv;
    bool configured = false;
    bool initialized = false;
    CK_VERSION version{2, 20};
    bool finalizeKeepsWaiter = false;
    unsigned long epoch = 0;     // C_Finalize calls: a waiter of an earlier epoch ends
    unsigned long releases = 0;  // vskGostTokenReleaseWaiters calls
    CK_FLAGS initFlags = ~CK_FLAGS(0);
    std::vector<Slot> slots;
    std::map<CK_SESSION_HANDLE, Session> sessions;
    std::map<CK_OBJECT_HANDLE, std::unique_ptr<Object>> objects;
    CK_ULONG nextSession = 1, nextObject = 1;
    std::deque<CK_SLOT_ID> events;
    std::map<std::string, unsigned long> counts;
    std::vector<Failure> failures;
};

Module& M() {
    static Module* module = new Module;  // never destroyed: see the opening comment
    return *module;
}

// ---- configuration text -----------------------------------------------------------------------------

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r"), e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

bool ParseVersion(const std::string& v, CK_VERSION& out) {
    unsigned major = 0, minor = 0;
    char dot = 0;
    std::istringstream in(v);
    if (!(in >> major >> dot >> minor) || dot != '.' || major > 255 || minor > 255) return false;
    out = {CK_BYTE(major), CK_BYTE(minor)};
    return true;
}

bool ParseMechanisms(const std::string& v, std::vector<Mechanism>& out) {
    out.clear();
    std::istringstream in(v);
    std::string item;
    while (std::getline(in, item, ',')) {
        item = Trim(item);
        if (item.empty()) continue;
        size_t colon = item.find(':');
        char* end = nullptr;
        CK_MECHANISM_TYPE type = std::strtoul(item.substr(0, colon).c_str(), &end, 0);
        auto known = std::find_if(AllMechanisms().begin(), AllMechanisms().end(),
                                  [&](const Mechanism& m) { return m.type == type; });
        Mechanism m = known != AllMechanisms().end() ? *known : Mechanism{type, 0, 0, 0};
        if (colon != std::string::npos) {
            // "type:flags" or "type:flags:keySize" (both key sizes; 0 for a token that reports none).
            m.flags = std::strtoul(item.c_str() + colon + 1, &end, 0);
            if (*end == ':') m.minBits = m.maxBits = std::strtoul(end + 1, &end, 0);
        }
        out.push_back(m);
    }
    return true;
}

CK_RV BuildObject(const Attrs& tmpl, std::unique_ptr<Object>& out);

// ---- token objects kept in the token's folder ----------------------------------------------------------
// One file of records: the number of attributes, then type, length and value of each (CK_ULONG in the
// host's order). Private keys keep their scalar in CKA_VALUE: a test token, not a safe.

std::string ObjectsFile(const Slot& slot) {
    return slot.folder + "/objects.bin";
}

void LoadTokenObjects(Module& m, CK_SLOT_ID slot) {
    if (m.slots[slot].folder.empty()) return;
    std::ifstream in(ObjectsFile(m.slots[slot]), std::ios::binary);
    auto ulong = [&](CK_ULONG& v) { return bool(in.read(reinterpret_cast<char*>(&v), sizeof(v))); };
    CK_ULONG count = 0;
    while (ulong(count)) {
        Attrs attrs;
        for (CK_ULONG i = 0; i < count; ++i) {
            CK_ULONG type = 0, len = 0;
            // A value longer than any certificate or key the tests store means a damaged file.
            if (!ulong(type) || !ulong(len) || len > (1u << 20)) return;
            Bytes v(len);
            if (!in.read(reinterpret_cast<char*>(v.data()), std::streamsize(len))) return;
            attrs[type] = std::move(v);
        }
        std::unique_ptr<Object> o;
        if (BuildObject(attrs, o) != CKR_OK) continue;
        o->slot = slot;
        m.objects[m.nextObject++] = std::move(o);
    }
}

void SaveTokenObjects(Module& m, CK_SLOT_ID slot) {
    const Slot& s = m.slots[slot];
    if (s.folder.empty()) return;
    std::error_code ec;
    std::filesystem::create_directories(s.folder, ec);
    std::string path = ObjectsFile(s), temp = path + ".new";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        auto ulong = [&](CK_ULONG v) { out.write(reinterpret_cast<const char*>(&v), sizeof(v)); };
        for (const auto& [h, o] : m.objects) {
            if (o->slot != slot || o->session) continue;
            ulong(o->attrs.size());
            for (const auto& [type, value] : o->attrs) {
                ulong(type);
                ulong(value.size());
                out.write(reinterpret_cast<const char*>(value.data()), std::streamsize(value.size()));
            }
        }
    }
    std::filesystem::rename(temp, path, ec);
}

// Replaces the state with the text's (caller holds the lock).
CK_RV ApplyConfig(Module& m, const std::string& text) {
    std::vector<Slot> slots(1);
    CK_VERSION version{2, 20};
    bool keepWaiter = false;
    std::istringstream in(text);
    std::string line;
    std::map<std::string, std::string> perSlot;
    while (std::getline(in, line)) {
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        line = Trim(line);
        if (line.empty()) continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) return CKR_ARGUMENTS_BAD;
        std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
        if (key == "cryptoki") {
            if (!ParseVersion(value, version)) return CKR_ARGUMENTS_BAD;
        } else if (key == "slots") {
            int n = std::atoi(value.c_str());
            if (n < 0 || n > 64) return CKR_ARGUMENTS_BAD;
            slots.resize(n);
        } else if (key == "finalize_keeps_waiter") {
            keepWaiter = value == "1";
        } else {
            perSlot[key] = value;
        }
    }
    for (size_t i = 0; i < slots.size(); ++i) slots[i].serial = "GT" + std::to_string(1000 + i);
    for (const auto& [key, value] : perSlot) {
        size_t dot = key.find('.');
        size_t digits = key.find_first_of("0123456789");
        if (dot == std::string::npos || digits == std::string::npos || digits > dot) return CKR_ARGUMENTS_BAD;
        std::string kind = key.substr(0, digits), field = key.substr(dot + 1);
        size_t index = std::strtoul(key.substr(digits, dot - digits).c_str(), nullptr, 10);
        if (index >= slots.size()) return CKR_ARGUMENTS_BAD;
        Slot& s = slots[index];
        bool ok = true;
        if (kind == "slot" && field == "description")
            s.description = value;
        else if (kind == "slot" && field == "manufacturer")
            s.slotManufacturer = value;
        else if (kind == "slot" && field == "present")
            s.present = value == "1";
        else if (kind == "token" && field == "label")
            s.label = value;
        else if (kind == "token" && field == "manufacturer")
            s.manufacturer = value;
        else if (kind == "token" && field == "model")
            s.model = value;
        else if (kind == "token" && field == "serial")
            s.serial = value;
        else if (kind == "token" && field == "hw")
            ok = ParseVersion(value, s.hw);
        else if (kind == "token" && field == "fw")
            ok = ParseVersion(value, s.fw);
        else if (kind == "token" && field == "pin")
            s.pin = value;
        else if (kind == "token" && field == "so_pin")
            s.soPin = value;
        else if (kind == "token" && field == "pin_tries")
            s.pinTries = s.userTriesLeft = s.soTriesLeft = std::atoi(value.c_str());
        else if (kind == "token" && field == "mechanisms")
            ok = ParseMechanisms(value, s.mechanisms);
        else if (kind == "token" && field == "folder")
            s.folder = value;
        else
            ok = false;
        if (!ok) return CKR_ARGUMENTS_BAD;
    }
    m.slots = std::move(slots);
    m.version = version;
    m.finalizeKeepsWaiter = keepWaiter;
    m.sessions.clear();
    m.objects.clear();
    m.events.clear();
    m.counts.clear();
    m.failures.clear();
    m.configured = true;
    for (size_t i = 0; i < m.slots.size(); ++i) LoadTokenObjects(m, i);
    return CKR_OK;
}

// ---- call entry: counting, failure injection, state checks -----------------------------------------

CK_SLOT_ID SlotOfSession(Module& m, CK_SESSION_HANDLE h) {
    auto it = m.sessions.find(h);
    return it == m.sessions.end() ? VSK_GOST_TOKEN_ANY_SLOT : it->second.slot;
}

// Counts the call and returns the failure injected for it, or CKR_OK.
CK_RV Enter(Module& m, const char* function, CK_SLOT_ID slot) {
    ++m.counts[function];
    for (auto it = m.failures.begin(); it != m.failures.end(); ++it) {
        if (it->function != function) continue;
        if (it->slot != VSK_GOST_TOKEN_ANY_SLOT && it->slot != slot) continue;
        CK_RV rv = it->rv;
        if (it->times > 0 && --it->times == 0) m.failures.erase(it);
        return rv;
    }
    return CKR_OK;
}

#define ENTER_SLOT(name, slotId)                                  \
    Module& m = M();                                              \
    std::unique_lock lock(m.mu);                                  \
    if (CK_RV injected = Enter(m, name, slotId)) return injected; \
    if (!m.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED

#define ENTER_SESSION(name)                                               \
    ENTER_SLOT(name, SlotOfSession(M(), hSession));                       \
    auto sessionIt = m.sessions.find(hSession);                           \
    if (sessionIt == m.sessions.end()) return CKR_SESSION_HANDLE_INVALID; \
    Session& s = sessionIt->second;                                       \
    Slot& slot = m.slots[s.slot];                                         \
    (void)slot

bool LoggedInUser(const Slot& slot) {
    return slot.user && *slot.user == CKU_USER;
}

// Whether the session may see an object (private objects need the user's login).
bool Visible(const Module& m, const Session& s, const Object& o) {
    if (o.slot != s.slot) return false;
    if (o.session && !m.sessions.count(o.session)) return false;
    return !BoolOf(o.attrs, CKA_PRIVATE, false) || LoggedInUser(m.slots[s.slot]);
}

Object* FindObject(Module& m, const Session& s, CK_OBJECT_HANDLE h) {
    auto it = m.objects.find(h);
    if (it == m.objects.end() || !Visible(m, s, *it->second)) return nullptr;
    return it->second.get();
}

void CopyPadded(CK_UTF8CHAR* dst, size_t size, const std::string& src) {
    std::memset(dst, ' ', size);
    std::memcpy(dst, src.data(), std::min(size, src.size()));
}

const Mechanism* Listed(const Slot& slot, CK_MECHANISM_TYPE type) {
    for (const Mechanism& mech : slot.mechanisms)
        if (mech.type == type) return &mech;
    return nullptr;
}

void CloseSession(Module& m, CK_SESSION_HANDLE h) {
    auto it = m.sessions.find(h);
    if (it == m.sessions.end()) return;
    CK_SLOT_ID slot = it->second.slot;
    for (auto o = m.objects.begin(); o != m.objects.end();)
        o = o->second->session == h ? m.objects.erase(o) : std::next(o);
    m.sessions.erase(it);
    bool last = std::none_of(m.sessions.begin(), m.sessions.end(),
                             [&](const auto& e) { return e.second.slot == slot; });
    if (last) m.slots[slot].user.reset();
}

void CloseSlotSessions(Module& m, CK_SLOT_ID slot) {
    std::vector<CK_SESSION_HANDLE> handles;
    for (const auto& [h, s] : m.sessions)
        if (s.slot == slot) handles.push_back(h);
    for (CK_SESSION_HANDLE h : handles) CloseSession(m, h);
    m.slots[slot].user.reset();
}

// The "NULL, then buffer" convention of variable-length output.
CK_RV PutOutput(const Bytes& out, CK_BYTE_PTR buffer, CK_ULONG_PTR len) {
    if (!len) return CKR_ARGUMENTS_BAD;
    if (!buffer) {
        *len = out.size();
        return CKR_OK;
    }
    if (*len < out.size()) {
        *len = out.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, out.data(), out.size());
    *len = out.size();
    return CKR_OK;
}

// ---- keys ---------------------------------------------------------------------------------------------

std::string CurveOf(const Attrs& a) {
    return OidText(BytesOf(a, CKA_GOSTR3410_PARAMS));
}

// Key size of a GOST R 34.10 key type.
int BitsOfKeyType(CK_KEY_TYPE t) {
    return t == CKK_GOSTR3410 ? 256 : t == VSK_CKK_GOSTR3410_512 ? 512 : 0;
}

// Builds the key material of a public or private GOST R 34.10 key object from its attributes.
CK_RV MakeAsymmetricKey(Object& o, CK_OBJECT_CLASS cls) {
    auto type = UlongOf(o.attrs, CKA_KEY_TYPE);
    if (!type) return CKR_TEMPLATE_INCOMPLETE;
    int bits = BitsOfKeyType(*type);
    if (!bits) return CKR_ATTRIBUTE_VALUE_INVALID;
    std::string curve = CurveOf(o.attrs);
    if (!o.attrs.count(CKA_GOSTR3410_PARAMS) || !o.attrs.count(CKA_VALUE)) return CKR_TEMPLATE_INCOMPLETE;
    if (CurveBits(curve) != bits) return CKR_DOMAIN_PARAMS_INVALID;
    Bytes value = BytesOf(o.attrs, CKA_VALUE);
    o.key = cls == CKO_PUBLIC_KEY ? PublicFromValue(curve, value) : PrivateFromValue(curve, value);
    Wipe(value.data(), value.size());
    return o.key ? CKR_OK : CKR_ATTRIBUTE_VALUE_INVALID;
}

// The S-box of a GOST 28147 key (its CKA_GOST28147_PARAMS, CryptoPro A by default).
const SBox* SBoxOfKey(const Object& o) {
    auto it = o.attrs.find(CKA_GOST28147_PARAMS);
    return SBoxOf(it == o.attrs.end() ? DefaultSBox : OidText(it->second));
}

bool IsSecretGostKey(const Object& o) {
    return UlongOf(o.attrs, CKA_CLASS) == CKO_SECRET_KEY && UlongOf(o.attrs, CKA_KEY_TYPE) == CKK_GOST28147 &&
           BytesOf(o.attrs, CKA_VALUE).size() == GostKeySize;
}

void ApplyDefaults(Object& o, CK_OBJECT_CLASS cls, bool local) {
    auto dflt = [&](CK_ATTRIBUTE_TYPE t, Bytes v) { o.attrs.emplace(t, std::move(v)); };
    dflt(CKA_TOKEN, BoolBytes(false));
    dflt(CKA_PRIVATE, BoolBytes(cls == CKO_PRIVATE_KEY || cls == CKO_SECRET_KEY));
    dflt(CKA_MODIFIABLE, BoolBytes(true));
    dflt(CKA_LABEL, {});
    if (cls == CKO_PUBLIC_KEY || cls == CKO_PRIVATE_KEY || cls == CKO_SECRET_KEY) {
        dflt(CKA_ID, {});
        dflt(CKA_DERIVE, BoolBytes(cls != CKO_PUBLIC_KEY));
        dflt(CKA_LOCAL, BoolBytes(local));
    }
    if (cls == CKO_PUBLIC_KEY) {
        dflt(CKA_VERIFY, BoolBytes(true));
        dflt(CKA_ENCRYPT, BoolBytes(false));
        dflt(CKA_WRAP, BoolBytes(false));
    }
    if (cls == CKO_PRIVATE_KEY || cls == CKO_SECRET_KEY) {
        dflt(CKA_SENSITIVE, BoolBytes(cls == CKO_PRIVATE_KEY));
        dflt(CKA_EXTRACTABLE, BoolBytes(cls == CKO_SECRET_KEY));
        dflt(CKA_DECRYPT, BoolBytes(cls == CKO_SECRET_KEY));
        dflt(CKA_UNWRAP, BoolBytes(cls == CKO_SECRET_KEY));
    }
    if (cls == CKO_PRIVATE_KEY) dflt(CKA_SIGN, BoolBytes(true));
    if (cls == CKO_SECRET_KEY) {
        dflt(CKA_ENCRYPT, BoolBytes(true));
        dflt(CKA_WRAP, BoolBytes(true));
        dflt(CKA_VALUE_LEN, UlongBytes(GostKeySize));
    }
    if (cls == CKO_CERTIFICATE) dflt(CKA_CERTIFICATE_TYPE, UlongBytes(CKC_X_509));
}

bool IsSensitive(const Object& o, CK_ATTRIBUTE_TYPE t) {
    if (t != CKA_VALUE) return false;
    auto cls = UlongOf(o.attrs, CKA_CLASS);
    if (cls == CKO_PRIVATE_KEY) return true;
    return cls == CKO_SECRET_KEY &&
           (BoolOf(o.attrs, CKA_SENSITIVE, false) || !BoolOf(o.attrs, CKA_EXTRACTABLE, true));
}

// Stores a new object for the session; checks the rights its CKA_TOKEN and CKA_PRIVATE need.
CK_RV AddObject(Module& m, CK_SESSION_HANDLE hSession, std::unique_ptr<Object> o,
                CK_OBJECT_HANDLE_PTR handle) {
    const Session& s = m.sessions.at(hSession);
    bool token = BoolOf(o->attrs, CKA_TOKEN, false);
    if (token && !(s.flags & CKF_RW_SESSION)) return CKR_SESSION_READ_ONLY;
    if (BoolOf(o->attrs, CKA_PRIVATE, false) && !LoggedInUser(m.slots[s.slot])) return CKR_USER_NOT_LOGGED_IN;
    o->slot = s.slot;
    o->session = token ? 0 : hSession;
    CK_OBJECT_HANDLE h = m.nextObject++;
    m.objects[h] = std::move(o);
    if (handle) *handle = h;
    if (token) SaveTokenObjects(m, s.slot);
    return CKR_OK;
}

// A new object from a template with its class's defaults; the key material of GOST key objects.
CK_RV BuildObject(const Attrs& tmpl, std::unique_ptr<Object>& out) {
    auto o = std::make_unique<Object>();
    o->attrs = tmpl;
    auto cls = UlongOf(o->attrs, CKA_CLASS);
    if (!cls) return CKR_TEMPLATE_INCOMPLETE;
    switch (*cls) {
        case CKO_DATA:
        case CKO_CERTIFICATE:
            break;
        case CKO_PUBLIC_KEY:
        case CKO_PRIVATE_KEY:
            if (CK_RV rv = MakeAsymmetricKey(*o, *cls)) return rv;
            break;
        case CKO_SECRET_KEY:
            if (UlongOf(o->attrs, CKA_KEY_TYPE) != CKK_GOST28147) return CKR_TEMPLATE_INCONSISTENT;
            if (BytesOf(o->attrs, CKA_VALUE).size() != GostKeySize) return CKR_ATTRIBUTE_VALUE_INVALID;
            if (!SBoxOfKey(*o)) return CKR_DOMAIN_PARAMS_INVALID;
            break;
        default:
            return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    ApplyDefaults(*o, *cls, false);
    out = std::move(o);
    return CKR_OK;
}

// ---- crypto helpers -----------------------------------------------------------------------------------

const char* DigestName(CK_MECHANISM_TYPE mech) {
    switch (mech) {
        case CKM_GOSTR3411:
        case CKM_GOSTR3410_WITH_GOSTR3411:
            return "md_gost94";
        case VSK_CKM_GOSTR3411_12_256:
        case VSK_CKM_GOSTR3410_WITH_GOSTR3411_12_256:
            return "md_gost12_256";
        case VSK_CKM_GOSTR3411_12_512:
        case VSK_CKM_GOSTR3410_WITH_GOSTR3411_12_512:
            return "md_gost12_512";
        default:
            return nullptr;
    }
}

// The key size a signature mechanism works with; 0 for other mechanisms.
int SignBits(CK_MECHANISM_TYPE mech) {
    switch (mech) {
        case CKM_GOSTR3410:
        case CKM_GOSTR3410_WITH_GOSTR3411:
        case VSK_CKM_GOSTR3410_WITH_GOSTR3411_12_256:
            return 256;
        case VSK_CKM_GOSTR3410_512:
        case VSK_CKM_GOSTR3410_WITH_GOSTR3411_12_512:
            return 512;
        default:
            return 0;
    }
}

// Sizes of the hash a key signs and of its signature s||r.
size_t HashSize(CK_MECHANISM_TYPE mech) {
    return SignBits(mech) / 8;
}

size_t SignatureSize(CK_MECHANISM_TYPE mech) {
    return SignBits(mech) / 4;
}

MdCtx StartDigest(const char* name) {
    const EVP_MD* md = Digest(name);
    MdCtx ctx(EVP_MD_CTX_new());
    if (!md || !ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return nullptr;
    return ctx;
}

Bytes FinishDigest(EVP_MD_CTX* ctx) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx, out.data(), &len) != 1) return {};
    out.resize(len);
    return out;
}

size_t DigestSize(const Operation& op) {
    return EVP_MD_CTX_get_size(op.md.get());
}

// The VKO digest of a private key: GOST R 34.11-94 for keys with its hash parameters (and for keys
// without any), Streebog-256 for every GOST R 34.10-2012 key, as the CMS key transport computes it.
const char* VkoDigestOf(const Object& priv) {
    if (UlongOf(priv.attrs, CKA_KEY_TYPE) == VSK_CKK_GOSTR3410_512) return "md_gost12_256";
    std::string hash = OidText(BytesOf(priv.attrs, CKA_GOSTR3411_PARAMS));
    return hash.empty() || hash == Hash94Oid ? "md_gost94" : "md_gost12_256";
}

// The key an operation needs: a missing handle, or a private one without the login.
CK_RV KeyFor(Module& m, const Session& s, CK_OBJECT_HANDLE h, Object*& out) {
    auto it = m.objects.find(h);
    if (it == m.objects.end() || it->second->slot != s.slot ||
        (it->second->session && !m.sessions.count(it->second->session)))
        return CKR_KEY_HANDLE_INVALID;
    if (BoolOf(it->second->attrs, CKA_PRIVATE, false) && !LoggedInUser(m.slots[s.slot]))
        return CKR_USER_NOT_LOGGED_IN;
    out = it->second.get();
    return CKR_OK;
}

// The output length of a cipher update without consuming anything.
size_t CipherOutLen(const Operation& op, size_t inLen) {
    if (op.cfb) return inLen;
    return (op.pending.size() + inLen) / 8 * 8;
}

Bytes CipherUpdate(Operation& op, const uint8_t* in, size_t len) {
    Bytes out;
    if (op.cfb) {
        out.resize(len);
        op.cfb->update(in, len, out.data());
        return out;
    }
    op.pending.insert(op.pending.end(), in, in + len);
    size_t whole = op.pending.size() / 8 * 8;
    out.resize(whole);
    for (size_t i = 0; i < whole; i += 8) {
        if (op.encrypt)
            op.ecb->encryptBlock(op.pending.data() + i, out.data() + i);
        else
            op.ecb->decryptBlock(op.pending.data() + i, out.data() + i);
    }
    Wipe(op.pending.data(), whole);
    op.pending.erase(op.pending.begin(), op.pending.begin() + whole);
    return out;
}

CK_RV CipherInit(Module& m, Session& s, Operation& op, bool encrypt, CK_MECHANISM_PTR mech,
                 CK_OBJECT_HANDLE hKey) {
    if (!mech) {  // an empty mechanism ends the running operation
        op.reset();
        return CKR_OK;
    }
    if (op.active) return CKR_OPERATION_ACTIVE;
    if (!Listed(m.slots[s.slot], mech->mechanism) ||
        (mech->mechanism != CKM_GOST28147 && mech->mechanism != CKM_GOST28147_ECB))
        return CKR_MECHANISM_INVALID;
    Object* key = nullptr;
    if (CK_RV rv = KeyFor(m, s, hKey, key)) return rv;
    if (!IsSecretGostKey(*key)) return CKR_KEY_TYPE_INCONSISTENT;
    const SBox* sbox = SBoxOfKey(*key);
    if (!sbox) return CKR_KEY_TYPE_INCONSISTENT;
    const Bytes& value = key->attrs[CKA_VALUE];
    if (mech->mechanism == CKM_GOST28147) {
        if (mech->ulParameterLen != IvSize || !mech->pParameter) return CKR_MECHANISM_PARAM_INVALID;
        op.cfb = std::make_unique<Cfb>(*sbox, value.data(), static_cast<const uint8_t*>(mech->pParameter),
                                       encrypt);
    } else {
        if (mech->ulParameterLen != 0) return CKR_MECHANISM_PARAM_INVALID;
        op.ecb = std::make_unique<Gost28147>(*sbox, value.data());
    }
    op.active = true;
    op.encrypt = encrypt;
    op.mechanism = mech->mechanism;
    op.key = hKey;
    return CKR_OK;
}

CK_RV CipherOneCall(Operation& op, CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    if (!op.active) return CKR_OPERATION_NOT_INITIALIZED;
    if ((inLen && !in) || !outLen) {
        op.reset();
        return CKR_ARGUMENTS_BAD;
    }
    if (op.ecb && (op.pending.size() + inLen) % 8) {
        op.reset();
        return op.encrypt ? CKR_DATA_LEN_RANGE : CKR_ENCRYPTED_DATA_LEN_RANGE;
    }
    size_t need = CipherOutLen(op, inLen);
    if (!out || *outLen < need) {
        CK_RV rv = out ? CKR_BUFFER_TOO_SMALL : CKR_OK;
        *outLen = need;
        return rv;
    }
    Bytes result = CipherUpdate(op, in, inLen);
    std::memcpy(out, result.data(), result.size());
    *outLen = result.size();
    Wipe(result.data(), result.size());
    op.reset();
    return CKR_OK;
}

CK_RV CipherPart(Operation& op, CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    if (!op.active) return CKR_OPERATION_NOT_INITIALIZED;
    if ((inLen && !in) || !outLen) {
        op.reset();
        return CKR_ARGUMENTS_BAD;
    }
    size_t need = CipherOutLen(op, inLen);
    if (!out || *outLen < need) {
        CK_RV rv = out ? CKR_BUFFER_TOO_SMALL : CKR_OK;
        *outLen = need;
        return rv;
    }
    Bytes result = CipherUpdate(op, in, inLen);
    if (!result.empty()) std::memcpy(out, result.data(), result.size());
    *outLen = result.size();
    Wipe(result.data(), result.size());
    return CKR_OK;
}

// The last part is always empty: CFB is a stream and ECB takes whole blocks only. A length query
// answered with 0 ends the operation, as the vendors' tokens do, since nothing is left to fetch.
CK_RV CipherFinal(Operation& op, CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    if (!op.active) return CKR_OPERATION_NOT_INITIALIZED;
    if (!outLen) {
        op.reset();
        return CKR_ARGUMENTS_BAD;
    }
    (void)out;
    bool ragged = !op.pending.empty();
    bool encrypt = op.encrypt;
    op.reset();
    if (ragged) return encrypt ? CKR_DATA_LEN_RANGE : CKR_ENCRYPTED_DATA_LEN_RANGE;
    *outLen = 0;
    return CKR_OK;
}

CK_RV SignOrVerifyInit(Module& m, Session& s, Operation& op, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE hKey,
                       CK_OBJECT_CLASS cls) {
    if (!mech) {
        op.reset();
        return CKR_OK;
    }
    if (op.active) return CKR_OPERATION_ACTIVE;
    int bits = SignBits(mech->mechanism);
    if (!bits || !Listed(m.slots[s.slot], mech->mechanism)) return CKR_MECHANISM_INVALID;
    if (mech->ulParameterLen) return CKR_MECHANISM_PARAM_INVALID;
    Object* key = nullptr;
    if (CK_RV rv = KeyFor(m, s, hKey, key)) return rv;
    if (UlongOf(key->attrs, CKA_CLASS) != cls || !key->key) return CKR_KEY_TYPE_INCONSISTENT;
    if (BitsOfKeyType(UlongOf(key->attrs, CKA_KEY_TYPE).value_or(0)) != bits)
        return CKR_KEY_TYPE_INCONSISTENT;
    if (const char* md = DigestName(mech->mechanism)) {
        op.md = StartDigest(md);
        if (!op.md) return CKR_DEVICE_ERROR;
    }
    op.active = true;
    op.mechanism = mech->mechanism;
    op.key = hKey;
    return CKR_OK;
}

// The hash a signature operation signs: the digest of its data, or the data itself.
CK_RV HashOf(Operation& op, Bytes& hash) {
    size_t want = HashSize(op.mechanism);
    if (op.md) {
        hash = FinishDigest(op.md.get());
        return hash.empty() ? CKR_DEVICE_ERROR : CKR_OK;
    }
    if (op.data.size() != want) return CKR_DATA_LEN_RANGE;
    hash = op.data;
    return CKR_OK;
}

CK_RV FeedSignData(Operation& op, CK_BYTE_PTR data, CK_ULONG len) {
    if (len && !data) return CKR_ARGUMENTS_BAD;
    if (op.md) return EVP_DigestUpdate(op.md.get(), data, len) == 1 ? CKR_OK : CKR_DEVICE_ERROR;
    op.data.insert(op.data.end(), data, data + len);
    return CKR_OK;
}

CK_RV SignFinish(Module& m, Operation& op, CK_BYTE_PTR sig, CK_ULONG_PTR sigLen) {
    if (!sigLen) {
        op.reset();
        return CKR_ARGUMENTS_BAD;
    }
    CK_ULONG need = SignatureSize(op.mechanism);
    if (!sig || *sigLen < need) {
        CK_RV rv = sig ? CKR_BUFFER_TOO_SMALL : CKR_OK;
        *sigLen = need;
        return rv;
    }
    Bytes hash;
    CK_RV rv = HashOf(op, hash);
    if (rv == CKR_OK) {
        Object& key = *m.objects.at(op.key);
        Bytes out = Sign(key.key.get(), hash);
        if (out.size() != need) {
            rv = CKR_DEVICE_ERROR;
        } else {
            std::memcpy(sig, out.data(), need);
            *sigLen = need;
        }
    }
    op.reset();
    return rv;
}

CK_RV VerifyFinish(Module& m, Operation& op, CK_BYTE_PTR sig, CK_ULONG sigLen) {
    CK_ULONG need = SignatureSize(op.mechanism);
    Bytes hash;
    CK_RV rv = CKR_OK;
    if (!sig && sigLen)
        rv = CKR_ARGUMENTS_BAD;
    else if (sigLen != need)
        rv = CKR_SIGNATURE_LEN_RANGE;
    else
        rv = HashOf(op, hash);
    if (rv == CKR_OK) {
        Object& key = *m.objects.at(op.key);
        if (!Verify(key.key.get(), hash, Bytes(sig, sig + sigLen))) rv = CKR_SIGNATURE_INVALID;
    }
    op.reset();
    return rv;
}

// The peer's public value, UKM and KDF of a derivation mechanism's parameter.
CK_RV ReadDeriveParams(CK_MECHANISM_PTR mech, Bytes& pub, Bytes& ukm, CK_ULONG& kdf) {
    if (!mech->pParameter) return CKR_MECHANISM_PARAM_INVALID;
    if (mech->mechanism == CKM_GOSTR3410_DERIVE) {
        if (mech->ulParameterLen != sizeof(VSK_CK_GOSTR3410_DERIVE_PARAMS))
            return CKR_MECHANISM_PARAM_INVALID;
        const auto* p = static_cast<const VSK_CK_GOSTR3410_DERIVE_PARAMS*>(mech->pParameter);
        if (!p->pPublicData || !p->pUKM) return CKR_MECHANISM_PARAM_INVALID;
        pub.assign(p->pPublicData, p->pPublicData + p->ulPublicDataLen);
        ukm.assign(p->pUKM, p->pUKM + p->ulUKMLen);
        kdf = p->kdf == CKD_CPDIVERSIFY_KDF ? VSK_CKD_KDF_4357 : p->kdf == CKD_NULL ? CKD_NULL : ~CK_ULONG(0);
        return CKR_OK;
    }
    // KDF, public key length, public key, UKM length, UKM; the numbers are u32 little-endian.
    const uint8_t* p = static_cast<const uint8_t*>(mech->pParameter);
    size_t n = mech->ulParameterLen, at = 0;
    auto u32 = [&](uint32_t& v) {
        if (n - at < 4) return false;
        v = uint32_t(p[at]) | uint32_t(p[at + 1]) << 8 | uint32_t(p[at + 2]) << 16 |
            uint32_t(p[at + 3]) << 24;
        at += 4;
        return true;
    };
    uint32_t k = 0, pubLen = 0, ukmLen = 0;
    if (!u32(k) || !u32(pubLen) || n - at < pubLen) return CKR_MECHANISM_PARAM_INVALID;
    pub.assign(p + at, p + at + pubLen);
    at += pubLen;
    if (!u32(ukmLen) || n - at != ukmLen) return CKR_MECHANISM_PARAM_INVALID;
    ukm.assign(p + at, p + at + ukmLen);
    kdf = k;
    return CKR_OK;
}

// The configuration file's text, or the defaults, before first use (caller holds the lock).
Module& EnsureConfigured() {
    Module& m = M();
    if (!m.configured) {
        std::string text;
        if (const char* path = std::getenv("VSK_GOST_TOKEN_CONFIG")) {
            std::ifstream in(path);
            std::ostringstream all;
            all << in.rdbuf();
            text = all.str();
        }
        if (ApplyConfig(m, text) != CKR_OK) ApplyConfig(m, "");
    }
    return m;
}

extern CK_FUNCTION_LIST FunctionList;

}  // namespace

// ---- the Cryptoki functions -----------------------------------------------------------------------------

extern "C" {

CK_RV C_Initialize(CK_VOID_PTR pInitArgs) {
    Module& m = M();
    std::unique_lock lock(m.mu);
    EnsureConfigured();
    if (CK_RV injected = Enter(m, "C_Initialize", VSK_GOST_TOKEN_ANY_SLOT)) return injected;
    if (m.initialized) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    m.initFlags = ~CK_FLAGS(0);
    if (pInitArgs) {
        const auto* args = static_cast<const CK_C_INITIALIZE_ARGS*>(pInitArgs);
        if (args->pReserved) return CKR_ARGUMENTS_BAD;
        m.initFlags = args->flags;
    }
    if (!EngineReady()) return CKR_GENERAL_ERROR;
    m.initialized = true;
    m.events.clear();
    return CKR_OK;
}

CK_RV C_Finalize(CK_VOID_PTR pReserved) {
    ENTER_SLOT("C_Finalize", VSK_GOST_TOKEN_ANY_SLOT);
    if (pReserved) return CKR_ARGUMENTS_BAD;
    std::vector<CK_SESSION_HANDLE> handles;
    for (const auto& [h, s] : m.sessions) handles.push_back(h);
    for (CK_SESSION_HANDLE h : handles) CloseSession(m, h);
    for (Slot& slot : m.slots) slot.user.reset();
    m.initialized = false;
    m.events.clear();
    ++m.epoch;
    m.cv.notify_all();
    return CKR_OK;
}

CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
    ENTER_SLOT("C_GetInfo", VSK_GOST_TOKEN_ANY_SLOT);
    if (!pInfo) return CKR_ARGUMENTS_BAD;
    pInfo->cryptokiVersion = m.version;
    CopyPadded(pInfo->manufacturerID, sizeof(pInfo->manufacturerID), "Kestrovan");
    pInfo->flags = 0;
    CopyPadded(pInfo->libraryDescription, sizeof(pInfo->libraryDescription), "Kestrovan GOST test token");
    pInfo->libraryVersion = {1, 0};
    return CKR_OK;
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    Module& m = M();
    std::unique_lock lock(m.mu);
    EnsureConfigured();
    if (CK_RV injected = Enter(m, "C_GetFunctionList", VSK_GOST_TOKEN_ANY_SLOT)) return injected;
    if (!ppFunctionList) return CKR_ARGUMENTS_BAD;
    FunctionList.version = m.version;
    *ppFunctionList = &FunctionList;
    return CKR_OK;
}

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
    ENTER_SLOT("C_GetSlotList", VSK_GOST_TOKEN_ANY_SLOT);
    if (!pulCount) return CKR_ARGUMENTS_BAD;
    std::vector<CK_SLOT_ID> ids;
    for (size_t i = 0; i < m.slots.size(); ++i)
        if (!tokenPresent || m.slots[i].present) ids.push_back(i);
    if (!pSlotList) {
        *pulCount = ids.size();
        return CKR_OK;
    }
    if (*pulCount < ids.size()) {
        *pulCount = ids.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(ids.begin(), ids.end(), pSlotList);
    *pulCount = ids.size();
    return CKR_OK;
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    ENTER_SLOT("C_GetSlotInfo", slotID);
    if (slotID >= m.slots.size()) return CKR_SLOT_ID_INVALID;
    if (!pInfo) return CKR_ARGUMENTS_BAD;
    const Slot& slot = m.slots[slotID];
    CopyPadded(pInfo->slotDescription, sizeof(pInfo->slotDescription), slot.description);
    CopyPadded(pInfo->manufacturerID, sizeof(pInfo->manufacturerID), slot.slotManufacturer);
    pInfo->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (slot.present ? CKF_TOKEN_PRESENT : 0);
    pInfo->hardwareVersion = slot.hw;
    pInfo->firmwareVersion = slot.fw;
    return CKR_OK;
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    ENTER_SLOT("C_GetTokenInfo", slotID);
    if (slotID >= m.slots.size()) return CKR_SLOT_ID_INVALID;
    const Slot& slot = m.slots[slotID];
    if (!slot.present) return CKR_TOKEN_NOT_PRESENT;
    if (!pInfo) return CKR_ARGUMENTS_BAD;
    CopyPadded(pInfo->label, sizeof(pInfo->label), slot.label);
    CopyPadded(pInfo->manufacturerID, sizeof(pInfo->manufacturerID), slot.manufacturer);
    CopyPadded(pInfo->model, sizeof(pInfo->model), slot.model);
    CopyPadded(pInfo->serialNumber, sizeof(pInfo->serialNumber), slot.serial);
    CK_FLAGS flags = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED;
    if (slot.userTriesLeft < slot.pinTries) flags |= CKF_USER_PIN_COUNT_LOW;
    if (slot.userTriesLeft == 1) flags |= CKF_USER_PIN_FINAL_TRY;
    if (slot.userTriesLeft == 0) flags |= CKF_USER_PIN_LOCKED;
    if (slot.soTriesLeft < slot.pinTries) flags |= CKF_SO_PIN_COUNT_LOW;
    if (slot.soTriesLeft == 0) flags |= CKF_SO_PIN_LOCKED;
    pInfo->flags = flags;
    CK_ULONG sessions = 0;
    for (const auto& [h, s] : m.sessions)
        if (s.slot == slotID) ++sessions;
    pInfo->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    pInfo->ulSessionCount = sessions;
    pInfo->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
    pInfo->ulRwSessionCount = sessions;
    pInfo->ulMaxPinLen = 32;
    pInfo->ulMinPinLen = 4;
    pInfo->ulTotalPublicMemory = pInfo->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
    pInfo->ulTotalPrivateMemory = pInfo->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    pInfo->hardwareVersion = slot.hw;
    pInfo->firmwareVersion = slot.fw;
    CopyPadded(pInfo->utcTime, sizeof(pInfo->utcTime), "");
    return CKR_OK;
}

CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pList, CK_ULONG_PTR pulCount) {
    ENTER_SLOT("C_GetMechanismList", slotID);
    if (slotID >= m.slots.size()) return CKR_SLOT_ID_INVALID;
    const Slot& slot = m.slots[slotID];
    if (!slot.present) return CKR_TOKEN_NOT_PRESENT;
    if (!pulCount) return CKR_ARGUMENTS_BAD;
    if (!pList) {
        *pulCount = slot.mechanisms.size();
        return CKR_OK;
    }
    if (*pulCount < slot.mechanisms.size()) {
        *pulCount = slot.mechanisms.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    for (size_t i = 0; i < slot.mechanisms.size(); ++i) pList[i] = slot.mechanisms[i].type;
    *pulCount = slot.mechanisms.size();
    return CKR_OK;
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
    ENTER_SLOT("C_GetMechanismInfo", slotID);
    if (slotID >= m.slots.size()) return CKR_SLOT_ID_INVALID;
    const Slot& slot = m.slots[slotID];
    if (!slot.present) return CKR_TOKEN_NOT_PRESENT;
    if (!pInfo) return CKR_ARGUMENTS_BAD;
    const Mechanism* mech = Listed(slot, type);
    if (!mech) return CKR_MECHANISM_INVALID;
    pInfo->ulMinKeySize = mech->minBits;
    pInfo->ulMaxKeySize = mech->maxBits;
    pInfo->flags = mech->flags;
    return CKR_OK;
}

CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                    CK_SESSION_HANDLE_PTR phSession) {
    ENTER_SLOT("C_OpenSession", slotID);
    if (slotID >= m.slots.size()) return CKR_SLOT_ID_INVALID;
    if (!m.slots[slotID].present) return CKR_TOKEN_NOT_PRESENT;
    if (!(flags & CKF_SERIAL_SESSION)) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    if (!phSession) return CKR_ARGUMENTS_BAD;
    CK_SESSION_HANDLE h = m.nextSession++;
    Session& s = m.sessions[h];
    s.slot = slotID;
    s.flags = flags;
    *phSession = h;
    return CKR_OK;
}

CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
    ENTER_SESSION("C_CloseSession");
    CloseSession(m, hSession);
    return CKR_OK;
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
    ENTER_SLOT("C_CloseAllSessions", slotID);
    if (slotID >= m.slots.size()) return CKR_SLOT_ID_INVALID;
    CloseSlotSessions(m, slotID);
    return CKR_OK;
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    ENTER_SESSION("C_GetSessionInfo");
    if (!pInfo) return CKR_ARGUMENTS_BAD;
    bool rw = s.flags & CKF_RW_SESSION;
    pInfo->slotID = s.slot;
    pInfo->flags = s.flags;
    pInfo->ulDeviceError = 0;
    if (!slot.user)
        pInfo->state = rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
    else if (*slot.user == CKU_USER)
        pInfo->state = rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
    else
        pInfo->state = CKS_RW_SO_FUNCTIONS;
    return CKR_OK;
}

CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    ENTER_SESSION("C_Login");
    if (userType != CKU_USER && userType != CKU_SO) return CKR_USER_TYPE_INVALID;
    if (slot.user)
        return *slot.user == userType ? CKR_USER_ALREADY_LOGGED_IN : CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
    if (ulPinLen && !pPin) return CKR_ARGUMENTS_BAD;
    int& tries = userType == CKU_USER ? slot.userTriesLeft : slot.soTriesLeft;
    if (tries <= 0) return CKR_PIN_LOCKED;
    const std::string& pin = userType == CKU_USER ? slot.pin : slot.soPin;
    bool match = ulPinLen == pin.size() && CRYPTO_memcmp(pPin, pin.data(), ulPinLen) == 0;
    if (!match) {
        --tries;
        return tries == 0 ? CKR_PIN_LOCKED : CKR_PIN_INCORRECT;
    }
    tries = slot.pinTries;
    slot.user = userType;
    return CKR_OK;
}

CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
    ENTER_SESSION("C_Logout");
    if (!slot.user) return CKR_USER_NOT_LOGGED_IN;
    slot.user.reset();
    return CKR_OK;
}

CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                     CK_OBJECT_HANDLE_PTR phObject) {
    ENTER_SESSION("C_CreateObject");
    if (!phObject) return CKR_ARGUMENTS_BAD;
    Attrs attrs;
    if (CK_RV rv = ReadTemplate(pTemplate, ulCount, attrs)) return rv;
    std::unique_ptr<Object> o;
    if (CK_RV rv = BuildObject(attrs, o)) return rv;
    for (auto& [t, v] : attrs) Wipe(v.data(), v.size());
    return AddObject(m, hSession, std::move(o), phObject);
}

CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    ENTER_SESSION("C_DestroyObject");
    Object* o = FindObject(m, s, hObject);
    if (!o) return CKR_OBJECT_HANDLE_INVALID;
    if (!o->session && !(s.flags & CKF_RW_SESSION)) return CKR_SESSION_READ_ONLY;
    bool token = !o->session;
    m.objects.erase(hObject);
    if (token) SaveTokenObjects(m, s.slot);
    return CKR_OK;
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount) {
    ENTER_SESSION("C_GetAttributeValue");
    Object* o = FindObject(m, s, hObject);
    if (!o) return CKR_OBJECT_HANDLE_INVALID;
    if (ulCount && !pTemplate) return CKR_ARGUMENTS_BAD;
    CK_RV result = CKR_OK;
    for (CK_ULONG i = 0; i < ulCount; ++i) {
        CK_ATTRIBUTE& a = pTemplate[i];
        auto it = o->attrs.find(a.type);
        if (IsSensitive(*o, a.type)) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            result = CKR_ATTRIBUTE_SENSITIVE;
        } else if (it == o->attrs.end()) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            result = CKR_ATTRIBUTE_TYPE_INVALID;
        } else if (!a.pValue) {
            a.ulValueLen = it->second.size();
        } else if (a.ulValueLen < it->second.size()) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            result = CKR_BUFFER_TOO_SMALL;
        } else {
            if (!it->second.empty()) std::memcpy(a.pValue, it->second.data(), it->second.size());
            a.ulValueLen = it->second.size();
        }
    }
    return result;
}

// Labels and identifiers may change, and the value of a modifiable GOST 28147 key (key meshing).
CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount) {
    ENTER_SESSION("C_SetAttributeValue");
    Object* o = FindObject(m, s, hObject);
    if (!o) return CKR_OBJECT_HANDLE_INVALID;
    if (!o->session && !(s.flags & CKF_RW_SESSION)) return CKR_SESSION_READ_ONLY;
    Attrs attrs;
    if (CK_RV rv = ReadTemplate(pTemplate, ulCount, attrs)) return rv;
    if (!BoolOf(o->attrs, CKA_MODIFIABLE, true)) return CKR_ATTRIBUTE_READ_ONLY;
    for (const auto& [t, v] : attrs) {
        bool secretValue = t == CKA_VALUE && IsSecretGostKey(*o);
        if (t != CKA_LABEL && t != CKA_ID && !secretValue) return CKR_ATTRIBUTE_READ_ONLY;
        if (secretValue && v.size() != GostKeySize) return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    for (auto& [t, v] : attrs) {
        Bytes& dst = o->attrs[t];
        Wipe(dst.data(), dst.size());
        dst = v;
        Wipe(v.data(), v.size());
    }
    if (!o->session) SaveTokenObjects(m, s.slot);
    return CKR_OK;
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    ENTER_SESSION("C_FindObjectsInit");
    if (s.findActive) return CKR_OPERATION_ACTIVE;
    Attrs attrs;
    if (ulCount && !pTemplate) return CKR_ARGUMENTS_BAD;
    for (CK_ULONG i = 0; i < ulCount; ++i) {
        const uint8_t* p = static_cast<const uint8_t*>(pTemplate[i].pValue);
        if (pTemplate[i].ulValueLen && !p) return CKR_ARGUMENTS_BAD;
        attrs[pTemplate[i].type] = Bytes(p, p + pTemplate[i].ulValueLen);
    }
    s.found.clear();
    for (const auto& [h, o] : m.objects) {
        if (!Visible(m, s, *o)) continue;
        bool match = std::all_of(attrs.begin(), attrs.end(), [&](const auto& a) {
            auto it = o->attrs.find(a.first);
            return it != o->attrs.end() && it->second == a.second && !IsSensitive(*o, a.first);
        });
        if (match) s.found.push_back(h);
    }
    s.foundPos = 0;
    s.findActive = true;
    return CKR_OK;
}

CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                    CK_ULONG_PTR pulObjectCount) {
    ENTER_SESSION("C_FindObjects");
    if (!s.findActive) return CKR_OPERATION_NOT_INITIALIZED;
    if (!pulObjectCount || (ulMaxObjectCount && !phObject)) return CKR_ARGUMENTS_BAD;
    CK_ULONG n = 0;
    while (n < ulMaxObjectCount && s.foundPos < s.found.size()) phObject[n++] = s.found[s.foundPos++];
    *pulObjectCount = n;
    return CKR_OK;
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
    ENTER_SESSION("C_FindObjectsFinal");
    if (!s.findActive) return CKR_OPERATION_NOT_INITIALIZED;
    s.findActive = false;
    s.found.clear();
    return CKR_OK;
}

CK_RV C_EncryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    ENTER_SESSION("C_EncryptInit");
    return CipherInit(m, s, s.encrypt, true, pMechanism, hKey);
}

CK_RV C_Encrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pEncryptedData,
                CK_ULONG_PTR pulEncryptedDataLen) {
    ENTER_SESSION("C_Encrypt");
    return CipherOneCall(s.encrypt, pData, ulDataLen, pEncryptedData, pulEncryptedDataLen);
}

CK_RV C_EncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                      CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen) {
    ENTER_SESSION("C_EncryptUpdate");
    return CipherPart(s.encrypt, pPart, ulPartLen, pEncryptedPart, pulEncryptedPartLen);
}

CK_RV C_EncryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastEncryptedPart,
                     CK_ULONG_PTR pulLastEncryptedPartLen) {
    ENTER_SESSION("C_EncryptFinal");
    return CipherFinal(s.encrypt, pLastEncryptedPart, pulLastEncryptedPartLen);
}

CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    ENTER_SESSION("C_DecryptInit");
    return CipherInit(m, s, s.decrypt, false, pMechanism, hKey);
}

CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen,
                CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen) {
    ENTER_SESSION("C_Decrypt");
    return CipherOneCall(s.decrypt, pEncryptedData, ulEncryptedDataLen, pData, pulDataLen);
}

CK_RV C_DecryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart, CK_ULONG ulEncryptedPartLen,
                      CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen) {
    ENTER_SESSION("C_DecryptUpdate");
    return CipherPart(s.decrypt, pEncryptedPart, ulEncryptedPartLen, pPart, pulPartLen);
}

CK_RV C_DecryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastPart, CK_ULONG_PTR pulLastPartLen) {
    ENTER_SESSION("C_DecryptFinal");
    return CipherFinal(s.decrypt, pLastPart, pulLastPartLen);
}

CK_RV C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism) {
    ENTER_SESSION("C_DigestInit");
    if (!pMechanism) {
        s.digest.reset();
        return CKR_OK;
    }
    if (s.digest.active) return CKR_OPERATION_ACTIVE;
    const Mechanism* mech = Listed(slot, pMechanism->mechanism);
    const char* name = DigestName(pMechanism->mechanism);
    if (!mech || !name || SignBits(pMechanism->mechanism)) return CKR_MECHANISM_INVALID;
    s.digest.md = StartDigest(name);
    if (!s.digest.md) return CKR_DEVICE_ERROR;
    s.digest.active = true;
    s.digest.mechanism = pMechanism->mechanism;
    return CKR_OK;
}

CK_RV C_Digest(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pDigest,
               CK_ULONG_PTR pulDigestLen) {
    ENTER_SESSION("C_Digest");
    Operation& op = s.digest;
    if (!op.active) return CKR_OPERATION_NOT_INITIALIZED;
    if (!pulDigestLen || (ulDataLen && !pData)) {
        op.reset();
        return CKR_ARGUMENTS_BAD;
    }
    size_t need = DigestSize(op);
    if (!pDigest || *pulDigestLen < need) {
        CK_RV rv = pDigest ? CKR_BUFFER_TOO_SMALL : CKR_OK;
        *pulDigestLen = need;
        return rv;
    }
    Bytes hash;
    if (EVP_DigestUpdate(op.md.get(), pData, ulDataLen) == 1) hash = FinishDigest(op.md.get());
    op.reset();
    if (hash.empty()) return CKR_DEVICE_ERROR;
    return PutOutput(hash, pDigest, pulDigestLen);
}

CK_RV C_DigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    ENTER_SESSION("C_DigestUpdate");
    if (!s.digest.active) return CKR_OPERATION_NOT_INITIALIZED;
    if ((ulPartLen && !pPart) || EVP_DigestUpdate(s.digest.md.get(), pPart, ulPartLen) != 1) {
        s.digest.reset();
        return CKR_ARGUMENTS_BAD;
    }
    return CKR_OK;
}

CK_RV C_DigestFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen) {
    ENTER_SESSION("C_DigestFinal");
    Operation& op = s.digest;
    if (!op.active) return CKR_OPERATION_NOT_INITIALIZED;
    if (!pulDigestLen) {
        op.reset();
        return CKR_ARGUMENTS_BAD;
    }
    size_t need = DigestSize(op);
    if (!pDigest || *pulDigestLen < need) {
        CK_RV rv = pDigest ? CKR_BUFFER_TOO_SMALL : CKR_OK;
        *pulDigestLen = need;
        return rv;
    }
    Bytes hash = FinishDigest(op.md.get());
    op.reset();
    if (hash.empty()) return CKR_DEVICE_ERROR;
    return PutOutput(hash, pDigest, pulDigestLen);
}

CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    ENTER_SESSION("C_SignInit");
    return SignOrVerifyInit(m, s, s.sign, pMechanism, hKey, CKO_PRIVATE_KEY);
}

CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
             CK_ULONG_PTR pulSignatureLen) {
    ENTER_SESSION("C_Sign");
    Operation& op = s.sign;
    if (!op.active) return CKR_OPERATION_NOT_INITIALIZED;
    if (!pulSignatureLen) {
        op.reset();
        return CKR_ARGUMENTS_BAD;
    }
    // A length query or a short buffer leaves the operation and its data as they are.
    CK_ULONG need = SignatureSize(op.mechanism);
    if (!pSignature || *pulSignatureLen < need) {
        CK_RV rv = pSignature ? CKR_BUFFER_TOO_SMALL : CKR_OK;
        *pulSignatureLen = need;
        return rv;
    }
    if (CK_RV rv = FeedSignData(op, pData, ulDataLen)) {
        op.reset();
        return rv;
    }
    return SignFinish(m, op, pSignature, pulSignatureLen);
}

CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    ENTER_SESSION("C_SignUpdate");
    if (!s.sign.active) return CKR_OPERATION_NOT_INITIALIZED;
    if (CK_RV rv = FeedSignData(s.sign, pPart, ulPartLen)) {
        s.sign.reset();
        return rv;
    }
    return CKR_OK;
}

CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    ENTER_SESSION("C_SignFinal");
    if (!s.sign.active) return CKR_OPERATION_NOT_INITIALIZED;
    return SignFinish(m, s.sign, pSignature, pulSignatureLen);
}

CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    ENTER_SESSION("C_VerifyInit");
    return SignOrVerifyInit(m, s, s.verify, pMechanism, hKey, CKO_PUBLIC_KEY);
}

CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
               CK_ULONG ulSignatureLen) {
    ENTER_SESSION("C_Verify");
    if (!s.verify.active) return CKR_OPERATION_NOT_INITIALIZED;
    if (CK_RV rv = FeedSignData(s.verify, pData, ulDataLen)) {
        s.verify.reset();
        return rv;
    }
    return VerifyFinish(m, s.verify, pSignature, ulSignatureLen);
}

CK_RV C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    ENTER_SESSION("C_VerifyUpdate");
    if (!s.verify.active) return CKR_OPERATION_NOT_INITIALIZED;
    if (CK_RV rv = FeedSignData(s.verify, pPart, ulPartLen)) {
        s.verify.reset();
        return rv;
    }
    return CKR_OK;
}

CK_RV C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
    ENTER_SESSION("C_VerifyFinal");
    if (!s.verify.active) return CKR_OPERATION_NOT_INITIALIZED;
    return VerifyFinish(m, s.verify, pSignature, ulSignatureLen);
}

CK_RV C_GenerateKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pTemplate,
                    CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phKey) {
    ENTER_SESSION("C_GenerateKey");
    if (!pMechanism || !phKey) return CKR_ARGUMENTS_BAD;
    if (pMechanism->mechanism != CKM_GOST28147_KEY_GEN || !Listed(slot, pMechanism->mechanism))
        return CKR_MECHANISM_INVALID;
    Attrs attrs;
    if (CK_RV rv = ReadTemplate(pTemplate, ulCount, attrs)) return rv;
    if (attrs.count(CKA_VALUE)) return CKR_TEMPLATE_INCONSISTENT;
    attrs.emplace(CKA_CLASS, UlongBytes(CKO_SECRET_KEY));
    attrs.emplace(CKA_KEY_TYPE, UlongBytes(CKK_GOST28147));
    Bytes value(GostKeySize);
    if (RAND_priv_bytes(value.data(), int(value.size())) != 1) return CKR_DEVICE_ERROR;
    attrs[CKA_VALUE] = value;
    Wipe(value.data(), value.size());
    std::unique_ptr<Object> o;
    if (CK_RV rv = BuildObject(attrs, o)) return rv;
    o->attrs[CKA_LOCAL] = BoolBytes(true);
    return AddObject(m, hSession, std::move(o), phKey);
}

CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                        CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                        CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                        CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey) {
    ENTER_SESSION("C_GenerateKeyPair");
    if (!pMechanism || !phPublicKey || !phPrivateKey) return CKR_ARGUMENTS_BAD;
    CK_MECHANISM_TYPE type = pMechanism->mechanism;
    if ((type != CKM_GOSTR3410_KEY_PAIR_GEN && type != VSK_CKM_GOSTR3410_512_KEY_PAIR_GEN) ||
        !Listed(slot, type))
        return CKR_MECHANISM_INVALID;
    CK_KEY_TYPE keyType = type == CKM_GOSTR3410_KEY_PAIR_GEN ? CKK_GOSTR3410 : VSK_CKK_GOSTR3410_512;
    Attrs pub, priv;
    if (CK_RV rv = ReadTemplate(pPublicKeyTemplate, ulPublicKeyAttributeCount, pub)) return rv;
    if (CK_RV rv = ReadTemplate(pPrivateKeyTemplate, ulPrivateKeyAttributeCount, priv)) return rv;
    for (Attrs* a : {&pub, &priv}) {
        auto kt = UlongOf(*a, CKA_KEY_TYPE);
        if (kt && *kt != keyType) return CKR_TEMPLATE_INCONSISTENT;
        (*a)[CKA_KEY_TYPE] = UlongBytes(keyType);
    }
    if (UlongOf(pub, CKA_CLASS).value_or(CKO_PUBLIC_KEY) != CKO_PUBLIC_KEY ||
        UlongOf(priv, CKA_CLASS).value_or(CKO_PRIVATE_KEY) != CKO_PRIVATE_KEY)
        return CKR_TEMPLATE_INCONSISTENT;
    pub[CKA_CLASS] = UlongBytes(CKO_PUBLIC_KEY);
    priv[CKA_CLASS] = UlongBytes(CKO_PRIVATE_KEY);
    if (!pub.count(CKA_GOSTR3410_PARAMS) && !priv.count(CKA_GOSTR3410_PARAMS)) return CKR_TEMPLATE_INCOMPLETE;
    // The parameter sets go to both keys when one template names them.
    for (CK_ATTRIBUTE_TYPE t : {CKA_GOSTR3410_PARAMS, CKA_GOSTR3411_PARAMS}) {
        if (pub.count(t) && !priv.count(t)) priv[t] = pub[t];
        if (priv.count(t) && !pub.count(t)) pub[t] = priv[t];
        if (pub.count(t) && pub[t] != priv[t]) return CKR_TEMPLATE_INCONSISTENT;
    }
    if (pub.count(CKA_VALUE) || priv.count(CKA_VALUE)) return CKR_TEMPLATE_INCONSISTENT;
    std::string curve = CurveOf(pub);
    if (CurveBits(curve) != BitsOfKeyType(keyType)) return CKR_DOMAIN_PARAMS_INVALID;
    Pkey key = Generate(curve);
    if (!key) return CKR_DEVICE_ERROR;
    pub[CKA_VALUE] = PublicValue(key.get());
    auto pubObj = std::make_unique<Object>();
    pubObj->attrs = pub;
    pubObj->key = PublicFromValue(curve, pub[CKA_VALUE]);
    auto privObj = std::make_unique<Object>();
    privObj->attrs = priv;
    privObj->attrs[CKA_VALUE] = PrivateValue(key.get());
    privObj->key = key;
    ApplyDefaults(*pubObj, CKO_PUBLIC_KEY, true);
    ApplyDefaults(*privObj, CKO_PRIVATE_KEY, true);
    // The private CKA_VALUE is sensitive: never read, only kept with the token's objects.
    bool privToken = BoolOf(privObj->attrs, CKA_TOKEN, false),
         pubToken = BoolOf(pubObj->attrs, CKA_TOKEN, false);
    if ((privToken || pubToken) && !(s.flags & CKF_RW_SESSION)) return CKR_SESSION_READ_ONLY;
    if (BoolOf(privObj->attrs, CKA_PRIVATE, true) && !LoggedInUser(slot)) return CKR_USER_NOT_LOGGED_IN;
    if (CK_RV rv = AddObject(m, hSession, std::move(pubObj), phPublicKey)) return rv;
    if (CK_RV rv = AddObject(m, hSession, std::move(privObj), phPrivateKey)) {
        m.objects.erase(*phPublicKey);
        SaveTokenObjects(m, s.slot);
        return rv;
    }
    return CKR_OK;
}

CK_RV C_WrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hWrappingKey,
                CK_OBJECT_HANDLE hKey, CK_BYTE_PTR pWrappedKey, CK_ULONG_PTR pulWrappedKeyLen) {
    ENTER_SESSION("C_WrapKey");
    if (!pMechanism || !pulWrappedKeyLen) return CKR_ARGUMENTS_BAD;
    if (pMechanism->mechanism != CKM_GOST28147_KEY_WRAP || !Listed(slot, pMechanism->mechanism))
        return CKR_MECHANISM_INVALID;
    if (pMechanism->ulParameterLen != UkmSize || !pMechanism->pParameter) return CKR_MECHANISM_PARAM_INVALID;
    Object *kek = nullptr, *key = nullptr;
    if (CK_RV rv = KeyFor(m, s, hWrappingKey, kek))
        return rv == CKR_KEY_HANDLE_INVALID ? CKR_WRAPPING_KEY_HANDLE_INVALID : rv;
    if (CK_RV rv = KeyFor(m, s, hKey, key)) return rv;
    if (!IsSecretGostKey(*kek)) return CKR_WRAPPING_KEY_TYPE_INCONSISTENT;
    if (!IsSecretGostKey(*key)) return CKR_KEY_NOT_WRAPPABLE;
    if (!BoolOf(key->attrs, CKA_EXTRACTABLE, true)) return CKR_KEY_UNEXTRACTABLE;
    if (!pWrappedKey) {
        *pulWrappedKeyLen = WrappedKeySize;
        return CKR_OK;
    }
    if (*pulWrappedKeyLen < WrappedKeySize) {
        *pulWrappedKeyLen = WrappedKeySize;
        return CKR_BUFFER_TOO_SMALL;
    }
    Bytes wrapped = Wrap(*SBoxOfKey(*kek), kek->attrs[CKA_VALUE],
                         static_cast<const uint8_t*>(pMechanism->pParameter), key->attrs[CKA_VALUE]);
    return PutOutput(wrapped, pWrappedKey, pulWrappedKeyLen);
}

CK_RV C_UnwrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hUnwrappingKey,
                  CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen, CK_ATTRIBUTE_PTR pTemplate,
                  CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
    ENTER_SESSION("C_UnwrapKey");
    if (!pMechanism || !phKey || (ulWrappedKeyLen && !pWrappedKey)) return CKR_ARGUMENTS_BAD;
    if (pMechanism->mechanism != CKM_GOST28147_KEY_WRAP || !Listed(slot, pMechanism->mechanism))
        return CKR_MECHANISM_INVALID;
    if (pMechanism->ulParameterLen != UkmSize || !pMechanism->pParameter) return CKR_MECHANISM_PARAM_INVALID;
    Object* kek = nullptr;
    if (CK_RV rv = KeyFor(m, s, hUnwrappingKey, kek))
        return rv == CKR_KEY_HANDLE_INVALID ? CKR_UNWRAPPING_KEY_HANDLE_INVALID : rv;
    if (!IsSecretGostKey(*kek)) return CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT;
    if (ulWrappedKeyLen != WrappedKeySize) return CKR_WRAPPED_KEY_LEN_RANGE;
    Attrs attrs;
    if (CK_RV rv = ReadTemplate(pTemplate, ulAttributeCount, attrs)) return rv;
    if (attrs.count(CKA_VALUE)) return CKR_TEMPLATE_INCONSISTENT;
    attrs.emplace(CKA_CLASS, UlongBytes(CKO_SECRET_KEY));
    attrs.emplace(CKA_KEY_TYPE, UlongBytes(CKK_GOST28147));
    Bytes key =
        Unwrap(*SBoxOfKey(*kek), kek->attrs[CKA_VALUE], static_cast<const uint8_t*>(pMechanism->pParameter),
               Bytes(pWrappedKey, pWrappedKey + ulWrappedKeyLen));
    if (key.empty()) return CKR_WRAPPED_KEY_INVALID;
    attrs[CKA_VALUE] = key;
    Wipe(key.data(), key.size());
    std::unique_ptr<Object> o;
    CK_RV rv = BuildObject(attrs, o);
    Wipe(attrs[CKA_VALUE].data(), GostKeySize);
    if (rv) return rv;
    return AddObject(m, hSession, std::move(o), phKey);
}

// VKO GOST R 34.10 with the peer's public key and the UKM, followed by the KDF: RFC 4357
// diversification of the result with the same UKM, or none. The result is a GOST 28147 key.
CK_RV C_DeriveKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hBaseKey,
                  CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
    ENTER_SESSION("C_DeriveKey");
    if (!pMechanism || !phKey) return CKR_ARGUMENTS_BAD;
    CK_MECHANISM_TYPE type = pMechanism->mechanism;
    if ((type != CKM_GOSTR3410_DERIVE && type != VSK_CKM_GOSTR3410_12_DERIVE) || !Listed(slot, type))
        return CKR_MECHANISM_INVALID;
    Bytes pub, ukm;
    CK_ULONG kdf = 0;
    if (CK_RV rv = ReadDeriveParams(pMechanism, pub, ukm, kdf)) return rv;
    if (ukm.size() != UkmSize || (kdf != VSK_CKD_KDF_4357 && kdf != CKD_NULL))
        return CKR_MECHANISM_PARAM_INVALID;
    Object* base = nullptr;
    if (CK_RV rv = KeyFor(m, s, hBaseKey, base)) return rv;
    if (UlongOf(base->attrs, CKA_CLASS) != CKO_PRIVATE_KEY || !base->key) return CKR_KEY_TYPE_INCONSISTENT;
    if (!BoolOf(base->attrs, CKA_DERIVE, true)) return CKR_KEY_FUNCTION_NOT_PERMITTED;
    Attrs attrs;
    if (CK_RV rv = ReadTemplate(pTemplate, ulAttributeCount, attrs)) return rv;
    if (attrs.count(CKA_VALUE)) return CKR_TEMPLATE_INCONSISTENT;
    attrs.emplace(CKA_CLASS, UlongBytes(CKO_SECRET_KEY));
    attrs.emplace(CKA_KEY_TYPE, UlongBytes(CKK_GOST28147));
    Bytes kek = Vko(base->key.get(), pub, ukm.data(), Digest(VkoDigestOf(*base)));
    if (kek.size() != GostKeySize) return CKR_MECHANISM_PARAM_INVALID;
    Object probe;
    probe.attrs = attrs;
    const SBox* sbox = SBoxOfKey(probe);
    if (!sbox) return CKR_DOMAIN_PARAMS_INVALID;
    if (kdf == VSK_CKD_KDF_4357) {
        Bytes diversified = Diversify(*sbox, kek, ukm.data());
        Wipe(kek.data(), kek.size());
        kek = std::move(diversified);
    }
    attrs[CKA_VALUE] = kek;
    Wipe(kek.data(), kek.size());
    std::unique_ptr<Object> o;
    CK_RV rv = BuildObject(attrs, o);
    Wipe(attrs[CKA_VALUE].data(), GostKeySize);
    if (rv) return rv;
    return AddObject(m, hSession, std::move(o), phKey);
}

CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen) {
    ENTER_SESSION("C_SeedRandom");
    if (ulSeedLen && !pSeed) return CKR_ARGUMENTS_BAD;
    RAND_seed(pSeed, int(ulSeedLen));
    return CKR_OK;
}

CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen) {
    ENTER_SESSION("C_GenerateRandom");
    if (ulRandomLen && !pRandomData) return CKR_ARGUMENTS_BAD;
    return RAND_bytes(pRandomData, int(ulRandomLen)) == 1 ? CKR_OK : CKR_DEVICE_ERROR;
}

CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR pReserved) {
    ENTER_SLOT("C_WaitForSlotEvent", VSK_GOST_TOKEN_ANY_SLOT);
    if (!pSlot || pReserved) return CKR_ARGUMENTS_BAD;
    unsigned long epoch = m.epoch, releases = m.releases;
    for (;;) {
        if (m.epoch != epoch) {
            if (!m.finalizeKeepsWaiter || m.releases != releases) return CKR_CRYPTOKI_NOT_INITIALIZED;
        } else if (!m.events.empty()) {
            *pSlot = m.events.front();
            m.events.pop_front();
            return CKR_OK;
        } else if (flags & CKF_DONT_BLOCK) {
            return CKR_NO_EVENT;
        }
        m.cv.wait(lock);
    }
}

#define NOT_SUPPORTED(name, ...)                                                        \
    CK_RV name(__VA_ARGS__) {                                                           \
        Module& m = M();                                                                \
        std::unique_lock lock(m.mu);                                                    \
        if (CK_RV injected = Enter(m, #name, VSK_GOST_TOKEN_ANY_SLOT)) return injected; \
        return CKR_FUNCTION_NOT_SUPPORTED;                                              \
    }

NOT_SUPPORTED(C_InitToken, CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR)
NOT_SUPPORTED(C_InitPIN, CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG)
NOT_SUPPORTED(C_SetPIN, CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG)
NOT_SUPPORTED(C_GetOperationState, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR)
NOT_SUPPORTED(C_SetOperationState, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE,
              CK_OBJECT_HANDLE)
NOT_SUPPORTED(C_CopyObject, CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
              CK_OBJECT_HANDLE_PTR)
NOT_SUPPORTED(C_GetObjectSize, CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ULONG_PTR)
NOT_SUPPORTED(C_DigestKey, CK_SESSION_HANDLE, CK_OBJECT_HANDLE)
NOT_SUPPORTED(C_SignRecoverInit, CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE)
NOT_SUPPORTED(C_SignRecover, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
NOT_SUPPORTED(C_VerifyRecoverInit, CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE)
NOT_SUPPORTED(C_VerifyRecover, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
NOT_SUPPORTED(C_DigestEncryptUpdate, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
NOT_SUPPORTED(C_DecryptDigestUpdate, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
NOT_SUPPORTED(C_SignEncryptUpdate, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
NOT_SUPPORTED(C_DecryptVerifyUpdate, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
NOT_SUPPORTED(C_GetFunctionStatus, CK_SESSION_HANDLE)
NOT_SUPPORTED(C_CancelFunction, CK_SESSION_HANDLE)

// ---- the control interface ---------------------------------------------------------------------------

CK_RV vskGostTokenConfigure(const char* text) {
    Module& m = M();
    std::unique_lock lock(m.mu);
    CK_RV rv = ApplyConfig(m, text ? text : "");
    m.cv.notify_all();
    return rv;
}

CK_RV vskGostTokenSetPresent(CK_SLOT_ID slot, int present) {
    Module& m = M();
    std::unique_lock lock(m.mu);
    EnsureConfigured();
    if (slot >= m.slots.size()) return CKR_SLOT_ID_INVALID;
    if (m.slots[slot].present == bool(present)) return CKR_OK;
    if (!present) CloseSlotSessions(m, slot);
    m.slots[slot].present = present;
    m.events.push_back(slot);
    m.cv.notify_all();
    return CKR_OK;
}

void vskGostTokenFailCall(const char* function, CK_RV rv, int times, CK_SLOT_ID slot) {
    Module& m = M();
    std::unique_lock lock(m.mu);
    EnsureConfigured();
    if (function && times != 0) m.failures.push_back({function, rv, times, slot});
}

void vskGostTokenClearFailures(void) {
    Module& m = M();
    std::unique_lock lock(m.mu);
    m.failures.clear();
}

unsigned long vskGostTokenCallCount(const char* function) {
    Module& m = M();
    std::unique_lock lock(m.mu);
    auto it = m.counts.find(function ? function : "");
    return it == m.counts.end() ? 0 : it->second;
}

void vskGostTokenResetCounts(void) {
    Module& m = M();
    std::unique_lock lock(m.mu);
    m.counts.clear();
}

CK_FLAGS vskGostTokenInitFlags(void) {
    Module& m = M();
    std::unique_lock lock(m.mu);
    return m.initFlags;
}

unsigned long vskGostTokenObjectCount(CK_SLOT_ID slot) {
    Module& m = M();
    std::unique_lock lock(m.mu);
    return std::count_if(m.objects.begin(), m.objects.end(),
                         [&](const auto& o) { return o.second->slot == slot; });
}

void vskGostTokenReleaseWaiters(void) {
    Module& m = M();
    std::unique_lock lock(m.mu);
    ++m.releases;
    m.cv.notify_all();
}

}  // extern "C"

namespace {

CK_FUNCTION_LIST FunctionList = {
    {2, 20},
    C_Initialize,
    C_Finalize,
    C_GetInfo,
    C_GetFunctionList,
    C_GetSlotList,
    C_GetSlotInfo,
    C_GetTokenInfo,
    C_GetMechanismList,
    C_GetMechanismInfo,
    C_InitToken,
    C_InitPIN,
    C_SetPIN,
    C_OpenSession,
    C_CloseSession,
    C_CloseAllSessions,
    C_GetSessionInfo,
    C_GetOperationState,
    C_SetOperationState,
    C_Login,
    C_Logout,
    C_CreateObject,
    C_CopyObject,
    C_DestroyObject,
    C_GetObjectSize,
    C_GetAttributeValue,
    C_SetAttributeValue,
    C_FindObjectsInit,
    C_FindObjects,
    C_FindObjectsFinal,
    C_EncryptInit,
    C_Encrypt,
    C_EncryptUpdate,
    C_EncryptFinal,
    C_DecryptInit,
    C_Decrypt,
    C_DecryptUpdate,
    C_DecryptFinal,
    C_DigestInit,
    C_Digest,
    C_DigestUpdate,
    C_DigestKey,
    C_DigestFinal,
    C_SignInit,
    C_Sign,
    C_SignUpdate,
    C_SignFinal,
    C_SignRecoverInit,
    C_SignRecover,
    C_VerifyInit,
    C_Verify,
    C_VerifyUpdate,
    C_VerifyFinal,
    C_VerifyRecoverInit,
    C_VerifyRecover,
    C_DigestEncryptUpdate,
    C_DecryptDigestUpdate,
    C_SignEncryptUpdate,
    C_DecryptVerifyUpdate,
    C_GenerateKey,
    C_GenerateKeyPair,
    C_WrapKey,
    C_UnwrapKey,
    C_DeriveKey,
    C_SeedRandom,
    C_GenerateRandom,
    C_GetFunctionStatus,
    C_CancelFunction,
    C_WaitForSlotEvent,
};

}  // namespace
