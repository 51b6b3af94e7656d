// A program linked with the library that has made no certificate object and called nothing of the
// library yet: from its start the ASN.1 codec names OIDs and gives their ALG_IDs through the
// library's tables. This executable holds this one test, so it runs in a process of its own; its
// code reaches the library only through the codec.
#include <vsk/asn1/asn1.h>
#include <vsk/platform/crypt.h>

#include <gtest/gtest.h>

using Vsk::ASN1::CObjectId;
using Vsk::Utils::CAString;
using Vsk::Utils::CWString;

TEST(OidNamesAtStart, CodecKnowsNamesAndAlgIdsBeforeAnyCertificate) {
    struct Row {
        const char* oid;
        ALG_ID algId;
    };
    const Row rows[] = {
        {"1.2.643.7.1.1.1.1", 0x2E49},  // GOST R 34.10-2012 256
        {"1.2.643.2.2.3", 0x2E23},      // GOST R 34.10-2001 signature: only in the library's table
        {"2.5.4.3", 0},                 // common name: a name, no algorithm
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.oid);
        const CObjectId oid{CAString(row.oid)};
        const PCCRYPT_OID_INFO info = CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>(row.oid), 0);
        if (info && info->pwszName && *info->pwszName)
            EXPECT_EQ(oid.getName().toU16(), CWString(info->pwszName).toU16());
        if (row.algId) EXPECT_EQ(oid.getAlgId(), row.algId);
    }
    // At least the common name is named by the platform's table, so the names above were checked.
    const PCCRYPT_OID_INFO cn = CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>("2.5.4.3"), 0);
    ASSERT_TRUE(cn && cn->pwszName && *cn->pwszName);
    EXPECT_NE(CObjectId(CAString("2.5.4.3")).getName().toU16(), u"2.5.4.3");
}
