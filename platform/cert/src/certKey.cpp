// The private key of a certificate: opening the container that the certificate's key-provider
// information names, and finding the container whose key is the certificate's. Both go through the
// public provider functions, so every provider the process knows takes part.
#include <vsk/platform/cert.h>
#include <vsk/platform/certname.h>
#include <vsk/platform/kernel.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr DWORD AcquireFlagsKnown = CRYPT_ACQUIRE_CACHE_FLAG | CRYPT_ACQUIRE_USE_PROV_INFO_FLAG |
                                    CRYPT_ACQUIRE_COMPARE_KEY_FLAG | CRYPT_ACQUIRE_SILENT_FLAG;
constexpr DWORD FindFlagsKnown =
    CRYPT_FIND_USER_KEYSET_FLAG | CRYPT_FIND_MACHINE_KEYSET_FLAG | CRYPT_FIND_SILENT_KEYSET_FLAG;
constexpr DWORD KeyInfoEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

// A provider context released when it goes, unless handed on.
class ProvHolder {
public:
    ProvHolder() = default;
    ~ProvHolder() {
        if (m_prov) {
            const DWORD saved = GetLastError();
            CryptReleaseContext(m_prov, 0);
            SetLastError(saved);
        }
    }
    ProvHolder(const ProvHolder&) = delete;
    ProvHolder& operator=(const ProvHolder&) = delete;
    HCRYPTPROV* out() { return &m_prov; }
    HCRYPTPROV get() const { return m_prov; }
    HCRYPTPROV release() {
        HCRYPTPROV p = m_prov;
        m_prov = 0;
        return p;
    }

private:
    HCRYPTPROV m_prov = 0;
};

// Whether the container key `spec` of `prov` has the public key `info`.
bool SameKey(HCRYPTPROV prov, DWORD spec, const CERT_PUBLIC_KEY_INFO& info) {
    DWORD size = 0;
    if (!CryptExportPublicKeyInfo(prov, spec, KeyInfoEncoding, nullptr, &size)) return false;
    // CERT_PUBLIC_KEY_INFO holds pointers: the block is kept aligned for them.
    std::vector<uint64_t> block((size + sizeof(uint64_t) - 1) / sizeof(uint64_t));
    auto* own = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(block.data());
    if (!CryptExportPublicKeyInfo(prov, spec, KeyInfoEncoding, own, &size)) return false;
    return CertComparePublicKeyInfo(KeyInfoEncoding, own, &info) != FALSE;
}

std::u16string From1251(const char* text) {
    int n = MultiByteToWideChar(1251, 0, text, -1, nullptr, 0);
    if (n <= 0) return {};
    std::u16string out(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(1251, 0, text, -1, out.data(), n);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

// The unique names of the containers of one provider and scope; empty when there are none or they
// cannot be listed.
std::vector<std::string> ContainersOf(const std::u16string& provName, DWORD provType, DWORD scopeFlags) {
    std::vector<std::string> names;
    ProvHolder verify;
    if (!CryptAcquireContextW(verify.out(), nullptr, provName.c_str(), provType,
                              CRYPT_VERIFYCONTEXT | scopeFlags))
        return names;
    DWORD size = 0;
    if (!CryptGetProvParam(verify.get(), PP_ENUMCONTAINERS, nullptr, &size, CRYPT_FIRST | CRYPT_UNIQUE))
        return names;
    std::vector<BYTE> buffer(size + 1);
    DWORD flags = CRYPT_FIRST | CRYPT_UNIQUE;
    for (;;) {
        DWORD len = static_cast<DWORD>(buffer.size() - 1);
        if (!CryptGetProvParam(verify.get(), PP_ENUMCONTAINERS, buffer.data(), &len, flags)) {
            // A record longer than the first answer: grow to its size and read it again.
            if (GetLastError() == ERROR_MORE_DATA && len >= buffer.size()) {
                buffer.resize(len + 1);
                continue;
            }
            break;
        }
        buffer[len] = 0;
        // "unique\0name\0": the unique name comes first.
        names.emplace_back(reinterpret_cast<const char*>(buffer.data()));
        flags = CRYPT_NEXT | CRYPT_UNIQUE;
    }
    return names;
}

}  // namespace

BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT cert, DWORD flags, void* reserved, HCRYPTPROV* prov,
                                       DWORD* keySpec, BOOL* mustFree) {
    if (!cert || reserved || !prov) return Fail(static_cast<DWORD>(E_INVALIDARG));
    *prov = 0;
    if (flags & ~AcquireFlagsKnown) return Fail(NTE_BAD_FLAGS);
    if (flags & CRYPT_ACQUIRE_CACHE_FLAG) {
        CERT_KEY_CONTEXT kept{};
        DWORD size = sizeof kept;
        if (CertGetCertificateContextProperty(cert, CERT_KEY_CONTEXT_PROP_ID, &kept, &size) &&
            kept.hCryptProv) {
            *prov = kept.hCryptProv;
            if (keySpec) *keySpec = kept.dwKeySpec;
            if (mustFree) *mustFree = FALSE;
            return TRUE;
        }
    }
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
        return Fail(CRYPT_E_NO_KEY_PROPERTY);
    std::vector<uint64_t> block((size + sizeof(uint64_t) - 1) / sizeof(uint64_t));
    auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(block.data());
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, info, &size))
        return Fail(CRYPT_E_NO_KEY_PROPERTY);

    DWORD acquireFlags = info->dwFlags & CRYPT_MACHINE_KEYSET;
    if ((flags & CRYPT_ACQUIRE_SILENT_FLAG) || (info->dwFlags & CRYPT_SILENT)) acquireFlags |= CRYPT_SILENT;
    ProvHolder held;
    if (!CryptAcquireContextW(held.out(), info->pwszContainerName, info->pwszProvName, info->dwProvType,
                              acquireFlags))
        return FALSE;
    // The key must be there; with the compare flag it must be the certificate's.
    HCRYPTKEY key = 0;
    if (!CryptGetUserKey(held.get(), info->dwKeySpec, &key)) return FALSE;
    CryptDestroyKey(key);
    if ((flags & CRYPT_ACQUIRE_COMPARE_KEY_FLAG) &&
        !SameKey(held.get(), info->dwKeySpec, cert->pCertInfo->SubjectPublicKeyInfo))
        return Fail(NTE_BAD_PUBLIC_KEY);

    if (flags & CRYPT_ACQUIRE_CACHE_FLAG) {
        CERT_KEY_CONTEXT kept{sizeof(CERT_KEY_CONTEXT), held.get(), info->dwKeySpec};
        if (!CertSetCertificateContextProperty(cert, CERT_KEY_CONTEXT_PROP_ID, 0, &kept)) return FALSE;
        // The certificate releases the context from now on.
        *prov = held.release();
        if (mustFree) *mustFree = FALSE;
    } else {
        *prov = held.release();
        if (mustFree) *mustFree = TRUE;
    }
    if (keySpec) *keySpec = info->dwKeySpec;
    return TRUE;
}

BOOL CryptFindCertificateKeyProvInfo(PCCERT_CONTEXT cert, DWORD flags, void* reserved) {
    if (!cert || reserved) return Fail(static_cast<DWORD>(E_INVALIDARG));
    if (flags & ~FindFlagsKnown) return Fail(NTE_BAD_FLAGS);
    const CERT_PUBLIC_KEY_INFO& certKey = cert->pCertInfo->SubjectPublicKeyInfo;
    std::vector<DWORD> scopes;
    const bool user = flags & CRYPT_FIND_USER_KEYSET_FLAG;
    const bool machine = flags & CRYPT_FIND_MACHINE_KEYSET_FLAG;
    if (user || !machine) scopes.push_back(0);
    if (machine || !user) scopes.push_back(CRYPT_MACHINE_KEYSET);
    const DWORD silent = (flags & CRYPT_FIND_SILENT_KEYSET_FLAG) ? CRYPT_SILENT : 0;

    // The installed providers, in enumeration order.
    std::vector<std::pair<std::u16string, DWORD>> providers;
    for (DWORD i = 0;; ++i) {
        DWORD type = 0;
        DWORD size = 0;
        if (!CryptEnumProvidersW(i, nullptr, 0, &type, nullptr, &size)) break;
        std::u16string name(size / sizeof(WCHAR) + 1, u'\0');
        if (!CryptEnumProvidersW(i, nullptr, 0, &type, name.data(), &size)) break;
        name.resize(std::char_traits<char16_t>::length(name.c_str()));
        providers.emplace_back(std::move(name), type);
    }

    for (DWORD scope : scopes) {
        for (const auto& [provName, provType] : providers) {
            for (const std::string& unique : ContainersOf(provName, provType, scope)) {
                const std::u16string container = From1251(unique.c_str());
                ProvHolder held;
                if (!CryptAcquireContextW(held.out(), container.c_str(), provName.c_str(), provType,
                                          scope | silent))
                    continue;
                for (DWORD spec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
                    if (!SameKey(held.get(), spec, certKey)) continue;
                    std::u16string name = container;
                    std::u16string provider = provName;
                    CRYPT_KEY_PROV_INFO info{};
                    info.pwszContainerName = name.data();
                    info.pwszProvName = provider.data();
                    info.dwProvType = provType;
                    info.dwFlags = scope;
                    info.dwKeySpec = spec;
                    if (!CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info))
                        return FALSE;
                    return TRUE;
                }
            }
        }
    }
    return Fail(NTE_NO_KEY);
}
