// Fuzz entry for the ".store" (serialized certificate store) loader: whatever the input, loading
// either fails cleanly with an error code or gives a store whose elements all read, and whose
// saved form loads again into the same elements and saves to the same bytes. Built with clang's
// libFuzzer (fuzz/certificates/CMakeLists.txt) and replayed over the seed corpus by the platform's
// certificate tests under the sanitizers.
#include <vsk/platform/cert.h>
#include <vsk/platform/kernel.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

void failCheck(int line) {
    std::fprintf(stderr, "storeFuzz.cpp:%d: invariant broken\n", line);
    std::abort();
}
#define check(condition) \
    if (!(condition)) failCheck(__LINE__)

struct Counts {
    size_t certificates = 0;
    size_t crls = 0;
};

// Reads every element and every property of the store.
Counts walk(HCERTSTORE store) {
    Counts counts;
    PCCERT_CONTEXT cert = nullptr;
    while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr) {
        ++counts.certificates;
        check(cert->pbCertEncoded && cert->cbCertEncoded && cert->pCertInfo);
        BYTE sha1[20];
        DWORD size = sizeof sha1;
        check(CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, sha1, &size) && size == 20);
        for (DWORD id = CertEnumCertificateContextProperties(cert, 0); id;
             id = CertEnumCertificateContextProperties(cert, id)) {
            DWORD length = 0;
            if (!CertGetCertificateContextProperty(cert, id, nullptr, &length)) continue;
            std::vector<BYTE> value(length ? length : 1);
            check(CertGetCertificateContextProperty(cert, id, value.data(), &length));
        }
    }
    check(GetLastError() == CRYPT_E_NOT_FOUND);
    PCCRL_CONTEXT crl = nullptr;
    while ((crl = CertEnumCRLsInStore(store, crl)) != nullptr) {
        ++counts.crls;
        check(crl->pbCrlEncoded && crl->cbCrlEncoded && crl->pCrlInfo);
    }
    return counts;
}

std::vector<BYTE> save(HCERTSTORE store) {
    CRYPT_DATA_BLOB blob{0, nullptr};
    check(CertSaveStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CERT_STORE_SAVE_AS_STORE,
                        CERT_STORE_SAVE_TO_MEMORY, &blob, 0));
    std::vector<BYTE> out(blob.cbData);
    blob.pbData = out.data();
    check(CertSaveStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CERT_STORE_SAVE_AS_STORE,
                        CERT_STORE_SAVE_TO_MEMORY, &blob, 0));
    out.resize(blob.cbData);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0xFFFFFFFFu) return 0;
    CRYPT_DATA_BLOB input{static_cast<DWORD>(size), const_cast<BYTE*>(data)};
    SetLastError(0);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SERIALIZED, 0, 0, 0, &input);
    if (!store) {
        check(GetLastError() != 0);
        return 0;
    }
    const Counts first = walk(store);
    const std::vector<BYTE> saved = save(store);
    CertCloseStore(store, 0);

    CRYPT_DATA_BLOB again{static_cast<DWORD>(saved.size()), const_cast<BYTE*>(saved.data())};
    HCERTSTORE reloaded = CertOpenStore(CERT_STORE_PROV_SERIALIZED, 0, 0, 0, &again);
    check(reloaded != nullptr);
    const Counts second = walk(reloaded);
    check(second.certificates == first.certificates && second.crls == first.crls);
    check(save(reloaded) == saved);
    CertCloseStore(reloaded, 0);
    return 0;
}
