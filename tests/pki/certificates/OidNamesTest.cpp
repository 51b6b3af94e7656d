#include <gtest/gtest.h>

#include <vsk/pki/OidNames.h>
#include <vsk/platform/crypt.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace Vsk::Utils;
using namespace Vsk::PKI;

namespace {

struct Pair {
    ALG_ID algId;
    const char* oid;
};

std::vector<std::u16string> texts(const CNameSet& names) {
    std::vector<std::u16string> out;
    for (const CWString& name : names) out.push_back(name.toU16());
    return out;
}

}  // namespace

TEST(OidNamesTest, AlgIdToOID) {
    const Pair rows[] = {
        {0x2E23, "1.2.643.2.2.19"},
        {0x2E3D, "1.2.643.7.1.1.1.2"},
        {0x2E49, "1.2.643.7.1.1.1.1"},
        {0x661E, "1.2.643.2.2.21"},
        {0x800C, "2.16.840.1.101.3.4.2.1"},
        {0x800D, "2.16.840.1.101.3.4.2.2"},
        {0x800E, "2.16.840.1.101.3.4.2.3"},
        {0x801E, "1.2.643.2.2.9"},
        {0x8021, "1.2.643.7.1.1.2.2"},
        {0x8022, "1.2.643.7.1.1.2.3"},
        // Outside the table: CryptoAPI's mapping.
        {0x8003, "1.2.840.113549.2.5"},
        {0x8004, "1.3.14.3.2.26"},
        {0x1234, ""},
        {0, ""},
    };
    for (const Pair& row : rows) EXPECT_EQ(AlgIdToOID(row.algId).toStd(), row.oid) << std::hex << row.algId;
}

TEST(OidNamesTest, OIDToAlgId) {
    const Pair rows[] = {
        {0x801E, "1.2.643.2.2.9"},
        {0x8021, "1.2.643.7.1.1.2.2"},
        {0x8022, "1.2.643.7.1.1.2.3"},
        {0x2E23, "1.2.643.2.2.19"},
        {0x2E49, "1.2.643.7.1.1.1.1"},
        {0x2E3D, "1.2.643.7.1.1.1.2"},
        // The GOST signature algorithms give the key algorithm they name.
        {0x2E23, "1.2.643.2.2.3"},
        {0x2E49, "1.2.643.7.1.1.3.2"},
        {0x2E3D, "1.2.643.7.1.1.3.3"},
        {0x661E, "1.2.643.2.2.21"},
        {0x800C, "2.16.840.1.101.3.4.2.1"},
        {0x800D, "2.16.840.1.101.3.4.2.2"},
        {0x800E, "2.16.840.1.101.3.4.2.3"},
        {0x8003, "1.2.840.113549.2.5"},
        // Unknown to both: 0, never 0xFFFFFFFF.
        {0, "1.2.3.4.5"},
        {0, ""},
    };
    for (const Pair& row : rows) EXPECT_EQ(OIDToAlgId(CAString(row.oid)), row.algId) << row.oid;
    // The reverse of a signature OID is the key algorithm's own OID.
    EXPECT_EQ(AlgIdToOID(OIDToAlgId(CAString("1.2.643.2.2.3"))).toStd(), "1.2.643.2.2.19");
}

TEST(OidNamesTest, NameFromOID) {
    // GOST algorithms carry Russian names.
    for (const char* oid : {"1.2.643.7.1.1.2.2", "1.2.840.113549.1.1.1"}) {
        PCCRYPT_OID_INFO info = CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>(oid), 0);
        ASSERT_NE(info, nullptr) << oid;
        const CWString name = NameFromOID(CAString(oid));
        EXPECT_NE(name.getLength(), 0u);
        EXPECT_EQ(name.toU16(), std::u16string(info->pwszName)) << oid;
    }
    EXPECT_TRUE(NameFromOID(CAString("1.2.643.7.1.1.2.2")).hasCyrillic());
    EXPECT_EQ(NameFromOID(CAString("1.2.3.4.5")).getLength(), 0u);
    EXPECT_EQ(NameFromOID(CAString()).getLength(), 0u);
}

TEST(OidNamesTest, RegistryOrderAndFallbacks) {
    const CAString unknown("1.2.3.4.5.6");
    EXPECT_TRUE(CNameOID::getNames(unknown).empty());
    EXPECT_EQ(CNameOID::getName(unknown).toU16(), u"1.2.3.4.5.6");
    EXPECT_EQ(CNameOID::joinNames(unknown, CWString(u", ")).getLength(), 0u);

    const CAString oid("1.2.3.4.5.7");
    for (const char16_t* name : {u"ccc", u"bb", u"ba", u"a", u"bb"}) CNameOID::add(oid, CWString(name));
    EXPECT_EQ(texts(CNameOID::getNames(oid)), (std::vector<std::u16string>{u"a", u"ba", u"bb", u"ccc"}));
    EXPECT_EQ(CNameOID::joinNames(oid, CWString(u", ")).toU16(), u"a, ba, bb, ccc");
    EXPECT_EQ(CNameOID::getName(oid).toU16(), u"a");

    // Names handed out are the caller's own.
    CNameSet names = CNameOID::getNames(oid);
    CWString first = *names.begin();
    first += u"!";
    *first.at(0) = u'z';
    EXPECT_EQ(CNameOID::getName(oid).toU16(), u"a");
}

// The registry starts with CryptoAPI's names; a provider's name for the same OID joins them, and
// the shortest comes first.
TEST(OidNamesTest, RegistryHoldsCryptoApiAndProviderNames) {
    const CAString oid("1.2.643.7.1.1.2.2");
    const CWString system = NameFromOID(oid);
    ASSERT_NE(system.getLength(), 0u);
    EXPECT_EQ(CNameOID::getNames(oid).count(system), 1u);
    const CWString shorter(u"ГОСТ 12");
    ASSERT_LT(shorter.getLength(), system.getLength());
    CNameOID::add(oid, shorter);
    const CNameSet names = CNameOID::getNames(oid);
    EXPECT_EQ(names.count(system), 1u);
    EXPECT_EQ(names.begin()->toU16(), shorter.toU16());
    EXPECT_EQ(CNameOID::getName(oid).toU16(), shorter.toU16());
}

// Provider-description threads add names concurrently while others read.
TEST(OidNamesTest, ConcurrentAdditions) {
    const CAString oid("1.2.3.4.5.8");
    constexpr int Threads = 8;
    constexpr int PerThread = 25;
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < Threads; ++t)
        workers.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < PerThread; ++i) {
                CNameOID::add(oid, ToWString(t * 1000 + i));
                CNameOID::joinNames(oid, CWString(u";"));
            }
        });
    go = true;
    for (std::thread& worker : workers) worker.join();
    EXPECT_EQ(CNameOID::getNames(oid).size(), static_cast<size_t>(Threads * PerThread));
}
