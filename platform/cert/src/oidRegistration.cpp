// OID registration: entries registered with CryptRegisterOIDInfo live in the machine registry hive
// and are added to the OID information table of the provider area, after its built-in entries (or
// before them with CRYPT_INSTALL_OID_INFO_BEFORE_FLAG). The X.500 keys join the table as the RDN
// group's entries, so names such as "CN" are known by OID like on the platform.
#include "certTesting.h"
#include "certnameInternal.h"

#include <vsk/platform/identity.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/registry.h>

#include <mutex>
#include <string>

namespace vsk::cert {

namespace {

const char16_t* const OidInfoKey =
    u"Software\\Microsoft\\Cryptography\\OID\\EncodingType 0\\CryptDllFindOIDInfo";

// Value types of the X.500 attributes that allow fewer than the directory string types, as DWORD
// lists ending in 0.
const DWORD PrintableOnly[] = {CERT_RDN_PRINTABLE_STRING, 0};
const DWORD Ia5Only[] = {CERT_RDN_IA5_STRING, 0};
const DWORD Ia5OrUtf8[] = {CERT_RDN_IA5_STRING, CERT_RDN_UTF8_STRING, 0};

const DWORD* KeyValueTypes(const std::string& oid, DWORD& bytes) {
    const DWORD* list = nullptr;
    if (oid == "2.5.4.6" || oid == "2.5.4.5" || oid == "2.5.4.46")
        list = PrintableOnly, bytes = sizeof PrintableOnly;
    else if (oid == "1.2.840.113549.1.9.1")
        list = Ia5Only, bytes = sizeof Ia5Only;
    else if (oid == "0.9.2342.19200300.100.1.25")
        list = Ia5OrUtf8, bytes = sizeof Ia5OrUtf8;
    return list;
}

void AddKeyEntry(const X500Key& key) {
    CRYPT_OID_INFO info{};
    info.cbStruct = sizeof info;
    info.pszOID = key.oid;
    info.pwszName = key.key;
    info.dwGroupId = CRYPT_RDN_ATTR_OID_GROUP_ID;
    DWORD bytes = 0;
    if (const DWORD* types = KeyValueTypes(key.oid, bytes)) {
        info.ExtraInfo.cbData = bytes;
        info.ExtraInfo.pbData = reinterpret_cast<BYTE*>(const_cast<DWORD*>(types));
    }
    AddOIDInfo(info, true);
}

// A registration removed from the table may have hidden an X.500 key entry: put that back.
void RestoreKeyEntry(const std::string& oid, DWORD group) {
    if (group != CRYPT_RDN_ATTR_OID_GROUP_ID) return;
    for (const X500Key* k = X500Keys(); k->key; ++k)
        if (k->primary && oid == k->oid) AddKeyEntry(*k);
}

// The key entries are constant data: they join the table when the program starts, before anything
// looks an OID up.
struct KeyEntries {
    KeyEntries() {
        for (const X500Key* k = X500Keys(); k->key; ++k)
            if (k->primary) AddKeyEntry(*k);
    }
} keyEntries;

std::mutex loadMutex;
bool loaded = false;
// Registrations this process put into the table: OID and group.
std::vector<std::pair<std::string, DWORD>>& Applied() {
    static auto* applied = new std::vector<std::pair<std::string, DWORD>>;
    return *applied;
}

std::u16string SubKeyName(const std::string& oid, DWORD group) {
    std::u16string name(oid.begin(), oid.end());
    name += u'!';
    for (char c : std::to_string(group)) name += static_cast<char16_t>(c);
    return name;
}

void Apply(const CRYPT_OID_INFO& info, DWORD flags) {
    AddOIDInfo(info, !(flags & CRYPT_INSTALL_OID_INFO_BEFORE_FLAG));
    Applied().emplace_back(info.pszOID, info.dwGroupId);
}

bool QueryValue(HKEY key, const char16_t* name, DWORD wantType, std::vector<BYTE>& out) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != 0 || type != wantType) return false;
    out.assign(size, 0);
    return RegQueryValueExW(key, name, nullptr, &type, out.data(), &size) == 0 && (out.resize(size), true);
}

// One subkey "<oid>!<group>" into the table.
void LoadOne(HKEY root, const std::u16string& subKey) {
    const size_t bang = subKey.rfind(u'!');
    if (bang == std::u16string::npos || bang == 0) return;
    const std::u16string oidText = subKey.substr(0, bang);
    if (!LooksLikeOid(oidText)) return;
    DWORD group = 0;
    for (size_t i = bang + 1; i < subKey.size(); ++i) {
        if (subKey[i] < u'0' || subKey[i] > u'9' || group > 1000) return;
        group = group * 10 + (subKey[i] - u'0');
    }
    HKEY key;
    if (RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ, &key) != 0) return;
    std::vector<BYTE> name, algid, extra, flags;
    std::u16string nameText;
    if (QueryValue(key, u"Name", REG_SZ, name)) {
        nameText.assign(reinterpret_cast<const char16_t*>(name.data()), name.size() / sizeof(char16_t));
        nameText = nameText.c_str();  // up to the NUL
    }
    const bool hasAlgid = QueryValue(key, u"Algid", REG_DWORD, algid) && algid.size() == sizeof(DWORD);
    const bool hasFlags = QueryValue(key, u"Flags", REG_DWORD, flags) && flags.size() == sizeof(DWORD);
    QueryValue(key, u"ExtraInfo", REG_BINARY, extra);
    RegCloseKey(key);

    const std::string oid(oidText.begin(), oidText.end());
    CRYPT_OID_INFO info{};
    info.cbStruct = sizeof info;
    info.pszOID = oid.c_str();
    info.pwszName = nameText.c_str();
    info.dwGroupId = group;
    if (hasAlgid) std::memcpy(&info.dwValue, algid.data(), sizeof(DWORD));
    info.ExtraInfo.cbData = static_cast<DWORD>(extra.size());
    info.ExtraInfo.pbData = extra.empty() ? nullptr : extra.data();
    DWORD registrationFlags = 0;
    if (hasFlags) std::memcpy(&registrationFlags, flags.data(), sizeof(DWORD));
    Apply(info, registrationFlags);
}

void LoadLocked() {
    const DWORD saved = GetLastError();
    HKEY root;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, OidInfoKey, 0, KEY_READ, &root) == 0) {
        for (DWORD index = 0;; ++index) {
            char16_t name[512];
            DWORD chars = 512;
            const LSTATUS status =
                RegEnumKeyExW(root, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
            if (status == ERROR_MORE_DATA) continue;  // no OID is that long
            if (status != 0) break;
            LoadOne(root, std::u16string(name, chars));
        }
        RegCloseKey(root);
    }
    SetLastError(saved);
}

bool ValidInfo(PCCRYPT_OID_INFO info) {
    return info && info->pszOID && *info->pszOID;
}

}  // namespace

void EnsureOidInfoLoaded() {
    std::lock_guard lock(loadMutex);
    if (loaded) return;
    loaded = true;
    LoadLocked();
}

}  // namespace vsk::cert

using namespace vsk::cert;

void LoadRegisteredOIDInfo() {
    EnsureOidInfoLoaded();
}

void ReloadRegisteredOIDInfo() {
    std::lock_guard lock(loadMutex);
    for (const auto& [oid, group] : Applied()) {
        RemoveAddedOIDInfo(oid.c_str(), group);
        RestoreKeyEntry(oid, group);
    }
    Applied().clear();
    loaded = false;
}

BOOL CryptRegisterOIDInfo(PCCRYPT_OID_INFO info, DWORD flags) {
    if (!ValidInfo(info)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    if (!IsProcessAdministrator()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    EnsureOidInfoLoaded();
    std::lock_guard lock(loadMutex);
    const std::u16string path =
        std::u16string(OidInfoKey) + u"\\" + SubKeyName(info->pszOID, info->dwGroupId);
    HKEY key;
    LSTATUS status =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (status != 0) {
        SetLastError(static_cast<DWORD>(status));
        return FALSE;
    }
    const std::u16string name = info->pwszName ? info->pwszName : u"";
    const DWORD value = info->dwValue;
    status = RegSetValueExW(key, u"Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                            static_cast<DWORD>((name.size() + 1) * sizeof(char16_t)));
    if (status == 0)
        status =
            RegSetValueExW(key, u"Algid", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    if (status == 0)
        status =
            RegSetValueExW(key, u"Flags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&flags), sizeof flags);
    if (status == 0) {
        if (info->ExtraInfo.cbData && info->ExtraInfo.pbData) {
            status = RegSetValueExW(key, u"ExtraInfo", 0, REG_BINARY, info->ExtraInfo.pbData,
                                    info->ExtraInfo.cbData);
        } else {
            status = RegDeleteValueW(key, u"ExtraInfo");
            if (status == ERROR_FILE_NOT_FOUND) status = 0;
        }
    }
    RegCloseKey(key);
    if (status != 0) {
        SetLastError(static_cast<DWORD>(status));
        return FALSE;
    }
    CRYPT_OID_INFO copy = *info;
    copy.cbStruct = sizeof copy;
    if (!copy.pwszName) copy.pwszName = u"";
    Apply(copy, flags);
    return TRUE;
}

BOOL CryptUnregisterOIDInfo(PCCRYPT_OID_INFO info) {
    if (!ValidInfo(info)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    if (!IsProcessAdministrator()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    EnsureOidInfoLoaded();
    std::lock_guard lock(loadMutex);
    // Copied first: `info` may be the table's own entry, which the removal hides.
    const std::string oid = info->pszOID;
    const DWORD group = info->dwGroupId;
    HKEY root;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, OidInfoKey, 0, KEY_READ | KEY_WRITE, &root);
    if (status == 0) {
        status = RegDeleteKeyW(root, SubKeyName(oid, group).c_str());
        RegCloseKey(root);
    }
    if (status != 0) {
        SetLastError(static_cast<DWORD>(status));
        return FALSE;
    }
    RemoveAddedOIDInfo(oid.c_str(), group);
    RestoreKeyEntry(oid, group);
    std::erase(Applied(), std::make_pair(oid, group));
    return TRUE;
}
