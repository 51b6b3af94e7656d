// Signing with a hash from another provider and the SignerInfo helpers beside it, with the openssl
// command as the oracle: rewritten messages verify in openssl, the road is taken only for a key in
// a provider named "HSM", and a detached message's signed attributes are checked without content.
#include <vsk/asn1/asn1.h>
#include <vsk/pki/Attributes.h>
#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/Hash.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/SignedData.h>
#include <vsk/platform/cryptmsg.h>
#include <vsk/utils/base64.h>

#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "ExtSigned.h"
#include "certificates/certificateFixtures.h"
#include "fakeProviders.h"
#include "testSupport.h"

#include <functional>
#include <map>
#include <string>

namespace {

using namespace Vsk::PKI;
using namespace Vsk::ASN1;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::string Dir() {
    return VskTest::TempDir();
}

std::string Path(const std::string& name) {
    return Dir() + "/" + name;
}

bool Shell(const std::string& command) {
    return std::system(("cd '" + Dir() + "' && (" + command + ") >/dev/null 2>&1 </dev/null").c_str()) == 0;
}

void WriteFile(const std::string& name, const CDataBlob& bytes) {
    std::ofstream out(Path(name), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.getData()), bytes.getSize());
}

CDataBlob Pattern(size_t size, unsigned seed) {
    CDataBlob out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        *out.at(i) = static_cast<BYTE>(x >> 16);
    }
    return out;
}

// The message of what `action` threw (empty when it threw nothing) and its error number.
std::pair<std::u16string, DWORD> Thrown(const std::function<void()>& action) {
    try {
        action();
    } catch (const CError& e) {
        return {e.getText().toU16(), e.getErrorNumber()};
    }
    return {};
}

bool Has(const std::u16string& text, const char16_t* part) {
    return text.find(part) != std::u16string::npos;
}

std::string Utf8(const std::u16string& text) {
    return VskTest::Utf8(text);
}

// SubjectPublicKeyInfo DER of an exported CERT_PUBLIC_KEY_INFO, for the openssl command.
std::string SpkiDer(const CERT_PUBLIC_KEY_INFO& info) {
    X509_PUBKEY* key = X509_PUBKEY_new();
    ASN1_OBJECT* obj = OBJ_txt2obj(info.Algorithm.pszObjId, 1);
    ASN1_TYPE* params = nullptr;
    if (info.Algorithm.Parameters.cbData) {
        const unsigned char* p = info.Algorithm.Parameters.pbData;
        params = d2i_ASN1_TYPE(nullptr, &p, static_cast<long>(info.Algorithm.Parameters.cbData));
    }
    auto* bits = static_cast<unsigned char*>(OPENSSL_memdup(info.PublicKey.pbData, info.PublicKey.cbData));
    X509_PUBKEY_set0_param(key, obj, params ? params->type : V_ASN1_UNDEF,
                           params ? params->value.ptr : nullptr, bits,
                           static_cast<int>(info.PublicKey.cbData));
    if (params) {
        params->value.ptr = nullptr;
        ASN1_TYPE_free(params);
    }
    std::string out(static_cast<size_t>(i2d_X509_PUBKEY(key, nullptr)), '\0');
    auto* p = reinterpret_cast<unsigned char*>(out.data());
    i2d_X509_PUBKEY(key, &p);
    X509_PUBKEY_free(key);
    return out;
}

// A signature key in a new container of the named provider, a certificate that openssl issues for
// it, and that certificate linked to the container.
struct Signer {
    DWORD type = 0;
    std::u16string provider;
    std::u16string container;
    HCRYPTPROV prov = 0;
    CCertificate cert{true};
    std::string pem;
};

Signer MakeSigner(const std::string& name, DWORD type, const std::u16string& provider, const char* pin = "") {
    Signer s;
    s.type = type;
    s.provider = provider;
    s.container = VskTest::Utf16("ext-" + name);
    EXPECT_TRUE(CryptAcquireContextW(&s.prov, s.container.c_str(), provider.c_str(), type,
                                     CRYPT_NEWKEYSET | CRYPT_SILENT))
        << std::hex << GetLastError();
    if (*pin) {
        EXPECT_TRUE(CryptSetProvParam(s.prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(pin), 0));
    }
    HCRYPTKEY key = 0;
    EXPECT_TRUE(CryptGenKey(s.prov, AT_SIGNATURE, type == PROV_RSA_FULL ? (2048u << 16) : 0, &key));
    CryptDestroyKey(key);
    DWORD size = 0;
    EXPECT_TRUE(CryptExportPublicKeyInfo(s.prov, AT_SIGNATURE, kEncoding, nullptr, &size));
    std::string info(size, '\0');
    EXPECT_TRUE(CryptExportPublicKeyInfo(s.prov, AT_SIGNATURE, kEncoding,
                                         reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data()), &size));
    const std::string spki = SpkiDer(*reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(info.data()));
    WriteFile(name + ".spki", CDataBlob(spki.data(), spki.size(), true));
    EXPECT_TRUE(
        Shell("test -f ext-issuer.key || openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "
              "ext-issuer.key"));
    EXPECT_TRUE(Shell("openssl pkey -engine gost -pubin -inform DER -in " + name + ".spki -out " + name +
                      ".pub.pem && openssl x509 -engine gost -new -subj '/CN=" + name +
                      "' -key ext-issuer.key -set_serial 0x00C0FFEE01 -force_pubkey " + name +
                      ".pub.pem -days 30 -outform DER -out " + name +
                      ".cer && openssl x509 -inform DER -in " + name + ".cer -out " + name + ".pem"));
    s.pem = name + ".pem";
    s.cert.LoadFromBlob(CertFixture::readFile(Path(name + ".cer")));
    EXPECT_TRUE(s.cert.setKeyProvInfo(type, CWString(provider.c_str()), CWString(s.container.c_str()),
                                      AT_SIGNATURE, false, true, false));
    return s;
}

CSignSettings SettingsOf(const Signer& s, const char* hashOid) {
    CSignSettings settings;
    settings.put_SignerCert(&s.cert);
    settings.getImpl()->m_hashAlgorithm = CAString(hashOid);
    settings.get_CommonSettings().put_Silent(true);
    return settings;
}

// An attached message over empty content by the platform's encoder, with a signing time: the
// template that a hardware module signs on the external-hash road.
CDataBlob EmptyTemplate(const Signer& s, const char* hashOid) {
    CMSG_SIGNER_ENCODE_INFO signer{};
    signer.cbSize = sizeof signer;
    PCCERT_CONTEXT context = s.cert.get_CertContext();
    signer.pCertInfo = context->pCertInfo;
    signer.hCryptProv = s.prov;
    signer.dwKeySpec = AT_SIGNATURE;
    signer.HashAlgorithm.pszObjId = const_cast<LPSTR>(hashOid);
    const CDataBlob time = CSignedData::getSigningTimeBlob(nullptr);
    CRYPT_ATTR_BLOB timeBlob{time.getSize(), time.getData()};
    CRYPT_ATTRIBUTE timeAttr{const_cast<LPSTR>(szOID_RSA_signingTime), 1, &timeBlob};
    signer.cAuthAttr = 1;
    signer.rgAuthAttr = &timeAttr;
    CERT_BLOB certBlob{context->cbCertEncoded, context->pbCertEncoded};
    CMSG_SIGNED_ENCODE_INFO info{};
    info.cbSize = sizeof info;
    info.cSigners = 1;
    info.rgSigners = &signer;
    info.cCertEncoded = 1;
    info.rgCertEncoded = &certBlob;
    CDataBlob out;
    CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH,
                            [](const void* arg, BYTE* data, DWORD size, BOOL) -> BOOL {
                                static_cast<CDataBlob*>(const_cast<void*>(arg))->appendData(size, data);
                                return TRUE;
                            },
                            &out};
    HCRYPTMSG msg = CryptMsgOpenToEncode(kEncoding, 0, CMSG_SIGNED, &info, nullptr, &stream);
    EXPECT_TRUE(msg);
    EXPECT_TRUE(CryptMsgUpdate(msg, nullptr, 0, TRUE));
    CryptMsgClose(msg);
    return out;
}

// Whether openssl verifies the detached message `message` over `data` (the signer's certificate is
// in the message; its chain is not the point here).
bool OpensslVerifies(const CDataBlob& message, const CDataBlob& data, const std::string& tag) {
    WriteFile(tag + ".p7s", message);
    WriteFile(tag + ".bin", data);
    return Shell("openssl cms -verify -engine gost -binary -inform DER -in " + tag + ".p7s -content " + tag +
                 ".bin -noverify -out /dev/null");
}

// The platform decoder's verdict on a detached message and its content: 0, or the control's error.
DWORD PlatformVerifies(const CDataBlob& message, const CDataBlob& data, const CCertificate& cert) {
    HCRYPTMSG msg = CryptMsgOpenToDecode(kEncoding, CMSG_DETACHED_FLAG, 0, 0, nullptr, nullptr);
    if (!msg) return GetLastError();
    DWORD result = 0;
    if (!CryptMsgUpdate(msg, message.getData(), message.getSize(), TRUE) ||
        !CryptMsgUpdate(msg, data.getData(), data.getSize(), TRUE)) {
        result = GetLastError();
    } else {
        CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para{};
        para.cbSize = sizeof para;
        para.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
        para.pvSigner = const_cast<CERT_CONTEXT*>(cert.get_CertContext());
        if (!CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para)) result = GetLastError();
    }
    CryptMsgClose(msg);
    return result;
}

// The messageDigest value of the first SignerInfo.
CDataBlob MessageDigestOf(const CDataBlob& message, const CCertificate& cert, size_t* position = nullptr) {
    CSequence contentInfo;
    CSet* signerInfos = getSignerInfos(message, contentInfo);
    CConstructed* attributes = getAuthenticatedAttributes(signerInfos, cert, nullptr, nullptr, nullptr);
    if (!attributes) return {};
    for (size_t i = 0; i < attributes->getCount(); ++i) {
        auto* attribute = castToSequence(attributes->getItem(i));
        if (castToObjectId(attribute->getItem(0))->getValue() != CAString("1.2.840.113549.1.9.4")) continue;
        if (position) *position = i;
        return castToOctetString(castToSet(attribute->getItem(1))->getItem(0))->getValue();
    }
    return {};
}

CDataBlob Sha256OrGost(const CDataBlob& data, const char* md) {
    WriteFile("digest-input.bin", data);
    const std::string hex = CertFixture::run("cd '" + Dir() + "' && openssl dgst -engine gost -" + md +
                                             " -r digest-input.bin 2>/dev/null | cut -d' ' -f1");
    CDataBlob out;
    out.fromHex(hex.substr(0, hex.find_first_of(" \n")).c_str());
    return out;
}

class ExtSignedRoad : public ::testing::Test {
protected:
    static Signer& Gost() {
        static Signer s = MakeSigner("gost256", PROV_GOST_2012_256, u"");
        return s;
    }
};

// The hash in any of its three forms becomes the messageDigest, the attributes are signed again,
// and the result is a detached message that openssl and the platform decoder both accept; a hash of
// the wrong length is refused with the digest's name and both sizes.
TEST_F(ExtSignedRoad, ReplaceDataHashTakesRawHexAndBase64) {
    Signer& s = Gost();
    const char* oid = "1.2.643.7.1.1.2.2";
    const CDataBlob data = Pattern(5000, 1);
    const CDataBlob digest = Sha256OrGost(data, "md_gost12_256");
    ASSERT_EQ(digest.getSize(), 32u);
    const CDataBlob hex = CDataBlob(digest.toHex());
    const CDataBlob base64 = CDataBlob(Vsk::Utils::Base64Enc(digest, Vsk::Utils::Base64NoLineBreaks));
    ASSERT_EQ(hex.getSize(), 64u);
    ASSERT_EQ(base64.getSize(), 44u);
    const CSignSettings settings = SettingsOf(s, oid);
    const CDataBlob templ = EmptyTemplate(s, oid);
    const struct {
        const char* name;
        CDataBlob hash;
    } forms[] = {{"raw", digest}, {"hex", hex}, {"base64", base64}};
    for (const auto& form : forms) {
        SCOPED_TRACE(form.name);
        CDataBlob out;
        ReplaceDataHash(out, templ, settings, form.hash);
        EXPECT_EQ(MessageDigestOf(out, s.cert), digest);
        EXPECT_TRUE(CSignedData::IsDetached(out));
        EXPECT_TRUE(OpensslVerifies(out, data, std::string("replaced-") + form.name));
        EXPECT_EQ(PlatformVerifies(out, data, s.cert), 0u);
        EXPECT_EQ(verifySignedAttributes(out, s.cert), 0u);
    }
    // The template itself names the empty content's digest: openssl refuses it for the data.
    EXPECT_FALSE(OpensslVerifies(templ, data, "template"));

    CDataBlob out;
    const auto [text, number] =
        Thrown([&] { ReplaceDataHash(out, templ, settings, digest.getBlock(0, 31)); });
    EXPECT_EQ(number, 101110u);
    EXPECT_TRUE(Has(text, u" должен быть 32 байт, а не 31 байт.")) << Utf8(text);
    EXPECT_TRUE(Has(text, u"Размер хэша данных по ГОСТ Р 34.11-2012 256 бит должен")) << Utf8(text);

    CSignSettings noSigner;
    const auto [noSignerText, noSignerNumber] =
        Thrown([&] { ReplaceDataHash(out, templ, noSigner, digest); });
    EXPECT_EQ(noSignerNumber, 101110u);
    EXPECT_TRUE(Has(noSignerText, u"Не задан сертификат подписанта.")) << Utf8(noSignerText);
}

// Signed attributes without a messageDigest get one appended after the others.
TEST_F(ExtSignedRoad, ReplaceDataHashAppendsMissingMessageDigest) {
    Signer& s = Gost();
    const char* oid = "1.2.643.7.1.1.2.2";
    CDataBlob templ = EmptyTemplate(s, oid);
    // The template without its messageDigest attribute.
    CSequence contentInfo;
    CConstructed* attributes =
        getAuthenticatedAttributes(getSignerInfos(templ, contentInfo), s.cert, nullptr, nullptr, nullptr);
    ASSERT_TRUE(attributes);
    CConstructed kept(0, 0x80);
    for (size_t i = 0; i < attributes->getCount(); ++i) {
        auto* attribute = castToSequence(attributes->getItem(i));
        if (castToObjectId(attribute->getItem(0))->getValue() != CAString("1.2.840.113549.1.9.4"))
            kept.addItem(*attribute);
    }
    const size_t others = kept.getCount();
    attributes->clear();
    for (size_t i = 0; i < others; ++i) attributes->addItem(*kept.getItem(i));
    templ = contentInfo.encode();
    ASSERT_TRUE(MessageDigestOf(templ, s.cert).getSize() == 0);

    const CDataBlob data = Pattern(100, 2);
    const CDataBlob digest = Sha256OrGost(data, "md_gost12_256");
    CDataBlob out;
    ReplaceDataHash(out, templ, SettingsOf(s, oid), digest);
    size_t position = 0;
    EXPECT_EQ(MessageDigestOf(out, s.cert, &position), digest);
    EXPECT_EQ(position, others);
    EXPECT_TRUE(OpensslVerifies(out, data, "appended"));
}

// The signature over the signed attributes of a detached message read without its content: valid,
// a changed attribute, and a certificate that did not sign.
TEST_F(ExtSignedRoad, VerifySignedAttributesOfDetachedMessage) {
    const CertFixture::Made made =
        CertFixture::make("ext-openssl-signer", CertFixture::Key::Gost256, "/CN=ext signer");
    const std::string key = (CertFixture::folder() / "ext-openssl-signer.key").string();
    WriteFile("detached.bin", Pattern(3000, 3));
    ASSERT_TRUE(Shell("openssl cms -sign -engine gost -binary -md md_gost12_256 -signer " +
                      CertFixture::quote(made.pem.string()) + " -inkey " + CertFixture::quote(key) +
                      " -in detached.bin -outform DER -out detached.p7s"));
    const CDataBlob message = CertFixture::readFile(Path("detached.p7s"));
    CCertificate cert(true);
    cert.LoadFromBlob(made.derBytes());
    EXPECT_EQ(verifySignedAttributes(message, cert), 0u);

    // One digit of the signing time changed (UTCTime "YYMMDDhhmmssZ": the tens of seconds). The
    // signing time is the last UTCTime of the message: the certificate's come before it.
    CDataBlob tampered = message.clone();
    DWORD last = 0;
    for (DWORD i = 0; i + 15 <= tampered.getSize(); ++i)
        if (tampered.getAt(i) == 0x17 && tampered.getAt(i + 1) == 13 && tampered.getAt(i + 14) == 'Z')
            last = i;
    ASSERT_NE(last, 0u);
    BYTE& digit = *tampered.at(last + 12);
    digit = digit == '0' ? '1' : '0';
    EXPECT_EQ(verifySignedAttributes(tampered, cert), static_cast<DWORD>(NTE_BAD_SIGNATURE));

    CCertificate other(true);
    other.LoadFromBlob(Gost().cert.get_Encoded());
    const auto [text, number] = Thrown([&] { verifySignedAttributes(message, other); });
    EXPECT_EQ(text.rfind(u"Отсутствует подпись сертификатом: ", 0), 0u) << Utf8(text);
}

// A SignerInfo belongs to a certificate when its serial (big-endian in DER, little-endian as
// CryptoAPI keeps it) and its issuer's raw bytes both match.
TEST_F(ExtSignedRoad, IsCorrespondComparesSerialAndIssuer) {
    Signer& s = Gost();
    PCCERT_CONTEXT context = s.cert.get_CertContext();
    const CDataBlob issuer(context->pCertInfo->Issuer.pbData, context->pCertInfo->Issuer.cbData, true);
    CDataBlob serialBe = s.cert.get_SerialNumberBlob().clone();
    serialBe.reverse();
    ASSERT_EQ(serialBe.getAt(0), 0x00);  // the sign byte of 0x00C0FFEE01 takes part in the match
    CNode issuerNode;
    issuerNode.decode(issuer);
    CCertificate stranger(true);
    stranger.LoadFromBlob(
        CertFixture::make("ext-stranger", CertFixture::Key::Gost256, "/CN=stranger", "0x00C0FFEE01")
            .derBytes());
    CNode otherIssuer;
    otherIssuer.decode(stranger.get_Issuer()->toX501Name(false));

    auto signerInfo = [](const CNode& issuerName, const CDataBlob& serial) {
        CSequence sid;
        sid.addItem(issuerName);
        CDataBlob le = serial.clone();
        le.reverse();
        sid.addItem(CInteger(le));
        CSequence si;
        si.addItem(CInteger(1));
        si.addItem(sid);
        return si;
    };
    CDataBlob otherSerial = serialBe.clone();
    *otherSerial.at(otherSerial.getSize() - 1) ^= 1;
    CDataBlob shortSerial = serialBe.getBlock(1);  // without the sign byte
    CSequence skiSigner;
    skiSigner.addItem(CInteger(3));
    skiSigner.addItem(CUnknown(0, 0x80, CDataBlob("\x01\x02", 2, true)));
    const struct {
        const char* name;
        CSequence si;
        bool expected;
    } rows[] = {
        {"same", signerInfo(issuerNode, serialBe), true},
        {"other serial", signerInfo(issuerNode, otherSerial), false},
        {"serial without sign byte", signerInfo(issuerNode, shortSerial), false},
        {"other issuer", signerInfo(otherIssuer, serialBe), false},
        {"subject key identifier", skiSigner, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CSequence si = row.si;
        EXPECT_EQ(isCorrespond(&si, s.cert), row.expected);
    }
}

// Malformed SignerInfos and messages are refused with the texts that say what is wrong; SignerInfos
// of other certificates give null.
TEST_F(ExtSignedRoad, SignerInfoErrors) {
    Signer& s = Gost();
    const CDataBlob templ = EmptyTemplate(s, "1.2.643.7.1.1.2.2");
    CSequence contentInfo;

    const auto [cut, cutNumber] =
        Thrown([&] { getSignerInfos(templ.getBlock(0, templ.getSize() / 2), contentInfo); });
    EXPECT_EQ(cut, u"подпись должна быть целиком") << Utf8(cut);
    const auto [notSigned, notSignedNumber] =
        Thrown([&] { getSignerInfos(s.cert.get_Encoded(), contentInfo); });
    EXPECT_EQ(notSignedNumber, 101203u) << Utf8(notSigned);

    CCertificate stranger(true);
    stranger.LoadFromBlob(
        CertFixture::make("ext-stranger", CertFixture::Key::Gost256, "/CN=stranger", "0x00C0FFEE01")
            .derBytes());
    CSet* signerInfos = getSignerInfos(templ, contentInfo);
    EXPECT_EQ(getAuthenticatedAttributes(signerInfos, stranger, nullptr, nullptr, nullptr), nullptr);

    const auto [noSet, noSetNumber] =
        Thrown([&] { getAuthenticatedAttributes(nullptr, s.cert, nullptr, nullptr, nullptr); });
    EXPECT_TRUE(Has(noSet, u"Отсутствуют подписанты")) << Utf8(noSet);

    // One SignerInfo changed per row: the error text that names what is wrong.
    const CSequence original = *castToSequence(signerInfos->getItem(0));
    const struct {
        const char* name;
        std::function<void(CSequence&)> change;
        const char16_t* text;
    } rows[] = {
        {"three elements",
         [](CSequence& si) {
             CSequence shortened;
             for (size_t i = 0; i < 3; ++i) shortened.addItem(*si.getItem(i));
             si = shortened;
         },
         u"Неверная подпись 0"},
        {"empty digest algorithm", [](CSequence& si) { si.setItem(2, CSequence()); },
         u"Не верный формат CMS Signed-data: DigestAlgorithmIdentifier"},
        {"digest algorithm without OID",
         [](CSequence& si) {
             CSequence algorithm;
             algorithm.addItem(CNull());
             si.setItem(2, algorithm);
         },
         u"Не верный формат CMS Signed-data: DigestAlgorithmIdentifier.algorithm"},
        {"no signed attributes", [](CSequence& si) { si.setItem(3, CSequence()); }, u"Неверная подпись 0"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CSequence si;
        si.decode(original.encode());
        row.change(si);
        CSet set;
        set.addItem(si);
        const auto [text, number] =
            Thrown([&] { getAuthenticatedAttributes(&set, s.cert, nullptr, nullptr, nullptr); });
        EXPECT_TRUE(Has(text, row.text)) << Utf8(text);
    }
}

// The road's own steps on a bare CExtSigned: unarmed it leaves blocks to the ordinary road; a
// signer is required; an encoder that cannot finish gives false with the last error, except for a
// PIN (or cancel) code, which is raised.
TEST_F(ExtSignedRoad, StepsAndEncoderFailures) {
    CHash hash;
    CSignSettings settings;
    HCRYPTMSG message = nullptr;
    CDataBlob output;
    DWORD outputCount = 0;
    CExtSigned road(&hash, &settings, &message, &output, &outputCount);
    CDataBlob out;
    EXPECT_FALSE(road.hsmOptimSignBlock(Pattern(10, 7), out, true));
    EXPECT_EQ(Thrown([&] { road.hsmOptimSignStart(settings); }).second, 101602u);

    SetLastError(0);
    EXPECT_FALSE(road.cmsSignHash(Pattern(32, 8), out));
    EXPECT_NE(GetLastError(), 0u);

    // A password-protected key on a silent context: the encoder's signature asks for the PIN.
    Signer locked = MakeSigner("locked256", PROV_GOST_2012_256, u"", "secret");
    CryptReleaseContext(locked.prov, 0);
    ASSERT_TRUE(CryptAcquireContextW(&locked.prov, locked.container.c_str(), nullptr, PROV_GOST_2012_256,
                                     CRYPT_SILENT));
    const char* oid = "1.2.643.7.1.1.2.2";
    CMSG_SIGNER_ENCODE_INFO signer{};
    signer.cbSize = sizeof signer;
    signer.pCertInfo = locked.cert.get_CertContext()->pCertInfo;
    signer.hCryptProv = locked.prov;
    signer.dwKeySpec = AT_SIGNATURE;
    signer.HashAlgorithm.pszObjId = const_cast<LPSTR>(oid);
    CMSG_SIGNED_ENCODE_INFO info{};
    info.cbSize = sizeof info;
    info.cSigners = 1;
    info.rgSigners = &signer;
    CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH,
                            [](const void*, BYTE*, DWORD, BOOL) -> BOOL { return TRUE; }, nullptr};
    message = CryptMsgOpenToEncode(kEncoding, 0, CMSG_SIGNED, &info, nullptr, &stream);
    ASSERT_TRUE(message);
    DWORD code = 0;
    try {
        road.cmsSignHash(Pattern(32, 9), out);
    } catch (const CError& e) {
        code = static_cast<DWORD>(e.getCode());
    }
    EXPECT_EQ(code, NTE_SILENT_CONTEXT);
    EXPECT_EQ(message, nullptr);  // closed either way
}

// The road through the signed-data object: with the key in a provider whose name has "HSM" the data
// are hashed block by block elsewhere and the detached message verifies in openssl and in the
// platform decoder; attached output is not available on this road. A provider of the same type
// without "HSM" keeps the ordinary road, where attached signing works.
TEST_F(ExtSignedRoad, SignedDataTakesTheRoadOnlyForHsmProviders) {
    VskTest::UseFakeProviders(
        "[provider]\ntype = 1\nname = Test HSM Provider\nkeeps_containers = yes\n"
        "[provider]\ntype = 1\nname = Test Soft Provider\nkeeps_containers = yes\n");
    ClearCspAlgInfo();
    const char* sha256 = "2.16.840.1.101.3.4.2.1";
    Signer hsm = MakeSigner("hsm-rsa", PROV_RSA_FULL, u"Test HSM Provider");
    Signer soft = MakeSigner("soft-rsa", PROV_RSA_FULL, u"Test Soft Provider");
    const CDataBlob blocks[] = {Pattern(70000, 4), Pattern(1, 5), Pattern(4096, 6)};
    CDataBlob data;
    for (const CDataBlob& b : blocks) data.appendBlob(b);

    CSignSettings settings = SettingsOf(hsm, sha256);
    settings.getImpl()->m_flags |= CSignSettings::FlagHSMToCSPOptimization;
    CSignedData signedData(true);
    signedData.SignStart(settings);
    CDataBlob message;
    for (size_t i = 0; i < std::size(blocks); ++i) {
        CDataBlob out;
        signedData.SignBlock(blocks[i], &out, i + 1 == std::size(blocks));
        if (i + 1 < std::size(blocks)) {
            EXPECT_EQ(out.getSize(), 0u);
        }
        message.appendBlob(out);
    }
    EXPECT_TRUE(OpensslVerifies(message, data, "hsm-road"));
    EXPECT_EQ(PlatformVerifies(message, data, hsm.cert), 0u);
    EXPECT_EQ(MessageDigestOf(message, hsm.cert), Sha256OrGost(data, "sha256"));

    settings.put_Detached(false);
    const auto [attached, number] = Thrown([&] {
        CDataBlob out;
        signedData.SignStart(settings);
        signedData.SignBlock(data, &out, true);
    });
    EXPECT_EQ(attached.rfind(u"Не реализовано, не было необходимости. ", 0), 0u) << Utf8(attached);

    CSignSettings ordinary = SettingsOf(soft, sha256);
    ordinary.getImpl()->m_flags |= CSignSettings::FlagHSMToCSPOptimization;
    ordinary.put_Detached(false);
    CDataBlob out;
    signedData.SignStart(ordinary);
    signedData.SignBlock(data, &out, true);
    WriteFile("ordinary.p7s", out);
    EXPECT_TRUE(
        Shell("openssl cms -verify -binary -inform DER -in ordinary.p7s -noverify -out ordinary.out && "
              "cmp -s ordinary.out hsm-road.bin"));

    VskTest::UseBuiltInProviders();
    ClearCspAlgInfo();
}

}  // namespace
