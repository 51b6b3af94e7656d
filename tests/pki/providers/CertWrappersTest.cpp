// The certificate-context, store and encoding wrappers: their trace and log lines as the developer
// log shows them, their guards and their error cells.
#include "catalogueTestSupport.h"
#include "certificates/certificateFixtures.h"

#include <vsk/pki/CertApi.h>
#include <vsk/pki/CryptError.h>
#include <vsk/utils/base64.h>
#include <vsk/utils/error.h>

using namespace Vsk::Utils;
using namespace Vsk::PKI;
using VskTest::LogCapture;

namespace {

constexpr DWORD Sentinel = 77;

std::u16string ptr(const void* pointer) {
    return ToWString(pointer).toU16();
}
std::u16string sys(DWORD code) {
    return GetSystemErrorText(code).toU16();
}

// The lines of a wrapper that are neither its entry nor its exit line.
std::vector<std::u16string> otherLines(const LogCapture& capture, const std::u16string& name) {
    std::vector<std::u16string> found;
    for (const std::u16string& line : capture.startingWith(name + u" "))
        if (line.rfind(name + u" -> ", 0) != 0) found.push_back(line);
    return found;
}

// A fresh context of a GOST certificate made once per process; the caller frees it.
PCCERT_CONTEXT newContext() {
    const CDataBlob der = CertFixture::make("wrappers", CertFixture::Key::Gost256, "/CN=Wrappers").derBytes();
    return CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.getData(),
                                        static_cast<DWORD>(der.getSize()));
}

class CertWrappersTest : public ::testing::Test {
protected:
    void TearDown() override { SetLastError(0); }
    VskTest::TestRoot m_root;
};

}  // namespace

// Two-call form: the property's bytes, traced at level 5 with the Base64 of the value; the error
// cell is written only when the property cannot be read.
TEST_F(CertWrappersTest, PropertyReadTracesItsValueAndFillsTheCellOnlyOnFailure) {
    PCCERT_CONTEXT context = newContext();
    ASSERT_NE(context, nullptr);
    {
        LogCapture capture(5);
        DWORD cell = Sentinel;
        const CDataBlob thumbprint = GetCertificateContextProperty(context, CERT_SHA1_HASH_PROP_ID, &cell);
        ASSERT_EQ(thumbprint.getSize(), 20u);
        EXPECT_EQ(cell, Sentinel);
        EXPECT_EQ(capture
                      .startingWith(u"-> PKI::GetCertificateContextProperty(pCertContext=" + ptr(context) +
                                    u",dwPropId=0x3)")
                      .size(),
                  1u);
        const std::u16string base64 = CWString(Base64Enc(thumbprint, Base64NoLineBreaks), CP_PROGRAM).toU16();
        EXPECT_EQ(capture.startingWith(u"PKI::GetCertificateContextProperty -> " + base64 + u" ").size(), 1u);
    }
    {
        LogCapture capture(1);
        DWORD cell = Sentinel;
        SetLastError(0);
        EXPECT_EQ(GetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, &cell).getSize(), 0u);
        EXPECT_EQ(cell, CRYPT_E_NOT_FOUND);
        EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
        EXPECT_EQ(otherLines(capture, u"PKI::GetCertificateContextProperty"),
                  std::vector<std::u16string>{u"PKI::GetCertificateContextProperty get size, dwPropId=0x2 " +
                                              sys(CRYPT_E_NOT_FOUND)});
        CCryptError error(150303, Vsk::Utils::LastErrorCode, 0);
        EXPECT_EQ(static_cast<DWORD>(error.getCode()), CRYPT_E_NOT_FOUND);
    }
    {
        DWORD cell = Sentinel;
        SetLastError(Sentinel);
        EXPECT_EQ(GetCertificateContextProperty(nullptr, CERT_SHA1_HASH_PROP_ID, &cell).getSize(), 0u);
        EXPECT_EQ(cell, static_cast<DWORD>(E_INVALIDARG));
        EXPECT_EQ(GetLastError(), Sentinel);
    }
    EXPECT_TRUE(CertFreeCertificateContext(context));
}

// One-call form into the caller's buffer: a null buffer asks for the size, the length goes in and
// out, and it traces under the name of the two-call form with the BOOL as its result.
TEST_F(CertWrappersTest, PropertyIntoCallersBuffer) {
    PCCERT_CONTEXT context = newContext();
    ASSERT_NE(context, nullptr);
    LogCapture capture(5);
    DWORD length = 0;
    ASSERT_TRUE(GetCertificateContextPropertyFixed(context, CERT_SHA1_HASH_PROP_ID, nullptr, &length));
    EXPECT_EQ(length, 20u);
    BYTE buffer[20] = {};
    ASSERT_TRUE(GetCertificateContextPropertyFixed(context, CERT_SHA1_HASH_PROP_ID, buffer, &length));
    EXPECT_EQ(CDataBlob(buffer, sizeof buffer, true),
              GetCertificateContextProperty(context, CERT_SHA1_HASH_PROP_ID));
    const std::u16string entry =
        u"-> PKI::GetCertificateContextProperty(pCertContext=" + ptr(context) + u",dwPropId=0x3,cbData=";
    EXPECT_EQ(capture.startingWith(entry + u"0)").size(), 1u);
    EXPECT_EQ(capture.startingWith(entry + u"20)").size(), 1u);
    EXPECT_EQ(capture.startingWith(u"PKI::GetCertificateContextProperty -> 1 ").size(), 2u);

    capture.clear();
    length = sizeof buffer;
    EXPECT_FALSE(GetCertificateContextPropertyFixed(context, CERT_KEY_PROV_INFO_PROP_ID, buffer, &length));
    EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
    EXPECT_EQ(otherLines(capture, u"PKI::GetCertificateContextProperty"),
              std::vector<std::u16string>{u"PKI::GetCertificateContextProperty dwPropId=0x2 " +
                                          sys(CRYPT_E_NOT_FOUND)});
    EXPECT_EQ(capture.startingWith(u"PKI::GetCertificateContextProperty -> 0 ").size(), 1u);

    SetLastError(Sentinel);
    EXPECT_FALSE(GetCertificateContextPropertyFixed(nullptr, CERT_SHA1_HASH_PROP_ID, nullptr, &length));
    EXPECT_EQ(GetLastError(), Sentinel);
    EXPECT_TRUE(CertFreeCertificateContext(context));
}

// Freeing: a null pointer is FALSE (the scope still opens); a context is freed and the variable
// cleared.
TEST_F(CertWrappersTest, FreeCertificateContext) {
    LogCapture capture(5);
    PCCERT_CONTEXT none = nullptr;
    EXPECT_FALSE(FreeCertificateContext(none));
    EXPECT_EQ(capture.startingWith(u"-> PKI::FreeCertificateContext(0)").size(), 1u);
    EXPECT_EQ(capture.startingWith(u"PKI::FreeCertificateContext -> ").size(), 1u);

    capture.clear();
    PCCERT_CONTEXT context = newContext();
    ASSERT_NE(context, nullptr);
    const std::u16string entry = u"-> PKI::FreeCertificateContext(" + ptr(context) + u")";
    EXPECT_TRUE(FreeCertificateContext(context));
    EXPECT_EQ(context, nullptr);
    EXPECT_EQ(capture.startingWith(entry).size(), 1u);
    EXPECT_EQ(capture.startingWith(u"PKI::FreeCertificateContext -> 1 ").size(), 1u);
}

// Stores: a system store's name is written as text ("MY"), any other provider parameter as a
// pointer; a failed open logs the parameter; closing clears the variable and a null handle is TRUE
// without a trace.
TEST_F(CertWrappersTest, OpenAndCloseStore) {
    LogCapture capture(4);
    HCERTSTORE store = OpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(capture.startingWith(u"-> PKI::OpenStore(a,0,0,0x10000,MY)").size(), 1u);
    EXPECT_EQ(capture.startingWith(u"PKI::OpenStore -> " + ptr(store) + u" ").size(), 1u);
    const std::u16string closing = u"-> PKI::CloseStore(" + ptr(store) + u")";
    EXPECT_TRUE(CloseStore(store));
    EXPECT_EQ(store, nullptr);
    EXPECT_EQ(capture.startingWith(closing).size(), 1u);

    capture.clear();
    SetLastError(Sentinel);
    EXPECT_TRUE(CloseStore(store));
    EXPECT_EQ(GetLastError(), Sentinel);
    EXPECT_TRUE(capture.lines().empty());

    HCERTSTORE memory = OpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, &capture);
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(capture.startingWith(u"-> PKI::OpenStore(2,0,0,0x0," + ptr(&capture) + u")").size(), 1u);
    EXPECT_TRUE(CloseStore(memory));

    capture.clear();
    const DWORD flags = CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG;
    EXPECT_EQ(OpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, flags, u"NoSuchStore"), nullptr);
    const DWORD error = GetLastError();
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(otherLines(capture, u"PKI::OpenStore"),
              std::vector<std::u16string>{u"PKI::OpenStore NoSuchStore " + sys(error)});
}

// Encoding: the size query, the size line at level 5 and the encoding; a value that cannot be
// encoded fails at the size query and logs the structure type; an empty argument is refused.
TEST_F(CertWrappersTest, EncodeObject) {
    SYSTEMTIME when{2026, 12, 4, 10, 16, 37, 5, 0};
    FILETIME time{};
    ASSERT_TRUE(SystemTimeToFileTime(&when, &time));
    const DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    {
        LogCapture capture(5);
        CDataBlob encoded(CAString("old"));
        ASSERT_TRUE(EncodeObject(encoding, szOID_RSA_signingTime, &time, &encoded));
        EXPECT_EQ(encoded, CDataBlob("\x17\x0d"
                                     "261210163705Z",
                                     15, true));
        EXPECT_EQ(capture
                      .startingWith(u"-> PKI::EncodeObject(dwCertEncodingType=0x10001,lpszStructType="
                                    u"1.2.840.113549.1.9.5,pvStructInfo=" +
                                    ptr(&time) + u",pdbEncoded=" + ptr(&encoded) + u")")
                      .size(),
                  1u);
        EXPECT_EQ(otherLines(capture, u"PKI::EncodeObject"),
                  std::vector<std::u16string>{u"PKI::EncodeObject size=15"});
        EXPECT_EQ(capture.startingWith(u"PKI::EncodeObject -> 15 ").size(), 1u);
    }
    {
        // Past the year 9999: no time type can hold it.
        const FILETIME lateTime{0xFFFFFFFFu, 0x7FFFFFFFu};
        LogCapture capture(1);
        CDataBlob encoded(CAString("old"));
        EXPECT_FALSE(EncodeObject(encoding, szOID_RSA_signingTime, &lateTime, &encoded));
        const DWORD error = GetLastError();
        EXPECT_NE(error, 0u);
        EXPECT_EQ(encoded.getSize(), 0u);
        EXPECT_EQ(otherLines(capture, u"PKI::EncodeObject"),
                  std::vector<std::u16string>{u"PKI::EncodeObject get encoded size 1.2.840.113549.1.9.5 " +
                                              sys(error)});
    }
    CDataBlob encoded;
    SetLastError(Sentinel);
    EXPECT_FALSE(EncodeObject(encoding, nullptr, &time, &encoded));
    EXPECT_FALSE(EncodeObject(encoding, szOID_RSA_signingTime, nullptr, &encoded));
    EXPECT_FALSE(EncodeObject(encoding, szOID_RSA_signingTime, &time, nullptr));
    EXPECT_EQ(GetLastError(), Sentinel);
}
