// Signing and verifying a large attached message: our streaming CryptMsg functions against
// `openssl cms -sign/-verify -binary -stream -nodetach`, on the same GOST R 34.10-2012 256 key,
// certificate and data file, in one run.
//
// The key is generated in a container of our provider; OpenSSL gets the very same key as a PEM file
// and a self-signed certificate for it. For each size (default 256 MiB and 1 GiB):
//   ours:    a child process reads the file in 4 MiB blocks into CryptMsgUpdate of an attached
//            streaming encoder (signingTime, the certificate included) whose callback writes the
//            output file; another child feeds that file in 4 MiB blocks to a streaming decoder whose
//            callback checks the content against the data, then verifies the signer
//            (CMSG_CTRL_VERIFY_SIGNATURE_EX);
//   ours through the signed-data object: the same, with CSignedData SignStart/SignBlock (which also
//            decodes its own output, so that its signers are ready afterwards) and ImportBlock, then
//            the signer's Verify;
//   openssl: `openssl cms -sign -engine gost -binary -stream -nodetach -md md_gost12_256 -outform DER`
//            and `openssl cms -verify -engine gost -binary -inform DER -noverify -out /dev/null`.
// Every side runs in a child of its own; its wall time and its peak resident set (wait4's ru_maxrss)
// are printed, with our time as a multiple of OpenSSL's. OpenSSL runs only at the sizes listed by
// --openssl (default 256 MiB): its verification reads the whole message into memory.
//   bench_messages [--sizes 256,1024] [--openssl 256] [--block 4]   (sizes in MiB)
#include "tempRoot.h"

#include "containerStore.h"
#include "cryptState.h"

#include <vsk/pki/Certificate.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/Settings.h>
#include <vsk/pki/Signature.h>
#include <vsk/pki/SignedData.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/certname.h>
#include <vsk/platform/crypt.h>
#include <vsk/platform/cryptmsg.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr size_t MiB = 1024 * 1024;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "%s failed (0x%08lx)\n", what, static_cast<unsigned long>(GetLastError()));
    std::_Exit(1);
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The data byte at an offset: cheap to make and to check again while decoding.
inline unsigned char dataByte(uint64_t offset) {
    uint64_t x = (offset >> 6) * 0x9E3779B97F4A7C15ull;
    return static_cast<unsigned char>((x >> 29) ^ offset);
}

void fillData(unsigned char* out, size_t size, uint64_t offset) {
    for (size_t i = 0; i < size; ++i) out[i] = dataByte(offset + i);
}

struct Result {
    double seconds = 0;
    long maxRssKiB = 0;
    bool ok = false;
};

// Runs `body` in a child process; its exit status, wall time and peak resident set.
Result inChild(const std::function<bool()>& body) {
    std::fflush(nullptr);
    const double start = wallSeconds();
    const pid_t pid = fork();
    if (pid < 0) fail("fork");
    if (pid == 0) std::_Exit(body() ? 0 : 1);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Result r;
    r.seconds = wallSeconds() - start;
    r.maxRssKiB = usage.ru_maxrss;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

// Runs a shell command in a child; its wall time and peak resident set.
Result command(const std::string& line) {
    return inChild([&] {
        execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
        return false;
    });
}

struct Signer {
    HCRYPTPROV prov = 0;
    PCCERT_CONTEXT cert = nullptr;
};

// A signature key in a new container, the same key as PEM for openssl, and a self-signed
// certificate for it made with OpenSSL.
Signer makeSigner(const std::string& dir) {
    Signer s;
    if (!CryptAcquireContextW(&s.prov, u"bench-messages", nullptr, PROV_GOST_2012_256,
                              CRYPT_NEWKEYSET | CRYPT_SILENT))
        fail("CryptAcquireContextW(CRYPT_NEWKEYSET)");
    HCRYPTKEY key = 0;
    if (!CryptGenKey(s.prov, AT_SIGNATURE, 0, &key)) fail("CryptGenKey");
    CryptDestroyKey(key);
    auto ctx = vsk::crypt::FindContext(s.prov);
    DWORD error = 0;
    vsk::crypt::Pkey pkey = vsk::crypt::UnlockKey(*ctx, AT_SIGNATURE, error);
    if (!pkey) fail("UnlockKey");

    X509* x509 = X509_new();
    X509_set_version(x509, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x509), 0x4D5347);
    X509_gmtime_adj(X509_getm_notBefore(x509), 0);
    X509_gmtime_adj(X509_getm_notAfter(x509), 30L * 24 * 3600);
    X509_NAME* name = X509_get_subject_name(x509);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("bench messages"), -1, -1, 0);
    X509_set_issuer_name(x509, name);
    X509_set_pubkey(x509, pkey.get());
    if (!X509_sign(x509, pkey.get(), EVP_get_digestbyname("md_gost12_256"))) fail("X509_sign");
    FILE* f = std::fopen((dir + "/signer.pem").c_str(), "w");
    PEM_write_X509(f, x509);
    std::fclose(f);
    f = std::fopen((dir + "/signer.key").c_str(), "w");
    PEM_write_PrivateKey(f, pkey.get(), nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
    Bytes der(static_cast<size_t>(i2d_X509(x509, nullptr)));
    unsigned char* p = der.data();
    i2d_X509(x509, &p);
    X509_free(x509);
    s.cert = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (!s.cert) fail("CertCreateCertificateContext");
    return s;
}

void writeData(const std::string& path, uint64_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) fail("fopen");
    Bytes block(4 * MiB);
    for (uint64_t done = 0; done < size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), size - done));
        fillData(block.data(), n, done);
        if (std::fwrite(block.data(), 1, n, f) != n) fail("fwrite");
        done += n;
    }
    std::fclose(f);
}

BOOL writeOut(const void* arg, BYTE* data, DWORD size, BOOL) {
    FILE* f = static_cast<FILE*>(const_cast<void*>(arg));
    return size == 0 || std::fwrite(data, 1, size, f) == size;
}

bool oursSign(const Signer& s, const std::string& in, const std::string& out, size_t block) {
    FILE* input = std::fopen(in.c_str(), "rb");
    FILE* output = std::fopen(out.c_str(), "wb");
    if (!input || !output) return false;
    CMSG_SIGNER_ENCODE_INFO signer{};
    signer.cbSize = sizeof signer;
    signer.pCertInfo = s.cert->pCertInfo;
    signer.hCryptProv = s.prov;
    signer.dwKeySpec = AT_SIGNATURE;
    signer.HashAlgorithm.pszObjId = const_cast<LPSTR>("1.2.643.7.1.1.2.2");
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    BYTE time[32];
    DWORD timeSize = sizeof time;
    if (!CryptEncodeObject(kEncoding, szOID_RSA_signingTime, &now, time, &timeSize)) return false;
    CRYPT_ATTR_BLOB timeBlob{timeSize, time};
    CRYPT_ATTRIBUTE timeAttr{const_cast<LPSTR>(szOID_RSA_signingTime), 1, &timeBlob};
    signer.cAuthAttr = 1;
    signer.rgAuthAttr = &timeAttr;
    CERT_BLOB certBlob{s.cert->cbCertEncoded, s.cert->pbCertEncoded};
    CMSG_SIGNED_ENCODE_INFO info{};
    info.cbSize = sizeof info;
    info.cSigners = 1;
    info.rgSigners = &signer;
    info.cCertEncoded = 1;
    info.rgCertEncoded = &certBlob;
    CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, writeOut, output};
    HCRYPTMSG msg = CryptMsgOpenToEncode(kEncoding, 0, CMSG_SIGNED, &info, nullptr, &stream);
    if (!msg) return false;
    Bytes buffer(block);
    bool ok = true;
    for (;;) {
        const size_t n = std::fread(buffer.data(), 1, buffer.size(), input);
        const bool final = n < buffer.size();
        if (!CryptMsgUpdate(msg, buffer.data(), static_cast<DWORD>(n), final)) {
            ok = false;
            break;
        }
        if (final) break;
    }
    CryptMsgClose(msg);
    std::fclose(input);
    return std::fclose(output) == 0 && ok;
}

// Checks the content as the decoder emits it.
struct ContentCheck {
    uint64_t offset = 0;
    bool same = true;
};

BOOL checkContent(const void* arg, BYTE* data, DWORD size, BOOL) {
    auto* check = static_cast<ContentCheck*>(const_cast<void*>(arg));
    for (DWORD i = 0; i < size && check->same; i += 4093)
        check->same = data[i] == dataByte(check->offset + i);
    check->offset += size;
    return TRUE;
}

bool oursVerify(const Signer& s, const std::string& in, uint64_t dataSize, size_t block) {
    FILE* input = std::fopen(in.c_str(), "rb");
    if (!input) return false;
    ContentCheck check;
    CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, checkContent, &check};
    HCRYPTMSG msg = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, &stream);
    if (!msg) return false;
    Bytes buffer(block);
    bool ok = true;
    for (;;) {
        const size_t n = std::fread(buffer.data(), 1, buffer.size(), input);
        const bool final = n < buffer.size();
        if (!CryptMsgUpdate(msg, buffer.data(), static_cast<DWORD>(n), final)) {
            ok = false;
            break;
        }
        if (final) break;
    }
    std::fclose(input);
    if (ok) {
        CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para{};
        para.cbSize = sizeof para;
        para.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
        para.pvSigner = const_cast<CERT_CONTEXT*>(s.cert);
        ok = CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para);
        if (!ok) std::fprintf(stderr, "verification: 0x%08lx\n", static_cast<unsigned long>(GetLastError()));
    }
    CryptMsgClose(msg);
    return ok && check.same && check.offset == dataSize;
}

uint64_t fileSize(FILE* f) {
    std::fseek(f, 0, SEEK_END);
    const uint64_t size = static_cast<uint64_t>(std::ftell(f));
    std::fseek(f, 0, SEEK_SET);
    return size;
}

// Feeds the file in blocks to `take` (block, final); false as soon as it fails.
bool feedFile(const std::string& path, size_t block,
              const std::function<bool(const Vsk::Utils::CDataBlob&, bool)>& take) {
    FILE* input = std::fopen(path.c_str(), "rb");
    if (!input) return false;
    const uint64_t size = fileSize(input);
    Vsk::Utils::CDataBlob buffer(block);
    bool ok = true;
    for (uint64_t done = 0; ok;) {
        const size_t n = std::fread(buffer.getData(), 1, block, input);
        done += n;
        const bool final = done >= size;
        ok = take(n == block ? buffer : buffer.getBlock(0, n), final);
        if (final) break;
    }
    std::fclose(input);
    return ok;
}

Vsk::PKI::CCertificate linkedCertificate(const Signer& s) {
    Vsk::PKI::CCertificate cert(true);
    cert.LoadFromBlob(Vsk::Utils::CDataBlob(s.cert->pbCertEncoded, s.cert->cbCertEncoded, true));
    char name[256] = {};
    DWORD size = sizeof name;
    if (!CryptGetProvParam(s.prov, PP_NAME, reinterpret_cast<BYTE*>(name), &size, 0)) fail("PP_NAME");
    if (!cert.setKeyProvInfo(PROV_GOST_2012_256, Vsk::Utils::CWString(Vsk::Utils::CAString(name), 1251),
                             Vsk::Utils::CWString(u"bench-messages"), AT_SIGNATURE, false, true, false))
        fail("setKeyProvInfo");
    return cert;
}

bool signedDataSign(const Signer& s, const std::string& in, const std::string& out, size_t block) {
    try {
        const Vsk::PKI::CCertificate cert = linkedCertificate(s);
        Vsk::PKI::CSignSettings settings;
        settings.put_SignerCert(&cert);
        settings.put_Detached(false);
        settings.get_CommonSettings().put_Silent(true);
        FILE* output = std::fopen(out.c_str(), "wb");
        if (!output) return false;
        Vsk::PKI::CSignedData signedData(true);
        signedData.SignStart(settings);
        const bool ok = feedFile(in, block, [&](const Vsk::Utils::CDataBlob& data, bool final) {
            Vsk::Utils::CDataBlob piece;
            signedData.SignBlock(data, &piece, final);
            return piece.getSize() == 0 ||
                   std::fwrite(piece.getData(), 1, piece.getSize(), output) == piece.getSize();
        });
        return std::fclose(output) == 0 && ok;
    } catch (const Vsk::Utils::CError& e) {
        std::fprintf(stderr, "signing: error %u\n", e.getErrorNumber());
        return false;
    }
}

bool signedDataVerify(const std::string& in, uint64_t dataSize, size_t block) {
    try {
        Vsk::PKI::CSignedData signedData(true);
        ContentCheck check;
        const bool ok = feedFile(in, block, [&](const Vsk::Utils::CDataBlob& data, bool final) {
            Vsk::Utils::CDataBlob content;
            signedData.ImportBlock(data, &content, final);
            checkContent(&check, content.getData(), content.getSize(), final);
            return true;
        });
        Vsk::PKI::CSignature* signer = signedData.GetSignature(0);
        const Vsk::PKI::CSignatureVerifySettings settings;
        const DWORD status = signer ? signer->Verify(&settings) : 99;
        if (status) std::fprintf(stderr, "verification status %u\n", status);
        return ok && status == 0 && check.same && check.offset == dataSize;
    } catch (const Vsk::Utils::CError& e) {
        std::fprintf(stderr, "verification: error %u\n", e.getErrorNumber());
        return false;
    }
}

std::set<uint64_t> parseSizes(const char* text) {
    std::set<uint64_t> sizes;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty()) sizes.insert(std::strtoull(item.c_str(), nullptr, 10));
    return sizes;
}

void print(const char* what, const Result& r) {
    std::printf("    %-36s %8.2f s  peak RSS %7.1f MiB%s\n", what, r.seconds, r.maxRssKiB / 1024.0,
                r.ok ? "" : "  FAILED");
}

}  // namespace

int main(int argc, char** argv) {
    std::set<uint64_t> sizes{256, 1024};
    std::set<uint64_t> opensslSizes{256};
    size_t block = 4 * MiB;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--sizes"))
            sizes = parseSizes(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--openssl"))
            opensslSizes = parseSizes(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--block"))
            block = std::max<size_t>(1, std::strtoull(argv[i + 1], nullptr, 10)) * MiB;
    }
    VskTest::EnterProcessRoot("kestrovan-bench-");
    if (!LoadGostEngine()) {
        std::fprintf(stderr, "the GOST engine is missing\n");
        return 1;
    }
    const std::string dir = VskTest::TempBase().string();
    const Signer signer = makeSigner(dir);
    std::printf(
        "Attached signed message, GOST R 34.10-2012 256, blocks of %zu MiB; wall time and peak RSS:\n",
        block / MiB);
    int failures = 0;
    for (uint64_t mib : sizes) {
        const uint64_t size = mib * MiB;
        const std::string data = dir + "/data.bin";
        writeData(data, size);
        std::printf("  %llu MiB\n", static_cast<unsigned long long>(mib));
        const Result sign = inChild([&] { return oursSign(signer, data, dir + "/ours.p7s", block); });
        print("ours: sign (CryptMsg, streaming)", sign);
        const Result verify = inChild([&] { return oursVerify(signer, dir + "/ours.p7s", size, block); });
        print("ours: verify (CryptMsg, streaming)", verify);
        const Result sdSign =
            inChild([&] { return signedDataSign(signer, data, dir + "/signed.p7s", block); });
        print("ours: sign (CSignedData)", sdSign);
        const Result sdVerify = inChild([&] { return signedDataVerify(dir + "/signed.p7s", size, block); });
        print("ours: verify (CSignedData)", sdVerify);
        std::remove((dir + "/signed.p7s").c_str());
        failures += !sign.ok + !verify.ok + !sdSign.ok + !sdVerify.ok;
        if (opensslSizes.count(mib)) {
            const std::string engine = " -engine gost";
            const Result osign = command("openssl cms -sign" + engine +
                                         " -binary -stream -nodetach -md md_gost12_256 -signer '" + dir +
                                         "/signer.pem' -inkey '" + dir + "/signer.key' -in '" + data +
                                         "' -outform DER -out '" + dir + "/openssl.p7s' 2>/dev/null");
            print("openssl cms -sign -stream", osign);
            const Result overify = command("openssl cms -verify" + engine + " -binary -inform DER -in '" +
                                           dir + "/openssl.p7s' -noverify -out /dev/null 2>/dev/null");
            print("openssl cms -verify", overify);
            // Each side's message checked by the other's reader is the tests' job; here only the
            // cross check that openssl accepts our message at this size.
            const Result cross = command("openssl cms -verify" + engine + " -binary -inform DER -in '" + dir +
                                         "/ours.p7s' -noverify -out /dev/null 2>/dev/null");
            failures += !osign.ok + !overify.ok + !cross.ok;
            if (!cross.ok) std::printf("    openssl DOES NOT VERIFY our message\n");
            if (osign.ok && overify.ok) {
                std::printf("    CryptMsg as a multiple of openssl's time:    sign x%.2f, verify x%.2f\n",
                            sign.seconds / osign.seconds, verify.seconds / overify.seconds);
                std::printf("    CSignedData as a multiple of openssl's time: sign x%.2f, verify x%.2f\n",
                            sdSign.seconds / osign.seconds, sdVerify.seconds / overify.seconds);
            }
        }
        std::remove((dir + "/ours.p7s").c_str());
        std::remove((dir + "/openssl.p7s").c_str());
        std::remove(data.c_str());
    }
    return failures ? 1 : 0;
}
