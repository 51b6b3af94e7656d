// What the message tests share: files and commands in the test's temporary folder, certificate
// contexts, test data and the SubjectPublicKeyInfo of a CERT_PUBLIC_KEY_INFO for the openssl command.
#pragma once

#include <vsk/platform/cert.h>
#include <vsk/platform/kernel.h>

#include "testSupport.h"

#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace VskMsgTest {

using Bytes = std::vector<BYTE>;
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

inline std::string Dir() {
    return VskTest::TempDir();
}

inline void WriteFile(const std::string& name, const Bytes& bytes) {
    std::ofstream out(Dir() + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes ReadFile(const std::string& path) {
    std::ifstream in(path[0] == '/' ? path : Dir() + "/" + path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline bool Shell(const std::string& command) {
    return std::system(("cd '" + Dir() + "' && (" + command + ") >/dev/null 2>&1 </dev/null").c_str()) == 0;
}

// The standard output of a command run in the temporary folder.
inline std::string Output(const std::string& command) {
    std::string out;
    FILE* pipe = popen(("cd '" + Dir() + "' && (" + command + ") 2>/dev/null </dev/null").c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

inline Bytes Pattern(size_t size, unsigned seed) {
    Bytes out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (BYTE& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<BYTE>(x >> 16);
    }
    return out;
}

struct CertFree {
    void operator()(PCCERT_CONTEXT cert) const { CertFreeCertificateContext(cert); }
};
using CertPtr = std::unique_ptr<const CERT_CONTEXT, CertFree>;

inline CertPtr MakeCert(const Bytes& der) {
    return CertPtr(
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
}

// SubjectPublicKeyInfo DER of a CERT_PUBLIC_KEY_INFO, through OpenSSL's own X509_PUBKEY, for the
// openssl command.
inline Bytes SpkiDer(const CERT_PUBLIC_KEY_INFO& info) {
    X509_PUBKEY* key = X509_PUBKEY_new();
    ASN1_OBJECT* obj = OBJ_txt2obj(info.Algorithm.pszObjId, 1);
    ASN1_TYPE* params = nullptr;
    if (info.Algorithm.Parameters.cbData) {
        const unsigned char* p = info.Algorithm.Parameters.pbData;
        params = d2i_ASN1_TYPE(nullptr, &p, static_cast<long>(info.Algorithm.Parameters.cbData));
    }
    unsigned char* bits =
        static_cast<unsigned char*>(OPENSSL_memdup(info.PublicKey.pbData, info.PublicKey.cbData));
    X509_PUBKEY_set0_param(key, obj, params ? params->type : V_ASN1_UNDEF,
                           params ? params->value.ptr : nullptr, bits,
                           static_cast<int>(info.PublicKey.cbData));
    if (params) {
        params->value.ptr = nullptr;
        ASN1_TYPE_free(params);
    }
    Bytes out(static_cast<size_t>(i2d_X509_PUBKEY(key, nullptr)));
    unsigned char* p = out.data();
    i2d_X509_PUBKEY(key, &p);
    X509_PUBKEY_free(key);
    return out;
}

}  // namespace VskMsgTest
