// Enveloped messages of the platform layer (CryptMsg functions), with the openssl command and the GOST
// engine as the oracle: our messages decrypt in openssl, openssl's decrypt with us whatever the block
// split; the recipients, the decrypt control and its retries, the kept ciphertext and its cap.
#include <vsk/platform/cert.h>
#include <vsk/platform/cryptmsg.h>
#include <vsk/platform/kernel.h>

#include <gtest/gtest.h>

#include "containerStore.h"
#include "cryptState.h"
#include "msgTestSupport.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace VskMsgTest;

constexpr const char* kGost28147 = "1.2.643.2.2.21";

struct KindCase {
    const char* name;
    DWORD provType;
};

const KindCase Kinds[] = {
    {"gost256", PROV_GOST_2012_256},
    {"gost512", PROV_GOST_2012_512},
};

// An exchange key in a container of our provider, a certificate openssl issues for it, and the key
// as PEM for the openssl command (made once per process).
struct Recipient {
    HCRYPTPROV prov = 0;
    CertPtr cert;
    std::string certFile;
    std::string keyFile;
};

Recipient& RecipientOf(const KindCase& k) {
    static std::map<std::string, Recipient> recipients;
    Recipient& r = recipients[k.name];
    if (r.prov) return r;
    const std::u16string container = VskTest::Utf16(std::string("env-") + k.name);
    EXPECT_TRUE(
        CryptAcquireContextW(&r.prov, container.c_str(), nullptr, k.provType, CRYPT_NEWKEYSET | CRYPT_SILENT))
        << std::hex << GetLastError();
    HCRYPTKEY key = 0;
    EXPECT_TRUE(CryptGenKey(r.prov, AT_KEYEXCHANGE, CRYPT_EXPORTABLE, &key)) << std::hex << GetLastError();
    CryptDestroyKey(key);
    DWORD size = 0;
    EXPECT_TRUE(CryptExportPublicKeyInfo(r.prov, AT_KEYEXCHANGE, kEncoding, nullptr, &size));
    Bytes info(size);
    EXPECT_TRUE(CryptExportPublicKeyInfo(r.prov, AT_KEYEXCHANGE, kEncoding,
                                         reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data()), &size));
    const std::string base = std::string("recipient-") + k.name;
    WriteFile(base + ".spki", SpkiDer(*reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(info.data())));
    // The private key as the container keeps it (PKCS#8, no password) for openssl.
    auto ctx = vsk::crypt::FindContext(r.prov);
    vsk::crypt::StoredKey stored;
    DWORD error = 0;
    EXPECT_TRUE(ctx && vsk::crypt::ContainerKey(*ctx, AT_KEYEXCHANGE, stored, error)) << std::hex << error;
    WriteFile(base + ".key.der", Bytes(stored.privateKey.begin(), stored.privateKey.end()));
    EXPECT_TRUE(
        Shell("test -f env-issuer.key || openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "
              "env-issuer.key"));
    EXPECT_TRUE(Shell("openssl pkey -engine gost -inform DER -in " + base + ".key.der -out " + base +
                      ".key.pem && openssl pkey -engine gost -pubin -inform DER -in " + base + ".spki -out " +
                      base + ".pub.pem && openssl x509 -engine gost -new -subj '/CN=" + base +
                      "' -key env-issuer.key -force_pubkey " + base + ".pub.pem -days 30 -outform DER -out " +
                      base + ".cer && openssl x509 -inform DER -in " + base + ".cer -out " + base + ".pem"));
    r.cert = MakeCert(ReadFile(base + ".cer"));
    EXPECT_TRUE(r.cert);
    r.certFile = base + ".pem";
    r.keyFile = base + ".key.pem";
    return r;
}

struct Collected {
    Bytes bytes;
    int finalCalls = 0;
};

BOOL Collect(const void* arg, BYTE* data, DWORD size, BOOL final) {
    auto* out = static_cast<Collected*>(const_cast<void*>(arg));
    if (size) out->bytes.insert(out->bytes.end(), data, data + size);
    if (final) ++out->finalCalls;
    return TRUE;
}

// Our enveloped message of `data` for the recipients, fed in updates of `block` bytes.
Bytes Encrypt(const std::vector<const Recipient*>& to, const Bytes& data, size_t block) {
    std::vector<PCERT_INFO> infos;
    for (const Recipient* r : to) infos.push_back(r->cert->pCertInfo);
    CMSG_ENVELOPED_ENCODE_INFO info{};
    info.cbSize = sizeof info;
    info.ContentEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(kGost28147);
    info.cRecipients = static_cast<DWORD>(infos.size());
    info.rgpRecipients = infos.data();
    Collected out;
    CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Collect, &out};
    HCRYPTMSG msg = CryptMsgOpenToEncode(kEncoding, 0, CMSG_ENVELOPED, &info, nullptr, &stream);
    EXPECT_NE(msg, nullptr) << std::hex << GetLastError();
    if (!msg) return {};
    size_t at = 0;
    do {
        const size_t n = std::min(block, data.size() - at);
        EXPECT_TRUE(CryptMsgUpdate(msg, data.data() + at, static_cast<DWORD>(n), at + n == data.size()))
            << std::hex << GetLastError();
        at += n;
    } while (at < data.size());
    EXPECT_TRUE(CryptMsgClose(msg));
    EXPECT_EQ(out.finalCalls, 1);
    return out.bytes;
}

struct Decrypted {
    HCRYPTMSG msg = nullptr;
    Collected content;
    DWORD error = 0;  // of the failing update or control
    ~Decrypted() {
        if (msg) CryptMsgClose(msg);
    }
};

BOOL DecryptControl(HCRYPTMSG msg, HCRYPTPROV prov, DWORD index) {
    CMSG_CTRL_DECRYPT_PARA para{sizeof para, prov, AT_KEYEXCHANGE, index};
    return CryptMsgControl(msg, 0, CMSG_CTRL_DECRYPT, &para);
}

// Feeds the message in pieces, as the library does: after each piece, once the envelope algorithm can
// be read, the decrypt control with the recipient's key and index.
void Decrypt(Decrypted& d, const Bytes& message, size_t piece, HCRYPTPROV prov, DWORD index) {
    CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Collect, &d.content};
    d.msg = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, &stream);
    ASSERT_NE(d.msg, nullptr);
    bool decrypted = false;
    size_t at = 0;
    do {
        const size_t n = std::min(piece, message.size() - at);
        if (!CryptMsgUpdate(d.msg, message.data() + at, static_cast<DWORD>(n), at + n == message.size())) {
            d.error = GetLastError();
            return;
        }
        at += n;
        DWORD size = 0;
        if (!decrypted && CryptMsgGetParam(d.msg, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, nullptr, &size)) {
            if (!DecryptControl(d.msg, prov, index)) {
                d.error = GetLastError();
                return;
            }
            decrypted = true;
        }
    } while (at < message.size());
}

Bytes Param(HCRYPTMSG msg, DWORD param, DWORD index = 0) {
    DWORD size = 0;
    if (!CryptMsgGetParam(msg, param, index, nullptr, &size)) return {};
    Bytes out(size);
    if (!CryptMsgGetParam(msg, param, index, out.data(), &size)) return {};
    out.resize(size);
    return out;
}

DWORD ParamError(HCRYPTMSG msg, DWORD param, DWORD index = 0) {
    DWORD size = 0;
    return CryptMsgGetParam(msg, param, index, nullptr, &size) ? 0 : GetLastError();
}

DWORD DwordParam(HCRYPTMSG msg, DWORD param) {
    const Bytes b = Param(msg, param);
    DWORD v = 0xFFFFFFFF;
    if (b.size() == 4) std::memcpy(&v, b.data(), 4);
    return v;
}

// The index of the recipient with the certificate's issuer and serial number, or -1.
int RecipientIndex(HCRYPTMSG msg, const CERT_INFO& cert) {
    const DWORD count = DwordParam(msg, CMSG_RECIPIENT_COUNT_PARAM);
    for (DWORD i = 0; i < count; ++i) {
        const Bytes block = Param(msg, CMSG_CMS_RECIPIENT_INFO_PARAM, i);
        if (block.empty()) continue;
        const auto* info = reinterpret_cast<const CMSG_CMS_RECIPIENT_INFO*>(block.data());
        if (info->dwRecipientChoice != CMSG_KEY_TRANS_RECIPIENT) continue;
        const CERT_ID& id = info->pKeyTrans->RecipientId;
        if (id.dwIdChoice == CERT_ID_ISSUER_SERIAL_NUMBER &&
            CertCompareIntegerBlob(&id.IssuerSerialNumber.SerialNumber, &cert.SerialNumber) &&
            id.IssuerSerialNumber.Issuer.cbData == cert.Issuer.cbData &&
            std::memcmp(id.IssuerSerialNumber.Issuer.pbData, cert.Issuer.pbData, cert.Issuer.cbData) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

// ---- Interoperability ------------------------------------------------------------------------------

struct InteropCase {
    const KindCase* kind;
    size_t size;
    size_t block;  // of our updates, or of the pieces fed to our decoder
};

std::string CaseName(const testing::TestParamInfo<InteropCase>& info) {
    return std::string(info.param.kind->name) + "_" + std::to_string(info.param.size) + "_by_" +
           std::to_string(info.param.block);
}

const InteropCase InteropCases[] = {
    {&Kinds[0], 3000, 3000},
    {&Kinds[1], 3000, 3000},  // one block, past the first key meshing
    {&Kinds[0], 3u << 20, 65536},
    {&Kinds[1], 3u << 20, 65536},
};

class EnvelopedOursInOpenssl : public testing::TestWithParam<InteropCase> {};

// openssl decrypts our message to the original; the streamed output parses with one OCTET STRING per
// update under the indefinite levels.
TEST_P(EnvelopedOursInOpenssl, DecryptsToTheOriginal) {
    const InteropCase& c = GetParam();
    const Recipient& r = RecipientOf(*c.kind);
    const Bytes data = Pattern(c.size, 5);
    const Bytes message = Encrypt({&r}, data, c.block);
    const std::string base = std::string("ours-") + c.kind->name;
    WriteFile(base + ".der", message);
    ASSERT_TRUE(Shell("openssl cms -engine gost -decrypt -binary -inform DER -in " + base + ".der -recip " +
                      r.certFile + " -inkey " + r.keyFile + " -out " + base + ".out"));
    EXPECT_TRUE(ReadFile(base + ".out") == data);
    const std::string parsed = Output("openssl asn1parse -inform DER -in " + base + ".der");
    const size_t blocks = (c.size + c.block - 1) / c.block;
    size_t strings = 0, indefinite = 0;
    for (size_t at = 0; (at = parsed.find("OCTET STRING", at)) != std::string::npos; ++at) ++strings;
    for (size_t at = 0; (at = parsed.find("l=inf", at)) != std::string::npos; ++at) ++indefinite;
    // The strings: one per update, the IV and the recipient's encrypted key.
    EXPECT_EQ(strings, blocks + 2);
    EXPECT_EQ(indefinite, 5u);
    EXPECT_NE(parsed.find("GOST 28147-89"), std::string::npos) << parsed.substr(0, 2000);
}

INSTANTIATE_TEST_SUITE_P(Enveloped, EnvelopedOursInOpenssl, testing::ValuesIn(InteropCases), CaseName);

class EnvelopedOpensslWithUs : public testing::TestWithParam<InteropCase> {};

// openssl's message decrypts with us from one piece and from small pieces.
TEST_P(EnvelopedOpensslWithUs, DecryptsFromAnySplit) {
    const InteropCase& c = GetParam();
    const Recipient& r = RecipientOf(*c.kind);
    const Bytes data = Pattern(c.size, 6);
    const std::string base = std::string("theirs-") + c.kind->name + "-" + std::to_string(c.size);
    WriteFile(base + ".bin", data);
    ASSERT_TRUE(Shell("openssl cms -engine gost -encrypt -binary -gost89 -outform DER -in " + base +
                      ".bin -out " + base + ".der " + r.certFile));
    const Bytes message = ReadFile(base + ".der");
    for (size_t piece : {message.size(), c.size > 100000 ? size_t{100000} : size_t{1}}) {
        Decrypted d;
        int index = -1;
        {
            // The recipient is found by its certificate, as the library finds it.
            Decrypted probe;
            Decrypt(probe, message, message.size(), 0, 0);
            index = RecipientIndex(probe.msg, *r.cert->pCertInfo);
        }
        ASSERT_EQ(index, 0);
        Decrypt(d, message, piece, r.prov, static_cast<DWORD>(index));
        ASSERT_EQ(d.error, 0u) << std::hex << d.error << " piece " << piece;
        EXPECT_TRUE(d.content.bytes == data) << "piece " << piece;
        EXPECT_EQ(d.content.finalCalls, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Enveloped, EnvelopedOpensslWithUs,
                         testing::Values(InteropCase{&Kinds[0], 3000, 1}, InteropCase{&Kinds[1], 3000, 1},
                                         InteropCase{&Kinds[0], 2u << 20, 100000}),
                         CaseName);

// ---- Recipients and the decrypt control --------------------------------------------------------------

// A message for two recipients: both are listed as CryptoAPI lists them and either one decrypts it.
TEST(EnvelopedDecode, TwoRecipientsEitherDecrypts) {
    const Recipient& a = RecipientOf(Kinds[0]);
    const Recipient& b = RecipientOf(Kinds[1]);
    const Bytes data = Pattern(5000, 7);
    const Bytes message = Encrypt({&a, &b}, data, 2048);
    for (const Recipient* r : {&a, &b}) {
        Decrypted probe;
        Decrypt(probe, message, message.size(), 0, 0);
        ASSERT_EQ(DwordParam(probe.msg, CMSG_RECIPIENT_COUNT_PARAM), 2u);
        const int index = RecipientIndex(probe.msg, *r->cert->pCertInfo);
        ASSERT_GE(index, 0);
        const Bytes block = Param(probe.msg, CMSG_CMS_RECIPIENT_INFO_PARAM, static_cast<DWORD>(index));
        const auto* kt = reinterpret_cast<const CMSG_CMS_RECIPIENT_INFO*>(block.data())->pKeyTrans;
        EXPECT_EQ(kt->dwVersion, 0u);
        EXPECT_STREQ(kt->KeyEncryptionAlgorithm.pszObjId,
                     r->cert->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId);
        EXPECT_EQ(kt->EncryptedKey.pbData[0], 0x30);  // the GostR3410-KeyTransport
        const Bytes alg = Param(probe.msg, CMSG_ENVELOPE_ALGORITHM_PARAM);
        EXPECT_STREQ(reinterpret_cast<const CRYPT_ALGORITHM_IDENTIFIER*>(alg.data())->pszObjId, kGost28147);

        Decrypted d;
        Decrypt(d, message, 1000, r->prov, static_cast<DWORD>(index));
        ASSERT_EQ(d.error, 0u) << std::hex << d.error;
        EXPECT_TRUE(d.content.bytes == data);
    }
}

// The decrypt control before the key is known, with a wrong key and with the right one: the failures
// leave the message usable; ciphertext fed before the key comes out inside the control, the rest as
// it is fed; a second decrypt is refused.
TEST(EnvelopedDecode, RetriesAfterAWrongKey) {
    const Recipient& right = RecipientOf(Kinds[0]);
    const Recipient& other512 = RecipientOf(Kinds[1]);
    const Recipient& other256 = RecipientOf(KindCase{"gost256-other", PROV_GOST_2012_256});
    const Bytes data = Pattern(40000, 8);
    const Bytes message = Encrypt({&right}, data, 10000);
    Collected content;
    CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Collect, &content};
    HCRYPTMSG msg = CryptMsgOpenToDecode(kEncoding, 0, CMSG_ENVELOPED, 0, nullptr, &stream);
    ASSERT_NE(msg, nullptr);

    const size_t half = message.size() / 2;
    ASSERT_TRUE(CryptMsgUpdate(msg, message.data(), 10, FALSE));
    // Before the header: not ready, for the parameters and the control alike.
    EXPECT_EQ(ParamError(msg, CMSG_ENVELOPE_ALGORITHM_PARAM), CRYPT_E_STREAM_MSG_NOT_READY);
    EXPECT_EQ(ParamError(msg, CMSG_RECIPIENT_COUNT_PARAM), CRYPT_E_STREAM_MSG_NOT_READY);
    EXPECT_EQ(ParamError(msg, CMSG_CMS_RECIPIENT_INFO_PARAM), CRYPT_E_STREAM_MSG_NOT_READY);
    EXPECT_FALSE(DecryptControl(msg, right.prov, 0));
    EXPECT_EQ(GetLastError(), CRYPT_E_STREAM_MSG_NOT_READY);
    ASSERT_TRUE(CryptMsgUpdate(msg, message.data() + 10, static_cast<DWORD>(half - 10), FALSE));
    EXPECT_EQ(DwordParam(msg, CMSG_RECIPIENT_COUNT_PARAM), 1u);
    EXPECT_TRUE(content.bytes.empty());

    const struct {
        const char* name;
        HCRYPTPROV prov;
        DWORD keySpec;
        DWORD index;
        DWORD error;
    } failures[] = {
        {"another key of the same kind", other256.prov, AT_KEYEXCHANGE, 0, NTE_BAD_DATA},
        {"a key of another kind", other512.prov, AT_KEYEXCHANGE, 0, NTE_BAD_KEY},
        {"no such recipient", right.prov, AT_KEYEXCHANGE, 1, CRYPT_E_INVALID_INDEX},
        {"a context without keys", 0, AT_KEYEXCHANGE, 0, static_cast<DWORD>(ERROR_INVALID_HANDLE)},
    };
    for (const auto& f : failures) {
        CMSG_CTRL_DECRYPT_PARA para{sizeof para, f.prov, f.keySpec, f.index};
        EXPECT_FALSE(CryptMsgControl(msg, 0, CMSG_CTRL_DECRYPT, &para)) << f.name;
        EXPECT_EQ(GetLastError(), f.error) << f.name << std::hex << " got " << GetLastError();
        EXPECT_TRUE(content.bytes.empty()) << f.name;
    }

    ASSERT_TRUE(DecryptControl(msg, right.prov, 0)) << std::hex << GetLastError();
    const size_t released = content.bytes.size();
    EXPECT_GT(released, 0u);
    EXPECT_TRUE(std::equal(content.bytes.begin(), content.bytes.end(), data.begin()));
    EXPECT_FALSE(DecryptControl(msg, right.prov, 0));
    EXPECT_EQ(GetLastError(), CRYPT_E_ALREADY_DECRYPTED);
    ASSERT_TRUE(CryptMsgUpdate(msg, message.data() + half, static_cast<DWORD>(message.size() - half), TRUE));
    EXPECT_TRUE(content.bytes == data);
    EXPECT_EQ(content.finalCalls, 1);
    EXPECT_TRUE(CryptMsgClose(msg));
}

// The whole message fed before the key: the control emits all of it and the end of the content; the
// same without a stream callback, read back as the content parameter.
TEST(EnvelopedDecode, WholeMessageBeforeTheKey) {
    const Recipient& r = RecipientOf(Kinds[1]);
    const Bytes data = Pattern(9000, 9);
    const Bytes message = Encrypt({&r}, data, 4000);
    for (bool streamed : {true, false}) {
        Collected content;
        CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Collect, &content};
        HCRYPTMSG msg = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, streamed ? &stream : nullptr);
        ASSERT_TRUE(CryptMsgUpdate(msg, message.data(), static_cast<DWORD>(message.size()), TRUE));
        EXPECT_EQ(content.finalCalls, 0);
        EXPECT_EQ(ParamError(msg, CMSG_CONTENT_PARAM), CRYPT_E_STREAM_MSG_NOT_READY);
        ASSERT_TRUE(DecryptControl(msg, r.prov, 0)) << std::hex << GetLastError();
        if (streamed) {
            EXPECT_TRUE(content.bytes == data);
            EXPECT_EQ(content.finalCalls, 1);
        } else {
            EXPECT_TRUE(Param(msg, CMSG_CONTENT_PARAM) == data);
        }
        EXPECT_TRUE(CryptMsgClose(msg));
    }
}

// The optional parts that the decoder passes over (originatorInfo, unprotectedAttrs) are waited for
// whole, whatever the split of the input.
TEST(EnvelopedDecode, OptionalPartsFromOneBytePieces) {
    const Recipient& r = RecipientOf(Kinds[0]);
    const Bytes data = Pattern(3000, 10);
    Bytes message = Encrypt({&r}, data, 1000);
    // After the version: originatorInfo with an empty crls [1]. Before the end of the EnvelopedData
    // (after the ends of the content and of encryptedContentInfo): one attribute.
    const Bytes attrs{0xA1, 0x0D, 0x30, 0x0B, 0x06, 0x03, 0x2A, 0x03,
                      0x04, 0x31, 0x04, 0x04, 0x02, 0xAB, 0xCD};
    message.insert(message.end() - 6, attrs.begin(), attrs.end());
    const Bytes originator{0xA0, 0x02, 0xA1, 0x00};
    ASSERT_EQ(message[17], 0x02);  // the version
    message.insert(message.begin() + 20, originator.begin(), originator.end());
    for (size_t piece : {message.size(), size_t{1}}) {
        Decrypted d;
        Decrypt(d, message, piece, r.prov, 0);
        ASSERT_EQ(d.error, 0u) << std::hex << d.error << " piece " << piece;
        EXPECT_TRUE(d.content.bytes == data) << "piece " << piece;
    }
}

// ---- Errors and limits -------------------------------------------------------------------------------

// Input that is no CMS message is a bad tag, whether the type was given or read from the input.
TEST(EnvelopedDecode, NonCmsInputIsABadTag) {
    const std::string inputs[] = {"plain text, not a message", "-----BEGIN CMS-----\nMIAGCSqGSIb3DQEHA6CA\n",
                                  std::string("\x04\x03\x01\x02\x03", 5)};
    for (const std::string& input : inputs) {
        for (DWORD type : {DWORD{0}, CMSG_ENVELOPED}) {
            HCRYPTMSG msg = CryptMsgOpenToDecode(kEncoding, 0, type, 0, nullptr, nullptr);
            ASSERT_NE(msg, nullptr);
            EXPECT_FALSE(CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(input.data()),
                                        static_cast<DWORD>(input.size()), TRUE));
            EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_BADTAG) << input << " type " << type;
            CryptMsgClose(msg);
        }
    }
}

// Ciphertext kept while no key is given stops at the cap with a clear error.
TEST(EnvelopedDecode, PendingCap) {
    const Recipient& r = RecipientOf(Kinds[0]);
    const Bytes message = Encrypt({&r}, Pattern(10, 1), 10);
    // Our header down to the encrypted content's [0], then segments of 1 MiB.
    const Bytes head(message.begin(), message.end() - 10 - 12);
    ASSERT_EQ(head[head.size() - 2], 0xA0);
    Bytes segment{0x04, 0x83, 0x10, 0x00, 0x00};
    segment.resize(segment.size() + (1u << 20));
    HCRYPTMSG msg = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
    ASSERT_TRUE(CryptMsgUpdate(msg, head.data(), static_cast<DWORD>(head.size()), FALSE));
    size_t fed = 0;
    while (fed < MaxMsgPendingCipherBytes) {
        ASSERT_TRUE(CryptMsgUpdate(msg, segment.data(), static_cast<DWORD>(segment.size()), FALSE));
        fed += 1u << 20;
    }
    EXPECT_FALSE(CryptMsgUpdate(msg, segment.data(), static_cast<DWORD>(segment.size()), FALSE));
    EXPECT_EQ(GetLastError(), NTE_NO_MEMORY);
    EXPECT_TRUE(CryptMsgClose(msg));
}

// What the encoder refuses at the open.
TEST(EnvelopedEncode, RefusedAtTheOpen) {
    const Recipient& r = RecipientOf(Kinds[0]);
    CERT_INFO rsa = *r.cert->pCertInfo;
    rsa.SubjectPublicKeyInfo.Algorithm.pszObjId = const_cast<LPSTR>("1.2.840.113549.1.1.1");
    const struct {
        const char* name;
        const char* algorithm;
        PCERT_INFO recipient;
        DWORD error;
    } cases[] = {
        {"another content algorithm", "1.2.840.113549.3.7", r.cert->pCertInfo, CRYPT_E_UNKNOWN_ALGO},
        {"a recipient without a GOST key", kGost28147, &rsa, NTE_BAD_PUBLIC_KEY},
        {"no recipient", kGost28147, nullptr, static_cast<DWORD>(E_INVALIDARG)},
    };
    for (const auto& c : cases) {
        PCERT_INFO recipients[] = {c.recipient};
        CMSG_ENVELOPED_ENCODE_INFO info{};
        info.cbSize = sizeof info;
        info.ContentEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(c.algorithm);
        info.cRecipients = c.recipient ? 1 : 0;
        info.rgpRecipients = recipients;
        EXPECT_EQ(CryptMsgOpenToEncode(kEncoding, 0, CMSG_ENVELOPED, &info, nullptr, nullptr), nullptr)
            << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name << std::hex << " got " << GetLastError();
    }
}

}  // namespace
