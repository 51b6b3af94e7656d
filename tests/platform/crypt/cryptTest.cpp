#include <vsk/platform/crypt.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/module.h>

#include "fakeProviders.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "tempRoot.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Hex(const std::vector<BYTE>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (BYTE b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// A verification context released at scope end.
struct Context {
    HCRYPTPROV h = 0;
    Context(DWORD type, const char16_t* name = nullptr, DWORD flags = CRYPT_VERIFYCONTEXT) {
        EXPECT_TRUE(CryptAcquireContextW(&h, nullptr, name, type, flags)) << std::hex << GetLastError();
    }
    ~Context() {
        if (h) CryptReleaseContext(h, 0);
    }
};

std::vector<BYTE> HashValue(HCRYPTHASH hash) {
    DWORD size = 0;
    EXPECT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, nullptr, &size, 0));
    std::vector<BYTE> value(size);
    EXPECT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, value.data(), &size, 0));
    value.resize(size);
    return value;
}

struct ProviderRow {
    DWORD type;
    std::u16string name;
};

std::vector<ProviderRow> EnumProviders() {
    std::vector<ProviderRow> out;
    for (DWORD i = 0;; ++i) {
        DWORD type = 0, size = 0;
        if (!CryptEnumProvidersW(i, nullptr, 0, &type, nullptr, &size)) {
            EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
            break;
        }
        std::u16string name(size / 2, u'\0');
        EXPECT_TRUE(CryptEnumProvidersW(i, nullptr, 0, &type, name.data(), &size));
        name.resize(size / 2 - 1);
        out.push_back({type, name});
    }
    return out;
}

std::vector<PROV_ENUMALGS> EnumAlgs(HCRYPTPROV prov) {
    std::vector<PROV_ENUMALGS> out;
    for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
        PROV_ENUMALGS a{};
        DWORD size = sizeof a;
        if (!CryptGetProvParam(prov, PP_ENUMALGS, reinterpret_cast<BYTE*>(&a), &size, flags)) break;
        out.push_back(a);
    }
    return out;
}

// ---- Digests ------------------------------------------------------------------------------------

struct DigestCase {
    DWORD provType;
    ALG_ID alg;
    const char* messageHex;
    const char* digest;
};

// "abc"; RFC 6986 M1 (the 63 digits) and M2 (the text in code page 1251).
const char* const Abc = "616263";
const char* const M1 =
    "303132333435363738393031323334353637383930313233343536373839303132333435363738393031323334353637"
    "383930313233343536373839303132";
const char* const M2 =
    "d1e520e2e5f2f0e82c20d1f2f0e8e1eee6e820e2edf3f6e82c20e2e5fef2fa20f120eceef0ff20f1f2f0e5ebe0ece820"
    "ede020f5f0e0e1f0fbff20efebfaeafb20c8e3eef0e5e2fb";

const DigestCase DigestCases[] = {
    {PROV_RSA_FULL, CALG_MD5, Abc, "900150983cd24fb0d6963f7d28e17f72"},
    {PROV_RSA_FULL, CALG_SHA1, Abc, "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {PROV_RSA_FULL, CALG_SHA_256, Abc, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {PROV_GOST_2012_256, CALG_GR3411_2012_256, M1,
     "9d151eefd8590b89daa6ba6cb74af9275dd051026bb149a452fd84e5e57b5500"},
    {PROV_GOST_2012_256, CALG_GR3411_2012_256, M2,
     "9dd2fe4e90409e5da87f53976d7405b0c0cac628fc669a741d50063c557e8f50"},
    {PROV_GOST_2012_512, CALG_GR3411_2012_512, M1,
     "1b54d01a4af5b9d5cc3d86d68d285462b19abc2475222f35c085122be4ba1ffa00ad30f8767b3a82384c6574f024c311e2a4813"
     "32b08e"
     "f7f41797891c1646f48"},
    {PROV_GOST_2012_512, CALG_GR3411_2012_512, M2,
     "1e88e62226bfca6f9994f1f2d51569e0daf8475a3b0fe61a5300eee46d961376035fe83549ada2b8620fcd7c496ce5b33f0cb9d"
     "ddc2b6"
     "460143b03dabac9fb28"},
    {PROV_GOST_2012_512, CALG_GR3411_2012_256, M1,
     "9d151eefd8590b89daa6ba6cb74af9275dd051026bb149a452fd84e5e57b5500"},
};

class Digest : public testing::TestWithParam<DigestCase> {};

TEST_P(Digest, KnownAnswerInPiecesThenRefusesMoreData) {
    const DigestCase& c = GetParam();
    Context ctx(c.provType);
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(ctx.h, c.alg, 0, 0, &hash)) << std::hex << GetLastError();
    std::string message = FromHex(c.messageHex);
    size_t half = message.size() / 2;
    ASSERT_TRUE(
        CryptHashData(hash, reinterpret_cast<const BYTE*>(message.data()), static_cast<DWORD>(half), 0));
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(message.data() + half),
                              static_cast<DWORD>(message.size() - half), 0));
    DWORD size = 0, len = sizeof size, alg = 0;
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &len, 0));
    EXPECT_EQ(size * 2, std::strlen(c.digest));
    ASSERT_TRUE(CryptGetHashParam(hash, HP_ALGID, reinterpret_cast<BYTE*>(&alg), &len, 0));
    EXPECT_EQ(alg, c.alg);
    EXPECT_EQ(Hex(HashValue(hash)), c.digest);
    EXPECT_EQ(Hex(HashValue(hash)), c.digest);  // the value stays readable
    BYTE more = 0;
    EXPECT_FALSE(CryptHashData(hash, &more, 1, 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_HASH_STATE);
    EXPECT_TRUE(CryptDestroyHash(hash));
}

INSTANTIATE_TEST_SUITE_P(Crypt, Digest, testing::ValuesIn(DigestCases));

// A destroyed hash leaves its digest context to the next hash of the same algorithm on the thread:
// the next hash starts clean whether the old one was finished, half fed or set to a value.
TEST(CryptHash, NextHashStartsCleanOnAKeptContext) {
    for (const DigestCase& c : DigestCases) {
        Context ctx(c.provType);
        for (int ending = 0; ending < 3; ++ending) {
            HCRYPTHASH old = 0;
            ASSERT_TRUE(CryptCreateHash(ctx.h, c.alg, 0, 0, &old));
            ASSERT_TRUE(CryptHashData(old, reinterpret_cast<const BYTE*>("junk"), 4, 0));
            if (ending == 1) HashValue(old);
            if (ending == 2) {
                const std::vector<BYTE> value(64, 0x5a);
                ASSERT_TRUE(CryptSetHashParam(old, HP_HASHVAL, value.data(), 0));
            }
            ASSERT_TRUE(CryptDestroyHash(old));

            HCRYPTHASH hash = 0;
            ASSERT_TRUE(CryptCreateHash(ctx.h, c.alg, 0, 0, &hash));
            const std::string message = FromHex(c.messageHex);
            ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(message.data()),
                                      static_cast<DWORD>(message.size()), 0));
            EXPECT_EQ(Hex(HashValue(hash)), c.digest) << c.alg << " after ending " << ending;
            EXPECT_TRUE(CryptDestroyHash(hash));
        }
    }
}

TEST(CryptHash, EmptyValueSetValueAndSizeProtocol) {
    Context ctx(PROV_GOST_2012_256);
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(ctx.h, CALG_GR3411_2012_256, 0, 0, &hash));
    // A buffer too small: ERROR_MORE_DATA with the size, and the hash still takes data.
    BYTE small[8];
    DWORD size = sizeof small;
    EXPECT_FALSE(CryptGetHashParam(hash, HP_HASHVAL, small, &size, 0));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(size, 32u);
    EXPECT_TRUE(CryptHashData(hash, nullptr, 0, 0));
    EXPECT_EQ(Hex(HashValue(hash)), "3f539a213e97c802cc229d474c6aa32a825a360b2a933a949fd925208d9ce1bb");
    EXPECT_TRUE(CryptDestroyHash(hash));

    ASSERT_TRUE(CryptCreateHash(ctx.h, CALG_GR3411_2012_256, 0, 0, &hash));
    std::vector<BYTE> value(32, 0xA5);
    ASSERT_TRUE(CryptSetHashParam(hash, HP_HASHVAL, value.data(), 0));
    EXPECT_EQ(HashValue(hash), value);
    EXPECT_FALSE(CryptHashData(hash, value.data(), 1, 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_HASH_STATE);
    EXPECT_TRUE(CryptDestroyHash(hash));
}

TEST(CryptHash, RefusedCreations) {
    Context gost(PROV_GOST_2012_256);
    HCRYPTHASH hash = 77;
    struct Row {
        ALG_ID alg;
        DWORD flags;
        DWORD error;
    } rows[] = {
        {CALG_MD5, 0, NTE_BAD_ALGID},              // not an algorithm of this provider
        {CALG_GR3411_2012_512, 0, NTE_BAD_ALGID},  // the 512-bit hash is the strong provider's
        {CALG_G28147, 0, NTE_BAD_ALGID},           // listed, but no hash
        {CALG_GR3411_2012_256, 1, NTE_BAD_FLAGS},
    };
    for (const Row& r : rows) {
        EXPECT_FALSE(CryptCreateHash(gost.h, r.alg, 0, r.flags, &hash)) << std::hex << r.alg;
        EXPECT_EQ(GetLastError(), r.error) << std::hex << r.alg;
        EXPECT_EQ(hash, 0u);
    }
}

TEST(CryptHash, EngineAnswersNameLookups) {
    ASSERT_TRUE(LoadGostEngine());
    EXPECT_NE(EVP_get_digestbyname("md_gost12_256"), nullptr);
    EXPECT_NE(EVP_get_digestbyname("md_gost12_512"), nullptr);
    EXPECT_NE(EVP_get_cipherbyname("gost89"), nullptr);
}

TEST(CryptHash, ParallelContextsAndHashes) {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, &failures] {
            const DigestCase& c = DigestCases[t % std::size(DigestCases)];
            std::string message = FromHex(c.messageHex);
            for (int i = 0; i < 50; ++i) {
                HCRYPTPROV prov = 0;
                HCRYPTHASH hash = 0;
                std::vector<BYTE> value(64);
                DWORD size = 64;
                bool ok = CryptAcquireContextW(&prov, nullptr, nullptr, c.provType, CRYPT_VERIFYCONTEXT) &&
                          CryptCreateHash(prov, c.alg, 0, 0, &hash) &&
                          CryptHashData(hash, reinterpret_cast<const BYTE*>(message.data()),
                                        static_cast<DWORD>(message.size()), 0) &&
                          CryptGetHashParam(hash, HP_HASHVAL, value.data(), &size, 0);
                value.resize(size);
                if (!ok || Hex(value) != c.digest) ++failures;
                CryptDestroyHash(hash);
                CryptReleaseContext(prov, 0);
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, 0);
}

// ---- Handles and the last error -----------------------------------------------------------------

TEST(CryptHandles, UnknownReleasedAndForeignIds) {
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash));
    EXPECT_NE(prov, hash);

    // Success leaves the last error alone.
    SetLastError(12345);
    DWORD type = 0, len = sizeof type;
    EXPECT_TRUE(CryptGetProvParam(prov, PP_PROVTYPE, reinterpret_cast<BYTE*>(&type), &len, 0));
    char name[64];
    DWORD nameLen = sizeof name;
    EXPECT_TRUE(CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name), &nameLen, 0));
    WCHAR provName[64];
    DWORD provNameLen = sizeof provName;
    EXPECT_TRUE(CryptEnumProvidersW(1, nullptr, 0, &type, provName, &provNameLen));
    EXPECT_NE(CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>("1.3.14.3.2.26"), 0), nullptr);
    EXPECT_EQ(GetLastError(), 12345u);

    EXPECT_TRUE(CryptDestroyHash(hash));
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
    HCRYPTHASH out = 5;
    struct Row {
        const char* what;
        std::function<BOOL()> call;
        DWORD error;
    } rows[] = {
        {"released context", [&] { return CryptReleaseContext(prov, 0); }, NTE_BAD_UID},
        {"zero context", [&] { return CryptReleaseContext(0, 0); }, ERROR_INVALID_HANDLE},
        {"hash id as context",
         [&] { return CryptGetProvParam(hash, PP_PROVTYPE, reinterpret_cast<BYTE*>(&type), &len, 0); },
         ERROR_INVALID_HANDLE},
        {"hash on a released context", [&] { return CryptCreateHash(prov, CALG_SHA1, 0, 0, &out); },
         NTE_BAD_UID},
        {"random on a released context",
         [&] { return CryptGenRandom(prov, 4, reinterpret_cast<BYTE*>(&type)); }, NTE_BAD_UID},
        {"destroyed hash", [&] { return CryptHashData(hash, reinterpret_cast<BYTE*>(&type), 4, 0); },
         NTE_BAD_HASH},
        {"destroyed hash again", [&] { return CryptDestroyHash(hash); }, NTE_BAD_HASH},
        {"context id as hash", [&] { return CryptDestroyHash(prov); }, ERROR_INVALID_HANDLE},
        {"unknown key", [&] { return CryptDestroyKey(0x0300000000000001ull); }, NTE_BAD_KEY},
        {"no output", [&] { return CryptAcquireContextW(nullptr, nullptr, nullptr, 1, CRYPT_VERIFYCONTEXT); },
         ERROR_INVALID_PARAMETER},
    };
    for (const Row& r : rows) {
        SetLastError(0);
        EXPECT_FALSE(r.call()) << r.what;
        EXPECT_EQ(GetLastError(), r.error) << r.what;
    }
}

// A released handle's slot serves the next handle under another id; the released id stays unknown.
TEST(CryptHandles, ReleasedIdStaysUnknownWhenItsSlotIsUsedAgain) {
    HCRYPTPROV first = 0, second = 0;
    ASSERT_TRUE(CryptAcquireContextW(&first, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptReleaseContext(first, 0));
    ASSERT_TRUE(CryptAcquireContextW(&second, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_NE(first, second);
    DWORD type = 0, len = sizeof type;
    EXPECT_FALSE(CryptGetProvParam(first, PP_PROVTYPE, reinterpret_cast<BYTE*>(&type), &len, 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_UID);
    EXPECT_FALSE(CryptReleaseContext(first, 0));
    EXPECT_TRUE(CryptGetProvParam(second, PP_PROVTYPE, reinterpret_cast<BYTE*>(&type), &len, 0));
    EXPECT_EQ(type, PROV_RSA_FULL);
    EXPECT_TRUE(CryptReleaseContext(second, 0));
}

TEST(CryptHandles, HashOutlivesItsContext) {
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(prov, CALG_MD5, 0, 0, &hash));
    ASSERT_TRUE(CryptReleaseContext(prov, 0));
    EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("abc"), 3, 0));
    EXPECT_EQ(Hex(HashValue(hash)), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_TRUE(CryptDestroyHash(hash));
}

// ---- Providers ----------------------------------------------------------------------------------

TEST(CryptProviders, EnumerationOrderTypesAndDefaults) {
    std::vector<ProviderRow> expected = {
        {PROV_RSA_FULL, KESTROVAN_RSA_PROV},
        {PROV_GOST_2012_256, KESTROVAN_GOST_2012_256_PROV},
        {PROV_GOST_2012_512, KESTROVAN_GOST_2012_512_PROV},
    };
    auto providers = EnumProviders();
    ASSERT_EQ(providers.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(providers[i].type, expected[i].type);
        EXPECT_TRUE(providers[i].name == expected[i].name);
    }

    std::vector<DWORD> types;
    for (DWORD j = 0;; ++j) {
        DWORD type = 0, size = 0;
        if (!CryptEnumProviderTypesW(j, nullptr, 0, &type, nullptr, &size)) {
            EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
            break;
        }
        EXPECT_GT(size, 2u);
        types.push_back(type);
    }
    EXPECT_EQ(types, (std::vector<DWORD>{1, 24, 75, 80, 81}));

    for (const auto& p : expected) {
        DWORD size = 0;
        ASSERT_TRUE(CryptGetDefaultProviderW(p.type, nullptr, CRYPT_MACHINE_DEFAULT, nullptr, &size));
        std::u16string name(size / 2, u'\0');
        DWORD small = size - 2;
        EXPECT_FALSE(CryptGetDefaultProviderW(p.type, nullptr, CRYPT_MACHINE_DEFAULT, name.data(), &small));
        EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
        EXPECT_EQ(small, size);
        ASSERT_TRUE(CryptGetDefaultProviderW(p.type, nullptr, CRYPT_MACHINE_DEFAULT, name.data(), &size));
        EXPECT_TRUE(name == p.name + u'\0');
        EXPECT_FALSE(CryptGetDefaultProviderW(p.type, nullptr, CRYPT_USER_DEFAULT, nullptr, &size));
        EXPECT_EQ(GetLastError(), NTE_PROV_TYPE_NOT_DEF);
    }
    DWORD size = 0;
    EXPECT_FALSE(CryptGetDefaultProviderW(PROV_GOST_2001_DH, nullptr, CRYPT_MACHINE_DEFAULT, nullptr, &size));
    EXPECT_EQ(GetLastError(), NTE_PROV_TYPE_NOT_DEF);
}

TEST(CryptProviders, AcquisitionRefusals) {
    HCRYPTPROV h = 0;
    struct Row {
        const char16_t* container;
        const char16_t* name;
        DWORD type;
        DWORD flags;
        DWORD error;
    } rows[] = {
        {nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT, NTE_PROV_TYPE_NOT_DEF},
        {nullptr, u"No Such Provider", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, NTE_KEYSET_NOT_DEF},
        {nullptr, KESTROVAN_RSA_PROV, PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT, NTE_PROV_TYPE_NO_MATCH},
        {nullptr, nullptr, 0, CRYPT_VERIFYCONTEXT, NTE_BAD_PROV_TYPE},
        {nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | 0x100, NTE_BAD_FLAGS},
        {u"ключи", nullptr, PROV_GOST_2012_256, CRYPT_SILENT, NTE_BAD_KEYSET},
        {u"\\\\.\\REGISTRY\\ключи", nullptr, PROV_GOST_2012_256, 0, NTE_BAD_KEYSET},
    };
    for (const Row& r : rows) {
        h = 99;
        EXPECT_FALSE(CryptAcquireContextW(&h, r.container, r.name, r.type, r.flags));
        EXPECT_EQ(GetLastError(), r.error) << std::hex << r.type << " " << r.flags;
        EXPECT_EQ(h, 0u);
    }
    // Names match without regard to case.
    Context ctx(PROV_GOST_2012_512, u"KESTROVAN gost r 34.10-2012 strong cryptographic provider",
                CRYPT_VERIFYCONTEXT | CRYPT_SILENT | CRYPT_MACHINE_KEYSET);
    EXPECT_NE(ctx.h, 0u);
}

TEST(CryptProviders, ParametersOfEachProvider) {
    struct Row {
        DWORD type;
        const char* name;  // code page 1251
        std::vector<std::pair<ALG_ID, DWORD>> algorithms;
    } rows[] = {
        {PROV_RSA_FULL,
         "Kestrovan RSA Cryptographic Provider",
         {{CALG_MD5, 128},
          {CALG_SHA1, 160},
          {CALG_SHA_256, 256},
          {CALG_SHA_384, 384},
          {CALG_SHA_512, 512},
          {CALG_RSA_SIGN, 2048},
          {CALG_RSA_KEYX, 2048},
          {CALG_AES_128, 128},
          {CALG_AES_192, 192},
          {CALG_AES_256, 256},
          {CALG_3DES, 168}}},
        {PROV_GOST_2012_256,
         "Kestrovan GOST R 34.10-2012 Cryptographic Provider",
         {{CALG_GR3411_2012_256, 256},
          {CALG_GR3410_12_256, 512},
          {CALG_DH_GR3410_12_256_SF, 512},
          {CALG_DH_GR3410_12_256_EPHEM, 512},
          {CALG_G28147, 256}}},
        {PROV_GOST_2012_512,
         "Kestrovan GOST R 34.10-2012 Strong Cryptographic Provider",
         {{CALG_GR3411_2012_512, 512},
          {CALG_GR3411_2012_256, 256},
          {CALG_GR3410_12_512, 1024},
          {CALG_DH_GR3410_12_512_SF, 1024},
          {CALG_DH_GR3410_12_512_EPHEM, 1024},
          {CALG_G28147, 256}}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Context ctx(r.type);
        DWORD size = 0;
        ASSERT_TRUE(CryptGetProvParam(ctx.h, PP_NAME, nullptr, &size, 0));
        EXPECT_EQ(size, std::strlen(r.name) + 1);
        std::string name(size, '\0');
        DWORD small = size - 1;
        EXPECT_FALSE(CryptGetProvParam(ctx.h, PP_NAME, reinterpret_cast<BYTE*>(name.data()), &small, 0));
        EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
        EXPECT_EQ(small, size);
        ASSERT_TRUE(CryptGetProvParam(ctx.h, PP_NAME, reinterpret_cast<BYTE*>(name.data()), &size, 0));
        EXPECT_STREQ(name.c_str(), r.name);

        DWORD value = 0, len = sizeof value;
        ASSERT_TRUE(CryptGetProvParam(ctx.h, PP_PROVTYPE, reinterpret_cast<BYTE*>(&value), &len, 0));
        EXPECT_EQ(value, r.type);
        ASSERT_TRUE(CryptGetProvParam(ctx.h, PP_VERSION, reinterpret_cast<BYTE*>(&value), &len, 0));
        EXPECT_EQ(value, 0x0100u);
        PROV_VERSION_EX ex{};
        len = sizeof ex;
        EXPECT_TRUE(CryptGetProvParam(ctx.h, PP_VERSION_EX, reinterpret_cast<BYTE*>(&ex), &len, 0));
        EXPECT_EQ(len, 20u);

        std::vector<std::pair<ALG_ID, DWORD>> algorithms;
        for (const auto& a : EnumAlgs(ctx.h)) {
            algorithms.push_back({a.aiAlgid, a.dwBitLen});
            EXPECT_EQ(a.dwNameLen, std::strlen(a.szName) + 1);
        }
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
        EXPECT_EQ(algorithms, r.algorithms);
        // CRYPT_FIRST starts over.
        EXPECT_EQ(EnumAlgs(ctx.h).size(), r.algorithms.size());

        EXPECT_FALSE(CryptGetProvParam(ctx.h, PP_ENUMCONTAINERS, nullptr, &size, CRYPT_FIRST));
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
        EXPECT_FALSE(CryptGetProvParam(ctx.h, PP_UNIQUE_CONTAINER, nullptr, &size, 0));
        EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
        EXPECT_FALSE(CryptGetProvParam(ctx.h, 0x7777, nullptr, &size, 0));
        EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);
        uintptr_t window = 0x1234;
        EXPECT_TRUE(CryptSetProvParam(ctx.h, PP_CLIENT_HWND, reinterpret_cast<const BYTE*>(&window), 0));
    }
    // Russian algorithm names (code page 1251) for the GOST providers.
    Context gost(PROV_GOST_2012_256);
    EXPECT_STREQ(EnumAlgs(gost.h)[0].szName, "ГОСТ Р 34.11-12 256");
    uintptr_t none = 0;
    EXPECT_TRUE(CryptSetProvParam(0, PP_CLIENT_HWND, reinterpret_cast<const BYTE*>(&none), 0));
}

TEST(CryptProviders, ReadersAndOidParameters) {
    Context ctx(PROV_GOST_2012_256);
    std::vector<std::string> records;
    for (DWORD flags = CRYPT_FIRST | CRYPT_MEDIA;; flags = CRYPT_NEXT | CRYPT_MEDIA) {
        std::vector<BYTE> buffer(1024);
        DWORD size = 1024;
        if (!CryptGetProvParam(ctx.h, PP_ENUMREADERS, buffer.data(), &size, flags)) break;
        records.emplace_back(reinterpret_cast<char*>(buffer.data()), size);
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], std::string("Реестр\0REGISTRY\0REGISTRY\0\0", 26));
    EXPECT_EQ(records[1], std::string("Каталог на диске\0DISK\0DISK\0\0", 28));

    char oid[64];
    DWORD size = sizeof oid;
    ASSERT_TRUE(CryptGetProvParam(ctx.h, PP_HASHOID, reinterpret_cast<BYTE*>(oid), &size, 0));
    EXPECT_STREQ(oid, "1.2.643.7.1.1.2.2");
    size = sizeof oid;
    ASSERT_TRUE(CryptGetProvParam(ctx.h, PP_SIGNATUREOID, reinterpret_cast<BYTE*>(oid), &size, 0));
    EXPECT_STREQ(oid, "1.2.643.7.1.1.1.1");
    Context rsa(PROV_RSA_FULL);
    size = sizeof oid;
    EXPECT_FALSE(CryptGetProvParam(rsa.h, PP_HASHOID, reinterpret_cast<BYTE*>(oid), &size, 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);
}

TEST(CryptProviders, RandomNumbers) {
    Context ctx(PROV_RSA_FULL);
    SetLastError(0);
    EXPECT_TRUE(CryptGenRandom(ctx.h, 0, nullptr));
    std::vector<BYTE> a(32), b(32);
    ASSERT_TRUE(CryptGenRandom(ctx.h, 32, a.data()));
    ASSERT_TRUE(CryptGenRandom(ctx.h, 32, b.data()));
    EXPECT_NE(a, b);
    EXPECT_EQ(GetLastError(), 0u);
}

// ---- The fake backend ---------------------------------------------------------------------------

class FakeBackend : public testing::Test {
protected:
    void Use(const std::string& fixture) { VskTest::UseFakeProviders(fixture); }
    void TearDown() override { VskTest::UseBuiltInProviders(); }
};

TEST_F(FakeBackend, ProvidersDuplicatesSpecialNamesAndDefaults) {
    Use(R"(# the library's special names and a duplicate
[provider]
type = 1
name = Microsoft Enhanced Cryptographic Provider v1.0
[provider]
type = 1
name = Microsoft Base Cryptographic Provider v1.0
user_default = yes
[provider]
type = 80
name = Kestrovan GOST R 34.10-2012 Cryptographic Provider
[provider]
type = 80
name = Kestrovan GOST R 34.10-2012 Cryptographic Provider
[provider]
type = 78
name = Другой провайдер 2012/1024
algorithms = none
alg = 0x2E23 512 GOST R 34.10-2001
alg = 0x2E3D 1024 ГОСТ Р 34.10-12 512
)");
    auto providers = EnumProviders();
    ASSERT_EQ(providers.size(), 5u);
    EXPECT_TRUE(providers[0].name == u"Microsoft Enhanced Cryptographic Provider v1.0");
    EXPECT_TRUE(providers[2].name == providers[3].name);
    EXPECT_TRUE(providers[4].name == u"Другой провайдер 2012/1024");
    EXPECT_EQ(providers[4].type, 78u);

    // Defaults: the first of each type for the machine, the marked one for the user.
    WCHAR name[128];
    DWORD size = sizeof name;
    ASSERT_TRUE(CryptGetDefaultProviderW(1, nullptr, CRYPT_MACHINE_DEFAULT, name, &size));
    EXPECT_TRUE(std::u16string(name) == u"Microsoft Enhanced Cryptographic Provider v1.0");
    size = sizeof name;
    ASSERT_TRUE(CryptGetDefaultProviderW(1, nullptr, CRYPT_USER_DEFAULT, name, &size));
    EXPECT_TRUE(std::u16string(name) == u"Microsoft Base Cryptographic Provider v1.0");
    {
        Context byDefault(1);  // the user default wins
        char text[128];
        DWORD len = sizeof text;
        ASSERT_TRUE(CryptGetProvParam(byDefault.h, PP_NAME, reinterpret_cast<BYTE*>(text), &len, 0));
        EXPECT_STREQ(text, "Microsoft Base Cryptographic Provider v1.0");
    }

    Context other(78, u"Другой провайдер 2012/1024");
    auto algs = EnumAlgs(other.h);
    ASSERT_EQ(algs.size(), 2u);
    EXPECT_EQ(algs[1].aiAlgid, CALG_GR3410_12_512);
    EXPECT_STREQ(algs[1].szName, "ГОСТ Р 34.10-12 512");
    char text[128];
    DWORD len = sizeof text;
    ASSERT_TRUE(CryptGetProvParam(other.h, PP_NAME, reinterpret_cast<BYTE*>(text), &len, 0));
    EXPECT_STREQ(text, "Другой провайдер 2012/1024");

    // Types: the distinct provider types, ascending.
    std::vector<DWORD> types;
    DWORD type = 0;
    for (DWORD j = 0; size = 0, CryptEnumProviderTypesW(j, nullptr, 0, &type, nullptr, &size); ++j)
        types.push_back(type);
    EXPECT_EQ(types, (std::vector<DWORD>{1, 78, 80}));
}

TEST_F(FakeBackend, InjectedFailures) {
    Use(R"([provider]
type = 80
name = Busy
busy = 3
version_ex = none
refuse_hash = 0x8021
[provider]
type = 80
name = Slow
acquire_delay_ms = 300
enumalgs_error = 0x80090020 after 2
[provider]
type = 81
name = Broken
acquire_error = 0x80090016
[global]
enum_providers_error = 3 0x8009001D
enum_types_error = 1 0x80090020
)");
    {
        Context busy(80, u"Busy");
        uintptr_t window = 0;
        for (int i = 0; i < 3; ++i) {
            EXPECT_FALSE(
                CryptSetProvParam(busy.h, PP_CLIENT_HWND, reinterpret_cast<const BYTE*>(&window), 0));
            EXPECT_EQ(GetLastError(), ERROR_BUSY);
        }
        EXPECT_TRUE(CryptSetProvParam(busy.h, PP_CLIENT_HWND, reinterpret_cast<const BYTE*>(&window), 0));
        PROV_VERSION_EX ex{};
        DWORD len = sizeof ex;
        EXPECT_FALSE(CryptGetProvParam(busy.h, PP_VERSION_EX, reinterpret_cast<BYTE*>(&ex), &len, 0));
        EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);
        DWORD version = 0;
        len = sizeof version;
        EXPECT_TRUE(CryptGetProvParam(busy.h, PP_VERSION, reinterpret_cast<BYTE*>(&version), &len, 0));
        HCRYPTHASH hash = 0;
        EXPECT_FALSE(CryptCreateHash(busy.h, CALG_GR3411_2012_256, 0, 0, &hash));
        EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
    }
    {
        auto start = std::chrono::steady_clock::now();
        Context slow(80, u"Slow");
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
        EXPECT_EQ(EnumAlgs(slow.h).size(), 2u);
        EXPECT_EQ(GetLastError(), NTE_FAIL);
    }
    HCRYPTPROV h = 0;
    EXPECT_FALSE(CryptAcquireContextW(&h, nullptr, u"Broken", 81, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);

    DWORD type = 0, size = 0;
    EXPECT_TRUE(CryptEnumProvidersW(2, nullptr, 0, &type, nullptr, &size));
    EXPECT_FALSE(CryptEnumProvidersW(3, nullptr, 0, &type, nullptr, &size));
    EXPECT_EQ(GetLastError(), NTE_PROVIDER_DLL_FAIL);
    EXPECT_TRUE(CryptEnumProviderTypesW(0, nullptr, 0, &type, nullptr, &size));
    EXPECT_FALSE(CryptEnumProviderTypesW(1, nullptr, 0, &type, nullptr, &size));
    EXPECT_EQ(GetLastError(), NTE_FAIL);
}

TEST_F(FakeBackend, ContainersAndUniqueNames) {
    Use(R"([provider]
type = 80
name = With containers
container = a \\.\REGISTRY\a
container = longer-name \\.\DISK\longer-name
[provider]
type = 81
name = No unique names
container = b
machine_container = m1
machine_container = m2
unique_refused = yes
)");
    Context ctx(80, u"With containers");
    DWORD size = 0;
    ASSERT_TRUE(CryptGetProvParam(ctx.h, PP_ENUMCONTAINERS, nullptr, &size, CRYPT_FIRST | CRYPT_UNIQUE));
    const std::string second = std::string("\\\\.\\DISK\\longer-name\0longer-name\0", 33);
    EXPECT_EQ(size, second.size());  // big enough for every record
    std::vector<std::string> records;
    std::vector<BYTE> buffer(size);
    for (DWORD flags = CRYPT_FIRST | CRYPT_UNIQUE;; flags = CRYPT_NEXT | CRYPT_UNIQUE) {
        DWORD len = size;
        if (!CryptGetProvParam(ctx.h, PP_ENUMCONTAINERS, buffer.data(), &len, flags)) break;
        records.emplace_back(reinterpret_cast<char*>(buffer.data()), len);
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], std::string("\\\\.\\REGISTRY\\a\0a\0", 17));
    EXPECT_EQ(records[1], second);

    // Listed containers open by name, unique name or fully qualified name.
    for (const char16_t* name : {u"longer-name", u"\\\\.\\DISK\\longer-name", u"\\\\.\\OTHER\\longer-name"}) {
        HCRYPTPROV h = 0;
        ASSERT_TRUE(CryptAcquireContextW(&h, name, u"With containers", 80, CRYPT_SILENT));
        char text[64];
        DWORD len = sizeof text;
        ASSERT_TRUE(CryptGetProvParam(h, PP_CONTAINER, reinterpret_cast<BYTE*>(text), &len, 0));
        EXPECT_STREQ(text, "longer-name");
        len = sizeof text;
        ASSERT_TRUE(CryptGetProvParam(h, PP_UNIQUE_CONTAINER, reinterpret_cast<BYTE*>(text), &len, 0));
        EXPECT_STREQ(text, "\\\\.\\DISK\\longer-name");
        EXPECT_TRUE(CryptReleaseContext(h, 0));
    }
    HCRYPTPROV h = 0;
    EXPECT_FALSE(CryptAcquireContextW(&h, u"a", u"With containers", 80, CRYPT_MACHINE_KEYSET));
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
    EXPECT_FALSE(CryptAcquireContextW(&h, u"new", u"With containers", 80, CRYPT_NEWKEYSET));
    EXPECT_EQ(GetLastError(), NTE_NOT_SUPPORTED);

    Context plain(81, u"No unique names");
    EXPECT_FALSE(CryptGetProvParam(plain.h, PP_ENUMCONTAINERS, nullptr, &size, CRYPT_FIRST | CRYPT_UNIQUE));
    EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
    ASSERT_TRUE(CryptGetProvParam(plain.h, PP_ENUMCONTAINERS, nullptr, &size, CRYPT_FIRST));
    EXPECT_EQ(size, 2u);
    // A machine context lists the machine's containers.
    Context machine(81, u"No unique names", CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET);
    char name[8];
    for (const char* expected : {"m1", "m2"}) {
        size = sizeof name;
        ASSERT_TRUE(CryptGetProvParam(machine.h, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size,
                                      expected[1] == '1' ? CRYPT_FIRST : CRYPT_NEXT));
        EXPECT_STREQ(name, expected);
    }
    EXPECT_FALSE(
        CryptGetProvParam(machine.h, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, CRYPT_NEXT));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
}

// The shipped library knows no switch to another provider table: the variable that once named a
// fixture file changes nothing.
TEST_F(FakeBackend, BuiltInProvidersComeBackAndNoVariableReplacesThem) {
    Use("[provider]\ntype = 1\nname = Only\n");
    EXPECT_EQ(EnumProviders().size(), 1u);
    VskTest::UseBuiltInProviders();
    EXPECT_EQ(EnumProviders().size(), 3u);

    const std::filesystem::path fixture = std::filesystem::temp_directory_path() / "vskNoFakeCsp.ini";
    std::ofstream(fixture) << "[provider]\ntype = 1\nname = Only\n";
    setenv("KESTROVAN_FAKE_CSP", fixture.c_str(), 1);
    VskTest::UseBuiltInProviders();
    EXPECT_EQ(EnumProviders().size(), 3u);
    unsetenv("KESTROVAN_FAKE_CSP");
    std::filesystem::remove(fixture);
}

TEST_F(FakeBackend, MistypedFixtureLineThrows) {
    EXPECT_THROW(Use("[provider]\ntype = 80\nnmae = Typo\n"), std::invalid_argument);
    EXPECT_THROW(Use("[provider]\nenumalgs_error = 0x80090020 after many\n"), std::invalid_argument);
}

// ---- Memory protection --------------------------------------------------------------------------

TEST(CryptProtect, RoundTripThroughTheStandInModule) {
    HMODULE crypt32 = GetModuleHandleW(u"Crypt32.dll");
    ASSERT_NE(crypt32, nullptr);
    using Fn = BOOL (*)(LPVOID, DWORD, DWORD);
    auto protect = reinterpret_cast<Fn>(GetProcAddress(crypt32, "CryptProtectMemory"));
    auto unprotect = reinterpret_cast<Fn>(GetProcAddress(crypt32, "CryptUnprotectMemory"));
    ASSERT_NE(protect, nullptr);
    ASSERT_NE(unprotect, nullptr);

    std::string secret = "пароль контейнера 0123456789abcdef";
    secret.resize(48, '\0');
    std::string data = secret;
    ASSERT_TRUE(protect(data.data(), 48, CRYPTPROTECTMEMORY_SAME_PROCESS));
    EXPECT_NE(data, secret);
    std::string again = secret;
    ASSERT_TRUE(protect(again.data(), 48, 0));
    EXPECT_EQ(again, data);  // one key per process
    ASSERT_TRUE(unprotect(data.data(), 48, 0));
    EXPECT_EQ(data, secret);

    EXPECT_FALSE(CryptProtectMemory(data.data(), 20, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(CryptProtectMemory(data.data(), 16, CRYPTPROTECTMEMORY_CROSS_PROCESS));
    EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
    EXPECT_TRUE(CryptProtectMemory(nullptr, 0, 0));
}

// ---- OID information ----------------------------------------------------------------------------

TEST(CryptOidInfo, LookupsByEveryKey) {
    struct Row {
        const char* oid;
        DWORD group;
        const char16_t* name;
        ALG_ID alg;
    } rows[] = {
        {"1.2.643.7.1.1.2.2", CRYPT_HASH_ALG_OID_GROUP_ID, u"ГОСТ Р 34.11-2012 256 бит",
         CALG_GR3411_2012_256},
        {"1.2.643.7.1.1.2.3", CRYPT_HASH_ALG_OID_GROUP_ID, u"ГОСТ Р 34.11-2012 512 бит",
         CALG_GR3411_2012_512},
        {"1.2.643.7.1.1.1.1", CRYPT_PUBKEY_ALG_OID_GROUP_ID, u"ГОСТ Р 34.10-2012 256 бит",
         CALG_GR3410_12_256},
        {"1.2.643.2.2.21", CRYPT_ENCRYPT_ALG_OID_GROUP_ID, u"ГОСТ 28147-89", CALG_G28147},
        {"1.3.14.3.2.26", CRYPT_HASH_ALG_OID_GROUP_ID, u"sha1", CALG_SHA1},
        {"2.16.840.1.101.3.4.1.42", CRYPT_ENCRYPT_ALG_OID_GROUP_ID, u"aes256", CALG_AES_256},
        {"1.2.840.113549.1.1.1", CRYPT_PUBKEY_ALG_OID_GROUP_ID, u"RSA", CALG_RSA_KEYX},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.oid);
        PCCRYPT_OID_INFO byOid = CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>(r.oid), 0);
        ASSERT_NE(byOid, nullptr);
        EXPECT_EQ(byOid->cbStruct, sizeof(CRYPT_OID_INFO));
        EXPECT_EQ(byOid->dwGroupId, r.group);
        EXPECT_TRUE(std::u16string(byOid->pwszName) == r.name);
        EXPECT_EQ(byOid->Algid, r.alg);
        EXPECT_EQ(CryptFindOIDInfo(CRYPT_OID_INFO_NAME_KEY, const_cast<char16_t*>(r.name), r.group), byOid);
        ALG_ID alg = r.alg;
        EXPECT_EQ(CryptFindOIDInfo(CRYPT_OID_INFO_ALGID_KEY, &alg, r.group), byOid);
        EXPECT_STREQ(CertAlgIdToOID(r.alg), r.oid);
        EXPECT_EQ(CertOIDToAlgId(r.oid), r.alg);
    }
    EXPECT_EQ(CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>("1.2.643.7.1.1.2.2"),
                               CRYPT_SIGN_ALG_OID_GROUP_ID),
              nullptr);
    EXPECT_NE(CryptFindOIDInfo(CRYPT_OID_INFO_NAME_KEY, const_cast<char16_t*>(u"SHA256RSA"), 0), nullptr);
    ALG_ID sign[2] = {CALG_GR3411_2012_512, CALG_GR3410_12_512};
    PCCRYPT_OID_INFO signInfo = CryptFindOIDInfo(CRYPT_OID_INFO_SIGN_KEY, sign, 0);
    ASSERT_NE(signInfo, nullptr);
    EXPECT_STREQ(signInfo->pszOID, "1.2.643.7.1.1.3.3");
    EXPECT_STREQ(CertAlgIdToOID(CALG_RSA_SIGN), "1.2.840.113549.1.1.1");
    EXPECT_EQ(CertAlgIdToOID(CALG_DH_GR3410_12_256_SF), nullptr);
    EXPECT_EQ(CertAlgIdToOID(CALG_PRO_EXPORT), nullptr);
    EXPECT_EQ(CertOIDToAlgId("1.2.3.4"), 0u);
}

TEST(CryptOidInfo, EnumerationAndAddedEntries) {
    struct Count {
        int all = 0;
        int stopAfter = -1;
    };
    auto counter = [](PCCRYPT_OID_INFO, void* arg) -> BOOL {
        auto* c = static_cast<Count*>(arg);
        ++c->all;
        return c->stopAfter < 0 || c->all < c->stopAfter;
    };
    Count all, hashes, stopped;
    stopped.stopAfter = 2;
    EXPECT_TRUE(CryptEnumOIDInfo(0, 0, &all, counter));
    EXPECT_TRUE(CryptEnumOIDInfo(CRYPT_HASH_ALG_OID_GROUP_ID, 0, &hashes, counter));
    EXPECT_FALSE(CryptEnumOIDInfo(0, 0, &stopped, counter));
    EXPECT_EQ(stopped.all, 2);
    EXPECT_EQ(hashes.all, 8);
    EXPECT_GT(all.all, hashes.all);

    const DWORD numeric[2] = {CERT_RDN_NUMERIC_STRING, 0};
    CRYPT_OID_INFO info{};
    info.cbStruct = sizeof info;
    std::string oid = "1.2.643.3.131.1.1";
    std::u16string name = u"ИНН";
    info.pszOID = oid.c_str();
    info.pwszName = name.c_str();
    info.dwGroupId = CRYPT_RDN_ATTR_OID_GROUP_ID;
    info.ExtraInfo = {sizeof numeric, reinterpret_cast<BYTE*>(const_cast<DWORD*>(numeric))};
    AddOIDInfo(info, true);
    oid.assign("changed");  // texts were copied
    PCCRYPT_OID_INFO found = CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>("1.2.643.3.131.1.1"),
                                              CRYPT_RDN_ATTR_OID_GROUP_ID);
    ASSERT_NE(found, nullptr);
    EXPECT_TRUE(std::u16string(found->pwszName) == u"ИНН");
    EXPECT_EQ(found->ExtraInfo.cbData, 8u);

    // An entry added in front wins over the built-in one of the same OID and group.
    info.pszOID = "1.2.643.7.1.1.2.2";
    info.pwszName = u"Стрибог-256";
    info.dwGroupId = CRYPT_HASH_ALG_OID_GROUP_ID;
    info.Algid = CALG_GR3411_2012_256;
    info.ExtraInfo = {};
    AddOIDInfo(info, false);
    found = CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>("1.2.643.7.1.1.2.2"), 0);
    EXPECT_TRUE(std::u16string(found->pwszName) == u"Стрибог-256");
    EXPECT_TRUE(RemoveAddedOIDInfo("1.2.643.7.1.1.2.2", CRYPT_HASH_ALG_OID_GROUP_ID));
    EXPECT_TRUE(RemoveAddedOIDInfo("1.2.643.3.131.1.1", CRYPT_RDN_ATTR_OID_GROUP_ID));
    found = CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>("1.2.643.7.1.1.2.2"), 0);
    EXPECT_TRUE(std::u16string(found->pwszName) == u"ГОСТ Р 34.11-2012 256 бит");
    EXPECT_EQ(CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>("1.2.643.3.131.1.1"), 0), nullptr);
}

}  // namespace
