// Certificates and CRLs for the certificate-store tests, made once per test process with the
// `openssl` command (RSA-2048 and GOST R 34.10-2012 256/512 through the GOST engine).
#pragma once

#include <vsk/platform/cert.h>

#include <string>
#include <vector>

namespace CoreFixtures {

using Bytes = std::vector<BYTE>;

struct Set {
    Bytes ca;         // RSA-2048 CA "Core Test CA"
    Bytes otherCa;    // RSA-2048 CA "Other CA"
    Bytes leaf;       // issued by ca, serial 0x1234, listed by the CRLs
    Bytes leafOther;  // the same key and serial, issued by otherCa
    Bytes gost256;    // self-signed GOST R 34.10-2012 256
    Bytes gost512;    // self-signed GOST R 34.10-2012 512
    Bytes crl1;       // ca's CRL, thisUpdate 2025-01-01
    Bytes crl2;       // ca's CRL, thisUpdate 2025-02-01
    Bytes delta;      // ca's delta CRL, thisUpdate 2025-03-01
    std::string dir;  // where the files are (PEM and DER, keys)
};

const Set& Get();
// `count` more leaf certificates of ca with serials first, first+1, ... (made on demand).
std::vector<Bytes> Leaves(int first, int count);

// A context of the bytes, freed by the holder.
struct Cert {
    PCCERT_CONTEXT p = nullptr;
    Cert() = default;
    explicit Cert(const Bytes& der);
    explicit Cert(PCCERT_CONTEXT c) : p(c) {}
    Cert(const Cert&) = delete;
    Cert& operator=(const Cert&) = delete;
    ~Cert() { CertFreeCertificateContext(p); }
    PCCERT_CONTEXT release() {
        PCCERT_CONTEXT r = p;
        p = nullptr;
        return r;
    }
};

struct Store {
    HCERTSTORE h = nullptr;
    explicit Store(HCERTSTORE s) : h(s) {}
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;
    ~Store() { CertCloseStore(h, 0); }
};

Bytes Thumbprint(PCCERT_CONTEXT cert);
Bytes Blob(const CRYPT_DATA_BLOB& b);
// The number of certificates in the store (by enumeration).
int CountCertificates(HCERTSTORE store);
std::string ReadFile(const std::string& path);

}  // namespace CoreFixtures
