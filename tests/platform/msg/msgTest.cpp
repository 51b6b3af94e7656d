// Signed messages of the platform layer (CryptMsg functions), with the openssl command and the GOST
// engine as the oracle: our messages verify in openssl, openssl's messages read and verify with us,
// whatever the block split; malformed input is a format error; the limits hold.
#include <vsk/platform/cert.h>
#include <vsk/platform/certname.h>
#include <vsk/platform/cryptmsg.h>
#include <vsk/platform/kernel.h>

#include <gtest/gtest.h>

#include "fakeProviders.h"
#include "fuzzReplay.h"
#include "msgTestSupport.h"
#include "testSupport.h"

#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using namespace VskMsgTest;

// ---- Keys of our provider with certificates that openssl issues for them ------------------------

struct KindCase {
    const char* name;
    DWORD provType;
    const char* hashOid;
};

const KindCase Kinds[] = {
    {"gost256", PROV_GOST_2012_256, "1.2.643.7.1.1.2.2"},
    {"gost512", PROV_GOST_2012_512, "1.2.643.7.1.1.2.3"},
    {"rsa2048", PROV_RSA_FULL, "2.16.840.1.101.3.4.2.1"},
};

struct Signer {
    HCRYPTPROV prov = 0;
    CertPtr cert;
    std::string certFile;  // PEM
};

// A signature key in a new container of the kind's provider and a certificate for it issued by an
// RSA issuer of openssl's, made once per process.
Signer& SignerOf(const KindCase& k) {
    static std::map<std::string, Signer> signers;
    Signer& s = signers[k.name];
    if (s.prov) return s;
    const std::u16string container = VskTest::Utf16(std::string("msg-") + k.name);
    EXPECT_TRUE(
        CryptAcquireContextW(&s.prov, container.c_str(), nullptr, k.provType, CRYPT_NEWKEYSET | CRYPT_SILENT))
        << std::hex << GetLastError();
    HCRYPTKEY key = 0;
    EXPECT_TRUE(CryptGenKey(s.prov, AT_SIGNATURE, k.provType == PROV_RSA_FULL ? (2048u << 16) : 0, &key))
        << std::hex << GetLastError();
    CryptDestroyKey(key);
    DWORD size = 0;
    EXPECT_TRUE(CryptExportPublicKeyInfo(s.prov, AT_SIGNATURE, kEncoding, nullptr, &size));
    Bytes info(size);
    EXPECT_TRUE(CryptExportPublicKeyInfo(s.prov, AT_SIGNATURE, kEncoding,
                                         reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data()), &size));
    const Bytes spki = SpkiDer(*reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(info.data()));
    const std::string base = std::string("signer-") + k.name;
    WriteFile(base + ".spki", spki);
    EXPECT_TRUE(
        Shell("test -f issuer.key || openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "
              "issuer.key"));
    EXPECT_TRUE(Shell("openssl pkey -engine gost -pubin -inform DER -in " + base + ".spki -out " + base +
                      ".pub.pem && openssl x509 -engine gost -new -subj '/CN=" + base +
                      "' -key issuer.key -force_pubkey " + base + ".pub.pem -days 30 -outform DER -out " +
                      base + ".cer && openssl x509 -inform DER -in " + base + ".cer -out " + base + ".pem"));
    s.cert = MakeCert(ReadFile(base + ".cer"));
    s.certFile = base + ".pem";
    EXPECT_TRUE(s.cert);
    return s;
}

// ---- Our encoder ---------------------------------------------------------------------------------

struct Collected {
    Bytes bytes;
    std::vector<size_t> sizeAfterUpdate;  // the output gathered by the end of each update
    int finalCalls = 0;
};

BOOL Collect(const void* arg, BYTE* data, DWORD size, BOOL final) {
    auto* out = static_cast<Collected*>(const_cast<void*>(arg));
    if (size) out->bytes.insert(out->bytes.end(), data, data + size);
    if (final) ++out->finalCalls;
    return TRUE;
}

Bytes EncodedTime(const FILETIME& time) {
    DWORD size = 0;
    EXPECT_TRUE(CryptEncodeObject(kEncoding, szOID_RSA_signingTime, &time, nullptr, &size));
    Bytes out(size);
    EXPECT_TRUE(CryptEncodeObject(kEncoding, szOID_RSA_signingTime, &time, out.data(), &size));
    out.resize(size);
    return out;
}

FILETIME TimeOf(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME st{};
    st.wYear = year;
    st.wMonth = month;
    st.wDay = day;
    st.wHour = hour;
    st.wMinute = minute;
    st.wSecond = second;
    FILETIME ft{};
    SystemTimeToFileTime(&st, &ft);
    return ft;
}

struct SignOptions {
    bool detached = false;
    size_t pieces = 1;
    const Bytes* signingTime = nullptr;  // the encoded attribute value; null: no signed attributes
    DWORD flags = 0;                     // more open flags
};

Collected Sign(const KindCase& k, const Bytes& data, const SignOptions& o) {
    Signer& s = SignerOf(k);
    Collected out;
    CMSG_SIGNER_ENCODE_INFO signer{};
    signer.cbSize = sizeof signer;
    signer.pCertInfo = s.cert->pCertInfo;
    signer.hCryptProv = s.prov;
    signer.dwKeySpec = AT_SIGNATURE;
    signer.HashAlgorithm.pszObjId = const_cast<LPSTR>(k.hashOid);
    CRYPT_ATTR_BLOB timeBlob{};
    CRYPT_ATTRIBUTE timeAttr{const_cast<LPSTR>(szOID_RSA_signingTime), 1, &timeBlob};
    if (o.signingTime) {
        timeBlob.cbData = static_cast<DWORD>(o.signingTime->size());
        timeBlob.pbData = const_cast<BYTE*>(o.signingTime->data());
        signer.cAuthAttr = 1;
        signer.rgAuthAttr = &timeAttr;
    }
    CERT_BLOB certBlob{s.cert->cbCertEncoded, s.cert->pbCertEncoded};
    CMSG_SIGNED_ENCODE_INFO info{};
    info.cbSize = sizeof info;
    info.cSigners = 1;
    info.rgSigners = &signer;
    info.cCertEncoded = 1;
    info.rgCertEncoded = &certBlob;
    CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Collect, &out};
    HCRYPTMSG msg = CryptMsgOpenToEncode(kEncoding, (o.detached ? CMSG_DETACHED_FLAG : 0) | o.flags,
                                         CMSG_SIGNED, &info, nullptr, &stream);
    EXPECT_NE(msg, nullptr) << std::hex << GetLastError();
    if (!msg) return out;
    const size_t step = (data.size() + o.pieces - 1) / o.pieces;
    size_t at = 0;
    do {
        const size_t n = std::min(step, data.size() - at);
        EXPECT_TRUE(CryptMsgUpdate(msg, data.data() + at, static_cast<DWORD>(n), at + n == data.size()))
            << std::hex << GetLastError();
        at += n;
        out.sizeAfterUpdate.push_back(out.bytes.size());
    } while (at < data.size());
    EXPECT_TRUE(CryptMsgClose(msg));
    return out;
}

// ---- Our decoder ---------------------------------------------------------------------------------

struct Decoded {
    HCRYPTMSG msg = nullptr;
    Collected content;
    DWORD error = 0;  // of the failing update
    ~Decoded() {
        if (msg) CryptMsgClose(msg);
    }
};

// Feeds the message in pieces of `piece` bytes (the last final), then the detached content the same
// way when there is one.
void Decode(Decoded& d, const Bytes& message, size_t piece, bool detached, const Bytes* content = nullptr,
            HCRYPTPROV prov = 0) {
    CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Collect, &d.content};
    d.msg = CryptMsgOpenToDecode(kEncoding, detached ? CMSG_DETACHED_FLAG : 0, 0, prov, nullptr, &stream);
    ASSERT_NE(d.msg, nullptr);
    auto feed = [&](const Bytes& bytes) {
        size_t at = 0;
        do {
            const size_t n = std::min(piece, bytes.size() - at);
            if (!CryptMsgUpdate(d.msg, bytes.data() + at, static_cast<DWORD>(n), at + n == bytes.size())) {
                d.error = GetLastError();
                return false;
            }
            at += n;
            d.content.sizeAfterUpdate.push_back(d.content.bytes.size());
        } while (at < bytes.size());
        return true;
    };
    if (feed(message) && content) feed(*content);
}

Bytes Param(HCRYPTMSG msg, DWORD param, DWORD index = 0) {
    DWORD size = 0;
    if (!CryptMsgGetParam(msg, param, index, nullptr, &size)) return {};
    Bytes out(size);
    if (!CryptMsgGetParam(msg, param, index, out.data(), &size)) return {};
    out.resize(size);
    return out;
}

DWORD DwordParam(HCRYPTMSG msg, DWORD param) {
    const Bytes b = Param(msg, param);
    DWORD v = 0xFFFFFFFF;
    if (b.size() == 4) std::memcpy(&v, b.data(), 4);
    return v;
}

// CryptMsgControl's verdict on a signer against a certificate: 0 or the error.
DWORD VerifyWith(HCRYPTMSG msg, DWORD index, PCCERT_CONTEXT cert) {
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para{sizeof para, 0, index, CMSG_VERIFY_SIGNER_CERT,
                                            const_cast<CERT_CONTEXT*>(cert)};
    return CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para) ? 0 : GetLastError();
}

// The certificate of index `i` carried in the message.
CertPtr MessageCert(HCRYPTMSG msg, DWORD i) {
    return MakeCert(Param(msg, CMSG_CERT_PARAM, i));
}

// The signing time of a signer as "YYMMDDhhmmssZ", through CryptDecodeObject of the attribute.
std::string SigningTimeText(HCRYPTMSG msg, DWORD index) {
    const Bytes block = Param(msg, CMSG_SIGNER_AUTH_ATTR_PARAM, index);
    if (block.empty()) return "none";
    const auto* attrs = reinterpret_cast<const CRYPT_ATTRIBUTES*>(block.data());
    for (DWORD i = 0; i < attrs->cAttr; ++i) {
        if (std::string(attrs->rgAttr[i].pszObjId) != szOID_RSA_signingTime) continue;
        FILETIME ft{};
        DWORD size = sizeof ft;
        const CRYPT_ATTR_BLOB& v = attrs->rgAttr[i].rgValue[0];
        if (!CryptDecodeObject(kEncoding, szOID_RSA_signingTime, v.pbData, v.cbData, 0, &ft, &size))
            return "bad";
        SYSTEMTIME st{};
        FileTimeToSystemTime(&ft, &st);
        char text[32];
        std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%02dZ", st.wYear % 100, st.wMonth, st.wDay,
                      st.wHour, st.wMinute, st.wSecond);
        return text;
    }
    return "none";
}

std::string Engine() {
    return " -engine gost";
}

// ---- Our messages in openssl ---------------------------------------------------------------------

struct OursCase {
    const KindCase* kind;
    size_t pieces;
    bool detached;
};

std::string OursName(const testing::TestParamInfo<OursCase>& info) {
    return std::string(info.param.kind->name) + (info.param.pieces == 1 ? "_oneBlock" : "_manyBlocks") +
           (info.param.detached ? "_detached" : "_attached");
}

class OursInOpenssl : public testing::TestWithParam<OursCase> {};

// The message verifies with openssl (attached: the content comes back; detached: with -content),
// prints as version 1 with a UTCTime signing time and no SMIMECapabilities; one changed data byte
// fails in openssl and gives CRYPT_E_HASH_VALUE with us, a changed signature NTE_BAD_SIGNATURE.
TEST_P(OursInOpenssl, VerifiesAndRejectsAChangedByte) {
    const OursCase& c = GetParam();
    const Bytes data = Pattern(c.pieces == 1 ? 3000 : 100000, 7);
    const Bytes time = EncodedTime(TimeOf(2026, 12, 11, 10, 20, 30));
    SignOptions o;
    o.detached = c.detached;
    o.pieces = c.pieces;
    o.signingTime = &time;
    const Collected signedMsg = Sign(*c.kind, data, o);
    ASSERT_FALSE(signedMsg.bytes.empty());
    EXPECT_EQ(signedMsg.finalCalls, 1);
    if (!c.detached && c.pieces > 1) {
        // Emitted as made: every update handed its segment on before the final one.
        for (size_t i = 1; i < signedMsg.sizeAfterUpdate.size(); ++i)
            EXPECT_GT(signedMsg.sizeAfterUpdate[i - 1], i * (data.size() / c.pieces)) << i;
    }
    const std::string base = OursName({c, 0});
    WriteFile(base + ".der", signedMsg.bytes);
    WriteFile(base + ".bin", data);
    const std::string content = c.detached ? " -content " + base + ".bin" : "";
    EXPECT_TRUE(Shell("openssl cms" + Engine() + " -verify -binary -inform DER -in " + base + ".der" +
                      content + " -noverify -out " + base + ".out"));
    EXPECT_EQ(ReadFile(base + ".out"), data);

    const std::string print =
        Output("openssl cms" + Engine() + " -cmsout -print -inform DER -in " + base + ".der");
    EXPECT_NE(print.find("d.signedData: \n    version: 1\n"), std::string::npos) << print.substr(0, 300);
    EXPECT_NE(print.find("        version: 1\n"), std::string::npos);
    EXPECT_EQ(print.find("SMIME"), std::string::npos);
    EXPECT_EQ(print.find("S/MIME"), std::string::npos);
    EXPECT_NE(print.find("UTCTIME:Dec 11 10:20:30 2026 GMT"), std::string::npos);
    EXPECT_EQ(print.find("eContent: <ABSENT>") != std::string::npos, c.detached);

    // One changed data byte.
    Bytes changedData = data;
    changedData[data.size() / 2] ^= 0x01;
    Bytes changedMsg = signedMsg.bytes;
    if (!c.detached) {
        auto at = std::search(changedMsg.begin(), changedMsg.end(), data.begin() + data.size() / 2,
                              data.begin() + data.size() / 2 + 16);
        ASSERT_NE(at, changedMsg.end());
        *at ^= 0x01;
        WriteFile(base + ".changed.der", changedMsg);
        EXPECT_FALSE(Shell("openssl cms" + Engine() + " -verify -binary -inform DER -in " + base +
                           ".changed.der -noverify -out /dev/null"));
    } else {
        WriteFile(base + ".changed.bin", changedData);
        EXPECT_FALSE(Shell("openssl cms" + Engine() + " -verify -binary -inform DER -in " + base +
                           ".der -content " + base + ".changed.bin -noverify -out /dev/null"));
    }
    const Signer& s = SignerOf(*c.kind);
    {
        Decoded good;
        Decode(good, signedMsg.bytes, 4096, c.detached, c.detached ? &data : nullptr);
        ASSERT_EQ(good.error, 0u) << std::hex << good.error;
        EXPECT_EQ(VerifyWith(good.msg, 0, s.cert.get()), 0u);
        EXPECT_EQ(good.content.bytes, c.detached ? Bytes{} : data);
    }
    {
        Decoded changed;
        Decode(changed, c.detached ? signedMsg.bytes : changedMsg, 4096, c.detached,
               c.detached ? &changedData : nullptr);
        ASSERT_EQ(changed.error, 0u);
        EXPECT_EQ(VerifyWith(changed.msg, 0, s.cert.get()), CRYPT_E_HASH_VALUE);
    }
    {
        // The last byte of the signature (the SignerInfo ends the message, before six EOC octets).
        Bytes badSignature = signedMsg.bytes;
        badSignature[badSignature.size() - 7] ^= 0x01;
        Decoded bad;
        Decode(bad, badSignature, 4096, c.detached, c.detached ? &data : nullptr);
        ASSERT_EQ(bad.error, 0u);
        EXPECT_EQ(VerifyWith(bad.msg, 0, s.cert.get()), NTE_BAD_SIGNATURE);
    }
}

std::vector<OursCase> OursCases() {
    std::vector<OursCase> out;
    for (const KindCase& k : Kinds)
        for (size_t pieces : {size_t{1}, size_t{5}})
            for (bool detached : {false, true}) out.push_back({&k, pieces, detached});
    return out;
}

INSTANTIATE_TEST_SUITE_P(Table, OursInOpenssl, testing::ValuesIn(OursCases()), OursName);

// ---- openssl's messages with us ------------------------------------------------------------------

// An openssl GOST R 34.10-2012 (256) key and certificate, made once per process.
const std::string& OpensslSigner(const std::string& name) {
    static std::map<std::string, std::string> made;
    std::string& args = made[name];
    if (!args.empty()) return args;
    EXPECT_TRUE(Shell("openssl genpkey" + Engine() + " -algorithm gost2012_256 -pkeyopt paramset:A -out " +
                      name + ".key && openssl req" + Engine() + " -x509 -new -key " + name +
                      ".key -subj /CN=" + name + " -md_gost12_256 -days 30 -out " + name + ".pem"));
    args = " -signer " + name + ".pem -inkey " + name + ".key";
    return args;
}

// The UTCTime values of the message as openssl reads them ("YYMMDDhhmmssZ").
std::vector<std::string> OpensslTimes(const std::string& file) {
    std::vector<std::string> out;
    const std::string text = Output("openssl asn1parse -dlimit 16 -inform DER -in " + file);
    for (size_t at = text.find("UTCTIME"); at != std::string::npos; at = text.find("UTCTIME", at + 1)) {
        const size_t colon = text.find(':', at);
        out.push_back(text.substr(colon + 1, 13));
    }
    return out;
}

struct SplitCase {
    const char* name;
    size_t dataSize;
    size_t piece;
    bool detached;
};

class OpensslWithUs : public testing::TestWithParam<SplitCase> {};

// Content equal, signature valid, signing time equal to openssl's, whatever the split.
TEST_P(OpensslWithUs, ReadsAndVerifies) {
    const SplitCase& c = GetParam();
    const std::string base = std::string("ossl-") + c.name;
    const Bytes data = Pattern(c.dataSize, 11);
    WriteFile(base + ".bin", data);
    ASSERT_TRUE(Shell("openssl cms" + Engine() + " -sign -binary" + (c.detached ? "" : " -nodetach") +
                      " -md md_gost12_256" + OpensslSigner("osslA") + " -in " + base +
                      ".bin -outform DER -out " + base + ".der"));
    const Bytes message = ReadFile(base + ".der");
    Decoded d;
    Decode(d, message, c.piece, c.detached, c.detached ? &data : nullptr);
    ASSERT_EQ(d.error, 0u) << std::hex << d.error;
    EXPECT_EQ(DwordParam(d.msg, CMSG_TYPE_PARAM), CMSG_SIGNED);
    ASSERT_EQ(DwordParam(d.msg, CMSG_SIGNER_COUNT_PARAM), 1u);
    ASSERT_EQ(DwordParam(d.msg, CMSG_CERT_COUNT_PARAM), 1u);
    if (!c.detached) {
        EXPECT_TRUE(d.content.bytes == data) << d.content.bytes.size();
        // Released as decoded: with more than one update, content came out before the last one.
        if (d.content.sizeAfterUpdate.size() > 2 && c.dataSize > 2 * c.piece)
            EXPECT_GT(d.content.sizeAfterUpdate[d.content.sizeAfterUpdate.size() / 2], 0u);
    }
    EXPECT_EQ(d.content.finalCalls, 1);
    CertPtr cert = MessageCert(d.msg, 0);
    ASSERT_TRUE(cert);
    EXPECT_EQ(VerifyWith(d.msg, 0, cert.get()), 0u);
    const std::vector<std::string> times = OpensslTimes(base + ".der");
    ASSERT_FALSE(times.empty());
    // The certificate's validity times come first; the signing time is the last UTCTime.
    EXPECT_EQ(SigningTimeText(d.msg, 0), times.back());
}

const SplitCase SplitCases[] = {
    {"oneBlock_attached", 5000, 1u << 30, false},      {"oneBlock_detached", 5000, 1u << 30, true},
    {"bytePieces_attached", 3000, 1, false},           {"bytePieces_detached", 3000, 1, true},
    {"big64MiB_attached", 64u << 20, 4u << 20, false}, {"big64MiB_detached", 64u << 20, 4u << 20, true},
};

INSTANTIATE_TEST_SUITE_P(Table, OpensslWithUs, testing::ValuesIn(SplitCases),
                         [](const testing::TestParamInfo<SplitCase>& i) {
                             return std::string(i.param.name);
                         });

// A message of two signers (openssl -signer twice) gives count 2, each verifying with its own
// certificate and not with the other's.
TEST(OpensslMessages, TwoSigners) {
    const Bytes data = Pattern(2000, 3);
    WriteFile("two.bin", data);
    ASSERT_TRUE(Shell("openssl cms" + Engine() + " -sign -binary -nodetach -md md_gost12_256" +
                      OpensslSigner("osslA") + OpensslSigner("osslB") +
                      " -in two.bin -outform DER -out two.der"));
    Decoded d;
    Decode(d, ReadFile("two.der"), 100, false);
    ASSERT_EQ(d.error, 0u) << std::hex << d.error;
    ASSERT_EQ(DwordParam(d.msg, CMSG_SIGNER_COUNT_PARAM), 2u);
    ASSERT_EQ(DwordParam(d.msg, CMSG_CERT_COUNT_PARAM), 2u);
    CertPtr certs[2] = {MessageCert(d.msg, 0), MessageCert(d.msg, 1)};
    // Each signer against the certificate whose issuer and serial number it names.
    for (DWORD i = 0; i < 2; ++i) {
        const Bytes block = Param(d.msg, CMSG_SIGNER_CERT_INFO_PARAM, i);
        ASSERT_FALSE(block.empty());
        const auto* id = reinterpret_cast<const CERT_INFO*>(block.data());
        const int own =
            CertCompareCertificate(X509_ASN_ENCODING, const_cast<CERT_INFO*>(id), certs[0]->pCertInfo) ? 0
                                                                                                       : 1;
        EXPECT_EQ(VerifyWith(d.msg, i, certs[own].get()), 0u) << i;
        EXPECT_EQ(VerifyWith(d.msg, i, certs[1 - own].get()), NTE_BAD_SIGNATURE) << i;
    }
}

// ---- Parameters ----------------------------------------------------------------------------------

// The signer as CMSG_SIGNER_INFO and CMSG_CMS_SIGNER_INFO: the signature as encoded (openssl prints
// the same bytes), the serial number little-endian, the attributes with their DER values; the size
// protocol answers a small buffer with ERROR_MORE_DATA.
TEST(MsgParams, SignerInfoAsEncoded) {
    const KindCase& k = Kinds[0];
    const Bytes data = Pattern(500, 5);
    const Bytes time = EncodedTime(TimeOf(2027, 1, 2, 3, 4, 5));
    SignOptions o;
    o.signingTime = &time;
    const Collected m = Sign(k, data, o);
    Decoded d;
    Decode(d, m.bytes, 1u << 20, false);
    ASSERT_EQ(d.error, 0u);
    const Bytes block = Param(d.msg, CMSG_SIGNER_INFO_PARAM);
    ASSERT_FALSE(block.empty());
    const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(block.data());
    EXPECT_EQ(info->dwVersion, 1u);
    EXPECT_STREQ(info->HashAlgorithm.pszObjId, k.hashOid);
    EXPECT_STREQ(info->HashEncryptionAlgorithm.pszObjId, "1.2.643.7.1.1.1.1");
    ASSERT_EQ(info->EncryptedHash.cbData, 64u);
    const Bytes signature(info->EncryptedHash.pbData, info->EncryptedHash.pbData + 64);
    // The last 64 bytes before the closing OCTET STRING end: the signature as encoded in the message.
    EXPECT_TRUE(std::equal(signature.begin(), signature.end(), m.bytes.end() - 6 - 64));
    const Signer& s = SignerOf(k);
    const Bytes serial(info->SerialNumber.pbData, info->SerialNumber.pbData + info->SerialNumber.cbData);
    EXPECT_EQ(serial, Bytes(s.cert->pCertInfo->SerialNumber.pbData,
                            s.cert->pCertInfo->SerialNumber.pbData + s.cert->pCertInfo->SerialNumber.cbData));
    ASSERT_EQ(info->AuthAttrs.cAttr, 3u);
    EXPECT_EQ(info->UnauthAttrs.cAttr, 0u);
    EXPECT_EQ(SigningTimeText(d.msg, 0), "270102030405Z");

    const Bytes cms = Param(d.msg, CMSG_CMS_SIGNER_INFO_PARAM);
    ASSERT_FALSE(cms.empty());
    const auto* cmsInfo = reinterpret_cast<const CMSG_CMS_SIGNER_INFO*>(cms.data());
    EXPECT_EQ(cmsInfo->SignerId.dwIdChoice, CERT_ID_ISSUER_SERIAL_NUMBER);
    EXPECT_TRUE(CertCompareCertificateName(
        X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(&cmsInfo->SignerId.IssuerSerialNumber.Issuer),
        &s.cert->pCertInfo->Issuer));
    EXPECT_EQ(Bytes(cmsInfo->EncryptedHash.pbData, cmsInfo->EncryptedHash.pbData + 64), signature);

    DWORD size = 10;
    Bytes small(10);
    EXPECT_FALSE(CryptMsgGetParam(d.msg, CMSG_SIGNER_INFO_PARAM, 0, small.data(), &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(size, block.size());
    EXPECT_FALSE(CryptMsgGetParam(d.msg, CMSG_SIGNER_INFO_PARAM, 1, nullptr, &size));
    EXPECT_EQ(GetLastError(), CRYPT_E_INVALID_INDEX);
    EXPECT_EQ(Param(d.msg, CMSG_SIGNER_UNAUTH_ATTR_PARAM), Bytes{});
    EXPECT_EQ(GetLastError(), CRYPT_E_ATTRIBUTES_MISSING);
}

// A decoder opened detached and fed an attached message (the way a detached signature is made from
// the encoder's output) re-encodes it without the content: openssl verifies that with -content.
// Before the message is complete the parameters are not ready.
TEST(MsgParams, EncodedMessageOfADetachedDecoder) {
    const KindCase& k = Kinds[0];
    const Bytes data = Pattern(70000, 9);
    const Bytes time = EncodedTime(TimeOf(2026, 6, 1, 0, 0, 0));
    SignOptions o;
    o.pieces = 3;
    o.signingTime = &time;
    const Collected m = Sign(k, data, o);
    Decoded d;
    CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Collect, &d.content};
    d.msg = CryptMsgOpenToDecode(kEncoding, CMSG_DETACHED_FLAG, 0, 0, nullptr, &stream);
    ASSERT_TRUE(CryptMsgUpdate(d.msg, m.bytes.data(), 1000, FALSE));
    DWORD size = 0;
    EXPECT_FALSE(CryptMsgGetParam(d.msg, CMSG_SIGNER_COUNT_PARAM, 0, nullptr, &size));
    EXPECT_EQ(GetLastError(), CRYPT_E_STREAM_MSG_NOT_READY);
    EXPECT_FALSE(CryptMsgGetParam(d.msg, CMSG_ENCODED_MESSAGE, 0, nullptr, &size));
    EXPECT_EQ(GetLastError(), CRYPT_E_STREAM_MSG_NOT_READY);
    ASSERT_TRUE(
        CryptMsgUpdate(d.msg, m.bytes.data() + 1000, static_cast<DWORD>(m.bytes.size() - 1000), TRUE));
    EXPECT_EQ(VerifyWith(d.msg, 0, SignerOf(k).cert.get()), 0u);
    const Bytes detached = Param(d.msg, CMSG_ENCODED_MESSAGE);
    ASSERT_FALSE(detached.empty());
    EXPECT_LT(detached.size(), 4000u);
    EXPECT_EQ(std::search(detached.begin(), detached.end(), data.begin(), data.begin() + 32), detached.end());
    WriteFile("redetached.der", detached);
    WriteFile("redetached.bin", data);
    EXPECT_TRUE(Shell(
        "openssl cms" + Engine() +
        " -verify -binary -inform DER -in redetached.der -content redetached.bin -noverify -out /dev/null"));
    // The certificate is carried over byte for byte.
    Decoded again;
    Decode(again, detached, 1u << 20, true, &data);
    ASSERT_EQ(again.error, 0u);
    EXPECT_EQ(Param(again.msg, CMSG_CERT_PARAM), Param(d.msg, CMSG_CERT_PARAM));
    EXPECT_EQ(VerifyWith(again.msg, 0, SignerOf(k).cert.get()), 0u);
}

// Roads of the signed attributes and of the signing time: without attributes the signature covers
// the content digest (openssl verifies it); a time from 2050 is a GeneralizedTime; a detached
// message whose content was not fed fails with CRYPT_E_HASH_VALUE.
TEST(MsgEncode, AttributeRoads) {
    const KindCase& k = Kinds[1];
    const Bytes data = Pattern(1000, 4);
    {
        const Collected m = Sign(k, data, {});
        WriteFile("noattr.der", m.bytes);
        WriteFile("noattr.bin", data);
        EXPECT_TRUE(Shell("openssl cms" + Engine() +
                          " -verify -binary -inform DER -in noattr.der -noverify -out /dev/null"));
        EXPECT_EQ(Output("openssl cms" + Engine() + " -cmsout -print -inform DER -in noattr.der")
                          .find("signedAttrs:\n          <ABSENT>") != std::string::npos,
                  true);
        Decoded d;
        Decode(d, m.bytes, 77, false);
        ASSERT_EQ(d.error, 0u);
        EXPECT_EQ(VerifyWith(d.msg, 0, SignerOf(k).cert.get()), 0u);
        EXPECT_EQ(SigningTimeText(d.msg, 0), "none");
    }
    {
        const Bytes time = EncodedTime(TimeOf(2050, 1, 1, 12, 0, 0));
        ASSERT_EQ(time[0], 0x18);
        SignOptions o;
        o.detached = true;
        o.signingTime = &time;
        const Collected m = Sign(k, data, o);
        WriteFile("gentime.der", m.bytes);
        EXPECT_TRUE(Shell(
            "openssl cms" + Engine() +
            " -verify -binary -inform DER -in gentime.der -content noattr.bin -noverify -out /dev/null"));
        EXPECT_NE(Output("openssl cms" + Engine() + " -cmsout -print -inform DER -in gentime.der")
                      .find("GENERALIZEDTIME:"),
                  std::string::npos);
        Decoded withoutContent;
        Decode(withoutContent, m.bytes, 1u << 20, true);
        ASSERT_EQ(withoutContent.error, 0u);
        EXPECT_EQ(VerifyWith(withoutContent.msg, 0, SignerOf(k).cert.get()), CRYPT_E_HASH_VALUE);
        EXPECT_TRUE(CryptMsgUpdate(withoutContent.msg, data.data(), static_cast<DWORD>(data.size()), TRUE));
        EXPECT_EQ(VerifyWith(withoutContent.msg, 0, SignerOf(k).cert.get()), 0u);
        EXPECT_EQ(SigningTimeText(withoutContent.msg, 0), "500101120000Z");
    }
}

// ---- Errors and limits ---------------------------------------------------------------------------

Bytes Hex(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<BYTE>(std::stoi(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

// The start of a signed message down to the content: ContentInfo, SignedData, version, digest
// algorithms (GOST R 34.11-2012 256) and the encapsulated content's type, all indefinite.
const std::string kStart =
    "30 80 06 09 2A 86 48 86 F7 0D 01 07 02 A0 80 30 80 02 01 01 31 0C 30 0A 06 08 2A 85 03 07 01 01 02 02"
    " 30 80 06 09 2A 86 48 86 F7 0D 01 07 01";

struct ErrorCase {
    const char* name;
    std::string hex;
    DWORD error;
};

// Malformed or foreign messages fail CryptMsgUpdate with the code of what is wrong, in one block and
// in one-byte pieces alike.
TEST(MsgErrors, FormatErrorTable) {
    const ErrorCase cases[] = {
        {"not a sequence", "04 03 01 02 03", CRYPT_E_ASN1_BADTAG},
        {"digested data", "30 0B 06 09 2A 86 48 86 F7 0D 01 07 05", CRYPT_E_INVALID_MSG_TYPE},
        {"truncated", kStart, CRYPT_E_STREAM_INSUFFICIENT_DATA},
        {"child longer than its parent", "30 03 06 09 2A 86 48 86 F7 0D 01 07 02", CRYPT_E_ASN1_CORRUPT},
        {"length of nine octets", "30 89 01 02 03 04 05 06 07 08 09", CRYPT_E_ASN1_CORRUPT},
        {"primitive with indefinite length", "30 80 06 80", CRYPT_E_ASN1_CORRUPT},
        {"unknown digest",
         "30 80 06 09 2A 86 48 86 F7 0D 01 07 02 A0 80 30 80 02 01 01 31 07 30 05 06 03 2A 03 04",
         CRYPT_E_UNKNOWN_ALGO},
        {"content not an octet string", kStart + " A0 80 0C 01 41 00 00", CRYPT_E_ASN1_BADTAG},
        {"two strings in the content", kStart + " A0 80 04 01 41 04 01 42", CRYPT_E_ASN1_CORRUPT},
        {"certificate longer than the element limit", kStart + " 00 00 A0 80 30 84 00 50 00 00",
         CRYPT_E_ASN1_LARGE},
        {"no signer infos", kStart + " 00 00 00 00 00 00 00 00", CRYPT_E_ASN1_BADTAG},
        {"signer info not a sequence", kStart + " 00 00 31 03 02 01 01 00 00 00 00 00 00",
         CRYPT_E_ASN1_BADTAG},
        {"bytes after the end", kStart + " 00 00 31 00 00 00 00 00 00 00 FF", CRYPT_E_MSG_ERROR},
        {"end-of-contents across a definite end",
         "30 80 06 09 2A 86 48 86 F7 0D 01 07 02 A0 80 30 1F 02 01 01 31 0C 30 0A 06 08 2A 85 03 07 01 01 02 "
         "02"
         " 30 80 06 09 2A 86 48 86 F7 0D 01 07 01 00 00 31 00 00 00 00 00",
         CRYPT_E_ASN1_CORRUPT},
    };
    for (const ErrorCase& c : cases) {
        for (size_t piece : {size_t{1} << 20, size_t{1}}) {
            Decoded d;
            Decode(d, Hex(c.hex), piece, false);
            EXPECT_EQ(d.error, c.error) << c.name << " piece " << piece << std::hex << " got " << d.error;
        }
    }
    // An empty signer set is a complete message with no signer.
    Decoded empty;
    Decode(empty, Hex(kStart + " 00 00 31 00 00 00 00 00 00 00"), 3, false);
    EXPECT_EQ(empty.error, 0u);
    EXPECT_EQ(DwordParam(empty.msg, CMSG_SIGNER_COUNT_PARAM), 0u);
}

// Content OCTET STRING segments nested within MaxMsgNestingDepth read; one level more is refused.
TEST(MsgLimitsTest, NestingDeeperThanTheLimit) {
    // ContentInfo, [0], SignedData, encapContentInfo and the explicit [0] take 5 frames.
    for (unsigned depth : {MaxMsgNestingDepth - 5, MaxMsgNestingDepth - 4}) {
        std::string hex = kStart + " A0 80";
        for (unsigned i = 0; i < depth; ++i) hex += " 24 80";
        hex += " 04 01 41";
        for (unsigned i = 0; i < depth; ++i) hex += " 00 00";
        hex += " 00 00 00 00 31 00 00 00 00 00 00 00";
        Decoded d;
        Decode(d, Hex(hex), 1u << 20, false);
        if (depth + 5 <= MaxMsgNestingDepth) {
            EXPECT_EQ(d.error, 0u) << depth;
            EXPECT_EQ(d.content.bytes, Bytes{'A'});
        } else {
            EXPECT_EQ(d.error, CRYPT_E_ASN1_CORRUPT) << depth;
        }
    }
}

// A certificate of MaxMsgElementBytes is kept; one byte more is refused before its bytes arrive.
TEST(MsgLimitsTest, ElementLargerThanTheLimit) {
    for (size_t whole : {MaxMsgElementBytes, MaxMsgElementBytes + 1}) {
        const size_t contents = whole - 6;
        Bytes m = Hex(kStart + " 00 00 A0 80 30 84");
        for (int shift = 24; shift >= 0; shift -= 8) m.push_back(static_cast<BYTE>(contents >> shift));
        m.resize(m.size() + contents, 0x05);
        const Bytes end = Hex("00 00 31 00 00 00 00 00 00 00");
        m.insert(m.end(), end.begin(), end.end());
        Decoded d;
        Decode(d, m, 1u << 20, false);
        EXPECT_EQ(d.error, whole > MaxMsgElementBytes ? CRYPT_E_ASN1_LARGE : 0u) << whole;
    }
}

// What a decoder keeps whole stays within MaxMsgKeptBytes: certificates of the element limit each
// are kept up to it, and the one that would pass it is refused.
TEST(MsgLimitsTest, KeptBytesBeyondTheLimit) {
    const size_t fits = MaxMsgKeptBytes / MaxMsgElementBytes - 1;
    for (size_t count : {fits, fits + 2}) {
        Bytes m = Hex(kStart + " 00 00 A0 80");
        for (size_t i = 0; i < count; ++i) {
            const size_t contents = MaxMsgElementBytes - 6;
            const Bytes header = Hex("30 84");
            m.insert(m.end(), header.begin(), header.end());
            for (int shift = 24; shift >= 0; shift -= 8) m.push_back(static_cast<BYTE>(contents >> shift));
            m.resize(m.size() + contents, 0x05);
        }
        const Bytes end = Hex("00 00 31 00 00 00 00 00 00 00");
        m.insert(m.end(), end.begin(), end.end());
        Decoded d;
        Decode(d, m, 4u << 20, false);
        EXPECT_EQ(d.error, count > fits ? CRYPT_E_ASN1_LARGE : 0u) << count;
    }
}

// Signed attributes whose values carry the wrong type are a format error when the message is read,
// never a signer that reads or verifies: a signingTime that is an OCTET STRING (made through our
// encoder, which takes the caller's value as it is) and a messageDigest that is a UTF8String.
TEST(MsgErrors, MalformedSignedAttributes) {
    const KindCase& k = Kinds[0];
    const Bytes data = Pattern(300, 2);
    const Bytes wrongTime = Hex("04 0D 32 36 31 32 31 31 31 30 32 30 33 30 5A");
    SignOptions o;
    o.signingTime = &wrongTime;
    Decoded d;
    Decode(d, Sign(k, data, o).bytes, 1u << 20, false);
    EXPECT_EQ(d.error, CRYPT_E_ASN1_BADTAG);

    const Bytes badText = Hex("17 0D 32 36 31 33 31 31 31 30 32 30 33 30 5A");  // month 13
    o.signingTime = &badText;
    Decoded d2;
    Decode(d2, Sign(k, data, o).bytes, 1u << 20, false);
    EXPECT_EQ(d2.error, CRYPT_E_ASN1_CORRUPT);

    const Bytes time = EncodedTime(TimeOf(2026, 1, 1, 0, 0, 0));
    o.signingTime = &time;
    Bytes m = Sign(k, data, o).bytes;
    const Bytes digestAttr = Hex("06 09 2A 86 48 86 F7 0D 01 09 04 31 22 04 20");
    auto at = std::search(m.begin(), m.end(), digestAttr.begin(), digestAttr.end());
    ASSERT_NE(at, m.end());
    at[13] = 0x0C;
    Decoded d3;
    Decode(d3, m, 1u << 20, false);
    EXPECT_EQ(d3.error, CRYPT_E_ASN1_BADTAG);
    // The failure stays: the broken message takes no more updates.
    EXPECT_FALSE(CryptMsgUpdate(d3.msg, data.data(), 1, TRUE));
    EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_BADTAG);
}

// A decoding provider that refuses the message's digest fails the update with NTE_BAD_ALGID, as does
// the default when no registered provider makes it.
TEST(MsgErrors, ProviderWithoutTheDigest) {
    const KindCase& k = Kinds[0];
    const Bytes data = Pattern(300, 1);
    const Bytes m = Sign(k, data, {}).bytes;
    VskTest::TestRoot root;
    VskTest::UseFakeProviders(
        "[provider]\ntype = 80\nname = Refusing Provider\nrefuse_hash = 0x8021\n"
        "[provider]\ntype = 81\nname = Refusing Strong Provider\nrefuse_hash = 0x8021\n");
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, u"Refusing Provider", 80, CRYPT_VERIFYCONTEXT));
    for (HCRYPTPROV given : {prov, HCRYPTPROV{0}}) {
        Decoded d;
        Decode(d, m, 1u << 20, false, nullptr, given);
        EXPECT_EQ(d.error, NTE_BAD_ALGID) << given;
    }
    CryptReleaseContext(prov, 0);
    VskTest::UseBuiltInProviders();
    Decoded ok;
    Decode(ok, m, 1u << 20, false);
    EXPECT_EQ(ok.error, 0u);
}

// Handles: a duplicate outlives the closed original; a closed or foreign handle fails.
TEST(MsgHandles, DuplicateAndClose) {
    HCRYPTMSG msg = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
    ASSERT_NE(msg, nullptr);
    HCRYPTMSG copy = CryptMsgDuplicate(msg);
    EXPECT_EQ(copy, msg);
    EXPECT_TRUE(CryptMsgClose(msg));
    const Bytes m = Hex(kStart + " 00 00 31 00 00 00 00 00 00 00");
    EXPECT_TRUE(CryptMsgUpdate(copy, m.data(), static_cast<DWORD>(m.size()), TRUE));
    EXPECT_TRUE(CryptMsgClose(copy));
    EXPECT_FALSE(CryptMsgUpdate(copy, m.data(), 1, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    int local = 0;
    EXPECT_FALSE(CryptMsgClose(&local));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(CryptMsgOpenToDecode(kEncoding, 0, CMSG_DATA, 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), CRYPT_E_INVALID_MSG_TYPE);
}

// Without stream information the content is kept and read with CMSG_CONTENT_PARAM, on both sides.
TEST(MsgHandles, WithoutStreamInfo) {
    const KindCase& k = Kinds[2];
    Signer& s = SignerOf(k);
    const Bytes data = Pattern(1234, 8);
    CMSG_SIGNER_ENCODE_INFO signer{};
    signer.cbSize = sizeof signer;
    signer.pCertInfo = s.cert->pCertInfo;
    signer.hCryptProv = s.prov;
    signer.dwKeySpec = AT_SIGNATURE;
    signer.HashAlgorithm.pszObjId = const_cast<LPSTR>(k.hashOid);
    CMSG_SIGNED_ENCODE_INFO info{};
    info.cbSize = sizeof info;
    info.cSigners = 1;
    info.rgSigners = &signer;
    HCRYPTMSG enc = CryptMsgOpenToEncode(kEncoding, 0, CMSG_SIGNED, &info, nullptr, nullptr);
    ASSERT_NE(enc, nullptr);
    ASSERT_TRUE(CryptMsgUpdate(enc, data.data(), static_cast<DWORD>(data.size()), TRUE));
    const Bytes message = Param(enc, CMSG_CONTENT_PARAM);
    CryptMsgClose(enc);
    HCRYPTMSG dec = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
    ASSERT_TRUE(CryptMsgUpdate(dec, message.data(), static_cast<DWORD>(message.size()), TRUE));
    EXPECT_EQ(Param(dec, CMSG_CONTENT_PARAM), data);
    EXPECT_EQ(DwordParam(dec, CMSG_CERT_COUNT_PARAM), 0u);
    EXPECT_EQ(VerifyWith(dec, 0, s.cert.get()), 0u);
    CryptMsgClose(dec);
    // A signer whose provider holds no such key is refused when the message is opened.
    signer.dwKeySpec = AT_KEYEXCHANGE;
    EXPECT_EQ(CryptMsgOpenToEncode(kEncoding, 0, CMSG_SIGNED, &info, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), NTE_NO_KEY);
}

// ---- Bounded memory ------------------------------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMeasureMemory = false;  // the sanitizer's quarantine keeps freed blocks
#else
constexpr bool kMeasureMemory = true;
#endif

// A /proc/self/status value in KiB.
size_t StatusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::stoul(line.substr(std::strlen(field)));
    return 0;
}

struct Pipe {
    HCRYPTMSG decoder = nullptr;
    DWORD error = 0;
    uint64_t contentBytes = 0;
    uint64_t contentSum = 0;
};

// The encoder's output goes straight into a decoder, as a signing object reads back what it signs.
BOOL ToDecoder(const void* arg, BYTE* data, DWORD size, BOOL final) {
    auto* pipe = static_cast<Pipe*>(const_cast<void*>(arg));
    if (!pipe->error && !CryptMsgUpdate(pipe->decoder, data, size, final)) pipe->error = GetLastError();
    return TRUE;
}

BOOL CountContent(const void* arg, BYTE* data, DWORD size, BOOL) {
    auto* pipe = static_cast<Pipe*>(const_cast<void*>(arg));
    for (DWORD i = 0; i < size; ++i) pipe->contentSum = pipe->contentSum * 31 + data[i];
    pipe->contentBytes += size;
    return TRUE;
}

// An attached encoder of the kind's signer with a signing time, its output to `stream`; the signer's
// certificate goes into the message unless told otherwise.
HCRYPTMSG OpenEncoder(const KindCase& k, const Bytes& time, CMSG_STREAM_INFO* stream,
                      bool withCertificate = true) {
    Signer& s = SignerOf(k);
    CMSG_SIGNER_ENCODE_INFO signer{};
    signer.cbSize = sizeof signer;
    signer.pCertInfo = s.cert->pCertInfo;
    signer.hCryptProv = s.prov;
    signer.dwKeySpec = AT_SIGNATURE;
    signer.HashAlgorithm.pszObjId = const_cast<LPSTR>(k.hashOid);
    CRYPT_ATTR_BLOB timeBlob{static_cast<DWORD>(time.size()), const_cast<BYTE*>(time.data())};
    CRYPT_ATTRIBUTE timeAttr{const_cast<LPSTR>(szOID_RSA_signingTime), 1, &timeBlob};
    signer.cAuthAttr = 1;
    signer.rgAuthAttr = &timeAttr;
    CERT_BLOB certBlob{s.cert->cbCertEncoded, s.cert->pbCertEncoded};
    CMSG_SIGNED_ENCODE_INFO info{};
    info.cbSize = sizeof info;
    info.cSigners = 1;
    info.rgSigners = &signer;
    if (withCertificate) {
        info.cCertEncoded = 1;
        info.rgCertEncoded = &certBlob;
    }
    return CryptMsgOpenToEncode(kEncoding, 0, CMSG_SIGNED, &info, nullptr, stream);
}

// 64 MiB signed in 4 MiB blocks and read back as it is made: the content comes out whole and the
// signature verifies, while the process's peak memory grows by a few blocks at most.
TEST(MsgMemory, SignAndReadBackInBoundedMemory) {
    const KindCase& k = Kinds[0];
    Signer& s = SignerOf(k);
    constexpr size_t kBlock = 4u << 20;
    const size_t blocks = kMeasureMemory ? 16 : 4;
    Pipe pipe;
    CMSG_STREAM_INFO contentStream{CMSG_INDEFINITE_LENGTH, CountContent, &pipe};
    pipe.decoder = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, &contentStream);
    ASSERT_NE(pipe.decoder, nullptr);
    const Bytes time = EncodedTime(TimeOf(2026, 12, 11, 0, 0, 0));
    CMSG_STREAM_INFO outputStream{CMSG_INDEFINITE_LENGTH, ToDecoder, &pipe};
    HCRYPTMSG encoder = OpenEncoder(k, time, &outputStream, false);
    ASSERT_NE(encoder, nullptr);

    Bytes block(kBlock);
    uint64_t sum = 0;
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
    const size_t base = StatusKiB("VmRSS:");
    for (size_t b = 0; b < blocks; ++b) {
        block = Pattern(kBlock, static_cast<unsigned>(b));
        for (BYTE byte : block) sum = sum * 31 + byte;
        ASSERT_TRUE(CryptMsgUpdate(encoder, block.data(), kBlock, b + 1 == blocks))
            << std::hex << GetLastError();
    }
    const size_t peak = StatusKiB("VmHWM:");
    CryptMsgClose(encoder);
    ASSERT_EQ(pipe.error, 0u) << std::hex << pipe.error;
    EXPECT_EQ(pipe.contentBytes, blocks * kBlock);
    EXPECT_EQ(pipe.contentSum, sum);
    EXPECT_EQ(VerifyWith(pipe.decoder, 0, s.cert.get()), 0u);
    CryptMsgClose(pipe.decoder);
    // The kernel syncs the threads' resident counters lazily, so the peak can read a little below
    // the starting figure: that is no growth.
    if (kMeasureMemory) EXPECT_LT(peak > base ? peak - base : 0, 24u * 1024) << "KiB over " << base;
}

// ---- A decoder reading back its own encoder's output -----------------------------------------------

// The encoder's output kept and passed on to a decoder.
struct Tee {
    HCRYPTMSG decoder = nullptr;
    DWORD error = 0;
    Bytes output;
};

BOOL ToDecoderAndKept(const void* arg, BYTE* data, DWORD size, BOOL final) {
    auto* tee = static_cast<Tee*>(const_cast<void*>(arg));
    if (size) tee->output.insert(tee->output.end(), data, data + size);
    if (!tee->error && !CryptMsgUpdate(tee->decoder, data, size, final)) tee->error = GetLastError();
    return TRUE;
}

// Feeds `data` to the encoder in pieces of `piece` bytes, the last one final.
void Feed(HCRYPTMSG encoder, const Bytes& data, size_t piece) {
    size_t at = 0;
    do {
        const size_t n = std::min(piece, data.size() - at);
        ASSERT_TRUE(CryptMsgUpdate(encoder, data.data() + at, static_cast<DWORD>(n), at + n == data.size()))
            << std::hex << GetLastError();
        at += n;
    } while (at < data.size());
}

struct OwnOutputCase {
    const char* name;
    size_t dataSize;
    size_t piece;
    bool detachedFlag;  // the decoder opened detached, as the signed-data object does for a detached message
};

// A decoder told that it reads its encoder's output takes the encoder's digest: the signer verifies,
// the content comes out whole, and the same message verifies in a decoder that hashes the content
// itself and in openssl. The large contents are hashed on the encoder's own thread, in uneven pieces.
TEST(MsgOwnOutput, TakesTheEncodersDigest) {
    const OwnOutputCase cases[] = {
        {"small", 3000, 3000, false},
        {"large_unevenPieces", (5u << 20) + 123, (1u << 20) + 7, false},
        {"large_detachedFlag", (5u << 20) + 123, (1u << 20) + 7, true},
    };
    const KindCase& k = Kinds[0];
    const Signer& s = SignerOf(k);
    const Bytes time = EncodedTime(TimeOf(2026, 12, 11, 0, 0, 0));
    for (const OwnOutputCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes data = Pattern(c.dataSize, 21);
        Collected content;
        CMSG_STREAM_INFO contentStream{CMSG_INDEFINITE_LENGTH, Collect, &content};
        Tee tee;
        tee.decoder = CryptMsgOpenToDecode(kEncoding, c.detachedFlag ? CMSG_DETACHED_FLAG : 0, 0, 0, nullptr,
                                           &contentStream);
        CMSG_STREAM_INFO outputStream{CMSG_INDEFINITE_LENGTH, ToDecoderAndKept, &tee};
        HCRYPTMSG encoder = OpenEncoder(k, time, &outputStream);
        ASSERT_NE(encoder, nullptr);
        ASSERT_TRUE(VskCryptMsgReadEncoderOutput(tee.decoder, encoder)) << std::hex << GetLastError();
        Feed(encoder, data, c.piece);
        CryptMsgClose(encoder);
        ASSERT_EQ(tee.error, 0u) << std::hex << tee.error;
        EXPECT_TRUE(content.bytes == data);
        EXPECT_EQ(VerifyWith(tee.decoder, 0, s.cert.get()), 0u);
        CryptMsgClose(tee.decoder);

        Decoded plain;
        Decode(plain, tee.output, 1u << 20, false);
        ASSERT_EQ(plain.error, 0u) << std::hex << plain.error;
        EXPECT_EQ(VerifyWith(plain.msg, 0, s.cert.get()), 0u);
        const std::string file = std::string("own-") + c.name + ".der";
        WriteFile(file, tee.output);
        EXPECT_TRUE(Shell("openssl cms" + Engine() + " -verify -binary -inform DER -in " + file +
                          " -noverify -out /dev/null"));
    }
}

// The hint is only for a fresh decoder and an encoder; a decoder given another message than its
// encoder's whole output fails its final update, or, with a content of the same length, gives that
// message's signer no pass.
TEST(MsgOwnOutput, OnlyForTheEncodersWholeOutput) {
    const KindCase& k = Kinds[0];
    const Signer& s = SignerOf(k);
    const Bytes time = EncodedTime(TimeOf(2026, 12, 11, 0, 0, 0));
    const Bytes data = Pattern(3000, 4);
    Collected unused;
    CMSG_STREAM_INFO discard{CMSG_INDEFINITE_LENGTH, Collect, &unused};

    HCRYPTMSG encoder = OpenEncoder(k, time, &discard);
    ASSERT_NE(encoder, nullptr);
    HCRYPTMSG fed = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
    const BYTE first = 0x30;
    ASSERT_TRUE(CryptMsgUpdate(fed, &first, 1, FALSE));
    HCRYPTMSG fresh = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
    struct Refusal {
        const char* name;
        HCRYPTMSG decoder, encoder;
        DWORD error;
    };
    int local = 0;
    const Refusal refusals[] = {
        {"decoderWithInput", fed, encoder, static_cast<DWORD>(E_INVALIDARG)},
        {"encoderAsDecoder", encoder, encoder, static_cast<DWORD>(E_INVALIDARG)},
        {"decoderAsEncoder", fresh, fed, static_cast<DWORD>(E_INVALIDARG)},
        {"notAHandle", fresh, &local, static_cast<DWORD>(ERROR_INVALID_HANDLE)},
    };
    for (const Refusal& r : refusals) {
        EXPECT_FALSE(VskCryptMsgReadEncoderOutput(r.decoder, r.encoder)) << r.name;
        EXPECT_EQ(GetLastError(), r.error) << r.name;
    }
    CryptMsgClose(fed);
    CryptMsgClose(fresh);

    SignOptions o;
    o.signingTime = &time;
    Bytes sameLength = data;
    sameLength[100] ^= 0x01;
    struct Misfed {
        const char* name;
        bool encoderFinished;
        Bytes fedContent;  // the content of the message the decoder is given instead
        DWORD updateError, verifyError;
    };
    const Misfed misfed[] = {
        {"encoderUnfinished", false, data, CRYPT_E_MSG_ERROR, 0},
        {"shorterContent", true, Bytes(data.begin(), data.end() - 1), CRYPT_E_MSG_ERROR, 0},
        {"sameLengthOtherContent", true, sameLength, 0, CRYPT_E_HASH_VALUE},
    };
    Feed(encoder, data, 1000);
    for (const Misfed& m : misfed) {
        SCOPED_TRACE(m.name);
        HCRYPTMSG own = m.encoderFinished ? encoder : OpenEncoder(k, time, &discard);
        HCRYPTMSG decoder = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
        ASSERT_TRUE(VskCryptMsgReadEncoderOutput(decoder, own));
        const Bytes other = Sign(k, m.fedContent, o).bytes;
        const BOOL updated = CryptMsgUpdate(decoder, other.data(), static_cast<DWORD>(other.size()), TRUE);
        EXPECT_EQ(updated ? 0u : GetLastError(), m.updateError);
        if (updated) {
            EXPECT_EQ(VerifyWith(decoder, 0, s.cert.get()), m.verifyError);
        }
        CryptMsgClose(decoder);
        if (own != encoder) CryptMsgClose(own);
    }
    CryptMsgClose(encoder);
}

// The fuzz harness over its seed corpus, their prefixes and one-byte changes (the corpus also holds
// the inputs that once broke it).
TEST(MsgFuzzCorpus, Replays) {
    EXPECT_GE(VskTest::ReplayFuzzCorpus(VSK_MSG_CORPUS_DIR, 97, 61), 9u);
}

}  // namespace
