// Key containers of a token presented as a provider, on the GOST test token loaded as a configured
// PKCS#11 library: the container list and details, the PIN, random bytes, installing the token's
// certificate into "MY", finding its private key from the certificate, and deleting a container.
#include <vsk/pkcs11/Token.h>
#include <vsk/pkcs11/TokenKeyPair.h>
#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/Csp.h>
#include <vsk/pki/KeyContainer.h>
#include <vsk/pki/Password.h>
#include <vsk/pki/TokenAsCsp.h>
#include <vsk/platform/cert.h>
#include <vsk/utils/error.h>
#include <vsk/utils/global.h>

#include "catalogueTestSupport.h"
#include "gostTokenControl.h"
#include "gostTokenSigner.h"

#include <set>

namespace {

using catalogue_test::U16;
using catalogue_test::W;
using GostTest::Bytes;
using Vsk::PKI::CCertificate;
using Vsk::PKI::CCsp;
using Vsk::PKI::CKeyContainer;
using Vsk::PKI::CPassword;
using Vsk::PKI::CSPInfo;
using Vsk::Utils::CArray;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;
using VskTest::TokenSigner;

constexpr const char* TokenName = "Test Reader 0 - GT-1 - 0001";
constexpr const char* SignerLabel = "signer";

Bytes BytesOf(const CDataBlob& blob) {
    return Bytes(blob.getData(), blob.getData() + blob.getSize());
}

CDataBlob BlobOf(const Bytes& bytes) {
    CDataBlob blob(bytes.size());
    std::copy(bytes.begin(), bytes.end(), blob.getData());
    return blob;
}

CPassword Pin(const char16_t* text) {
    CPassword password;
    CWString value(text);
    password.putPassword(value);
    return password;
}

// Objects of one class on the token of slot 0, private ones included.
size_t CountObjects(const VskTest::GostTokenModule& module, CK_OBJECT_CLASS cls) {
    CK_FUNCTION_LIST_PTR f = module.functions();
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    CK_UTF8CHAR pin[] = "12345678";
    f->C_Login(session, CKU_USER, pin, 8);
    CK_ATTRIBUTE query[] = {{CKA_CLASS, &cls, sizeof cls}};
    f->C_FindObjectsInit(session, query, 1);
    CK_OBJECT_HANDLE found[32];
    CK_ULONG count = 0;
    f->C_FindObjects(session, found, 32, &count);
    f->C_FindObjectsFinal(session);
    f->C_CloseSession(session);
    return count;
}

class TokenContainerTest : public catalogue_test::CatalogueFixture {
protected:
    void SetUp() override {
        CatalogueFixture::SetUp();
        ASSERT_FALSE(m_module.failed());
        Vsk::PKI::clearTokenAsCsp();
        m_savedLibraries = Vsk::PKCS11::CPKCS11::getLibraries();
        Vsk::Utils::CFlags* flags = Vsk::InternalUtils::GetCommonFlags();
        m_savedFlags = flags->getFlags(1);
        flags->setFlags(Vsk::Utils::CFlags::TokenAsCsp, Vsk::Utils::CFlags::TokenAsCsp, false, 1);
        CArray<CWString> names;
        names.add(CWString(VskTest::Utf16(m_module.path()).c_str()));
        Vsk::PKCS11::CPKCS11::setLibraries(names, false);
        ASSERT_EQ(m_module.configure("slot0.description = Test Reader 0\ntoken0.model = GT-1\n"
                                     "token0.serial = 0001\n"),
                  CKR_OK);
        useFake(
            "[provider]\ntype = 80\nname = Kestrovan Test GOST Provider\nalgorithms = none\n"
            "alg = 0x801E 256 GR3411\n");
        m_token = provider(TokenName);
        ASSERT_TRUE(m_token);
        m_signer = VskTest::PutSignerOnToken(m_module, SignerLabel);
        m_module.addKeyPair(0, "bare");
    }

    void TearDown() override {
        Vsk::PKI::clearTokenAsCsp();
        Vsk::PKCS11::CPKCS11::setLibraries(m_savedLibraries, false);
        Vsk::InternalUtils::GetCommonFlags()->setFlags(m_savedFlags, 0xFFFFFFFF, false, 1);
        CatalogueFixture::TearDown();
    }

    CArray<CKeyContainer> containers() {
        CCsp csp(true);
        csp.putCSPInfo(m_token.get());
        CArray<CKeyContainer> list;
        csp.GetContainerList(list, false, nullptr);
        return list;
    }

    CKeyContainer container(const char16_t* name) {
        const CArray<CKeyContainer> list = containers();
        for (size_t i = 0; i < list.getCount(); ++i)
            if (U16(list[i].get_Name()) == name) return list[i];
        ADD_FAILURE() << "no container";
        return CKeyContainer();
    }

    VskTest::GostTokenModule m_module{VSK_GOST_TOKEN_PATH};
    CRefPtr<CSPInfo> m_token;
    TokenSigner m_signer;

private:
    CArray<CWString> m_savedLibraries;
    DWORD m_savedFlags = 0;
};

// Each public key is a container named by its label and known by its ID; the details come from the
// token's objects: the certificate kept with the key, the key's value, its algorithm and parameters.
TEST_F(TokenContainerTest, ContainersAreThePublicKeysWithTheirDetails) {
    const CArray<CKeyContainer> list = containers();
    ASSERT_EQ(list.getCount(), 2u);
    std::set<std::u16string> names;
    for (size_t i = 0; i < list.getCount(); ++i) names.insert(U16(list[i].get_Name()));
    EXPECT_EQ(names, (std::set<std::u16string>{u"signer", u"bare"}));

    const CKeyContainer signer = container(u"signer");
    // The algorithm is read from the token without a provider context.
    EXPECT_EQ(signer.get_KeyAID(), 0x2E49u);
    EXPECT_EQ(U16(signer.get_UniqueName()), u"signer");
    EXPECT_EQ(signer.get_ProvType(), 0u);
    EXPECT_EQ(U16(signer.get_ProvName()), U16(W(TokenName)));
    EXPECT_EQ(BytesOf(signer.get_PublicKey()), m_signer.publicValue);
    EXPECT_EQ(signer.get_KeyLength(), 512u);  // bits of the key's value X||Y
    EXPECT_EQ(signer.get_PublicKeyWrap().getSize(), 0u);
    // The hash parameter, also on a container not read before.
    EXPECT_EQ(container(u"signer").getAlgorithmOID(true).toStd(), "1.2.643.7.1.1.2.2");
    const CCertificate* certificate = signer.getCertificate();
    ASSERT_NE(certificate, nullptr);
    const PCCERT_CONTEXT context = certificate->get_CertContext();
    EXPECT_EQ(Bytes(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded),
              m_signer.certificate);

    const CKeyContainer bare = container(u"bare");
    EXPECT_EQ(bare.getCertificate(), nullptr);
    EXPECT_EQ(bare.get_PublicKey().getSize(), 64u);
}

// The container's PIN logs the token in; a wrong one is refused; an empty one logs it out.
TEST_F(TokenContainerTest, KeysetPasswordLogsTheTokenInAndOut) {
    CKeyContainer signer = container(u"signer");
    const Vsk::PKCS11::CToken& token = m_token->getToken();
    signer.put_KeysetPassword(CPassword());
    EXPECT_FALSE(token.isLoggedIn());
    EXPECT_THROW(signer.put_KeysetPassword(Pin(u"00000000")), Vsk::Utils::CError);
    EXPECT_FALSE(token.isLoggedIn());
    signer.put_KeysetPassword(Pin(u"12345678"));
    EXPECT_TRUE(token.isLoggedIn());
    signer.put_KeysetPassword(CPassword());
    EXPECT_FALSE(token.isLoggedIn());
}

// Random bytes of a token provider come from the token.
TEST_F(TokenContainerTest, RandomBytesComeFromTheToken) {
    CCsp csp(true);
    csp.putCSPInfo(m_token.get());
    const unsigned long before = m_module.callCount("C_GenerateRandom");
    CDataBlob first(32), second(32);
    EXPECT_EQ(csp.GenRandom(first), 0);
    EXPECT_EQ(csp.GenRandom(second), 0);
    EXPECT_EQ(m_module.callCount("C_GenerateRandom"), before + 2);
    EXPECT_NE(BytesOf(first), BytesOf(second));
    EXPECT_NE(BytesOf(first), Bytes(32, 0));
}

// The token's certificate goes into "MY" without key-provider information; from there it finds its
// key on the token: the private-key check, the private key after login, and the binding.
TEST_F(TokenContainerTest, TokenCertificateInstalledIntoMyFindsItsKeyOnTheToken) {
    CKeyContainer signer = container(u"signer");
    EXPECT_EQ(signer.findCertificateInPersonalStore(), nullptr);
    signer.installCertificate(signer.getCertificate()->get_CertContext());

    CKeyContainer again = container(u"signer");
    const CCertificate* installed = again.findCertificateInPersonalStore();
    ASSERT_NE(installed, nullptr);
    const PCCERT_CONTEXT context = installed->get_CertContext();
    EXPECT_EQ(Bytes(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded),
              m_signer.certificate);
    DWORD size = 0;
    EXPECT_FALSE(CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));

    CCertificate certificate(true);
    certificate.LoadFromBlob(BlobOf(m_signer.certificate));
    EXPECT_TRUE(certificate.get_HasPrivateKey(false));
    EXPECT_TRUE(certificate.get_HasPrivateKey(true));
    m_token->getToken().logout();
    EXPECT_THROW(certificate.AcquireTokenPrivateKey(Pin(u"00000000")), Vsk::Utils::CError);
    const Vsk::PKCS11::CTokenKeyPair pair = certificate.AcquireTokenPrivateKey(Pin(u"12345678"));
    ASSERT_FALSE(pair.isEmpty());
    EXPECT_NE(pair.getPrivKeyHandle(), 0u);
    EXPECT_TRUE(certificate.BindWithKeyContainer(CPassword(), false, false, true, false));
}

// Deleting a token container destroys its key pair and certificate on the token; the other container
// stays.
TEST_F(TokenContainerTest, DeleteDestroysTheObjectsOnTheToken) {
    const size_t publicKeys = CountObjects(m_module, CKO_PUBLIC_KEY);
    const size_t privateKeys = CountObjects(m_module, CKO_PRIVATE_KEY);
    ASSERT_EQ(publicKeys, 2u);
    CKeyContainer signer = container(u"signer");
    signer.put_KeysetPassword(Pin(u"12345678"));
    signer.Delete();
    EXPECT_EQ(CountObjects(m_module, CKO_PUBLIC_KEY), publicKeys - 1);
    EXPECT_EQ(CountObjects(m_module, CKO_PRIVATE_KEY), privateKeys - 1);
    EXPECT_EQ(CountObjects(m_module, CKO_CERTIFICATE), 0u);
    const CArray<CKeyContainer> left = containers();
    ASSERT_EQ(left.getCount(), 1u);
    EXPECT_EQ(U16(left[0].get_Name()), u"bare");
}

}  // namespace
