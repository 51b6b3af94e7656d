// The GOST test token, loaded with dlopen as the library loads a vendor module: its slots, login,
// failures, counters and slot events, and its GOST results checked against independent code: the
// `openssl` command and the GOST engine's own key transport and gost89 cipher.
#define OPENSSL_SUPPRESS_DEPRECATED  // the engine's key transport is reached through the legacy controls
#include <dlfcn.h>
#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "gostTestHelpers.h"
#include "gostToken.h"
#include "testSupport.h"

namespace {

using namespace GostTest;

struct Token {
    void* handle = nullptr;
    CK_FUNCTION_LIST_PTR f = nullptr;
    decltype(&vskGostTokenConfigure) configure = nullptr;
    decltype(&vskGostTokenSetPresent) setPresent = nullptr;
    decltype(&vskGostTokenFailCall) failCall = nullptr;
    decltype(&vskGostTokenCallCount) callCount = nullptr;
    decltype(&vskGostTokenInitFlags) initFlags = nullptr;
    decltype(&vskGostTokenObjectCount) objectCount = nullptr;
    decltype(&vskGostTokenReleaseWaiters) releaseWaiters = nullptr;
};

template <typename T>
void Sym(void* h, const char* name, T& out) {
    out = reinterpret_cast<T>(dlsym(h, name));
    if (!out) ADD_FAILURE() << "missing export " << name;
}

Token& Module() {
    static Token t = [] {
        Token t;
        t.handle = dlopen(VSK_GOST_TOKEN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!t.handle) {
            ADD_FAILURE() << dlerror();
            return t;
        }
        CK_C_GetFunctionList get = nullptr;
        Sym(t.handle, "C_GetFunctionList", get);
        if (get) get(&t.f);
        Sym(t.handle, "vskGostTokenConfigure", t.configure);
        Sym(t.handle, "vskGostTokenSetPresent", t.setPresent);
        Sym(t.handle, "vskGostTokenFailCall", t.failCall);
        Sym(t.handle, "vskGostTokenCallCount", t.callCount);
        Sym(t.handle, "vskGostTokenInitFlags", t.initFlags);
        Sym(t.handle, "vskGostTokenObjectCount", t.objectCount);
        Sym(t.handle, "vskGostTokenReleaseWaiters", t.releaseWaiters);
        return t;
    }();
    return t;
}

std::string Padded(const CK_UTF8CHAR* p, size_t n) {
    std::string s(reinterpret_cast<const char*>(p), n);
    return s.substr(0, s.find_last_not_of(' ') + 1);
}

Bytes Hex(const char* hex) {
    Bytes out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out.push_back(std::stoi(std::string(hex + i, 2), nullptr, 16));
    return out;
}

// ---- the fixture ---------------------------------------------------------------------------------------

class GostToken : public ::testing::Test {
protected:
    void Configure(const char* text) {
        f()->C_Finalize(nullptr);
        ASSERT_EQ(t().configure(text), CKR_OK);
        CK_C_INITIALIZE_ARGS args{};
        args.flags = CKF_OS_LOCKING_OK;
        ASSERT_EQ(f()->C_Initialize(&args), CKR_OK);
    }
    void SetUp() override {
        ASSERT_TRUE(t().f && t().configure);
        Configure("");
    }
    void TearDown() override { f()->C_Finalize(nullptr); }

    static Token& t() { return Module(); }
    static CK_FUNCTION_LIST_PTR f() { return Module().f; }

    CK_SESSION_HANDLE Open(CK_SLOT_ID slot = 0, bool login = true) {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(f()->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h),
                  CKR_OK);
        if (login) {
            EXPECT_EQ(Login(h, "12345678"), CKR_OK);
        }
        return h;
    }
    static CK_RV Login(CK_SESSION_HANDLE h, const std::string& pin, CK_USER_TYPE user = CKU_USER) {
        return f()->C_Login(h, user, (CK_UTF8CHAR_PTR)pin.data(), pin.size());
    }
    static Bytes Attr(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        if (f()->C_GetAttributeValue(h, o, &a, 1) != CKR_OK) return {};
        Bytes v(a.ulValueLen);
        a.pValue = v.data();
        EXPECT_EQ(f()->C_GetAttributeValue(h, o, &a, 1), CKR_OK);
        return v;
    }

    struct Pair {
        CK_OBJECT_HANDLE pub = 0, priv = 0;
    };
    // A key pair made on the token with the library's templates.
    Pair Generate(CK_SESSION_HANDLE h, CK_MECHANISM_TYPE mech, const char* curve, const char* hash,
                  bool token = false) {
        CK_OBJECT_CLASS pubClass = CKO_PUBLIC_KEY, privClass = CKO_PRIVATE_KEY;
        CK_BBOOL yes = CK_TRUE, no = CK_FALSE, onToken = token ? CK_TRUE : CK_FALSE;
        Bytes c = Oid(curve), d = Oid(hash);
        std::string label = "pair";
        CK_ATTRIBUTE pubT[] = {{CKA_CLASS, &pubClass, sizeof(pubClass)},
                               {CKA_LABEL, label.data(), label.size()},
                               {CKA_ID, label.data(), label.size()},
                               {CKA_TOKEN, &onToken, 1},
                               {CKA_PRIVATE, &no, 1},
                               {CKA_GOSTR3410_PARAMS, c.data(), c.size()},
                               {CKA_GOSTR3411_PARAMS, d.data(), d.size()}};
        CK_ATTRIBUTE privT[] = {{CKA_CLASS, &privClass, sizeof(privClass)},
                                {CKA_LABEL, label.data(), label.size()},
                                {CKA_ID, label.data(), label.size()},
                                {CKA_TOKEN, &onToken, 1},
                                {CKA_PRIVATE, &yes, 1},
                                {CKA_DERIVE, &yes, 1}};
        CK_MECHANISM m{mech, nullptr, 0};
        Pair p;
        EXPECT_EQ(f()->C_GenerateKeyPair(h, &m, pubT, 7, privT, 6, &p.pub, &p.priv), CKR_OK);
        return p;
    }
    CK_OBJECT_HANDLE SecretKey(CK_SESSION_HANDLE h, const Bytes& value, const char* paramset,
                               bool sensitive = false) {
        CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
        CK_KEY_TYPE type = CKK_GOST28147;
        CK_BBOOL no = CK_FALSE, sens = sensitive;
        Bytes p = Oid(paramset);
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof(cls)},
                               {CKA_KEY_TYPE, &type, sizeof(type)},
                               {CKA_TOKEN, &no, 1},
                               {CKA_SENSITIVE, &sens, 1},
                               {CKA_VALUE, (void*)value.data(), value.size()},
                               {CKA_GOST28147_PARAMS, p.data(), p.size()}};
        CK_OBJECT_HANDLE k = 0;
        EXPECT_EQ(f()->C_CreateObject(h, tmpl, 6, &k), CKR_OK);
        return k;
    }
    // A GOST 28147 key derived on the token: VKO with the peer's key and the UKM, RFC 4357 KDF.
    CK_OBJECT_HANDLE Derive(CK_SESSION_HANDLE h, CK_MECHANISM_TYPE mech, CK_OBJECT_HANDLE priv,
                            const Bytes& peer, const Bytes& ukm, const char* paramset) {
        VSK_CK_GOSTR3410_DERIVE_PARAMS params{CKD_CPDIVERSIFY_KDF, (CK_BYTE_PTR)peer.data(), peer.size(),
                                              (CK_BYTE_PTR)ukm.data(), ukm.size()};
        Bytes packed;
        auto u32 = [&](uint32_t v) {
            for (int i = 0; i < 4; ++i) packed.push_back(uint8_t(v >> (8 * i)));
        };
        u32(uint32_t(VSK_CKD_KDF_4357));
        u32(uint32_t(peer.size()));
        packed.insert(packed.end(), peer.begin(), peer.end());
        u32(uint32_t(ukm.size()));
        packed.insert(packed.end(), ukm.begin(), ukm.end());
        CK_MECHANISM m = mech == CKM_GOSTR3410_DERIVE ? CK_MECHANISM{mech, &params, sizeof(params)}
                                                      : CK_MECHANISM{mech, packed.data(), packed.size()};
        CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
        CK_KEY_TYPE type = CKK_GOST28147;
        CK_BBOOL no = CK_FALSE;
        Bytes p = Oid(paramset);
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof(cls)},
                               {CKA_KEY_TYPE, &type, sizeof(type)},
                               {CKA_TOKEN, &no, 1},
                               {CKA_SENSITIVE, &no, 1},
                               {CKA_GOST28147_PARAMS, p.data(), p.size()}};
        CK_OBJECT_HANDLE k = 0;
        EXPECT_EQ(f()->C_DeriveKey(h, &m, priv, tmpl, 5, &k), CKR_OK);
        return k;
    }
};

// ---- slots, tokens, login ----------------------------------------------------------------------------

TEST_F(GostToken, SlotsTokensAndVersionFollowTheConfiguration) {
    Configure(R"(
        cryptoki = 2.1
        slots = 3
        slot0.description = Rutoken ECP
        slot1.present = 0
        token2.label = second
        token2.model = M2
        token2.serial = 42
        token2.hw = 3.4
        token2.fw = 5.6
        token2.mechanisms = 0x1201, 0xD4321012:0x400
    )");
    EXPECT_EQ(t().initFlags(), CKF_OS_LOCKING_OK);
    EXPECT_EQ(f()->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    CK_INFO info;
    ASSERT_EQ(f()->C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(info.cryptokiVersion.major, 2);
    EXPECT_EQ(info.cryptokiVersion.minor, 1);

    CK_SLOT_ID ids[4];
    for (auto [present, expected] :
         {std::pair{CK_TRUE, std::vector<CK_SLOT_ID>{0, 2}}, {CK_FALSE, {0, 1, 2}}}) {
        CK_ULONG n = 0;
        ASSERT_EQ(f()->C_GetSlotList(present, nullptr, &n), CKR_OK);
        EXPECT_EQ(n, expected.size());
        n = 1;
        EXPECT_EQ(f()->C_GetSlotList(present, ids, &n), CKR_BUFFER_TOO_SMALL);
        n = 4;
        ASSERT_EQ(f()->C_GetSlotList(present, ids, &n), CKR_OK);
        EXPECT_EQ(std::vector<CK_SLOT_ID>(ids, ids + n), expected);
    }
    CK_SLOT_INFO slot;
    ASSERT_EQ(f()->C_GetSlotInfo(0, &slot), CKR_OK);
    EXPECT_EQ(Padded(slot.slotDescription, sizeof(slot.slotDescription)), "Rutoken ECP");
    ASSERT_EQ(f()->C_GetSlotInfo(1, &slot), CKR_OK);
    EXPECT_FALSE(slot.flags & CKF_TOKEN_PRESENT);
    EXPECT_EQ(f()->C_GetSlotInfo(3, &slot), CKR_SLOT_ID_INVALID);

    CK_TOKEN_INFO token;
    EXPECT_EQ(f()->C_GetTokenInfo(1, &token), CKR_TOKEN_NOT_PRESENT);
    ASSERT_EQ(f()->C_GetTokenInfo(2, &token), CKR_OK);
    EXPECT_EQ(Padded(token.label, sizeof(token.label)), "second");
    EXPECT_EQ(Padded(token.model, sizeof(token.model)), "M2");
    EXPECT_EQ(Padded(token.serialNumber, sizeof(token.serialNumber)), "42");
    EXPECT_EQ(token.hardwareVersion.major * 10 + token.hardwareVersion.minor, 34);
    EXPECT_EQ(token.firmwareVersion.major * 10 + token.firmwareVersion.minor, 56);

    CK_MECHANISM_TYPE mechs[4];
    CK_ULONG n = 4;
    ASSERT_EQ(f()->C_GetMechanismList(2, mechs, &n), CKR_OK);
    EXPECT_EQ(std::vector<CK_MECHANISM_TYPE>(mechs, mechs + n),
              (std::vector<CK_MECHANISM_TYPE>{CKM_GOSTR3410, VSK_CKM_GOSTR3411_12_256}));
    CK_MECHANISM_INFO mi;
    ASSERT_EQ(f()->C_GetMechanismInfo(2, VSK_CKM_GOSTR3411_12_256, &mi), CKR_OK);
    EXPECT_EQ(mi.flags, CKF_DIGEST);
    ASSERT_EQ(f()->C_GetMechanismInfo(2, CKM_GOSTR3410, &mi), CKR_OK);
    EXPECT_EQ(mi.flags & (CKF_SIGN | CKF_VERIFY), CKF_SIGN | CKF_VERIFY);
    EXPECT_EQ(mi.ulMinKeySize, 256u);
    EXPECT_EQ(f()->C_GetMechanismInfo(2, CKM_GOST28147, &mi), CKR_MECHANISM_INVALID);
    EXPECT_EQ(t().configure("slots = 2\nslot5.present = 0"), CKR_ARGUMENTS_BAD);
}

TEST_F(GostToken, LoginCountsWrongPinsAndLocks) {
    Configure("token0.pin_tries = 3");
    CK_SESSION_HANDLE h = Open(0, false);
    auto flags = [] {
        CK_TOKEN_INFO info;
        EXPECT_EQ(f()->C_GetTokenInfo(0, &info), CKR_OK);
        return info.flags & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED);
    };
    struct Step {
        const char* pin;
        CK_USER_TYPE user;
        CK_RV rv;
        CK_FLAGS flags;
    } steps[] = {
        {"0000", CKU_USER, CKR_PIN_INCORRECT, CKF_USER_PIN_COUNT_LOW},
        {"0000", CKU_USER, CKR_PIN_INCORRECT, CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY},
        {"12345678", CKU_USER, CKR_OK, 0},
        {"12345678", CKU_USER, CKR_USER_ALREADY_LOGGED_IN, 0},
        {"87654321", CKU_SO, CKR_USER_ANOTHER_ALREADY_LOGGED_IN, 0},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.pin);
        EXPECT_EQ(Login(h, s.pin, s.user), s.rv);
        EXPECT_EQ(flags(), s.flags);
    }
    EXPECT_EQ(f()->C_Logout(h), CKR_OK);
    EXPECT_EQ(f()->C_Logout(h), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(Login(h, "1"), CKR_PIN_INCORRECT);
    EXPECT_EQ(Login(h, "1"), CKR_PIN_INCORRECT);
    EXPECT_EQ(Login(h, "1"), CKR_PIN_LOCKED);
    EXPECT_EQ(Login(h, "12345678"), CKR_PIN_LOCKED);
    EXPECT_EQ(flags() & CKF_USER_PIN_LOCKED, CKF_USER_PIN_LOCKED);
}

TEST_F(GostToken, InjectedFailuresAndCallCounts) {
    Configure("slots = 2");
    t().failCall("C_GetTokenInfo", CKR_DEVICE_ERROR, -1, 1);
    t().failCall("C_GenerateRandom", CKR_FUNCTION_FAILED, 1, VSK_GOST_TOKEN_ANY_SLOT);
    CK_TOKEN_INFO info;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(f()->C_GetTokenInfo(0, &info), CKR_OK);
        EXPECT_EQ(f()->C_GetTokenInfo(1, &info), CKR_DEVICE_ERROR);
    }
    EXPECT_EQ(t().callCount("C_GetTokenInfo"), 4u);
    CK_SESSION_HANDLE h = Open(0, false);
    uint8_t buf[16];
    EXPECT_EQ(f()->C_GenerateRandom(h, buf, sizeof(buf)), CKR_FUNCTION_FAILED);
    EXPECT_EQ(f()->C_GenerateRandom(h, buf, sizeof(buf)), CKR_OK);
    EXPECT_EQ(t().callCount("C_GenerateRandom"), 2u);
    EXPECT_EQ(t().callCount("C_Sign"), 0u);
}

// The file named by VSK_GOST_TOKEN_CONFIG configures a module that was given no text (a copy of the
// module is a separate instance).
TEST_F(GostToken, ConfigurationFileIsReadAtFirstUse) {
    std::string dir = VskTest::TempDir();
    std::string copy = dir + "/gostTokenCopy.so", config = dir + "/token.conf";
    std::ifstream src(VSK_GOST_TOKEN_PATH, std::ios::binary);
    std::ofstream(copy, std::ios::binary) << src.rdbuf();
    std::ofstream(config) << "cryptoki = 3.0\nslots = 2\nslot1.description = from file\n";
    VskTest::EnvGuard env("VSK_GOST_TOKEN_CONFIG", config.c_str());
    void* h = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(h) << dlerror();
    CK_C_GetFunctionList get = nullptr;
    Sym(h, "C_GetFunctionList", get);
    CK_FUNCTION_LIST_PTR other = nullptr;
    ASSERT_EQ(get(&other), CKR_OK);
    EXPECT_EQ(other->version.major, 3);
    ASSERT_EQ(other->C_Initialize(nullptr), CKR_OK);
    CK_SLOT_INFO slot;
    ASSERT_EQ(other->C_GetSlotInfo(1, &slot), CKR_OK);
    EXPECT_EQ(Padded(slot.slotDescription, sizeof(slot.slotDescription)), "from file");
    EXPECT_EQ(other->C_Finalize(nullptr), CKR_OK);
    dlclose(h);
}

// Operations end the way the library ends them: a null mechanism abandons a running one, and a final
// part asked for its length only ends a cipher operation, whose last part is always empty.
TEST_F(GostToken, OperationsEndAsTheLibraryEndsThem) {
    CK_SESSION_HANDLE h = Open();
    CK_MECHANISM digest{VSK_CKM_GOSTR3411_12_256, nullptr, 0};
    uint8_t data[10] = {1};
    ASSERT_EQ(f()->C_DigestInit(h, &digest), CKR_OK);
    ASSERT_EQ(f()->C_DigestUpdate(h, data, sizeof(data)), CKR_OK);
    EXPECT_EQ(f()->C_DigestInit(h, &digest), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(f()->C_DigestInit(h, nullptr), CKR_OK);
    EXPECT_EQ(f()->C_DigestInit(h, &digest), CKR_OK);

    CK_OBJECT_HANDLE k = SecretKey(h, Bytes(32, 1), "1.2.643.7.1.2.5.1.1", true);
    Bytes iv(8, 2);
    CK_MECHANISM cfb{CKM_GOST28147, iv.data(), iv.size()};
    uint8_t out[10];
    CK_ULONG n = sizeof(out);
    ASSERT_EQ(f()->C_EncryptInit(h, &cfb, k), CKR_OK);
    ASSERT_EQ(f()->C_EncryptUpdate(h, data, sizeof(data), out, &n), CKR_OK);
    n = 99;
    ASSERT_EQ(f()->C_EncryptFinal(h, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(f()->C_EncryptFinal(h, nullptr, &n), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(f()->C_EncryptInit(h, &cfb, k), CKR_OK);
    CK_MECHANISM badIv{CKM_GOST28147, iv.data(), 7};
    EXPECT_EQ(f()->C_DecryptInit(h, &badIv, k), CKR_MECHANISM_PARAM_INVALID);

    // Signing a hash of the wrong size, and signing without the login.
    Pair p = Generate(h, CKM_GOSTR3410_KEY_PAIR_GEN, "1.2.643.2.2.35.1", "1.2.643.7.1.1.2.2");
    CK_MECHANISM sign{CKM_GOSTR3410, nullptr, 0};
    uint8_t sig[64];
    n = sizeof(sig);
    ASSERT_EQ(f()->C_SignInit(h, &sign, p.priv), CKR_OK);
    EXPECT_EQ(f()->C_Sign(h, data, sizeof(data), sig, &n), CKR_DATA_LEN_RANGE);
    ASSERT_EQ(f()->C_Logout(h), CKR_OK);
    EXPECT_EQ(f()->C_SignInit(h, &sign, p.priv), CKR_USER_NOT_LOGGED_IN);
    CK_MECHANISM sign512{VSK_CKM_GOSTR3410_512, nullptr, 0};
    ASSERT_EQ(Login(h, "12345678"), CKR_OK);
    EXPECT_EQ(f()->C_SignInit(h, &sign512, p.priv), CKR_KEY_TYPE_INCONSISTENT);
}

// ---- slot events -------------------------------------------------------------------------------------

TEST_F(GostToken, InsertionAndRemovalWakeTheSlotEventWait) {
    Configure("slots = 2\nslot1.present = 0");
    CK_SLOT_ID slot = 99;
    EXPECT_EQ(f()->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);
    CK_SESSION_HANDLE h = Open(0);

    auto waiter = std::async(std::launch::async, [] {
        CK_SLOT_ID s = 99;
        CK_RV rv = f()->C_WaitForSlotEvent(0, &s, nullptr);
        return std::pair{rv, s};
    });
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    ASSERT_EQ(t().setPresent(0, 0), CKR_OK);
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), (std::pair<CK_RV, CK_SLOT_ID>{CKR_OK, 0}));
    // Removal closed the session; insertion queues an event of its own.
    CK_SESSION_INFO si;
    EXPECT_EQ(f()->C_GetSessionInfo(h, &si), CKR_SESSION_HANDLE_INVALID);
    ASSERT_EQ(t().setPresent(1, 1), CKR_OK);
    EXPECT_EQ(f()->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_OK);
    EXPECT_EQ(slot, 1u);
    EXPECT_EQ(f()->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);

    // C_Finalize ends a blocked wait.
    auto ended = std::async(std::launch::async, [] {
        CK_SLOT_ID s;
        return f()->C_WaitForSlotEvent(0, &s, nullptr);
    });
    EXPECT_EQ(ended.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    EXPECT_EQ(f()->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(ended.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(ended.get(), CKR_CRYPTOKI_NOT_INITIALIZED);
}

TEST_F(GostToken, AWaitCanOutliveFinalizeUntilReleased) {
    Configure("finalize_keeps_waiter = 1");
    auto held = std::async(std::launch::async, [] {
        CK_SLOT_ID s;
        return f()->C_WaitForSlotEvent(0, &s, nullptr);
    });
    EXPECT_EQ(held.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    EXPECT_EQ(f()->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(held.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    t().releaseWaiters();
    ASSERT_EQ(held.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(held.get(), CKR_CRYPTOKI_NOT_INITIALIZED);
}

// ---- objects -----------------------------------------------------------------------------------------

TEST_F(GostToken, ObjectsAttributesAndVisibility) {
    CK_SESSION_HANDLE h = Open(0, false);
    CK_OBJECT_CLASS data = CKO_DATA;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    std::string label = "note", value = "hello";
    CK_ATTRIBUTE pub[] = {{CKA_CLASS, &data, sizeof(data)},
                          {CKA_TOKEN, &yes, 1},
                          {CKA_LABEL, label.data(), label.size()},
                          {CKA_VALUE, value.data(), value.size()}};
    CK_ATTRIBUTE priv[] = {{CKA_CLASS, &data, sizeof(data)}, {CKA_TOKEN, &no, 1}, {CKA_PRIVATE, &yes, 1}};
    CK_OBJECT_HANDLE o1 = 0, o2 = 0;
    ASSERT_EQ(f()->C_CreateObject(h, pub, 4, &o1), CKR_OK);
    EXPECT_EQ(f()->C_CreateObject(h, priv, 3, &o2), CKR_USER_NOT_LOGGED_IN);
    CK_ULONG shortClass = CKO_DATA;
    CK_ATTRIBUTE badSize[] = {{CKA_CLASS, &shortClass, 4}};
    EXPECT_EQ(f()->C_CreateObject(h, badSize, 1, &o2), CKR_ATTRIBUTE_VALUE_INVALID);
    ASSERT_EQ(Login(h, "12345678"), CKR_OK);
    ASSERT_EQ(f()->C_CreateObject(h, priv, 3, &o2), CKR_OK);

    auto find = [&](CK_ATTRIBUTE* tmpl, CK_ULONG n) {
        std::vector<CK_OBJECT_HANDLE> all;
        EXPECT_EQ(f()->C_FindObjectsInit(h, tmpl, n), CKR_OK);
        CK_OBJECT_HANDLE one;
        CK_ULONG got = 0;
        while (f()->C_FindObjects(h, &one, 1, &got) == CKR_OK && got) all.push_back(one);
        EXPECT_EQ(f()->C_FindObjectsFinal(h), CKR_OK);
        return all;
    };
    EXPECT_EQ(find(pub, 1), (std::vector<CK_OBJECT_HANDLE>{o1, o2}));
    EXPECT_EQ(find(pub + 2, 1), (std::vector<CK_OBJECT_HANDLE>{o1}));
    ASSERT_EQ(f()->C_Logout(h), CKR_OK);
    EXPECT_EQ(find(pub, 1), (std::vector<CK_OBJECT_HANDLE>{o1}));

    // Attribute reading: length query, short buffer, unknown type, read and change.
    char buf[8];
    CK_ATTRIBUTE a[] = {{CKA_VALUE, nullptr, 0}, {CKA_LABEL, buf, 2}, {CKA_MODULUS, buf, 8}};
    EXPECT_EQ(f()->C_GetAttributeValue(h, o1, a, 3), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(a[0].ulValueLen, value.size());
    EXPECT_EQ(a[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(a[2].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    std::string renamed = "renamed";
    CK_ATTRIBUTE rename{CKA_LABEL, renamed.data(), renamed.size()};
    EXPECT_EQ(f()->C_SetAttributeValue(h, o1, &rename, 1), CKR_OK);
    EXPECT_EQ(Attr(h, o1, CKA_LABEL), Bytes(renamed.begin(), renamed.end()));
    CK_ATTRIBUTE reclass{CKA_CLASS, &data, sizeof(data)};
    EXPECT_EQ(f()->C_SetAttributeValue(h, o1, &reclass, 1), CKR_ATTRIBUTE_READ_ONLY);

    // Session objects go with their session, token objects stay.
    ASSERT_EQ(Login(h, "12345678"), CKR_OK);
    EXPECT_EQ(t().objectCount(0), 2u);
    EXPECT_EQ(f()->C_CloseSession(h), CKR_OK);
    EXPECT_EQ(t().objectCount(0), 1u);
    h = Open(0, false);
    EXPECT_EQ(f()->C_DestroyObject(h, o1), CKR_OK);
    EXPECT_EQ(f()->C_DestroyObject(h, o1), CKR_OBJECT_HANDLE_INVALID);
}

// Token objects kept in the token's folder come back with a new configuration naming it; session
// objects do not, and the key pair still signs.
TEST_F(GostToken, TokenObjectsPersistInTheTokensFolder) {
    std::string config = "token0.folder = " + VskTest::TempDir() + "/token0";
    Configure(config.c_str());
    CK_SESSION_HANDLE h = Open();
    Pair kept =
        Generate(h, VSK_CKM_GOSTR3410_512_KEY_PAIR_GEN, "1.2.643.7.1.2.1.2.1", "1.2.643.7.1.1.2.3", true);
    Generate(h, CKM_GOSTR3410_KEY_PAIR_GEN, "1.2.643.2.2.35.1", "1.2.643.7.1.1.2.2", false);
    Bytes pub = Attr(h, kept.pub, CKA_VALUE);
    ASSERT_EQ(t().objectCount(0), 4u);

    Configure(config.c_str());
    EXPECT_EQ(t().objectCount(0), 2u);
    h = Open();
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE byClass{CKA_CLASS, &cls, sizeof(cls)};
    CK_OBJECT_HANDLE priv = 0, pubKey = 0;
    CK_ULONG n = 0;
    ASSERT_EQ(f()->C_FindObjectsInit(h, &byClass, 1), CKR_OK);
    ASSERT_EQ(f()->C_FindObjects(h, &priv, 1, &n), CKR_OK);
    ASSERT_EQ(n, 1u);
    ASSERT_EQ(f()->C_FindObjectsFinal(h), CKR_OK);
    CK_ATTRIBUTE byValue{CKA_VALUE, pub.data(), pub.size()};
    ASSERT_EQ(f()->C_FindObjectsInit(h, &byValue, 1), CKR_OK);
    ASSERT_EQ(f()->C_FindObjects(h, &pubKey, 1, &n), CKR_OK);
    ASSERT_EQ(n, 1u);
    ASSERT_EQ(f()->C_FindObjectsFinal(h), CKR_OK);
    Bytes hash(64, 0x5A), sig(128);
    CK_MECHANISM sign{VSK_CKM_GOSTR3410_512, nullptr, 0};
    n = sig.size();
    ASSERT_EQ(f()->C_SignInit(h, &sign, priv), CKR_OK);
    ASSERT_EQ(f()->C_Sign(h, hash.data(), hash.size(), sig.data(), &n), CKR_OK);
    ASSERT_EQ(f()->C_VerifyInit(h, &sign, pubKey), CKR_OK);
    EXPECT_EQ(f()->C_Verify(h, hash.data(), hash.size(), sig.data(), n), CKR_OK);
    EXPECT_EQ(f()->C_DestroyObject(h, priv), CKR_OK);
    Configure(config.c_str());
    EXPECT_EQ(t().objectCount(0), 1u);
}

TEST_F(GostToken, SecretValuesStayInsideAndMeshingKeysMayChange) {
    CK_SESSION_HANDLE h = Open();
    Bytes value(32, 7);
    CK_OBJECT_HANDLE hidden = SecretKey(h, value, "1.2.643.2.2.31.1", true);
    CK_OBJECT_HANDLE open = SecretKey(h, value, "1.2.643.2.2.31.1", false);
    CK_ATTRIBUTE a{CKA_VALUE, nullptr, 0};
    EXPECT_EQ(f()->C_GetAttributeValue(h, hidden, &a, 1), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(Attr(h, open, CKA_VALUE), value);
    Pair pair = Generate(h, CKM_GOSTR3410_KEY_PAIR_GEN, "1.2.643.2.2.35.1", "1.2.643.7.1.1.2.2");
    EXPECT_EQ(f()->C_GetAttributeValue(h, pair.priv, &a, 1), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(Attr(h, pair.pub, CKA_VALUE).size(), 64u);

    Bytes meshed(32, 9);
    CK_ATTRIBUTE set{CKA_VALUE, meshed.data(), meshed.size()};
    EXPECT_EQ(f()->C_SetAttributeValue(h, open, &set, 1), CKR_OK);
    EXPECT_EQ(Attr(h, open, CKA_VALUE), meshed);
    CK_BBOOL no = CK_FALSE;
    CK_ATTRIBUTE fix{CKA_MODIFIABLE, &no, 1};
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    CK_KEY_TYPE type = CKK_GOST28147;
    CK_ATTRIBUTE gen[] = {{CKA_CLASS, &cls, sizeof(cls)}, {CKA_KEY_TYPE, &type, sizeof(type)}, fix};
    CK_MECHANISM keyGen{CKM_GOST28147_KEY_GEN, nullptr, 0};
    CK_OBJECT_HANDLE fixed = 0;
    ASSERT_EQ(f()->C_GenerateKey(h, &keyGen, gen, 3, &fixed), CKR_OK);
    EXPECT_EQ(f()->C_SetAttributeValue(h, fixed, &set, 1), CKR_ATTRIBUTE_READ_ONLY);
}

// ---- GOST results checked independently --------------------------------------------------------------

TEST_F(GostToken, DigestsEqualTheEngines) {
    CK_SESSION_HANDLE h = Open(0, false);
    Bytes data(1500);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
    struct Row {
        CK_MECHANISM_TYPE mech;
        const char* md;
    } rows[] = {{CKM_GOSTR3411, "md_gost94"},
                {VSK_CKM_GOSTR3411_12_256, "md_gost12_256"},
                {VSK_CKM_GOSTR3411_12_512, "md_gost12_512"}};
    LoadEngine();
    for (const Row& r : rows) {
        SCOPED_TRACE(r.md);
        Bytes expected(EVP_MAX_MD_SIZE);
        unsigned len = 0;
        ASSERT_EQ(
            EVP_Digest(data.data(), data.size(), expected.data(), &len, EVP_get_digestbyname(r.md), nullptr),
            1);
        expected.resize(len);
        CK_MECHANISM m{r.mech, nullptr, 0};
        Bytes one(64), parts(64);
        CK_ULONG n = 0;
        ASSERT_EQ(f()->C_DigestInit(h, &m), CKR_OK);
        EXPECT_EQ(f()->C_DigestInit(h, &m), CKR_OPERATION_ACTIVE);
        ASSERT_EQ(f()->C_Digest(h, data.data(), data.size(), nullptr, &n), CKR_OK);
        EXPECT_EQ(n, len);
        ASSERT_EQ(f()->C_Digest(h, data.data(), data.size(), one.data(), &n), CKR_OK);
        one.resize(n);
        EXPECT_EQ(one, expected);
        ASSERT_EQ(f()->C_DigestInit(h, &m), CKR_OK);
        ASSERT_EQ(f()->C_DigestUpdate(h, data.data(), 1024), CKR_OK);
        ASSERT_EQ(f()->C_DigestUpdate(h, data.data() + 1024, data.size() - 1024), CKR_OK);
        n = parts.size();
        ASSERT_EQ(f()->C_DigestFinal(h, parts.data(), &n), CKR_OK);
        parts.resize(n);
        EXPECT_EQ(parts, expected);
    }
}

TEST_F(GostToken, SignaturesVerifyWithOpensslAndOpensslSignaturesOnTheToken) {
    struct Row {
        CK_MECHANISM_TYPE gen, hashSign, digest, sign;
        const char *curve, *hash, *alg, *md;
        size_t pubSize;
    } rows[] = {
        {CKM_GOSTR3410_KEY_PAIR_GEN, CKM_GOSTR3410_WITH_GOSTR3411, CKM_GOSTR3411, CKM_GOSTR3410,
         "1.2.643.2.2.35.1", "1.2.643.2.2.30.1", "1.2.643.2.2.19", "md_gost94", 64},
        {CKM_GOSTR3410_KEY_PAIR_GEN, VSK_CKM_GOSTR3410_WITH_GOSTR3411_12_256, VSK_CKM_GOSTR3411_12_256,
         CKM_GOSTR3410, "1.2.643.2.2.35.1", "1.2.643.7.1.1.2.2", "1.2.643.7.1.1.1.1", "md_gost12_256", 64},
        {CKM_GOSTR3410_KEY_PAIR_GEN, VSK_CKM_GOSTR3410_WITH_GOSTR3411_12_256, VSK_CKM_GOSTR3411_12_256,
         CKM_GOSTR3410, "1.2.643.7.1.2.1.1.1", "1.2.643.7.1.1.2.2", "1.2.643.7.1.1.1.1", "md_gost12_256", 64},
        {VSK_CKM_GOSTR3410_512_KEY_PAIR_GEN, VSK_CKM_GOSTR3410_WITH_GOSTR3411_12_512,
         VSK_CKM_GOSTR3411_12_512, VSK_CKM_GOSTR3410_512, "1.2.643.7.1.2.1.2.1", "1.2.643.7.1.1.2.3",
         "1.2.643.7.1.1.1.2", "md_gost12_512", 128},
        {VSK_CKM_GOSTR3410_512_KEY_PAIR_GEN, VSK_CKM_GOSTR3410_WITH_GOSTR3411_12_512,
         VSK_CKM_GOSTR3411_12_512, VSK_CKM_GOSTR3410_512, "1.2.643.7.1.2.1.2.2", "1.2.643.7.1.1.2.3",
         "1.2.643.7.1.1.1.2", "md_gost12_512", 128},
    };
    CK_SESSION_HANDLE h = Open();
    std::string dir = VskTest::TempDir();
    Bytes data(3000, 'x');
    ASSERT_TRUE(WriteFile(dir + "/data", data));
    for (const Row& r : rows) {
        SCOPED_TRACE(r.curve + std::string(" ") + r.md);
        Pair p = Generate(h, r.gen, r.curve, r.hash);
        Bytes pub = Attr(h, p.pub, CKA_VALUE);
        ASSERT_EQ(pub.size(), r.pubSize);
        ASSERT_TRUE(WriteFile(dir + "/pub.der", Spki(r.alg, r.curve, r.hash, pub)));

        // Hash and sign in parts; then digest and sign the bare hash.
        CK_MECHANISM hs{r.hashSign, nullptr, 0}, dg{r.digest, nullptr, 0}, sg{r.sign, nullptr, 0};
        Bytes sig1(r.pubSize), hash(r.pubSize / 2), sig2(r.pubSize);
        CK_ULONG n = sig1.size();
        ASSERT_EQ(f()->C_SignInit(h, &hs, p.priv), CKR_OK);
        ASSERT_EQ(f()->C_SignUpdate(h, data.data(), 1024), CKR_OK);
        ASSERT_EQ(f()->C_SignUpdate(h, data.data() + 1024, data.size() - 1024), CKR_OK);
        ASSERT_EQ(f()->C_SignFinal(h, sig1.data(), &n), CKR_OK);
        ASSERT_EQ(n, r.pubSize);
        n = hash.size();
        ASSERT_EQ(f()->C_DigestInit(h, &dg), CKR_OK);
        ASSERT_EQ(f()->C_Digest(h, data.data(), data.size(), hash.data(), &n), CKR_OK);
        ASSERT_EQ(f()->C_SignInit(h, &sg, p.priv), CKR_OK);
        n = 0;
        ASSERT_EQ(f()->C_Sign(h, hash.data(), hash.size(), nullptr, &n), CKR_OK);
        ASSERT_EQ(f()->C_Sign(h, hash.data(), hash.size(), sig2.data(), &n), CKR_OK);
        for (const Bytes* sig : {&sig1, &sig2}) {
            ASSERT_TRUE(WriteFile(dir + "/sig", *sig));
            std::string cmd = "openssl dgst -engine gost -" + std::string(r.md) + " -keyform DER -verify " +
                              dir + "/pub.der -signature " + dir + "/sig " + dir + "/data >" + dir +
                              "/out 2>&1";
            EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        }

        // The token verifies its own and the engine's signatures, and refuses altered ones.
        ASSERT_EQ(f()->C_VerifyInit(h, &sg, p.pub), CKR_OK);
        EXPECT_EQ(f()->C_Verify(h, hash.data(), hash.size(), sig1.data(), sig1.size()), CKR_OK);
        sig1[5] ^= 1;
        ASSERT_EQ(f()->C_VerifyInit(h, &sg, p.pub), CKR_OK);
        EXPECT_EQ(f()->C_Verify(h, hash.data(), hash.size(), sig1.data(), sig1.size()),
                  CKR_SIGNATURE_INVALID);
        ASSERT_EQ(f()->C_VerifyInit(h, &sg, p.pub), CKR_OK);
        EXPECT_EQ(f()->C_Verify(h, hash.data(), hash.size(), sig1.data(), sig1.size() - 1),
                  CKR_SIGNATURE_LEN_RANGE);

        Pkey engineKey = EngineKey(r.pubSize == 64 ? "gost2012_256" : "gost2012_512", r.curve);
        ASSERT_TRUE(engineKey);
        Ctx sctx(EVP_PKEY_CTX_new(engineKey.get(), nullptr));
        size_t len = sig2.size();
        ASSERT_EQ(EVP_PKEY_sign_init(sctx.get()), 1);
        ASSERT_EQ(EVP_PKEY_sign(sctx.get(), sig2.data(), &len, hash.data(), hash.size()), 1);
        Bytes engineValue = EnginePublicValue(engineKey.get(), r.pubSize);
        Bytes curve = Oid(r.curve);
        CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
        CK_KEY_TYPE type = r.pubSize == 64 ? CKK_GOSTR3410 : VSK_CKK_GOSTR3410_512;
        CK_BBOOL no = CK_FALSE, yes = CK_TRUE;
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof(cls)},
                               {CKA_TOKEN, &no, 1},
                               {CKA_VERIFY, &yes, 1},
                               {CKA_VALUE, engineValue.data(), engineValue.size()},
                               {CKA_KEY_TYPE, &type, sizeof(type)},
                               {CKA_GOSTR3410_PARAMS, curve.data(), curve.size()}};
        CK_OBJECT_HANDLE verifyKey = 0;
        ASSERT_EQ(f()->C_CreateObject(h, tmpl, 6, &verifyKey), CKR_OK);
        ASSERT_EQ(f()->C_VerifyInit(h, &sg, verifyKey), CKR_OK);
        EXPECT_EQ(f()->C_Verify(h, hash.data(), hash.size(), sig2.data(), len), CKR_OK);
        EXPECT_EQ(f()->C_DestroyObject(h, verifyKey), CKR_OK);
    }
}

// CKM_GOST28147 is the engine's gost89 (CFB with CryptoPro key meshing every 1024 bytes) under the key's
// S-box; one ECB block is the first gamma block of CFB with that block as the IV.
TEST_F(GostToken, CipherEqualsTheEnginesGost89) {
    CK_SESSION_HANDLE h = Open();
    Bytes key(32), iv = Hex("0102030405060708"), data(2600);
    for (size_t i = 0; i < key.size(); ++i) key[i] = uint8_t(0xA0 + i);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 13 + 1);
    for (const char* paramset : {"1.2.643.2.2.31.1", "1.2.643.2.2.31.2", "1.2.643.2.2.31.3",
                                 "1.2.643.2.2.31.4", "1.2.643.7.1.2.5.1.1"}) {
        SCOPED_TRACE(paramset);
        CK_OBJECT_HANDLE k = SecretKey(h, key, paramset);
        Bytes expected = EngineCfb(key, iv, paramset, data);
        CK_MECHANISM cfb{CKM_GOST28147, iv.data(), iv.size()};
        Bytes out(data.size());
        size_t at = 0;
        ASSERT_EQ(f()->C_EncryptInit(h, &cfb, k), CKR_OK);
        for (size_t part : {7, 1024, 1569}) {
            CK_ULONG n = out.size() - at;
            ASSERT_EQ(f()->C_EncryptUpdate(h, data.data() + at, part, out.data() + at, &n), CKR_OK);
            ASSERT_EQ(n, part);
            at += part;
        }
        CK_ULONG n = 0;
        ASSERT_EQ(f()->C_EncryptFinal(h, nullptr, &n), CKR_OK);
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(out, expected);

        Bytes back(data.size());
        n = back.size();
        ASSERT_EQ(f()->C_DecryptInit(h, &cfb, k), CKR_OK);
        ASSERT_EQ(f()->C_Decrypt(h, out.data(), out.size(), back.data(), &n), CKR_OK);
        EXPECT_EQ(back, data);

        CK_MECHANISM ecb{CKM_GOST28147_ECB, nullptr, 0};
        Bytes block(data.begin(), data.begin() + 16), enc(16);
        n = enc.size();
        ASSERT_EQ(f()->C_EncryptInit(h, &ecb, k), CKR_OK);
        ASSERT_EQ(f()->C_Encrypt(h, block.data(), block.size(), enc.data(), &n), CKR_OK);
        for (int b = 0; b < 2; ++b) {
            Bytes gamma =
                EngineCfb(key, Bytes(block.begin() + 8 * b, block.begin() + 8 * b + 8), paramset, Bytes(8));
            EXPECT_EQ(Bytes(enc.begin() + 8 * b, enc.begin() + 8 * b + 8), gamma);
        }
        ASSERT_EQ(f()->C_DecryptInit(h, &ecb, k), CKR_OK);
        ASSERT_EQ(f()->C_Decrypt(h, enc.data(), enc.size(), back.data(), &n), CKR_OK);
        EXPECT_EQ(Bytes(back.begin(), back.begin() + 16), block);
        ASSERT_EQ(f()->C_EncryptInit(h, &ecb, k), CKR_OK);
        n = enc.size();
        EXPECT_EQ(f()->C_Encrypt(h, block.data(), 9, enc.data(), &n), CKR_DATA_LEN_RANGE);
    }
}

// A key wrapped on the token for a recipient (VKO with UKM, RFC 4357 KDF, key wrap with MAC) unwraps with
// the engine's GOST key transport, and the engine's key transport unwraps on the token.
TEST_F(GostToken, KeyWrapInteroperatesWithTheEnginesKeyTransport) {
    struct Row {
        const char *engineAlg, *curve, *hash, *alg, *sbox;
        CK_MECHANISM_TYPE gen, derive;
        size_t pubSize;
    } rows[] = {
        {"gost2001", "1.2.643.2.2.35.1", "1.2.643.2.2.30.1", "1.2.643.2.2.19", "1.2.643.2.2.31.1",
         CKM_GOSTR3410_KEY_PAIR_GEN, CKM_GOSTR3410_DERIVE, 64},
        {"gost2012_256", "1.2.643.2.2.35.1", "1.2.643.7.1.1.2.2", "1.2.643.7.1.1.1.1", "1.2.643.7.1.2.5.1.1",
         CKM_GOSTR3410_KEY_PAIR_GEN, CKM_GOSTR3410_DERIVE, 64},
        {"gost2012_256", "1.2.643.7.1.2.1.1.1", "1.2.643.7.1.1.2.2", "1.2.643.7.1.1.1.1",
         "1.2.643.7.1.2.5.1.1", CKM_GOSTR3410_KEY_PAIR_GEN, VSK_CKM_GOSTR3410_12_DERIVE, 64},
        {"gost2012_512", "1.2.643.7.1.2.1.2.1", "1.2.643.7.1.1.2.3", "1.2.643.7.1.1.1.2",
         "1.2.643.7.1.2.5.1.1", VSK_CKM_GOSTR3410_512_KEY_PAIR_GEN, VSK_CKM_GOSTR3410_12_DERIVE, 128},
        // This curve and 1.2.643.7.1.2.1.1.1 are twisted Edwards curves (cofactor 4).
        {"gost2012_512", "1.2.643.7.1.2.1.2.3", "1.2.643.7.1.1.2.3", "1.2.643.7.1.1.1.2",
         "1.2.643.7.1.2.5.1.1", VSK_CKM_GOSTR3410_512_KEY_PAIR_GEN, VSK_CKM_GOSTR3410_12_DERIVE, 128},
    };
    CK_SESSION_HANDLE h = Open();
    Bytes cek(32), ukm = Hex("1122334455667788");
    for (size_t i = 0; i < cek.size(); ++i) cek[i] = uint8_t(3 * i + 5);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.engineAlg + std::string(" ") + r.curve);
        Pkey recipient = EngineKey(r.engineAlg, r.curve);
        ASSERT_TRUE(recipient);
        unsigned long before = t().objectCount(0);

        // Token to engine.
        CK_OBJECT_HANDLE sessionKey = SecretKey(h, cek, r.sbox, true);
        Pair eph = Generate(h, r.gen, r.curve, r.hash);
        CK_OBJECT_HANDLE kek =
            Derive(h, r.derive, eph.priv, EnginePublicValue(recipient.get(), r.pubSize), ukm, r.sbox);
        CK_MECHANISM wrap{CKM_GOST28147_KEY_WRAP, ukm.data(), ukm.size()};
        CK_ULONG n = 0;
        ASSERT_EQ(f()->C_WrapKey(h, &wrap, kek, sessionKey, nullptr, &n), CKR_OK);
        ASSERT_EQ(n, 36u);
        Bytes wrapped(n);
        ASSERT_EQ(f()->C_WrapKey(h, &wrap, kek, sessionKey, wrapped.data(), &n), CKR_OK);
        Bytes transport = Tlv(
            0x30,
            Cat({Tlv(0x30, Cat({Tlv(0x04, Bytes(wrapped.begin(), wrapped.begin() + 32)),
                                Tlv(0x04, Bytes(wrapped.begin() + 32, wrapped.end()))})),
                 Tlv(0xA0, Cat({Oid(r.sbox),
                                Tlv(0xA0, Content(Spki(r.alg, r.curve, r.hash, Attr(h, eph.pub, CKA_VALUE)))),
                                Tlv(0x04, ukm)}))}));
        EXPECT_EQ(KeyTransport(recipient.get(), false, transport), cek);
        for (CK_OBJECT_HANDLE o : {sessionKey, eph.pub, eph.priv, kek})
            EXPECT_EQ(f()->C_DestroyObject(h, o), CKR_OK);
        EXPECT_EQ(t().objectCount(0), before);

        // Engine to token: the token's own pair receives a key the engine wrapped for it.
        Pair mine = Generate(h, r.gen, r.curve, r.hash);
        Bytes spki = Spki(r.alg, r.curve, r.hash, Attr(h, mine.pub, CKA_VALUE));
        const unsigned char* p = spki.data();
        Pkey minePub(d2i_PUBKEY(nullptr, &p, long(spki.size())));
        ASSERT_TRUE(minePub);
        std::vector<Bytes> parts = Children(KeyTransport(minePub.get(), true, cek, ukm));
        ASSERT_EQ(parts.size(), 2u);
        std::vector<Bytes> key = Children(parts[0]), agreement = Children(parts[1]);
        ASSERT_EQ(key.size(), 2u);
        ASSERT_EQ(agreement.size(), 3u);
        Bytes ephValue = Content(agreement[1]);
        ephValue.erase(ephValue.begin(), ephValue.end() - r.pubSize);
        std::string sbox =
            Content(agreement[0]) == Content(Oid("1.2.643.2.2.31.1")) ? "1.2.643.2.2.31.1" : r.sbox;
        CK_OBJECT_HANDLE kek2 = Derive(h, r.derive, mine.priv, ephValue, Content(agreement[2]), sbox.c_str());
        Bytes received = Cat({Content(key[0]), Content(key[1])});
        CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
        CK_KEY_TYPE type = CKK_GOST28147;
        CK_BBOOL no = CK_FALSE;
        CK_ATTRIBUTE tmpl[] = {
            {CKA_CLASS, &cls, sizeof(cls)}, {CKA_KEY_TYPE, &type, sizeof(type)}, {CKA_SENSITIVE, &no, 1}};
        CK_OBJECT_HANDLE unwrapped = 0;
        Bytes theirUkm = Content(agreement[2]);
        CK_MECHANISM unwrap{CKM_GOST28147_KEY_WRAP, theirUkm.data(), theirUkm.size()};
        ASSERT_EQ(f()->C_UnwrapKey(h, &unwrap, kek2, received.data(), received.size(), tmpl, 3, &unwrapped),
                  CKR_OK);
        EXPECT_EQ(Attr(h, unwrapped, CKA_VALUE), cek);
        received[33] ^= 1;
        EXPECT_EQ(f()->C_UnwrapKey(h, &unwrap, kek2, received.data(), received.size(), tmpl, 3, &unwrapped),
                  CKR_WRAPPED_KEY_INVALID);
    }
}

}  // namespace
