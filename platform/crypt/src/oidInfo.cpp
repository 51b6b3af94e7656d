// OID information: a built-in table of the algorithms the providers know, with Russian names for the
// GOST algorithms, and entries added at run time (before or after the built-in ones).
#include "cryptState.h"

#include <cstring>
#include <deque>

namespace vsk::crypt {

namespace {

// Public-key ALG_IDs of the signature entries (their extra information), as Windows keeps them.
const DWORD RsaSignExtra[] = {CALG_RSA_SIGN, 0};
const DWORD Gost2001SignExtra[] = {CALG_GR3410EL, 0};
const DWORD Gost256SignExtra[] = {CALG_GR3410_12_256, 0};
const DWORD Gost512SignExtra[] = {CALG_GR3410_12_512, 0};

CRYPT_OID_INFO Entry(const char* oid, const char16_t* name, DWORD group, ALG_ID alg,
                     const DWORD* extra = nullptr) {
    CRYPT_OID_INFO info{};
    info.cbStruct = sizeof info;
    info.pszOID = oid;
    info.pwszName = name;
    info.dwGroupId = group;
    info.Algid = alg;
    if (extra) {
        info.ExtraInfo.cbData = 2 * sizeof(DWORD);
        info.ExtraInfo.pbData = reinterpret_cast<BYTE*>(const_cast<DWORD*>(extra));
    }
    return info;
}

const std::vector<CRYPT_OID_INFO>& BuiltIn() {
    static const std::vector<CRYPT_OID_INFO> table = {
        Entry("1.2.840.113549.2.5", u"md5", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_MD5),
        Entry("1.3.14.3.2.26", u"sha1", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_SHA1),
        Entry("2.16.840.1.101.3.4.2.1", u"sha256", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_SHA_256),
        Entry("2.16.840.1.101.3.4.2.2", u"sha384", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_SHA_384),
        Entry("2.16.840.1.101.3.4.2.3", u"sha512", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_SHA_512),
        Entry("1.2.643.2.2.9", u"ГОСТ Р 34.11-94", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_GR3411),
        Entry("1.2.643.7.1.1.2.2", u"ГОСТ Р 34.11-2012 256 бит", CRYPT_HASH_ALG_OID_GROUP_ID,
              CALG_GR3411_2012_256),
        Entry("1.2.643.7.1.1.2.3", u"ГОСТ Р 34.11-2012 512 бит", CRYPT_HASH_ALG_OID_GROUP_ID,
              CALG_GR3411_2012_512),

        Entry("1.2.840.113549.3.7", u"3des", CRYPT_ENCRYPT_ALG_OID_GROUP_ID, CALG_3DES),
        Entry("2.16.840.1.101.3.4.1.2", u"aes128", CRYPT_ENCRYPT_ALG_OID_GROUP_ID, CALG_AES_128),
        Entry("2.16.840.1.101.3.4.1.22", u"aes192", CRYPT_ENCRYPT_ALG_OID_GROUP_ID, CALG_AES_192),
        Entry("2.16.840.1.101.3.4.1.42", u"aes256", CRYPT_ENCRYPT_ALG_OID_GROUP_ID, CALG_AES_256),
        Entry("1.2.643.2.2.21", u"ГОСТ 28147-89", CRYPT_ENCRYPT_ALG_OID_GROUP_ID, CALG_G28147),

        Entry("1.2.840.113549.1.1.1", u"RSA", CRYPT_PUBKEY_ALG_OID_GROUP_ID, CALG_RSA_KEYX),
        Entry("1.2.840.113549.1.1.1", u"RSA_SIGN", CRYPT_PUBKEY_ALG_OID_GROUP_ID, CALG_RSA_SIGN),
        Entry("1.2.643.2.2.19", u"ГОСТ Р 34.10-2001", CRYPT_PUBKEY_ALG_OID_GROUP_ID, CALG_GR3410EL),
        Entry("1.2.643.7.1.1.1.1", u"ГОСТ Р 34.10-2012 256 бит", CRYPT_PUBKEY_ALG_OID_GROUP_ID,
              CALG_GR3410_12_256),
        Entry("1.2.643.7.1.1.1.2", u"ГОСТ Р 34.10-2012 512 бит", CRYPT_PUBKEY_ALG_OID_GROUP_ID,
              CALG_GR3410_12_512),

        Entry("1.2.840.113549.1.1.4", u"md5RSA", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_MD5, RsaSignExtra),
        Entry("1.2.840.113549.1.1.5", u"sha1RSA", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_SHA1, RsaSignExtra),
        Entry("1.2.840.113549.1.1.11", u"sha256RSA", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_SHA_256, RsaSignExtra),
        Entry("1.2.840.113549.1.1.12", u"sha384RSA", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_SHA_384, RsaSignExtra),
        Entry("1.2.840.113549.1.1.13", u"sha512RSA", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_SHA_512, RsaSignExtra),
        Entry("1.2.643.2.2.3", u"ГОСТ Р 34.11-94/34.10-2001", CRYPT_SIGN_ALG_OID_GROUP_ID, CALG_GR3411,
              Gost2001SignExtra),
        Entry("1.2.643.7.1.1.3.2", u"ГОСТ Р 34.11-2012/34.10-2012 256 бит", CRYPT_SIGN_ALG_OID_GROUP_ID,
              CALG_GR3411_2012_256, Gost256SignExtra),
        Entry("1.2.643.7.1.1.3.3", u"ГОСТ Р 34.11-2012/34.10-2012 512 бит", CRYPT_SIGN_ALG_OID_GROUP_ID,
              CALG_GR3411_2012_512, Gost512SignExtra),
    };
    return table;
}

// An entry added at run time, owning its texts and extra bytes. Entries are never freed, so the
// pointers handed out stay valid; a removed one is only left out of lookups.
struct AddedEntry {
    CRYPT_OID_INFO info{};
    std::string oid;
    std::u16string name;
    std::vector<BYTE> extra;
    bool after = true;
    bool removed = false;
};

std::mutex addedMutex;
std::deque<AddedEntry>& Added() {
    static auto* added = new std::deque<AddedEntry>;
    return *added;
}

// Every entry in lookup order: added before, built-in, added after.
std::vector<const CRYPT_OID_INFO*> AllEntries() {
    std::vector<const CRYPT_OID_INFO*> out;
    std::lock_guard lock(addedMutex);
    for (const auto& a : Added())
        if (!a.removed && !a.after) out.push_back(&a.info);
    for (const auto& b : BuiltIn()) out.push_back(&b);
    for (const auto& a : Added())
        if (!a.removed && a.after) out.push_back(&a.info);
    return out;
}

bool SameNameNoCase(const char16_t* a, const char16_t* b) {
    if (!a || !b) return false;
    for (; *a && *b; ++a, ++b)
        if (towlower16(*a) != towlower16(*b)) return false;
    return *a == *b;
}

}  // namespace

}  // namespace vsk::crypt

using namespace vsk::crypt;

PCCRYPT_OID_INFO CryptFindOIDInfo(DWORD keyType, void* key, DWORD groupId) {
    if (!key) return nullptr;
    for (const CRYPT_OID_INFO* e : AllEntries()) {
        if (groupId && e->dwGroupId != groupId) continue;
        switch (keyType) {
            case CRYPT_OID_INFO_OID_KEY:
                if (e->pszOID && std::strcmp(e->pszOID, static_cast<const char*>(key)) == 0) return e;
                break;
            case CRYPT_OID_INFO_NAME_KEY:
                if (SameNameNoCase(e->pwszName, static_cast<const char16_t*>(key))) return e;
                break;
            case CRYPT_OID_INFO_ALGID_KEY:
                if (e->Algid == *static_cast<const ALG_ID*>(key)) return e;
                break;
            case CRYPT_OID_INFO_SIGN_KEY: {
                const auto* algs = static_cast<const ALG_ID*>(key);
                DWORD pubKey = 0;
                if (e->ExtraInfo.cbData >= sizeof pubKey)
                    std::memcpy(&pubKey, e->ExtraInfo.pbData, sizeof pubKey);
                if (e->dwGroupId == CRYPT_SIGN_ALG_OID_GROUP_ID && e->Algid == algs[0] && pubKey == algs[1])
                    return e;
                break;
            }
            default:
                return nullptr;
        }
    }
    return nullptr;
}

BOOL CryptEnumOIDInfo(DWORD groupId, DWORD flags, void* arg, PFN_CRYPT_ENUM_OID_INFO callback) {
    (void)flags;
    if (!callback) return Fail(ERROR_INVALID_PARAMETER);
    for (const CRYPT_OID_INFO* e : AllEntries())
        if ((!groupId || e->dwGroupId == groupId) && !callback(e, arg)) return FALSE;
    return TRUE;
}

LPCSTR CertAlgIdToOID(DWORD algId) {
    ALG_ID alg = algId;
    if (alg == 0) return nullptr;
    PCCRYPT_OID_INFO e = CryptFindOIDInfo(CRYPT_OID_INFO_ALGID_KEY, &alg, 0);
    return e ? e->pszOID : nullptr;
}

DWORD CertOIDToAlgId(LPCSTR oid) {
    if (!oid) return 0;
    for (const CRYPT_OID_INFO* e : AllEntries())
        if (e->pszOID && std::strcmp(e->pszOID, oid) == 0 && e->Algid) return e->Algid;
    return 0;
}

void AddOIDInfo(const CRYPT_OID_INFO& info, bool after) {
    std::lock_guard lock(addedMutex);
    auto& added = Added();
    std::string oid = info.pszOID ? info.pszOID : "";
    for (auto& a : added)
        if (!a.removed && a.oid == oid && a.info.dwGroupId == info.dwGroupId) a.removed = true;
    AddedEntry& a = added.emplace_back();
    a.oid = std::move(oid);
    if (info.pwszName) a.name = info.pwszName;
    if (info.ExtraInfo.cbData && info.ExtraInfo.pbData)
        a.extra.assign(info.ExtraInfo.pbData, info.ExtraInfo.pbData + info.ExtraInfo.cbData);
    a.after = after;
    a.info = info;
    a.info.cbStruct = sizeof(CRYPT_OID_INFO);
    a.info.pszOID = a.oid.c_str();
    a.info.pwszName = a.name.c_str();
    a.info.ExtraInfo.cbData = static_cast<DWORD>(a.extra.size());
    a.info.ExtraInfo.pbData = a.extra.empty() ? nullptr : a.extra.data();
}

bool RemoveAddedOIDInfo(LPCSTR oid, DWORD groupId) {
    if (!oid) return false;
    std::lock_guard lock(addedMutex);
    bool found = false;
    for (auto& a : Added())
        if (!a.removed && a.oid == oid && a.info.dwGroupId == groupId) a.removed = found = true;
    return found;
}
