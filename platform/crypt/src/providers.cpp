// The provider table: the built-in providers (or a table that a test installed in their place) and
// the enumeration functions over it.
#include "cryptState.h"
#include "cryptTestSeam.h"

#include <algorithm>
#include <cstring>

#ifndef VSK_CRYPT_VERSION_BUILD
#define VSK_CRYPT_VERSION_BUILD 0
#endif
#ifndef VSK_CRYPT_VERSION_REVISION
#define VSK_CRYPT_VERSION_REVISION 0
#endif

namespace vsk::crypt {

const AlgorithmEntry* ProviderEntry::findAlgorithm(ALG_ID id) const {
    for (const auto& a : algorithms)
        if (a.id == id) return &a;
    return nullptr;
}

std::string To1251(const std::u16string& text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(1251, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string out(static_cast<size_t>(std::max(n, 0)), '\0');
    if (n > 0)
        WideCharToMultiByte(1251, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                            nullptr);
    return out;
}

std::u16string From1251(const std::string& text) {
    if (text.empty()) return {};
    int n = MultiByteToWideChar(1251, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(std::max(n, 0)), u'\0');
    if (n > 0) MultiByteToWideChar(1251, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

bool SameProviderName(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (towlower16(a[i]) != towlower16(b[i])) return false;
    return true;
}

// Algorithm lists of the providers of each type (names in code page 1251: narrow literals are 1251).
const std::vector<AlgorithmEntry>& BuiltInAlgorithms(DWORD type) {
    static const std::vector<AlgorithmEntry> rsa = {
        {CALG_MD5, 128, "MD5"},
        {CALG_SHA1, 160, "SHA-1"},
        {CALG_SHA_256, 256, "SHA-256"},
        {CALG_SHA_384, 384, "SHA-384"},
        {CALG_SHA_512, 512, "SHA-512"},
        {CALG_RSA_SIGN, 2048, "RSA_SIGN"},
        {CALG_RSA_KEYX, 2048, "RSA_KEYX"},
        {CALG_AES_128, 128, "AES 128"},
        {CALG_AES_192, 192, "AES 192"},
        {CALG_AES_256, 256, "AES 256"},
        {CALG_3DES, 168, "3DES"},
    };
    static const std::vector<AlgorithmEntry> gost256 = {
        {CALG_GR3411_2012_256, 256, "ГОСТ Р 34.11-12 256"},
        {CALG_GR3410_12_256, 512, "ГОСТ Р 34.10-12 256"},
        {CALG_DH_GR3410_12_256_SF, 512, "ВКО 34.10-12 256"},
        {CALG_DH_GR3410_12_256_EPHEM, 512, "ВКО 34.10-12 256 Э"},
        {CALG_G28147, 256, "ГОСТ 28147-89"},
    };
    static const std::vector<AlgorithmEntry> gost512 = {
        {CALG_GR3411_2012_512, 512, "ГОСТ Р 34.11-12 512"},
        {CALG_GR3411_2012_256, 256, "ГОСТ Р 34.11-12 256"},
        {CALG_GR3410_12_512, 1024, "ГОСТ Р 34.10-12 512"},
        {CALG_DH_GR3410_12_512_SF, 1024, "ВКО 34.10-12 512"},
        {CALG_DH_GR3410_12_512_EPHEM, 1024, "ВКО 34.10-12 512 Э"},
        {CALG_G28147, 256, "ГОСТ 28147-89"},
    };
    static const std::vector<AlgorithmEntry> none;
    switch (type) {
        case PROV_RSA_FULL:
            return rsa;
        case PROV_GOST_2012_256:
            return gost256;
        case PROV_GOST_2012_512:
            return gost512;
        default:
            return none;
    }
}

const char16_t* TypeName(DWORD type) {
    switch (type) {
        case PROV_RSA_FULL:
            return u"RSA Full (Signature and Key Exchange)";
        case PROV_RSA_SIG:
            return u"RSA Signature Only";
        case PROV_RSA_AES:
            return u"RSA Full and AES";
        case PROV_GOST_94_DH:
            return u"GOST R 34.10-94 Signature with Diffie-Hellman Key Exchange";
        case PROV_GOST_2001_DH:
            return u"GOST R 34.10-2001 Signature with Diffie-Hellman Key Exchange";
        case 77:
            return u"GOST R 34.10-2012 (256) Signature with Key Exchange";
        case 78:
            return u"GOST R 34.10-2012 (512) Signature with Key Exchange";
        case PROV_GOST_2012_256:
            return u"GOST R 34.10-2012 (256) Signature with Diffie-Hellman Key Exchange";
        case PROV_GOST_2012_512:
            return u"GOST R 34.10-2012 (512) Signature with Diffie-Hellman Key Exchange";
        default:
            return nullptr;
    }
}

std::shared_ptr<ProviderEntry> NewProvider(DWORD type, std::u16string name) {
    auto p = std::make_shared<ProviderEntry>();
    p->type = type;
    p->name = std::move(name);
    p->algorithms = BuiltInAlgorithms(type);
    p->versionBuild = VSK_CRYPT_VERSION_BUILD;
    p->versionRevision = VSK_CRYPT_VERSION_REVISION;
    p->inject.busyCalls = std::make_shared<std::atomic<int>>(0);
    return p;
}

namespace {

std::shared_ptr<ProviderTable> BuiltInTable() {
    auto t = std::make_shared<ProviderTable>();
    for (auto [type, name] : {std::pair{PROV_RSA_FULL, KESTROVAN_RSA_PROV},
                              std::pair{PROV_GOST_2012_256, KESTROVAN_GOST_2012_256_PROV},
                              std::pair{PROV_GOST_2012_512, KESTROVAN_GOST_2012_512_PROV}}) {
        auto p = NewProvider(type, name);
        p->machineDefault = true;
        p->keepsContainers = true;
        t->providers.push_back(p);
    }
    for (DWORD type :
         {PROV_RSA_FULL, PROV_RSA_AES, PROV_GOST_2001_DH, PROV_GOST_2012_256, PROV_GOST_2012_512})
        t->types.push_back({type, TypeName(type)});
    return t;
}

std::mutex tableMutex;
std::shared_ptr<const ProviderTable> table;  // null: the built-in table is made at the next use

}  // namespace

std::shared_ptr<const ProviderTable> Providers() {
    std::lock_guard lock(tableMutex);
    if (!table) table = BuiltInTable();
    return table;
}

void InstallProviderTable(std::shared_ptr<const ProviderTable> installed) {
    std::lock_guard lock(tableMutex);
    table = std::move(installed);
}

// Copies a UTF-16 text with its NUL into a caller's buffer under the two-call size protocol.
static BOOL ReturnWideText(const std::u16string& text, LPWSTR buffer, DWORD* size) {
    DWORD need = static_cast<DWORD>((text.size() + 1) * sizeof(char16_t));
    if (!buffer) {
        *size = need;
        return TRUE;
    }
    if (*size < need) {
        *size = need;
        return Fail(ERROR_MORE_DATA);
    }
    std::memcpy(buffer, text.c_str(), need);
    *size = need;
    return TRUE;
}

}  // namespace vsk::crypt

using namespace vsk::crypt;

BOOL CryptEnumProvidersW(DWORD index, DWORD* reserved, DWORD flags, DWORD* provType, LPWSTR provName,
                         DWORD* provNameLen) {
    if (reserved || !provType || !provNameLen) return Fail(ERROR_INVALID_PARAMETER);
    if (flags) return Fail(NTE_BAD_FLAGS);
    auto t = Providers();
    if (t->enumProvidersError && t->enumProvidersError->first == index)
        return Fail(t->enumProvidersError->second);
    if (index >= t->providers.size()) return Fail(ERROR_NO_MORE_ITEMS);
    const auto& p = *t->providers[index];
    *provType = p.type;
    return ReturnWideText(p.name, provName, provNameLen);
}

BOOL CryptEnumProviderTypesW(DWORD index, DWORD* reserved, DWORD flags, DWORD* provType, LPWSTR typeName,
                             DWORD* typeNameLen) {
    if (reserved || !provType || !typeNameLen) return Fail(ERROR_INVALID_PARAMETER);
    if (flags) return Fail(NTE_BAD_FLAGS);
    auto t = Providers();
    if (t->enumTypesError && t->enumTypesError->first == index) return Fail(t->enumTypesError->second);
    if (index >= t->types.size()) return Fail(ERROR_NO_MORE_ITEMS);
    *provType = t->types[index].type;
    return ReturnWideText(t->types[index].name, typeName, typeNameLen);
}

BOOL CryptGetDefaultProviderW(DWORD provType, DWORD* reserved, DWORD flags, LPWSTR provName,
                              DWORD* provNameLen) {
    if (reserved || !provNameLen) return Fail(ERROR_INVALID_PARAMETER);
    if (flags != CRYPT_MACHINE_DEFAULT && flags != CRYPT_USER_DEFAULT) return Fail(NTE_BAD_FLAGS);
    auto t = Providers();
    for (const auto& p : t->providers)
        if (p->type == provType && (flags == CRYPT_USER_DEFAULT ? p->userDefault : p->machineDefault))
            return ReturnWideText(p->name, provName, provNameLen);
    return Fail(NTE_PROV_TYPE_NOT_DEF);
}
