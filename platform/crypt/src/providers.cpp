// The provider table: the built-in providers, the fake backend that tests put in their place, and the
// enumeration functions over it.
#include "cryptState.h"

#include <vsk/platform/diagnostics.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

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

static bool IsUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t n = c < 0x80             ? 0
                   : (c & 0xE0) == 0xC0 ? 1
                   : (c & 0xF0) == 0xE0 ? 2
                   : (c & 0xF8) == 0xF0 ? 3
                                        : 9;
        if (n == 9 || i + n >= text.size()) return false;
        for (size_t k = 1; k <= n; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += n + 1;
    }
    return true;
}

// Fixture texts: UTF-8, or code page 1251 when they are not valid UTF-8 (fixtures that tests write from
// narrow literals).
static std::u16string FromFixture(const std::string& text) {
    if (text.empty()) return {};
    UINT cp = IsUtf8(text) ? CP_UTF8 : 1251;
    int n = MultiByteToWideChar(cp, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(std::max(n, 0)), u'\0');
    if (n > 0) MultiByteToWideChar(cp, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

bool SameProviderName(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (towlower16(a[i]) != towlower16(b[i])) return false;
    return true;
}

namespace {

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

std::shared_ptr<ProviderTable> BuiltInTable() {
    auto t = std::make_shared<ProviderTable>();
    for (auto [type, name] : {std::pair{PROV_RSA_FULL, KESTROVAN_RSA_PROV},
                              std::pair{PROV_GOST_2012_256, KESTROVAN_GOST_2012_256_PROV},
                              std::pair{PROV_GOST_2012_512, KESTROVAN_GOST_2012_512_PROV}}) {
        auto p = NewProvider(type, name);
        p->machineDefault = true;
        t->providers.push_back(p);
    }
    for (DWORD type :
         {PROV_RSA_FULL, PROV_RSA_AES, PROV_GOST_2001_DH, PROV_GOST_2012_256, PROV_GOST_2012_512})
        t->types.push_back({type, TypeName(type)});
    return t;
}

// ---- The fake backend ---------------------------------------------------------------------------
//
// A fixture file of sections and "key = value" lines ('#' starts a comment):
//   [provider]                 one per provider, in enumeration order
//   type = 80
//   name = Some Provider       UTF-8, or code page 1251
//   algorithms = builtin | none      start from the built-in list of the type (the default) or from none
//   alg = 0x8021 256 Name      one more algorithm (its name is kept in code page 1251)
//   version = 0x0100           PP_VERSION
//   version_ex = 5 7 | none    PP_VERSION_EX, or a provider that does not answer it
//   machine_default = yes|no   (default: the first provider of its type)
//   user_default = yes|no      (default: no)
//   busy = 3                   the next 3 calls of CryptSetProvParam/CryptImportKey give ERROR_BUSY
//   acquire_delay_ms = 500     CryptAcquireContextW sleeps first
//   acquire_error = 0x80090016 CryptAcquireContextW fails
//   enumalgs_error = 0x80090020 after 2   PP_ENUMALGS fails after 2 records
//   unique_refused = yes       PP_ENUMCONTAINERS with CRYPT_UNIQUE gives NTE_BAD_FLAGS
//   refuse_hash = 0x8021       CryptCreateHash of a listed algorithm fails with NTE_BAD_ALGID
//   container = name [unique]  listed by PP_ENUMCONTAINERS (unique name defaults to the name)
//   machine_container = name [unique]     the same for contexts with CRYPT_MACHINE_KEYSET
//   [types]                    replaces the type list (default: the distinct provider types, ascending)
//   type = 77 Type name
//   [global]
//   enum_providers_error = 2 0x80090020   CryptEnumProvidersW fails at index 2
//   enum_types_error = 0 0x80090020       CryptEnumProviderTypesW fails at index 0

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool ParseNumber(const std::string& text, DWORD& value) {
    std::string t = Trim(text);
    if (t.empty()) return false;
    char* end = nullptr;
    unsigned long v = std::strtoul(t.c_str(), &end, 0);
    if (*end != '\0' || v > 0xFFFFFFFFul) return false;
    value = static_cast<DWORD>(v);
    return true;
}

bool ParseYes(const std::string& text) {
    std::string t = Trim(text);
    return t == "yes" || t == "1" || t == "true";
}

std::shared_ptr<ProviderTable> FakeTable(const char* path) {
    auto t = std::make_shared<ProviderTable>();
    std::ifstream in(path);
    if (!in) {
        ReportPlatformDiagnostic(std::string("KESTROVAN_FAKE_CSP: cannot read ") + path);
        return t;
    }
    struct Pending {
        std::shared_ptr<ProviderEntry> entry;
        std::optional<bool> machineDefault;
    };
    std::vector<Pending> providers;
    bool explicitTypes = false;
    std::string section, line;
    int lineNo = 0;
    auto complain = [&](const std::string& why) {
        ReportPlatformDiagnostic("KESTROVAN_FAKE_CSP " + std::string(path) + ":" + std::to_string(lineNo) +
                                 ": " + why);
    };
    while (std::getline(in, line)) {
        ++lineNo;
        if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        line = Trim(line);
        if (line.empty()) continue;
        if (line.front() == '[') {
            section = line;
            if (section == "[provider]") providers.push_back({NewProvider(0, u""), std::nullopt});
            if (section == "[types]") explicitTypes = true;
            continue;
        }
        auto eq = line.find('=');
        if (eq == std::string::npos) {
            complain("no '='");
            continue;
        }
        std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
        std::istringstream words(value);
        if (section == "[global]") {
            DWORD index = 0, code = 0;
            std::string a, b;
            words >> a >> b;
            if (!ParseNumber(a, index) || !ParseNumber(b, code)) {
                complain("expected: index code");
                continue;
            }
            if (key == "enum_providers_error")
                t->enumProvidersError = {index, code};
            else if (key == "enum_types_error")
                t->enumTypesError = {index, code};
            else
                complain("unknown key " + key);
            continue;
        }
        if (section == "[types]") {
            std::string a, rest;
            DWORD type = 0;
            words >> a;
            std::getline(words, rest);
            if (key != "type" || !ParseNumber(a, type)) {
                complain("expected: type = number name");
                continue;
            }
            t->types.push_back({type, FromFixture(Trim(rest))});
            continue;
        }
        if (section != "[provider]" || providers.empty()) {
            complain("line outside a section");
            continue;
        }
        ProviderEntry& p = *providers.back().entry;
        DWORD n = 0;
        if (key == "type" && ParseNumber(value, n)) {
            p.type = n;
            p.algorithms = BuiltInAlgorithms(n);
        } else if (key == "name") {
            p.name = FromFixture(value);
        } else if (key == "algorithms") {
            if (value == "none") p.algorithms.clear();
        } else if (key == "alg") {
            std::string id, bits, rest;
            words >> id >> bits;
            std::getline(words, rest);
            AlgorithmEntry a;
            if (!ParseNumber(id, a.id) || !ParseNumber(bits, a.bits)) {
                complain("expected: alg = id bits name");
                continue;
            }
            a.name = To1251(FromFixture(Trim(rest)));
            if (a.name.size() > 19) a.name.resize(19);
            p.algorithms.push_back(a);
        } else if (key == "version" && ParseNumber(value, n)) {
            p.version = n;
        } else if (key == "version_ex") {
            std::string a, b;
            words >> a >> b;
            if (a == "none")
                p.hasVersionEx = false;
            else if (!ParseNumber(a, p.versionBuild) || !ParseNumber(b, p.versionRevision))
                complain("expected: version_ex = build revision");
        } else if (key == "machine_default") {
            providers.back().machineDefault = ParseYes(value);
        } else if (key == "user_default") {
            p.userDefault = ParseYes(value);
        } else if (key == "busy" && ParseNumber(value, n)) {
            p.inject.busyCalls->store(static_cast<int>(n));
        } else if (key == "acquire_delay_ms" && ParseNumber(value, n)) {
            p.inject.acquireDelayMs = n;
        } else if (key == "acquire_error" && ParseNumber(value, n)) {
            p.inject.acquireError = n;
        } else if (key == "enumalgs_error") {
            std::string code, after, count;
            words >> code >> after >> count;
            if (!ParseNumber(code, p.inject.enumAlgsError))
                complain("expected: enumalgs_error = code [after n]");
            if (after == "after") ParseNumber(count, p.inject.enumAlgsErrorAfter);
        } else if (key == "unique_refused") {
            p.inject.uniqueRefused = ParseYes(value);
        } else if (key == "refuse_hash" && ParseNumber(value, n)) {
            p.inject.refusedHashes.push_back(n);
        } else if (key == "container" || key == "machine_container") {
            std::string name, unique;
            words >> name >> unique;
            (key == "container" ? p.containers : p.machineContainers)
                .push_back({name, unique.empty() ? name : unique});
        } else {
            complain("bad line: " + line);
        }
    }
    for (size_t i = 0; i < providers.size(); ++i) {
        auto& p = providers[i];
        bool firstOfType = std::none_of(providers.begin(), providers.begin() + static_cast<ptrdiff_t>(i),
                                        [&](const Pending& q) { return q.entry->type == p.entry->type; });
        p.entry->machineDefault = p.machineDefault.value_or(firstOfType);
        t->providers.push_back(p.entry);
    }
    if (!explicitTypes) {
        std::vector<DWORD> types;
        for (auto& p : t->providers) types.push_back(p->type);
        std::sort(types.begin(), types.end());
        types.erase(std::unique(types.begin(), types.end()), types.end());
        for (DWORD type : types) {
            const char16_t* name = TypeName(type);
            t->types.push_back({type, name ? name : u"Provider type " + FromFixture(std::to_string(type))});
        }
    }
    return t;
}

std::mutex tableMutex;
std::shared_ptr<const ProviderTable> table;

}  // namespace

std::shared_ptr<const ProviderTable> Providers() {
    std::lock_guard lock(tableMutex);
    if (!table) {
        const char* fake = std::getenv("KESTROVAN_FAKE_CSP");
        if (fake && *fake)
            table = FakeTable(fake);
        else
            table = BuiltInTable();
    }
    return table;
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

void CryptReloadProviders() {
    std::lock_guard lock(tableMutex);
    table.reset();
}

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
