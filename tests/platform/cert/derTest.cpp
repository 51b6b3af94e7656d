// The rules of the certificate area's DER reader (der.h), a row each, at their limits: elements,
// OBJECT IDENTIFIERs and times.
#include <gtest/gtest.h>
#include <vsk/platform/kernel.h>

#include <cstring>
#include <string>

#include "certImpl.h"
#include "der.h"

using namespace vsk::cert;

namespace {

Bytes Hex(const char* text) {
    Bytes out;
    int high = -1;
    for (const char* p = text; *p; ++p) {
        if (*p == ' ') continue;
        const int v = *p <= '9' ? *p - '0' : (*p | 0x20) - 'a' + 10;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<BYTE>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

TEST(DerRules, Elements) {
    const struct {
        const char* name;
        const char* hex;
        DWORD error;  // 0: one element read
    } rows[] = {
        {"short length", "02 01 05", 0},
        {"empty contents", "05 00", 0},
        {"four length octets", "04 84 00 00 00 01 aa", 0},
        {"five length octets", "04 85 00 00 00 00 01 aa", CRYPT_E_ASN1_CORRUPT},
        {"indefinite length", "30 80 00 00", CRYPT_E_ASN1_CORRUPT},
        {"no length", "02", CRYPT_E_ASN1_EOD},
        {"contents cut short", "02 02 05", CRYPT_E_ASN1_EOD},
        {"length octets cut short", "04 82 01", CRYPT_E_ASN1_EOD},
        {"high tag number", "1f 81 00 00", 0},
        {"four tag octets", "1f 8f ff ff 7f 00", 0},
        {"five tag octets", "1f 81 81 81 81 01 00", CRYPT_E_ASN1_CORRUPT},
        {"padded tag number", "1f 80 01 00", CRYPT_E_ASN1_CORRUPT},
        {"tag number cut short", "1f 81", CRYPT_E_ASN1_EOD},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes der = Hex(row.hex);
        DerReader reader(der.data(), der.size());
        Tlv tlv;
        EXPECT_EQ(reader.next(tlv), row.error == 0);
        if (row.error) {
            EXPECT_TRUE(reader.failed());
            EXPECT_EQ(reader.error(), row.error);
        } else {
            EXPECT_TRUE(reader.atEnd());
            EXPECT_EQ(tlv.whole, der.data());
            EXPECT_EQ(tlv.wholeLength, der.size());
        }
    }
    // A high tag number keeps 0x1F in `tag`: never taken for the low tag it might end with.
    const Bytes high = Hex("1f 02 01 05");
    DerReader reader(high.data(), high.size());
    Tlv tlv;
    EXPECT_FALSE(reader.expect(0x02, tlv));
}

TEST(DerRules, ExpectedElements) {
    const struct {
        const char* name;
        const char* hex;
        DWORD error;
    } rows[] = {
        {"the element", "30 00", 0},
        {"another tag", "31 00", CRYPT_E_ASN1_BADTAG},
        // The tag decides before the length: text is refused as such, not as a short element.
        {"text", "4d 49 49 43", CRYPT_E_ASN1_BADTAG},
        {"nothing left", "", CRYPT_E_ASN1_EOD},
        {"cut short", "30 05 00", CRYPT_E_ASN1_EOD},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes der = Hex(row.hex);
        DerReader reader(der.data(), der.size());
        Tlv tlv;
        EXPECT_EQ(reader.expect(TagSequence, tlv), row.error == 0);
        if (row.error) {
            EXPECT_EQ(reader.error(), row.error);
            // A failed reader stays failed.
            EXPECT_FALSE(reader.next(tlv));
        }
    }
}

TEST(DerRules, ObjectIdentifiers) {
    const struct {
        const char* name;
        const char* hex;
        const char* dotted;  // null: refused
    } rows[] = {
        {"RSA", "2a 86 48 86 f7 0d", "1.2.840.113549"},
        {"common name", "55 04 03", "2.5.4.3"},
        {"a 2.x first arc of two octets", "88 37", "2.999"},
        {"an arc of 2^56", "2a 81 80 80 80 80 80 80 80 00", "1.2.72057594037927936"},
        {"an arc of 2^64 - 1", "2a 81 ff ff ff ff ff ff ff ff 7f", "1.2.18446744073709551615"},
        {"the largest first subidentifier", "81 ff ff ff ff ff ff ff ff 7f", "2.18446744073709551535"},
        {"an arc of 2^64", "2a 82 80 80 80 80 80 80 80 80 00", nullptr},
        {"empty", "", nullptr},
        {"last arc not ended", "2a 86", nullptr},
        {"padded arc", "2a 80 01", nullptr},
        {"padded first arc", "80 2a", nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes der = Hex(row.hex);
        std::string dotted;
        EXPECT_EQ(OidFromDer(der.data(), der.size(), dotted), row.dotted != nullptr);
        if (!row.dotted) continue;
        EXPECT_EQ(dotted, row.dotted);
        // The way back gives the same octets.
        Bytes again;
        ASSERT_TRUE(OidToDer(dotted, again));
        EXPECT_EQ(again, der);
    }
    for (const char* bad :
         {"1", "3.1", "1.40", "1..2", "1.2.", "1.2a", "2.18446744073709551536", "1.2.18446744073709551616"}) {
        Bytes out;
        EXPECT_FALSE(OidToDer(bad, out)) << bad;
    }
}

uint64_t Ticks(int y, int mo, int d, int h, int mi, int s, uint64_t hundredNs = 0) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(mo);
    st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h);
    st.wMinute = static_cast<WORD>(mi);
    st.wSecond = static_cast<WORD>(s);
    FILETIME ft{};
    SystemTimeToFileTime(&st, &ft);
    return (uint64_t(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) + hundredNs;
}

TEST(DerRules, Times) {
    constexpr uint64_t kRefused = ~uint64_t{0};
    const struct {
        BYTE tag;
        const char* text;
        uint64_t ticks;
    } rows[] = {
        {TagUtcTime, "240101000000Z", Ticks(2024, 1, 1, 0, 0, 0)},
        {TagUtcTime, "491231235959Z", Ticks(2049, 12, 31, 23, 59, 59)},
        {TagUtcTime, "500101000000Z", Ticks(1950, 1, 1, 0, 0, 0)},
        {TagUtcTime, "2401010000Z", Ticks(2024, 1, 1, 0, 0, 0)},
        {TagUtcTime, "240101000000+0300", kRefused},
        {TagUtcTime, "240101000000-0000", kRefused},
        {TagUtcTime, "240101000000", kRefused},
        {TagUtcTime, "240101000000z", kRefused},
        {TagUtcTime, "240101000000ZZ", kRefused},
        {TagUtcTime, "24010100Z", kRefused},
        {TagUtcTime, "240101000000.5Z", kRefused},
        {TagGeneralizedTime, "20240229120000Z", Ticks(2024, 2, 29, 12, 0, 0)},
        {TagGeneralizedTime, "20230229120000Z", kRefused},
        {TagGeneralizedTime, "21000229120000Z", kRefused},
        {TagGeneralizedTime, "20240101240000Z", kRefused},
        {TagGeneralizedTime, "20240101006000Z", kRefused},
        {TagGeneralizedTime, "20240101000060Z", kRefused},
        {TagGeneralizedTime, "20240101000000.5Z", Ticks(2024, 1, 1, 0, 0, 0, 5000000)},
        {TagGeneralizedTime, "20240101000000.1234567Z", Ticks(2024, 1, 1, 0, 0, 0, 1234567)},
        {TagGeneralizedTime, "20240101000000.12345678Z", kRefused},
        {TagGeneralizedTime, "20240101000000.Z", kRefused},
        {TagGeneralizedTime, "20240101000000,5Z", kRefused},
        {TagGeneralizedTime, "202401010000.5Z", kRefused},
        {TagGeneralizedTime, "20240101000000+0300", kRefused},
        {TagGeneralizedTime, "16010101000000Z", 0},
        {TagGeneralizedTime, "16001231235959Z", kRefused},
        {TagGeneralizedTime, "99991231235959Z", Ticks(9999, 12, 31, 23, 59, 59)},
        {TagOctetString, "240101000000Z", kRefused},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        FILETIME ft{};
        const bool ok =
            TimeFromDer(row.tag, reinterpret_cast<const BYTE*>(row.text), std::strlen(row.text), ft);
        EXPECT_EQ(ok, row.ticks != kRefused);
        if (ok) {
            EXPECT_EQ(uint64_t(ft.dwHighDateTime) << 32 | ft.dwLowDateTime, row.ticks);
        }
    }
}

TEST(DerRules, TimesWritten) {
    const struct {
        uint64_t ticks;
        const char* hex;
    } rows[] = {
        {Ticks(1950, 1, 1, 0, 0, 0), "17 0d 35 30 30 31 30 31 30 30 30 30 30 30 5a"},
        {Ticks(2049, 12, 31, 23, 59, 59, 9999999), "17 0d 34 39 31 32 33 31 32 33 35 39 35 39 5a"},
        {Ticks(2050, 1, 1, 0, 0, 0), "18 0f 32 30 35 30 30 31 30 31 30 30 30 30 30 30 5a"},
        {0, "18 0f 31 36 30 31 30 31 30 31 30 30 30 30 30 30 5a"},
    };
    for (const auto& row : rows) {
        const FILETIME ft{static_cast<DWORD>(row.ticks), static_cast<DWORD>(row.ticks >> 32)};
        Bytes out;
        ASSERT_TRUE(TimeToDer(ft, out)) << row.hex;
        EXPECT_EQ(out, Hex(row.hex));
    }
    // Past the year 9999 there is no GeneralizedTime of four digits.
    const uint64_t year10000 = Ticks(9999, 12, 31, 23, 59, 59) + 10000000;
    Bytes out;
    EXPECT_FALSE(
        TimeToDer(FILETIME{static_cast<DWORD>(year10000), static_cast<DWORD>(year10000 >> 32)}, out));
}

// Contexts share one text per OID; a stream of made-up OIDs fills the shared table only up to its
// bound, and the texts of the rest stay with their context.
TEST(OidTexts, SharedTableIsBounded) {
    auto intern = [](const std::string& dotted, OwnOids& own) {
        Bytes der;
        EXPECT_TRUE(OidToDer(dotted, der));
        Tlv oid;
        oid.tag = TagOid;
        oid.contents = der.data();
        oid.length = der.size();
        return InternOid(oid, own);
    };
    OwnOids own;
    const LPSTR first = intern("1.2.643.999.0", own);
    EXPECT_EQ(intern("1.2.643.999.0", own), first);
    constexpr int kMade = 20000;  // more than the table holds
    for (int i = 1; i < kMade; ++i) {
        const std::string dotted = "1.2.643.999." + std::to_string(i);
        EXPECT_EQ(std::string(intern(dotted, own)), dotted);
    }
    EXPECT_GT(own.size(), 0u);
    EXPECT_LT(own.size(), static_cast<size_t>(kMade));
    EXPECT_EQ(intern("1.2.643.999.0", own), first);
    Bytes bad = {0x2A, 0x86};
    Tlv malformed{TagOid, bad.data(), bad.size(), nullptr, 0};
    EXPECT_EQ(InternOid(malformed, own), nullptr);
}

}  // namespace
