// CryptDecodeObject[Ex] / CryptEncodeObject[Ex] on DER built here, and CertComparePublicKeyInfo.
#include "certnameTestUtil.h"

#include <vsk/platform/certname.h>
#include <vsk/platform/kernel.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

using namespace certname_test;

namespace {

struct LocalDeleter {
    void operator()(void* p) const { LocalFree(p); }
};
template <class T>
using LocalPtr = std::unique_ptr<T, LocalDeleter>;

template <class T>
LocalPtr<T> DecodeAlloc(LPCSTR type, const Bytes& der, DWORD* error = nullptr) {
    T* out = nullptr;
    DWORD size = 0;
    SetLastError(0);
    const BOOL ok = CryptDecodeObjectEx(X509_ASN_ENCODING, type, der.data(), static_cast<DWORD>(der.size()),
                                        CRYPT_DECODE_ALLOC_FLAG, nullptr, &out, &size);
    if (error) *error = ok ? 0 : GetLastError();
    return LocalPtr<T>(ok ? out : nullptr);
}

FILETIME Ft(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s, WORD ms = 0) {
    SYSTEMTIME st{y, mo, 0, d, h, mi, s, ms};
    FILETIME ft{};
    EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
    return ft;
}

uint64_t U64(const FILETIME& ft) {
    return uint64_t(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
}

Bytes Url(const char* url) {
    return Der(0x86, Text(url));
}

TEST(DecodeObject, CrlDistributionPoints) {
    // Point 1: full name with a directory name and a URL, reasons; point 2: two URLs; point 3: only a
    // CRL issuer.
    const Bytes dirName = Name({Rdn({Atv("2.5.4.3", Printable, Text("CA"))})});
    const Bytes der = Der(
        0x30,
        Cat({Der(0x30, Cat({Der(0xA0, Der(0xA0, Cat({Der(0xA4, dirName), Url("http://a.example/1.crl")}))),
                            Der(0x81, {0x07, 0x80})})),
             Der(0x30, Der(0xA0, Der(0xA0, Cat({Url("http://b.example/2.crl"), Url("ldap://c/3")})))),
             Der(0x30, Der(0xA2, Der(0x81, Text("crl@example.com"))))}));
    for (LPCSTR type : {X509_CRL_DIST_POINTS, szOID_CRL_DIST_POINTS}) {
        auto info = DecodeAlloc<CRL_DIST_POINTS_INFO>(type, der);
        ASSERT_TRUE(info);
        ASSERT_EQ(info->cDistPoint, 3u);
        const CRL_DIST_POINT& p1 = info->rgDistPoint[0];
        ASSERT_EQ(p1.DistPointName.dwDistPointNameChoice, CRL_DIST_POINT_FULL_NAME);
        ASSERT_EQ(p1.DistPointName.FullName.cAltEntry, 2u);
        const CERT_ALT_NAME_ENTRY& dir = p1.DistPointName.FullName.rgAltEntry[0];
        EXPECT_EQ(dir.dwAltNameChoice, CERT_ALT_NAME_DIRECTORY_NAME);
        EXPECT_EQ(Bytes(dir.DirectoryName.pbData, dir.DirectoryName.pbData + dir.DirectoryName.cbData),
                  dirName);
        EXPECT_EQ(p1.DistPointName.FullName.rgAltEntry[1].dwAltNameChoice, CERT_ALT_NAME_URL);
        EXPECT_EQ(std::u16string(p1.DistPointName.FullName.rgAltEntry[1].pwszURL), u"http://a.example/1.crl");
        EXPECT_EQ(p1.ReasonFlags.cbData, 1u);
        EXPECT_EQ(p1.ReasonFlags.pbData[0], 0x80);
        EXPECT_EQ(p1.ReasonFlags.cUnusedBits, 7u);
        const CRL_DIST_POINT& p2 = info->rgDistPoint[1];
        ASSERT_EQ(p2.DistPointName.FullName.cAltEntry, 2u);
        EXPECT_EQ(std::u16string(p2.DistPointName.FullName.rgAltEntry[1].pwszURL), u"ldap://c/3");
        const CRL_DIST_POINT& p3 = info->rgDistPoint[2];
        EXPECT_EQ(p3.DistPointName.dwDistPointNameChoice, CRL_DIST_POINT_NO_NAME);
        ASSERT_EQ(p3.CRLIssuer.cAltEntry, 1u);
        EXPECT_EQ(std::u16string(p3.CRLIssuer.rgAltEntry[0].pwszRfc822Name), u"crl@example.com");
    }
}

TEST(DecodeObject, MalformedInputFailsCleanly) {
    const Bytes good = Der(0x30, Der(0x30, Der(0xA0, Der(0xA0, Url("http://a/")))));
    const struct {
        LPCSTR type;
        Bytes der;
        DWORD error;
    } rows[] = {
        {X509_CRL_DIST_POINTS, Bytes(good.begin(), good.end() - 1), CRYPT_E_ASN1_EOD},
        {X509_CRL_DIST_POINTS, Bytes{0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}, CRYPT_E_ASN1_EOD},
        {X509_CRL_DIST_POINTS, Bytes{0x30, 0x80, 0x00, 0x00}, CRYPT_E_ASN1_CORRUPT},
        {X509_CRL_DIST_POINTS, Der(0x31, {}), CRYPT_E_ASN1_BADTAG},
        {X509_CRL_DIST_POINTS, Der(0x30, Der(0x30, Der(0xA0, Der(0xA0, Der(0x99, {}))))),
         CRYPT_E_ASN1_BADTAG},
        {X509_CRL_DIST_POINTS, Cat({good, Bytes{0}}), CRYPT_E_ASN1_CORRUPT},
        {szOID_ENHANCED_KEY_USAGE, Der(0x30, Der(0x02, {1})), CRYPT_E_ASN1_BADTAG},
        {szOID_ENHANCED_KEY_USAGE, Der(0x30, Der(0x06, {0x2B, 0x86})), CRYPT_E_ASN1_CORRUPT},
        {X509_CHOICE_OF_TIME, Der(0x02, {1}), CRYPT_E_ASN1_BADTAG},
        {X509_CHOICE_OF_TIME, Der(0x17, Text("241301000000Z")), CRYPT_E_ASN1_CORRUPT},
        {PKCS_UTC_TIME, Der(0x17, Text("2401010000")), CRYPT_E_ASN1_CORRUPT},
        {PKCS_UTC_TIME, Der(0x17, Text("240101000000+0300")), CRYPT_E_ASN1_CORRUPT},
        {VSK_X509_NAME, Der(0x30, Der(0x31, {})), CRYPT_E_ASN1_CORRUPT},
        {VSK_X509_NAME, Bytes{}, CRYPT_E_ASN1_EOD},
    };
    for (const auto& row : rows) {
        DWORD error = 0;
        EXPECT_FALSE(DecodeAlloc<BYTE>(row.type, row.der, &error)) << (&row - rows);
        EXPECT_EQ(error, row.error) << (&row - rows);
    }
    DWORD error = 0;
    EXPECT_FALSE(DecodeAlloc<BYTE>("1.2.3.4", good, &error));
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
}

TEST(DecodeObject, EnhancedKeyUsageBothWays) {
    const Bytes der = Der(0x30, Cat({Oid("1.3.6.1.5.5.7.3.2"), Oid("1.2.643.6.3.1.2.1")}));
    auto usage = DecodeAlloc<CERT_ENHKEY_USAGE>(szOID_ENHANCED_KEY_USAGE, der);
    ASSERT_TRUE(usage);
    ASSERT_EQ(usage->cUsageIdentifier, 2u);
    EXPECT_STREQ(usage->rgpszUsageIdentifier[0], "1.3.6.1.5.5.7.3.2");
    EXPECT_STREQ(usage->rgpszUsageIdentifier[1], "1.2.643.6.3.1.2.1");

    DWORD size = 0;
    ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, X509_ENHANCED_KEY_USAGE, usage.get(), nullptr, &size));
    Bytes again(size);
    ASSERT_TRUE(
        CryptEncodeObject(X509_ASN_ENCODING, X509_ENHANCED_KEY_USAGE, usage.get(), again.data(), &size));
    EXPECT_EQ(again, der);

    LPSTR bad[] = {const_cast<char*>("1.2.")};
    CERT_ENHKEY_USAGE badUsage{1, bad};
    EXPECT_FALSE(CryptEncodeObject(X509_ASN_ENCODING, X509_ENHANCED_KEY_USAGE, &badUsage, nullptr, &size));
    EXPECT_EQ(GetLastError(), CRYPT_E_OID_FORMAT);
}

TEST(DecodeObject, SizeProtocolWithoutAllocation) {
    const Bytes der = Der(0x30, Cat({Oid("1.3.6.1.5.5.7.3.2"), Oid("1.3.6.1.5.5.7.3.4")}));
    DWORD size = 0;
    ASSERT_TRUE(CryptDecodeObject(X509_ASN_ENCODING, X509_ENHANCED_KEY_USAGE, der.data(),
                                  static_cast<DWORD>(der.size()), 0, nullptr, &size));
    ASSERT_GT(size, sizeof(CERT_ENHKEY_USAGE));
    std::vector<uint64_t> buffer(size / 8 + 1);
    DWORD small = size - 1;
    EXPECT_FALSE(CryptDecodeObject(X509_ASN_ENCODING, X509_ENHANCED_KEY_USAGE, der.data(),
                                   static_cast<DWORD>(der.size()), 0, buffer.data(), &small));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(small, size);
    DWORD exact = size;
    ASSERT_TRUE(CryptDecodeObject(X509_ASN_ENCODING, X509_ENHANCED_KEY_USAGE, der.data(),
                                  static_cast<DWORD>(der.size()), 0, buffer.data(), &exact));
    const auto* usage = reinterpret_cast<const CERT_ENHKEY_USAGE*>(buffer.data());
    EXPECT_STREQ(usage->rgpszUsageIdentifier[1], "1.3.6.1.5.5.7.3.4");
    // Every pointer points inside the block.
    const auto* begin = reinterpret_cast<const char*>(buffer.data());
    EXPECT_GE(usage->rgpszUsageIdentifier[1], begin);
    EXPECT_LT(usage->rgpszUsageIdentifier[1], begin + size);
}

TEST(DecodeObject, Times) {
    const struct {
        BYTE tag;
        const char* text;
        FILETIME expected;
    } rows[] = {
        {0x17, "491231235959Z", Ft(2049, 12, 31, 23, 59, 59)},
        {0x17, "500101000000Z", Ft(1950, 1, 1, 0, 0, 0)},
        {0x17, "2401010000Z", Ft(2024, 1, 1, 0, 0, 0)},
        {0x18, "20500101000000Z", Ft(2050, 1, 1, 0, 0, 0)},
        {0x18, "20240229120000.5Z", Ft(2024, 2, 29, 12, 0, 0, 500)},
        {0x18, "19491231235959Z", Ft(1949, 12, 31, 23, 59, 59)},
    };
    for (const auto& row : rows) {
        const Bytes der = Der(row.tag, Text(row.text));
        for (LPCSTR type : {X509_CHOICE_OF_TIME, PKCS_UTC_TIME, szOID_RSA_signingTime}) {
            FILETIME ft{};
            DWORD size = sizeof ft;
            ASSERT_TRUE(CryptDecodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, type, der.data(),
                                          static_cast<DWORD>(der.size()), 0, &ft, &size))
                << row.text;
            EXPECT_EQ(U64(ft), U64(row.expected)) << row.text;
        }
    }
}

TEST(EncodeObject, SigningTimeChoosesUtcOrGeneralizedTime) {
    const struct {
        FILETIME time;
        Bytes der;
    } rows[] = {
        {Ft(2024, 1, 2, 3, 4, 5, 678), Der(0x17, Text("240102030405Z"))},
        {Ft(1950, 1, 1, 0, 0, 0), Der(0x17, Text("500101000000Z"))},
        {Ft(2049, 12, 31, 23, 59, 59), Der(0x17, Text("491231235959Z"))},
        {Ft(2050, 1, 1, 0, 0, 0), Der(0x18, Text("20500101000000Z"))},
        {Ft(1949, 12, 31, 23, 59, 59), Der(0x18, Text("19491231235959Z"))},
    };
    for (const auto& row : rows) {
        DWORD size = 0;
        ASSERT_TRUE(CryptEncodeObject(0x10001, szOID_RSA_signingTime, &row.time, nullptr, &size));
        Bytes der(size);
        ASSERT_TRUE(CryptEncodeObject(0x10001, szOID_RSA_signingTime, &row.time, der.data(), &size));
        EXPECT_EQ(der, row.der);
        BYTE* allocated = nullptr;
        ASSERT_TRUE(CryptEncodeObjectEx(0x10001, PKCS_UTC_TIME, &row.time, CRYPT_ENCODE_ALLOC_FLAG, nullptr,
                                        &allocated, &size));
        EXPECT_EQ(Bytes(allocated, allocated + size), row.der);
        LocalFree(allocated);
    }
    const FILETIME tooLate{0xFFFFFFFF, 0xFFFFFFFF};
    DWORD size = 0;
    EXPECT_FALSE(CryptEncodeObject(0x10001, PKCS_UTC_TIME, &tooLate, nullptr, &size));
    EXPECT_EQ(GetLastError(), CRYPT_E_BAD_ENCODE);
}

TEST(DecodeObject, NamesKeepEveryValueOfAnRdn) {
    const Bytes der =
        Name({Rdn({Atv("2.5.4.6", Printable, Text("RU"))}),
              Rdn({Atv("2.5.4.3", Utf8Tag, Utf8(u8"Пётр")), Atv("2.5.4.4", Bmp, BmpBE(u"Иванов")),
                   Atv("1.2.643.100.3", Numeric, Text("12345678901"))}),
              Rdn({AtvRaw("1.2.3.4", Der(0x02, {7}))})});
    auto name = DecodeAlloc<CERT_NAME_INFO>(VSK_X509_NAME, der);
    ASSERT_TRUE(name);
    ASSERT_EQ(name->cRDN, 3u);
    ASSERT_EQ(name->rgRDN[1].cRDNAttr, 3u);
    const CERT_RDN_ATTR* attrs = name->rgRDN[1].rgRDNAttr;
    EXPECT_STREQ(attrs[0].pszObjId, "2.5.4.3");
    EXPECT_EQ(attrs[0].dwValueType, CERT_RDN_UTF8_STRING);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(attrs[0].Value.pbData)), u"Пётр");
    EXPECT_EQ(attrs[0].Value.cbData, 8u);
    EXPECT_EQ(attrs[1].dwValueType, CERT_RDN_BMP_STRING);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(attrs[1].Value.pbData)), u"Иванов");
    EXPECT_EQ(attrs[2].dwValueType, CERT_RDN_NUMERIC_STRING);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(attrs[2].Value.pbData)), "12345678901");
    EXPECT_EQ(name->rgRDN[2].rgRDNAttr[0].dwValueType, CERT_RDN_ENCODED_BLOB);

    // Written back unchanged, the bytes are the same; with one value changed, the RDN keeps all three.
    DWORD size = 0;
    ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, VSK_X509_NAME, name.get(), nullptr, &size));
    Bytes again(size);
    ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, VSK_X509_NAME, name.get(), again.data(), &size));
    EXPECT_EQ(again, der);
    const char16_t changed[] = u"Павел";
    name->rgRDN[1].rgRDNAttr[0].Value = {sizeof changed - 2,
                                         reinterpret_cast<BYTE*>(const_cast<char16_t*>(changed))};
    ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, VSK_X509_NAME, name.get(), nullptr, &size));
    again.resize(size);
    ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, VSK_X509_NAME, name.get(), again.data(), &size));
    EXPECT_EQ(NameToStr(again, CERT_X500_NAME_STR),
              u"C=RU, CN=Павел + SN=Иванов + OID.1.2.643.100.3=12345678901, OID.1.2.3.4=#020107");

    // The Unicode form gives every string as UTF-16 and picks types for CERT_RDN_ANY_TYPE.
    auto wide = DecodeAlloc<CERT_NAME_INFO>(X509_UNICODE_NAME, der);
    ASSERT_TRUE(wide);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(wide->rgRDN[0].rgRDNAttr[0].Value.pbData)),
              u"RU");
    CERT_RDN_ATTR any[2] = {{const_cast<char*>("2.5.4.3"), CERT_RDN_ANY_TYPE, {}},
                            {const_cast<char*>("2.5.4.10"), CERT_RDN_ANY_TYPE, {}}};
    const char16_t cyrillic[] = u"Имя", latin[] = u"Org";
    any[0].Value = {0, reinterpret_cast<BYTE*>(const_cast<char16_t*>(cyrillic))};  // up to the NUL
    any[1].Value = {6, reinterpret_cast<BYTE*>(const_cast<char16_t*>(latin))};
    CERT_RDN rdn{2, any};
    CERT_NAME_INFO info{1, &rdn};
    ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, X509_UNICODE_NAME, &info, nullptr, &size));
    again.resize(size);
    ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, X509_UNICODE_NAME, &info, again.data(), &size));
    EXPECT_EQ(again,
              Name({Rdn({Atv("2.5.4.3", Utf8Tag, Utf8(u8"Имя")), Atv("2.5.4.10", Printable, Text("Org"))})}));

    CERT_RDN_ATTR country{const_cast<char*>("2.5.4.6"),
                          CERT_RDN_PRINTABLE_STRING,
                          {0, reinterpret_cast<BYTE*>(const_cast<char16_t*>(cyrillic))}};
    CERT_RDN countryRdn{1, &country};
    CERT_NAME_INFO countryName{1, &countryRdn};
    EXPECT_FALSE(CryptEncodeObject(X509_ASN_ENCODING, X509_UNICODE_NAME, &countryName, nullptr, &size));
    EXPECT_EQ(GetLastError(), CRYPT_E_INVALID_PRINTABLE_STRING);
}

TEST(ComparePublicKeyInfo, ComparesTheKeyBits) {
    BYTE key1[] = {0x04, 1, 2, 3}, key2[] = {0x04, 1, 2, 4};
    BYTE params1[] = {0x30, 0x00}, params2[] = {0x05, 0x00};
    CERT_PUBLIC_KEY_INFO a{{const_cast<char*>("1.2.643.7.1.1.1.1"), {2, params1}}, {4, key1, 0}};
    CERT_PUBLIC_KEY_INFO sameKeyOtherParams{{const_cast<char*>("1.2.643.7.1.1.1.1"), {2, params2}},
                                            {4, key1, 0}};
    CERT_PUBLIC_KEY_INFO otherKey{{const_cast<char*>("1.2.643.7.1.1.1.1"), {2, params1}}, {4, key2, 0}};
    CERT_PUBLIC_KEY_INFO shorter{{const_cast<char*>("1.2.643.7.1.1.1.1"), {2, params1}}, {3, key1, 0}};
    CERT_PUBLIC_KEY_INFO unusedBits{{const_cast<char*>("1.2.643.7.1.1.1.1"), {2, params1}}, {4, key1, 1}};
    EXPECT_TRUE(CertComparePublicKeyInfo(X509_ASN_ENCODING, &a, &sameKeyOtherParams));
    EXPECT_FALSE(CertComparePublicKeyInfo(X509_ASN_ENCODING, &a, &otherKey));
    EXPECT_FALSE(CertComparePublicKeyInfo(X509_ASN_ENCODING, &a, &shorter));
    EXPECT_FALSE(CertComparePublicKeyInfo(X509_ASN_ENCODING, &a, &unusedBits));
}

}  // namespace
