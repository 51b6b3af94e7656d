// Signers of messages made by the openssl command (GOST R 34.10-2012 keys), read from the platform
// decoder: their fields, verification statuses and format errors; time stamps made offline by
// `openssl ts` over a signer's signature value and embedded as its id-aa-timeStampToken attribute,
// checked through the time-stamp client library.
#include "SignatureImpl.h"
#include "TimeStampImpl.h"

#include <vsk/pki/CryptError.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/Signature.h>
#include <vsk/pki/SignedData.h>
#include <vsk/pki/TimeStamp.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/cryptmsg.h>

#include "testSupport.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

using Bytes = std::vector<uint8_t>;
using Vsk::PKI::CCertificate;
using Vsk::PKI::CSignature;
using Vsk::PKI::CSignatureVerifySettings;
using Vsk::PKI::CStampVerifySettings;
using Vsk::PKI::CTimeStamp;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The signer and the authorities; messages over data.bin, attached (twice: two signature values),
// detached and without the signer's certificate; OpenSSL's reading of the attached message.
const char* const kScript = R"(set -e
cd "$1"
cat > gost.cnf <<'END'
openssl_conf = oc
[oc]
engines = es
[es]
gost = gs
[gs]
dynamic_path = /usr/lib/x86_64-linux-gnu/engines-3/gost.so
default_algorithms = ALL
END
export OPENSSL_CONF="$PWD/gost.cnf"
q() { "$@" >>log.txt 2>&1; }
printf 'data signed by the signer\n' > data.bin
ext="-addext extendedKeyUsage=critical,timeStamping -addext basicConstraints=critical,CA:FALSE"
q openssl req -x509 -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout s.key -subj "/CN=Signer/O=Kestrovan" -md_gost12_256 -days 365 -set_serial 7 -addext subjectKeyIdentifier=hash -out s.pem
q openssl req -x509 -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout o.key -subj "/CN=Signer/O=Kestrovan" -md_gost12_256 -days 365 -set_serial 7 -out so.pem
q openssl req -x509 -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout t.key -subj "/CN=TSA/O=Kestrovan" -md_gost12_256 -days 365 -set_serial 10 $ext -out t.pem
q openssl req -x509 -key o.key -subj "/CN=TSA/O=Kestrovan" -md_gost12_256 -days 365 -set_serial 10 $ext -out o.pem
for f in s so t o; do openssl x509 -in $f.pem -outform DER -out $f.der; done
cat > tsa.cnf <<END
[tsa]
default_tsa = t
[t]
serial = t.serial
signer_cert = t.pem
signer_key = t.key
signer_digest = md_gost12_256
default_policy = 1.2.643.100.1
digests = md_gost12_256
accuracy = secs:1
ess_cert_id_alg = sha256
clock_precision_digits = 3
END
echo 01 > t.serial
sign() { q openssl cms -sign -binary -in data.bin -signer s.pem -inkey s.key -md md_gost12_256 -outform DER "$@"; }
sign -nodetach -out attached.der
sign -nodetach -out other.der
sign -out detached.der
sign -nodetach -nocerts -out nocert.der
sign -nodetach -noattr -out noattr.der
sign -nodetach -keyid -out keyid.der
sign -nodetach -keyid -nocerts -out keyid-nocert.der
openssl cms -cmsout -print -inform DER -in attached.der > attached.txt 2>>log.txt
openssl dgst -md_gost12_256 -binary data.bin > data.digest
)";

// Tokens over a signature value (sigval.bin, written by the test): with and without the authority's
// certificate; OpenSSL's reading of the first, and its own verdict.
const char* const kStampScript = R"(set -e
cd "$1"
export OPENSSL_CONF="$PWD/gost.cnf"
q() { "$@" >>log.txt 2>&1; }
q openssl ts -query -data sigval.bin -md_gost12_256 -cert -out s.tsq
q openssl ts -reply -config tsa.cnf -queryfile s.tsq -token_out -out stamp.der
q openssl ts -query -data sigval.bin -md_gost12_256 -out n.tsq
q openssl ts -reply -config tsa.cnf -queryfile n.tsq -token_out -out nocert-stamp.der
openssl ts -reply -in stamp.der -token_in -text > stamp.txt 2>>log.txt
q openssl ts -verify -data sigval.bin -in stamp.der -token_in -CAfile t.pem
)";

std::string Dir() {
    static const std::string dir = [] {
        const std::string d = VskTest::TempDir() + "/signature-fixtures";
        std::filesystem::create_directories(d);
        { std::ofstream(d + "/gen.sh") << kScript; }
        if (std::system(("bash '" + d + "/gen.sh' '" + d + "'").c_str()) != 0)
            ADD_FAILURE() << "fixture script failed: " << d << "/log.txt";
        return d;
    }();
    return dir;
}

std::string ReadText(const std::string& name) {
    std::ifstream in(Dir() + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

Bytes Read(const std::string& name) {
    const std::string text = ReadText(name);
    EXPECT_FALSE(text.empty()) << name;
    return Bytes(text.begin(), text.end());
}

CDataBlob Blob(const Bytes& bytes) {
    return CDataBlob(bytes.data(), bytes.size(), true);
}

Bytes ToBytes(const CDataBlob& blob) {
    return blob.getSize() ? Bytes(blob.getData(), blob.getData() + blob.getSize()) : Bytes();
}

// ---- A minimal DER tree, to add an unsigned attribute to a SignerInfo --------------------------------

struct Tlv {
    uint8_t tag = 0;
    Bytes content;          // primitive
    std::vector<Tlv> kids;  // constructed
};

size_t ParseOne(const Bytes& in, size_t at, Tlv& out);

std::vector<Tlv> ParseAll(const Bytes& in, size_t from, size_t to) {
    std::vector<Tlv> kids;
    while (from < to) {
        Tlv kid;
        from = ParseOne(in, from, kid);
        kids.push_back(std::move(kid));
    }
    return kids;
}

size_t ParseOne(const Bytes& in, size_t at, Tlv& out) {
    out.tag = in.at(at++);
    size_t length = in.at(at++);
    if (length & 0x80) {
        const size_t octets = length & 0x7F;
        length = 0;
        for (size_t i = 0; i < octets; ++i) length = (length << 8) | in.at(at++);
    }
    if (at + length > in.size()) throw std::out_of_range("DER length");
    if (out.tag & 0x20)
        out.kids = ParseAll(in, at, at + length);
    else
        out.content.assign(in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + length));
    return at + length;
}

void Write(const Tlv& node, Bytes& out) {
    Bytes body = node.content;
    for (const Tlv& kid : node.kids) Write(kid, body);
    out.push_back(node.tag);
    if (body.size() < 0x80) {
        out.push_back(static_cast<uint8_t>(body.size()));
    } else {
        Bytes length;
        for (size_t n = body.size(); n; n >>= 8) length.insert(length.begin(), static_cast<uint8_t>(n));
        out.push_back(static_cast<uint8_t>(0x80 | length.size()));
        out.insert(out.end(), length.begin(), length.end());
    }
    out.insert(out.end(), body.begin(), body.end());
}

Tlv Primitive(uint8_t tag, Bytes content) {
    Tlv node;
    node.tag = tag;
    node.content = std::move(content);
    return node;
}

Tlv Constructed(uint8_t tag, std::vector<Tlv> kids) {
    Tlv node;
    node.tag = tag;
    node.kids = std::move(kids);
    return node;
}

// The message with one more unsigned attribute of its first signer: the OID's contents and one value.
Bytes WithUnsigned(const Bytes& message, const Bytes& oid, const Tlv& value) {
    Tlv root;
    ParseOne(message, 0, root);
    Tlv& signedData = root.kids.at(1).kids.at(0);
    Tlv& signerInfos = signedData.kids.back();
    EXPECT_EQ(signerInfos.tag, 0x31);
    Tlv& signerInfo = signerInfos.kids.at(0);
    signerInfo.kids.push_back(
        Constructed(0xA1, {Constructed(0x30, {Primitive(0x06, oid), Constructed(0x31, {value})})}));
    Bytes out;
    Write(root, out);
    return out;
}

// The message with the token as the first signer's id-aa-timeStampToken (1.2.840.113549.1.9.16.2.14).
Bytes WithToken(const Bytes& message, const Bytes& token) {
    Tlv value;
    ParseOne(token, 0, value);
    return WithUnsigned(message, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10, 0x02, 0x0E}, value);
}

// ---- Messages through the platform decoder -----------------------------------------------------------

struct Decoded {
    Decoded() = default;
    Decoded(const Decoded&) = delete;
    Decoded& operator=(const Decoded&) = delete;
    ~Decoded() {
        if (store) CertCloseStore(store, 0);
        if (message) CryptMsgClose(message);
    }
    HCRYPTMSG message = nullptr;
    HCERTSTORE store = nullptr;
};

// Decodes a whole message (a detached one with `content` fed after it when not null) and puts its
// certificates into a memory store.
void Decode(const Bytes& bytes, Decoded& out, const Bytes* content = nullptr, bool detached = false) {
    out.message = CryptMsgOpenToDecode(kEncoding, detached ? CMSG_DETACHED_FLAG : 0, 0, 0, nullptr, nullptr);
    ASSERT_NE(out.message, nullptr);
    ASSERT_TRUE(CryptMsgUpdate(out.message, bytes.data(), static_cast<DWORD>(bytes.size()), TRUE))
        << std::hex << GetLastError();
    if (content) {
        ASSERT_TRUE(CryptMsgUpdate(out.message, content->data(), static_cast<DWORD>(content->size()), TRUE))
            << std::hex << GetLastError();
    }
    out.store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    ASSERT_NE(out.store, nullptr);
    DWORD count = 0;
    DWORD size = sizeof(count);
    ASSERT_TRUE(CryptMsgGetParam(out.message, CMSG_CERT_COUNT_PARAM, 0, &count, &size));
    for (DWORD i = 0; i < count; ++i) {
        DWORD certSize = 0;
        ASSERT_TRUE(CryptMsgGetParam(out.message, CMSG_CERT_PARAM, i, nullptr, &certSize));
        Bytes cert(certSize);
        ASSERT_TRUE(CryptMsgGetParam(out.message, CMSG_CERT_PARAM, i, cert.data(), &certSize));
        ASSERT_TRUE(CertAddEncodedCertificateToStore(out.store, X509_ASN_ENCODING, cert.data(), certSize,
                                                     CERT_STORE_ADD_ALWAYS, nullptr));
    }
}

// Signer 0 of a message.
CSignature Signer(const Bytes& message) {
    Decoded decoded;
    Decode(message, decoded);
    CSignature signature;
    if (decoded.message) signature.create(0, decoded.message, decoded.store);
    return signature;
}

// OpenSSL's reading of a time after `label`: "Dec 11 07:41:40[.835] 2026 GMT".
SYSTEMTIME OpensslTime(const std::string& text, const std::string& label) {
    SYSTEMTIME st{};
    const size_t at = text.find(label);
    if (at == std::string::npos) {
        ADD_FAILURE() << "no " << label;
        return st;
    }
    std::istringstream line(text.substr(at + label.size()));
    std::string month, clock;
    int day = 0, year = 0;
    line >> month >> day >> clock >> year;
    static const char* const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int i = 0; i < 12; ++i)
        if (month == Months[i]) st.wMonth = static_cast<WORD>(i + 1);
    int hour = 0, minute = 0, second = 0;
    char fraction[16] = {};
    EXPECT_GE(std::sscanf(clock.c_str(), "%d:%d:%d.%9[0-9]", &hour, &minute, &second, fraction), 3) << clock;
    st.wYear = static_cast<WORD>(year);
    st.wDay = static_cast<WORD>(day);
    st.wHour = static_cast<WORD>(hour);
    st.wMinute = static_cast<WORD>(minute);
    st.wSecond = static_cast<WORD>(second);
    st.wMilliseconds = static_cast<WORD>(std::stoi((std::string(fraction) + "000").substr(0, 3)));
    return st;
}

uint64_t Ticks(const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

uint64_t Ticks(const SYSTEMTIME& t) {
    FILETIME ft{};
    EXPECT_TRUE(SystemTimeToFileTime(&t, &ft));
    return Ticks(ft);
}

CCertificate Certificate(const std::string& derFile) {
    CCertificate cert(true);
    cert.LoadFromBlob(Blob(Read(derFile)));
    return cert;
}

// ---- Signers -----------------------------------------------------------------------------------------

// The fields of an openssl signer: algorithms, messageDigest, signing time, the certificate from the
// message; a good signature gives 0 and one changed content byte 1.
TEST(Signature, ReadsAndVerifiesOpensslSigner) {
    const Bytes message = Read("attached.der");
    CSignature signature = Signer(message);
    EXPECT_EQ(signature.get_Index(), 0u);
    EXPECT_STREQ(signature.get_DigestAlgorithm().c_str(), "1.2.643.7.1.1.2.2");
    EXPECT_STREQ(signature.get_SignatureAlgorithm().c_str(), "1.2.643.7.1.1.1.1");
    EXPECT_EQ(signature.get_SignatureValue().getSize(), 64u);
    EXPECT_EQ(ToBytes(signature.get_MessageDigest()), Read("data.digest"));
    FILETIME signingTime{};
    ASSERT_TRUE(signature.get_SigningTime(&signingTime));
    EXPECT_EQ(Ticks(signingTime), Ticks(OpensslTime(ReadText("attached.txt"), "UTCTIME:")));
    EXPECT_TRUE(signature.get_FoundInMessage());
    EXPECT_EQ(ToBytes(signature.get_SignerCert().get_Encoded()), Read("s.der"));
    EXPECT_FALSE(signature.hasTimeStamp());

    CSignatureVerifySettings settings;
    EXPECT_EQ(signature.Verify(&settings), 0u);
    EXPECT_EQ(VskTest::Thrown([&] { signature.Verify(nullptr); }).getErrorNumber(), 110101u);

    // One changed byte of the content.
    Bytes changed = message;
    const Bytes data = Read("data.bin");
    const auto at = std::search(changed.begin(), changed.end(), data.begin(), data.end());
    ASSERT_NE(at, changed.end());
    *at ^= 0x01;
    EXPECT_EQ(Signer(changed).Verify(&settings), 1u);
}

// A signer whose certificate is neither in the message nor in the stores is described by issuer and
// serial number and verifies as 3, unless the settings or the signer are given the certificate.
TEST(Signature, CertificateMissingGivesStatus3) {
    CSignature signature = Signer(Read("nocert.der"));
    EXPECT_FALSE(signature.get_FoundInMessage());
    EXPECT_EQ(signature.get_SignerCert().get_CertContext(), nullptr);
    CSignatureVerifySettings settings;
    EXPECT_EQ(signature.Verify(&settings), 3u);
    settings.getImpl()->m_signerCert = Certificate("s.der");
    EXPECT_EQ(signature.Verify(&settings), 0u);

    CSignatureVerifySettings plain;
    const CCertificate cert = Certificate("s.der");
    signature.put_SignerCert(&cert);
    EXPECT_EQ(signature.Verify(&plain), 0u);
    signature.put_SignerCert(nullptr);
    EXPECT_EQ(signature.Verify(&plain), 3u);
}

// A signer named by its key identifier: its certificate is found in the message by that identifier;
// without it in the message nothing describes it and Verify gives 3.
TEST(Signature, SignerByKeyIdentifier) {
    CSignatureVerifySettings settings;
    CSignature inMessage = Signer(Read("keyid.der"));
    EXPECT_TRUE(inMessage.get_FoundInMessage());
    EXPECT_EQ(ToBytes(inMessage.get_SignerCert().get_Encoded()), Read("s.der"));
    EXPECT_EQ(inMessage.Verify(&settings), 0u);
    CSignature missing = Signer(Read("keyid-nocert.der"));
    EXPECT_FALSE(missing.get_FoundInMessage());
    EXPECT_EQ(missing.get_SignerCert().get_CertContext(), nullptr);
    EXPECT_EQ(missing.Verify(&settings), 3u);
}

// A signer certificate missing from the message is looked up in the personal and address-book
// stores of the user, then of the computer.
TEST(Signature, CertificateFromTheSystemStores) {
    struct Case {
        const char16_t* store;
        DWORD location;
    };
    const Case cases[] = {
        {u"MY", CERT_SYSTEM_STORE_CURRENT_USER},
        {u"AddressBook", CERT_SYSTEM_STORE_CURRENT_USER},
        {u"MY", CERT_SYSTEM_STORE_LOCAL_MACHINE},
        {u"AddressBook", CERT_SYSTEM_STORE_LOCAL_MACHINE},
    };
    const Bytes message = Read("nocert.der");
    const Bytes der = Read("s.der");
    for (const Case& c : cases) {
        SCOPED_TRACE(VskTest::Utf8(c.store) +
                     (c.location == CERT_SYSTEM_STORE_CURRENT_USER ? " user" : " machine"));
        VskTest::TestRoot root;
        HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, c.location, c.store);
        ASSERT_NE(store, nullptr);
        EXPECT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                     static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS,
                                                     nullptr));
        CertCloseStore(store, 0);
        CSignature signature = Signer(message);
        EXPECT_FALSE(signature.get_FoundInMessage());
        EXPECT_EQ(ToBytes(signature.get_SignerCert().get_Encoded()), der);
        CSignatureVerifySettings settings;
        EXPECT_EQ(signature.Verify(&settings), 0u);
    }
}

// A detached message: with its content fed the signature verifies in full; read without its content
// (the signed-data object in state 3) only the signature over the signed attributes is checked.
TEST(Signature, DetachedWithAndWithoutContent) {
    const Bytes message = Read("detached.der");
    const Bytes data = Read("data.bin");
    CSignatureVerifySettings settings;
    {
        Decoded decoded;
        Decode(message, decoded, &data, true);
        CSignature signature;
        signature.create(0, decoded.message, decoded.store);
        EXPECT_EQ(signature.Verify(&settings), 0u);
    }
    {
        Decoded decoded;
        Decode(message, decoded, nullptr, true);
        const DWORD state = Vsk::PKI::SignedStateDetachedRead;
        CSignature signature(&state);
        signature.create(0, decoded.message, decoded.store);
        EXPECT_EQ(signature.Verify(&settings), 0u);
        // Another key under the same issuer and serial number: the attributes' signature fails.
        settings.getImpl()->m_signerCert = Certificate("so.der");
        EXPECT_EQ(signature.Verify(&settings), 1u);
    }
}

// A signingTime or messageDigest whose value carries another tag than its type requires is a format
// error, never a crash or a value taken: signed, the decoder refuses the message; an unsigned
// messageDigest (read when there is no signed one) fails create with 110203 and leaves the signer
// cleared. A well-formed unsigned messageDigest is taken.
TEST(Signature, MalformedAttributeIsFormatError) {
    const Bytes signedBy = Read("attached.der");
    const Bytes withoutAttributes = Read("noattr.der");
    const Bytes digestOid = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x04};
    const Bytes digest(32, 0x5A);
    struct Case {
        const char* name;
        Bytes message;
        DWORD decodeError;  // 0: the message decodes
        DWORD createError;  // error number of create, 0: none
    };
    auto patched = [&](uint8_t oidLast, uint8_t expectedTag, uint8_t badTag) {
        Bytes bad = signedBy;
        // The OID, then the SET of values (0x31, length), then the first value's tag.
        const Bytes pattern = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, oidLast, 0x31};
        const auto at = std::search(bad.begin(), bad.end(), pattern.begin(), pattern.end());
        EXPECT_NE(at, bad.end());
        if (at == bad.end()) return bad;
        const auto tag = at + static_cast<long>(pattern.size()) + 1;
        EXPECT_EQ(*tag, expectedTag);
        *tag = badTag;
        return bad;
    };
    const Case cases[] = {
        {"signed signingTime as OCTET STRING", patched(0x05, 0x17, 0x04), CRYPT_E_ASN1_BADTAG, 0},
        {"signed signingTime as INTEGER", patched(0x05, 0x17, 0x02), CRYPT_E_ASN1_BADTAG, 0},
        {"signed messageDigest as UTF8String", patched(0x04, 0x04, 0x0C), CRYPT_E_ASN1_BADTAG, 0},
        {"unsigned messageDigest as UTF8String",
         WithUnsigned(withoutAttributes, digestOid, Primitive(0x0C, digest)), 0, 110203},
        {"unsigned messageDigest as SEQUENCE",
         WithUnsigned(withoutAttributes, digestOid, Constructed(0x30, {Primitive(0x04, digest)})), 0, 110203},
        {"unsigned messageDigest well formed",
         WithUnsigned(withoutAttributes, digestOid, Primitive(0x04, digest)), 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HCRYPTMSG message = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
        ASSERT_NE(message, nullptr);
        const BOOL decoded =
            CryptMsgUpdate(message, c.message.data(), static_cast<DWORD>(c.message.size()), TRUE);
        EXPECT_EQ(decoded ? 0u : GetLastError(), c.decodeError);
        if (decoded) {
            CSignature signature;
            const auto error = VskTest::MaybeThrown([&] { signature.create(0, message, nullptr); });
            EXPECT_EQ(error ? error->getErrorNumber() : 0u, c.createError);
            if (c.createError) {
                EXPECT_EQ(signature.get_MessageDigest().getSize(), 0u);
                EXPECT_EQ(signature.get_SignatureValue().getSize(), 0u);
            } else {
                EXPECT_EQ(ToBytes(signature.get_MessageDigest()), digest);
                EXPECT_FALSE(signature.get_SigningTime(nullptr));
            }
        }
        CryptMsgClose(message);
    }
}

TEST(Signature, CreateWithoutMessage) {
    CSignature signature;
    EXPECT_EQ(VskTest::Thrown([&] { signature.create(0, nullptr, nullptr); }).getErrorNumber(), 110201u);
    EXPECT_EQ(signature.get_Index(), static_cast<DWORD>(-1));
}

// ---- Time stamps -------------------------------------------------------------------------------------

// The tokens over the attached message's signature value, made once.
void MakeStamps() {
    static const bool made = [] {
        const std::string d = Dir();
        const CDataBlob value = Signer(Read("attached.der")).get_SignatureValue();
        {
            std::ofstream out(d + "/sigval.bin", std::ios::binary);
            out.write(reinterpret_cast<const char*>(value.getData()), value.getSize());
        }
        { std::ofstream(d + "/stamp.sh") << kStampScript; }
        if (std::system(("bash '" + d + "/stamp.sh' '" + d + "'").c_str()) != 0)
            ADD_FAILURE() << "stamp script failed: " << d << "/log.txt";
        return true;
    }();
    (void)made;
}

// The token read from the signer verifies against its signature value, as openssl's verdict does;
// each way it can fail gives its status.
TEST(TimeStamp, StampsOnSigners) {
    MakeStamps();
    struct Case {
        const char* name;
        const char* message;  // the signer the token is embedded in
        const char* token;
        const char* stampCert;  // the settings' authority certificate, or null
        int mode;
        DWORD expected;
    };
    const Case cases[] = {
        {"valid, the stamp's own certificate", "attached.der", "stamp.der", nullptr, 1, 0},
        {"valid, certificate from the settings", "attached.der", "nocert-stamp.der", "t.der", 1, 0},
        {"another signature value", "other.der", "stamp.der", nullptr, 1, 201},
        {"another authority certificate", "attached.der", "stamp.der", "o.der", 1, 202},
        {"no certificate anywhere", "attached.der", "nocert-stamp.der", nullptr, 1, 203},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CSignature signature = Signer(WithToken(Read(c.message), Read(c.token)));
        ASSERT_TRUE(signature.hasTimeStamp());
        CStampVerifySettings settings;
        if (c.stampCert) settings.getImpl()->m_stampCert = Certificate(c.stampCert);
        settings.getImpl()->m_CertVerifyMode = c.mode;
        CTimeStamp stamp = signature.get_TimeStamp();
        EXPECT_EQ(stamp.Verify(&settings), c.expected);
        EXPECT_EQ(VskTest::Thrown([&] { stamp.Verify(nullptr); }).getErrorNumber(), 120002u);
    }
}

// Mode 2 verifies the authority's chain once the stamp's signature is valid: the result is the
// certificate's own status (a self-signed authority outside the trusted roots).
TEST(TimeStamp, ChainCheckInMode2) {
    MakeStamps();
    CSignature signature = Signer(WithToken(Read("attached.der"), Read("stamp.der")));
    CStampVerifySettings settings;
    settings.getImpl()->m_CertVerifyMode = 2;
    const Vsk::PKI::CCertVerifySettings certSettings;
    settings.getImpl()->m_certVerifySettings = certSettings;
    const DWORD chain =
        CCertificate::VerifyCertificate(Certificate("t.der").get_CertContext(), &certSettings);
    EXPECT_NE(chain, 0u);
    EXPECT_EQ(signature.get_TimeStamp().Verify(&settings), chain);
}

// The stamp's time is OpenSSL's; the signer verifies with its stamp.
TEST(TimeStamp, TimeEqualsOpenssl) {
    MakeStamps();
    CSignature signature = Signer(WithToken(Read("attached.der"), Read("stamp.der")));
    ASSERT_TRUE(signature.hasTimeStamp());
    const SYSTEMTIME expected = OpensslTime(ReadText("stamp.txt"), "Time stamp: ");
    SYSTEMTIME time{};
    signature.get_TimeStamp().get_Time(&time);
    EXPECT_EQ(Ticks(time), Ticks(expected));
    FILETIME fileTime{};
    signature.get_TimeStamp().get_FileTime(&fileTime);
    EXPECT_EQ(Ticks(fileTime), Ticks(expected));
    CSignatureVerifySettings settings;
    EXPECT_EQ(signature.Verify(&settings), 0u);
}

// A token that cannot be read fails create with 110203, the library's account of it kept; an empty handle's
// operations give their step codes and leave the time unfilled; Verify before any data were added
// compares no imprint.
TEST(TimeStamp, BadTokenAndEmptyHandle) {
    MakeStamps();
    Decoded decoded;
    Decode(WithToken(Read("attached.der"), Bytes{0x30, 0x03, 0x02, 0x01, 0x00}), decoded);
    CSignature signature;
    const CError error = VskTest::Thrown([&] { signature.create(0, decoded.message, decoded.store); });
    EXPECT_EQ(error.getErrorNumber(), 110203u);
    EXPECT_NE(VskTest::Utf8(error.getText()).find(VskTest::Utf8(u8"штампа времени")), std::string::npos)
        << VskTest::Utf8(error.getText());
    EXPECT_FALSE(signature.hasTimeStamp()) << "a failed import clears the stamp";

    const CDataBlob token = Blob(Read("stamp.der"));
    CTimeStamp empty;
    EXPECT_TRUE(empty.isEmpty());
    empty.release();
    EXPECT_EQ(VskTest::Thrown([&] { empty.Import(token); }).getErrorNumber(), 120101u);
    EXPECT_EQ(VskTest::Thrown([&] { empty.AddData(token); }).getErrorNumber(), 121101u);
    CStampVerifySettings settings;
    EXPECT_EQ(VskTest::Thrown([&] { empty.Verify(&settings); }).getErrorNumber(), 120701u);
    SYSTEMTIME time{};
    time.wYear = 1999;
    empty.get_Time(&time);
    EXPECT_EQ(time.wYear, 1999);
    FILETIME fileTime{1, 1};
    empty.get_FileTime(&fileTime);
    EXPECT_EQ(Ticks(fileTime), 0u);

    CTimeStamp fresh(true);
    EXPECT_EQ(VskTest::Thrown([&] { fresh.Verify(&settings); }).getErrorNumber(), 120001u);
    fresh.Import(token);
    EXPECT_FALSE(fresh.isEmpty());
    EXPECT_EQ(fresh.Verify(&settings), 0u);
    fresh.release();
    EXPECT_TRUE(fresh.isEmpty());
}

// With a certificate check mode other than 1 the signer's certificate status counts (at the given
// time, else the stamp's or the signing time), then RequireTimestamp (200) and the stamp's own result.
TEST(TimeStamp, SignerStatusesWhenTheCertificateIsChecked) {
    MakeStamps();
    VskTest::TestRoot root;
    {
        // The self-signed signer certificate becomes a trusted root of this test.
        HCERTSTORE store =
            CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"ROOT");
        ASSERT_NE(store, nullptr);
        const Bytes der = Read("s.der");
        EXPECT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                     static_cast<DWORD>(der.size()),
                                                     CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
        CertCloseStore(store, 0);
    }
    const CSignature plain = Signer(Read("attached.der"));
    const CSignature stamped = Signer(WithToken(Read("attached.der"), Read("stamp.der")));
    const FILETIME before{0, 0x01D5C0D0};  // 2020, before the certificate was issued
    struct Case {
        const char* name;
        const CSignature* signer;
        bool requireStamp;
        const char* stampCert;  // stamp settings present with this authority certificate ("" none)
        const FILETIME* time;
        DWORD expected;
    };
    const Case cases[] = {
        {"certificate valid", &plain, false, nullptr, nullptr, 0},
        {"no stamp, one required", &plain, true, nullptr, nullptr, 200},
        {"stamp required and present", &stamped, true, nullptr, nullptr, 0},
        {"stamp verified", &stamped, false, "", nullptr, 0},
        {"stamp of another authority", &stamped, false, "o.der", nullptr, 202},
        {"certificate not valid yet at the given time", &stamped, true, "", &before, 101},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CSignatureVerifySettings settings;
        auto* impl = settings.getImpl().get();
        impl->m_CertVerifyMode = 0;
        Vsk::PKI::CCertVerifySettings certSettings;
        certSettings.put_RevocationFlag(1);
        certSettings.put_RevocationMode(1);
        impl->m_certVerifySettings = certSettings;
        impl->m_RequireTimestamp = c.requireStamp;
        if (c.stampCert) {
            CStampVerifySettings stampSettings;
            if (*c.stampCert) stampSettings.getImpl()->m_stampCert = Certificate(c.stampCert);
            impl->m_stampVerifySettings = stampSettings;
        }
        EXPECT_EQ(c.signer->Verify(&settings, c.time), c.expected);
    }
}

// Signers as the signed-data object hands them out after reading: a stamped signer carries its
// stamp, and a detached message read without its content verifies over its signed attributes.
TEST(TimeStamp, SignersOfTheSignedDataObject) {
    MakeStamps();
    CSignatureVerifySettings settings;
    {
        Vsk::PKI::CSignedData reader;
        CDataBlob content;
        reader.ImportBlock(Blob(WithToken(Read("attached.der"), Read("stamp.der"))), &content, true);
        EXPECT_EQ(ToBytes(content), Read("data.bin"));
        CSignature* signature = reader.GetSignature(0);
        ASSERT_NE(signature, nullptr);
        ASSERT_TRUE(signature->hasTimeStamp());
        EXPECT_EQ(signature->Verify(&settings), 0u);
        CStampVerifySettings stampSettings;
        EXPECT_EQ(signature->get_TimeStamp().Verify(&stampSettings), 0u);
    }
    {
        Vsk::PKI::CSignedData reader;
        reader.ImportBlock(Blob(Read("detached.der")), nullptr, true);
        CSignature* signature = reader.GetSignature(0);
        ASSERT_NE(signature, nullptr);
        EXPECT_EQ(signature->Verify(&settings), 0u);
        settings.getImpl()->m_signerCert = Certificate("so.der");
        EXPECT_EQ(signature->Verify(&settings), 1u);
    }
}

// Without the time-stamp client library the signer reads with no stamp, and verifies.
TEST(TimeStamp, MissingLibraryReadsWithoutStamp) {
    MakeStamps();
    const Bytes message = WithToken(Read("attached.der"), Read("stamp.der"));
    Vsk::PKI::TSP::SetClientModule(u"libVskTspClientAbsent.so");
    CSignature signature = Signer(message);
    Vsk::PKI::TSP::SetClientModule(nullptr);
    EXPECT_FALSE(signature.hasTimeStamp());
    EXPECT_TRUE(signature.get_TimeStamp().isNull());
    CSignatureVerifySettings settings;
    EXPECT_EQ(signature.Verify(&settings), 0u);
    EXPECT_TRUE(Signer(message).hasTimeStamp()) << "the library is found again";
}

}  // namespace
