// Signing throughput of the provider functions against OpenSSL's EVP with the same key, and the time
// to open a password-protected container and unlock its key.
//
// For each key kind (GOST R 34.10-2012 256 and 512, RSA-2048) a container is made in a temporary
// root and a key generated in it. Then, in interleaved rounds:
//   provider functions: on one context acquired once, CryptCreateHash, CryptHashData (64 bytes),
//                       CryptSignHashW into a buffer, CryptDestroyHash;
//   OpenSSL EVP:        with the container's own key object, EVP_DigestInit_ex/Update/Final_ex on
//                       one kept EVP_MD_CTX, then EVP_PKEY_CTX_new, EVP_PKEY_sign_init, EVP_PKEY_sign,
//                       EVP_PKEY_CTX_free (RSA: PKCS#1 padding and the signature digest set).
// Each side signs `--count` digests (default 1000) per round; the median round counts, in CPU time
// of the measuring thread. Every signature of the provider functions is checked once against OpenSSL.
// Then the password-protected case: CryptAcquireContextW + PP_SIGNATURE_PIN (which checks the
// password by decrypting the key: PBKDF2, 100 000 iterations) + the first signature, `--opens` times.
//   bench_signing [--count N] [--rounds N] [--opens N]
#include "tempRoot.h"

#include "containerStore.h"
#include "cryptState.h"
#include "keyMaterial.h"

#include <vsk/platform/crypt.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double threadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "%s failed (0x%08lx)\n", what, static_cast<unsigned long>(GetLastError()));
    std::exit(1);
}

struct Kind {
    const char* name;
    DWORD provType;
    ALG_ID hashAlg;
    const char* digest;  // OpenSSL's name of the digest
};

const Kind Kinds[] = {
    {"GOST R 34.10-2012 256", PROV_GOST_2012_256, CALG_GR3411_2012_256, "md_gost12_256"},
    {"GOST R 34.10-2012 512", PROV_GOST_2012_512, CALG_GR3411_2012_512, "md_gost12_512"},
    {"RSA-2048", PROV_RSA_FULL, CALG_SHA_256, "SHA256"},
};

// A new container with an exchange key; its password is `pin` (empty: none).
void makeContainer(const std::u16string& name, DWORD provType, const char* pin) {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, name.c_str(), nullptr, provType, CRYPT_NEWKEYSET | CRYPT_SILENT))
        fail("CryptAcquireContextW(CRYPT_NEWKEYSET)");
    if (*pin && !CryptSetProvParam(prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(pin), 0))
        fail("CryptSetProvParam(PIN)");
    HCRYPTKEY key = 0;
    if (!CryptGenKey(prov, AT_KEYEXCHANGE, 0, &key)) fail("CryptGenKey");
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
}

// Signs one digest of `message` through the provider functions.
Bytes providerSign(HCRYPTPROV prov, ALG_ID hashAlg, const Bytes& message) {
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(prov, hashAlg, 0, 0, &hash)) fail("CryptCreateHash");
    if (!CryptHashData(hash, message.data(), static_cast<DWORD>(message.size()), 0)) fail("CryptHashData");
    Bytes signature(512);
    DWORD size = static_cast<DWORD>(signature.size());
    if (!CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &size)) fail("CryptSignHashW");
    CryptDestroyHash(hash);
    signature.resize(size);
    return signature;
}

}  // namespace

int main(int argc, char** argv) {
    int count = 1000;
    int rounds = 7;
    int opens = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--count"))
            count = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--rounds"))
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--opens"))
            opens = std::max(1, std::atoi(argv[i + 1]));
    }
    VskTest::EnterProcessRoot("kestrovan-bench-");
    if (!LoadGostEngine()) {
        std::fprintf(stderr, "the GOST engine is missing\n");
        return 1;
    }
    Bytes message(64);
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<unsigned char>(i * 7 + 1);

    std::printf(
        "Signing %d digests of 64-byte messages per round, median of %d interleaved rounds (CPU time):\n",
        count, rounds);
    int number = 0;
    for (const Kind& kind : Kinds) {
        const std::u16string name = u"bench-" + std::u16string(1, static_cast<char16_t>(u'a' + number++));
        makeContainer(name, kind.provType, "");
        HCRYPTPROV prov = 0;
        if (!CryptAcquireContextW(&prov, name.c_str(), nullptr, kind.provType, CRYPT_SILENT))
            fail("CryptAcquireContextW");
        // The container's own key object, for the OpenSSL side.
        auto ctx = vsk::crypt::FindContext(prov);
        DWORD error = 0;
        vsk::crypt::Pkey key = vsk::crypt::UnlockKey(*ctx, AT_KEYEXCHANGE, error);
        if (!key) fail("UnlockKey");
        const EVP_MD* md = EVP_get_digestbyname(kind.digest);
        EVP_MD_CTX* mdctx = EVP_MD_CTX_new();
        const bool rsa = kind.provType == PROV_RSA_FULL;
        auto evpSign = [&]() {
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int digestSize = 0;
            if (EVP_DigestInit_ex(mdctx, md, nullptr) != 1 ||
                EVP_DigestUpdate(mdctx, message.data(), message.size()) != 1 ||
                EVP_DigestFinal_ex(mdctx, digest, &digestSize) != 1)
                fail("EVP digest");
            EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(key.get(), nullptr);
            if (!pctx || EVP_PKEY_sign_init(pctx) != 1) fail("EVP_PKEY_sign_init");
            if (rsa && (EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) <= 0 ||
                        EVP_PKEY_CTX_set_signature_md(pctx, md) <= 0))
                fail("EVP_PKEY_CTX_set_signature_md");
            Bytes signature(512);
            size_t size = signature.size();
            if (EVP_PKEY_sign(pctx, signature.data(), &size, digest, digestSize) != 1) fail("EVP_PKEY_sign");
            EVP_PKEY_CTX_free(pctx);
            signature.resize(size);
            return signature;
        };

        // The provider's signature verifies with OpenSSL once reversed.
        {
            Bytes ours = providerSign(prov, kind.hashAlg, message);
            std::reverse(ours.begin(), ours.end());
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int digestSize = 0;
            EVP_Digest(message.data(), message.size(), digest, &digestSize, md, nullptr);
            EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(key.get(), nullptr);
            bool ok = pctx && EVP_PKEY_verify_init(pctx) == 1;
            if (ok && rsa)
                ok = EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) > 0 &&
                     EVP_PKEY_CTX_set_signature_md(pctx, md) > 0;
            ok = ok && EVP_PKEY_verify(pctx, ours.data(), ours.size(), digest, digestSize) == 1;
            EVP_PKEY_CTX_free(pctx);
            if (!ok) {
                std::printf("%s: the provider's signature DOES NOT VERIFY with OpenSSL\n", kind.name);
                return 1;
            }
        }

        std::vector<double> provRates, evpRates;
        for (int r = 0; r < rounds; ++r) {
            double start = threadSeconds();
            for (int i = 0; i < count; ++i) providerSign(prov, kind.hashAlg, message);
            provRates.push_back(count / (threadSeconds() - start));
            start = threadSeconds();
            for (int i = 0; i < count; ++i) evpSign();
            evpRates.push_back(count / (threadSeconds() - start));
        }
        const double p = median(provRates);
        const double e = median(evpRates);
        std::printf(
            "  %-22s provider functions %8.0f signatures/s   OpenSSL EVP %8.0f signatures/s   time x%.3f of "
            "EVP\n",
            kind.name, p, e, e / p);
        EVP_MD_CTX_free(mdctx);
        key.reset();
        ctx.reset();
        CryptReleaseContext(prov, 0);
    }

    // Opening a password-protected container: acquisition, the password (checked by decrypting the
    // key) and the first signature.
    std::printf("\nOpening a password-protected GOST R 34.10-2012 256 container (median of %d, wall time):\n",
                opens);
    const std::u16string name = u"bench-protected";
    makeContainer(name, PROV_GOST_2012_256, "mivo");
    std::vector<double> acquire, pin, first;
    for (int i = 0; i < opens; ++i) {
        const double t0 = wallSeconds();
        HCRYPTPROV prov = 0;
        if (!CryptAcquireContextW(&prov, name.c_str(), nullptr, PROV_GOST_2012_256, CRYPT_SILENT))
            fail("CryptAcquireContextW");
        const double t1 = wallSeconds();
        if (!CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>("mivo"), 0))
            fail("CryptSetProvParam(PIN)");
        const double t2 = wallSeconds();
        providerSign(prov, CALG_GR3411_2012_256, message);
        const double t3 = wallSeconds();
        CryptReleaseContext(prov, 0);
        acquire.push_back(t1 - t0);
        pin.push_back(t2 - t1);
        first.push_back(t3 - t2);
    }
    std::printf("  CryptAcquireContextW      %8.2f ms\n", median(acquire) * 1e3);
    std::printf("  PP_SIGNATURE_PIN (check)  %8.2f ms\n", median(pin) * 1e3);
    std::printf("  first hash + signature    %8.2f ms\n", median(first) * 1e3);
    std::printf("  together                  %8.2f ms\n",
                (median(acquire) + median(pin) + median(first)) * 1e3);
    return 0;
}
