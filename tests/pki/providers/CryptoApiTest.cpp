#include "catalogueTestSupport.h"

#include <vsk/pki/CryptError.h>
#include <vsk/pki/CryptoApi.h>
#include <vsk/utils/base64.h>
#include <vsk/utils/error.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

using namespace Vsk::Utils;
using namespace Vsk::PKI;
using catalogue_test::FakeBackend;
using VskTest::LogCapture;

namespace {

constexpr DWORD Sentinel = 77;

std::u16string hex(uint64_t value) {
    return ToWString(value, 16).toU16();
}
std::u16string dec(uint64_t value) {
    return ToWString(value).toU16();
}
std::u16string sys(DWORD code) {
    return GetSystemErrorText(code).toU16();
}

// The failure lines of a wrapper: its log name and a blank, but not its trace exit line.
std::vector<std::u16string> failureLines(const LogCapture& capture, const std::u16string& name) {
    std::vector<std::u16string> found;
    for (const std::u16string& line : capture.startingWith(name + u" "))
        if (line.rfind(name + u" -> ", 0) != 0) found.push_back(line);
    return found;
}

HCRYPTPROV acquireVerify(DWORD type, const char16_t* name = nullptr) {
    HCRYPTPROV prov = 0;
    EXPECT_TRUE(CryptAcquireContextW(&prov, nullptr, name, type, CRYPT_VERIFYCONTEXT)) << GetLastError();
    return prov;
}

class CryptoApiTest : public ::testing::Test {
protected:
    void TearDown() override { SetLastError(0); }
};

}  // namespace

// A guard returns before the system is called: the last error stays, nothing is logged as a
// failure; the release wrappers and AcquireContext do not even trace.
TEST_F(CryptoApiTest, GuardsReturnWithoutCalling) {
    HCRYPTPROV prov = acquireVerify(PROV_RSA_FULL);
    ASSERT_NE(prov, 0u);
    struct Case {
        const char* what;
        bool traces;
        std::function<bool()> call;
    };
    const Case cases[] = {
        {"AcquireContext(null)", false,
         [] {
             return AcquireContext(nullptr, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) == FALSE;
         }},
        {"ReleaseContext(0)", false,
         [] {
             HCRYPTPROV h = 0;
             return ReleaseContext(h) == TRUE && h == 0;
         }},
        {"DestroyKey(0)", false,
         [] {
             HCRYPTKEY k = 0;
             return DestroyKey(k) == TRUE;
         }},
        {"DestroyHash(0)", false,
         [] {
             HCRYPTHASH h = 0;
             return DestroyHash(h) == TRUE;
         }},
        {"GetUserKey(0)", true,
         [] {
             HCRYPTKEY k = 0;
             return GetUserKey(0, AT_KEYEXCHANGE, &k) == FALSE;
         }},
        {"GetUserKey(null out)", true, [&] { return GetUserKey(prov, AT_KEYEXCHANGE, nullptr) == FALSE; }},
        {"GenKey(0)", true,
         [] {
             HCRYPTKEY k = 0;
             return GenKey(0, CALG_GR3410_12_256, 0, &k) == FALSE;
         }},
        {"GetProvStrParam(0)", true,
         [] {
             DWORD cell = 99;
             return GetProvStrParam(0, PP_NAME, &cell).getLength() == 0 && cell == 0;
         }},
        {"GetKeyParam(0) blob", true,
         [] {
             DWORD cell = 99;
             return GetKeyParam(0, KP_ALGID, &cell).getSize() == 0 && cell == 0;
         }},
        {"GetKeyParam(0) buffer", true,
         [] {
             DWORD value = 0, length = sizeof value;
             return GetKeyParam(0, KP_ALGID, reinterpret_cast<BYTE*>(&value), &length, 0) == FALSE;
         }},
        {"SetKeyParam(0)", true, [] { return SetKeyParam(0, KP_ALGID, nullptr, 0) == FALSE; }},
        {"ExportKey(0)", true,
         [] {
             CDataBlob blob;
             return ExportKey(0, 0, PUBLICKEYBLOB, 0, &blob) == FALSE;
         }},
        {"ExportKey(null blob)", true, [] { return ExportKey(5, 0, PUBLICKEYBLOB, 0, nullptr) == FALSE; }},
        {"ExportPublicKeyInfo(0)", true,
         [] {
             CDataBlob blob;
             return ExportPublicKeyInfo(0, AT_KEYEXCHANGE, X509_ASN_ENCODING, &blob) == FALSE;
         }},
        {"ImportPublicKeyInfo(0)", true,
         [] {
             CERT_PUBLIC_KEY_INFO info{};
             HCRYPTKEY k = 5;
             return ImportPublicKeyInfo(0, X509_ASN_ENCODING, &info, &k) == FALSE && k == 0;
         }},
        {"ImportKey(empty blob)", true,
         [&] {
             HCRYPTKEY k = 0;
             return ImportKey(prov, CDataBlob(), 0, 0, &k) == FALSE;
         }},
        {"ImportKey(0)", true,
         [] {
             HCRYPTKEY k = 0;
             return ImportKey(0, CDataBlob("\x06\x20", 2, true), 0, 0, &k) == FALSE;
         }},
        {"CreateHash(0)", true,
         [] {
             HCRYPTHASH h = 123;
             return CreateHash(0, CALG_MD5, 0, 0, &h) == FALSE && h == 0;
         }},
        {"CreateHash(null out)", true, [&] { return CreateHash(prov, CALG_MD5, 0, 0, nullptr) == FALSE; }},
        {"HashData(0)", true, [] { return HashData(0, reinterpret_cast<const BYTE*>("a"), 1, 0) == FALSE; }},
        {"SignHash(0)", true,
         [] {
             DWORD cell = 0;
             return SignHash(0, AT_SIGNATURE, &cell).getSize() == 0 &&
                    cell == static_cast<DWORD>(E_INVALIDARG);
         }},
        {"MsgClose(null)", false,
         [] {
             HCRYPTMSG m = nullptr;
             return MsgClose(m) == TRUE;
         }},
        {"MsgGetParam(null)", true,
         [] {
             DWORD size = 4;
             return MsgGetParam(nullptr, CMSG_TYPE_PARAM, 0, nullptr, &size) == FALSE;
         }},
        {"MsgUpdate(null)", true,
         [] { return MsgUpdate(nullptr, reinterpret_cast<const BYTE*>("x"), 1, TRUE) == FALSE; }},
        {"MsgControl(null)", true,
         [] { return MsgControl(nullptr, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, nullptr) == FALSE; }},
    };
    for (const Case& c : cases) {
        LogCapture capture(5);
        SetLastError(Sentinel);
        EXPECT_TRUE(c.call()) << c.what;
        EXPECT_EQ(GetLastError(), Sentinel) << c.what;
        for (const std::u16string& line : capture.lines()) {
            // The log's own first lines (it names its file) are not the wrapper's.
            if (line.find(u"PKI::") == std::u16string::npos) continue;
            EXPECT_TRUE(c.traces) << c.what << " traced";
            // Only the scope's entry and exit lines.
            EXPECT_TRUE(line.rfind(u"-> PKI::", 0) == 0 || line.find(u" -> ") != std::u16string::npos)
                << c.what << " " << std::string(line.begin(), line.end());
        }
    }
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
}

// The release wrappers zero the caller's variable in every case; a second release of a stale
// handle fails and is logged with the handle.
TEST_F(CryptoApiTest, ReleaseWrappersZeroTheVariable) {
    LogCapture capture(1);
    HCRYPTPROV prov = acquireVerify(PROV_RSA_FULL);
    const HCRYPTPROV stale = prov;
    EXPECT_TRUE(ReleaseContext(prov));
    EXPECT_EQ(prov, 0u);
    HCRYPTPROV again = stale;
    EXPECT_FALSE(ReleaseContext(again));
    EXPECT_EQ(again, 0u);
    EXPECT_EQ(GetLastError(), NTE_BAD_UID);
    EXPECT_EQ(failureLines(capture, u"PKI::ReleaseContext"),
              std::vector<std::u16string>{u"PKI::ReleaseContext " + dec(stale) + u" " + sys(NTE_BAD_UID)});

    HCRYPTPROV owner = acquireVerify(PROV_RSA_FULL);
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CreateHash(owner, CALG_SHA1, 0, 0, &hash));
    const HCRYPTHASH staleHash = hash;
    EXPECT_TRUE(DestroyHash(hash));
    EXPECT_EQ(hash, 0u);
    HCRYPTHASH hashAgain = staleHash;
    EXPECT_FALSE(DestroyHash(hashAgain));
    EXPECT_EQ(hashAgain, 0u);
    EXPECT_EQ(failureLines(capture, u"PKI::DestroyHash"),
              std::vector<std::u16string>{u"PKI::DestroyHash " + dec(staleHash) + u" " + sys(NTE_BAD_HASH)});
    EXPECT_TRUE(ReleaseContext(owner));
}

// A failed acquisition is traced and logged at level 4 and leaves its error for the caller's
// crypto-library error.
TEST_F(CryptoApiTest, AcquireContextFailureBecomesTheCallersError) {
    FakeBackend fake("[provider]\ntype = 80\nname = Fake GOST\nacquire_error = 0x80090016\n");
    {
        LogCapture quiet(3);
        HCRYPTPROV prov = 0;
        EXPECT_FALSE(AcquireContext(&prov, nullptr, u"Fake GOST", 80, CRYPT_VERIFYCONTEXT));
        EXPECT_TRUE(quiet.lines().empty());
    }
    LogCapture capture(4);
    HCRYPTPROV prov = 0;
    EXPECT_FALSE(AcquireContext(&prov, nullptr, u"Fake GOST", 80, CRYPT_VERIFYCONTEXT));
    ASSERT_FALSE(capture.lines().empty());
    EXPECT_EQ(capture.lines()[0].rfind(u"-> PKI::AcquireContext(,Fake GOST,80,0xf0000000)", 0), 0u);
    EXPECT_EQ(failureLines(capture, u"PKI::AcquireContext"),
              std::vector<std::u16string>{u"PKI::AcquireContext 0x80090016: Набор ключей не существует"});

    CCryptError error(200101, Vsk::Utils::LastErrorCode, 0);
    EXPECT_EQ(static_cast<DWORD>(error.getCode()), NTE_BAD_KEYSET);
    EXPECT_EQ(error.getMessage().toU16(),
              u"Ошибка криптобиблиотеки 200101: Получение контекста криптопровайдера\r\n"
              u"0x80090016: Набор ключей не существует");
}

TEST_F(CryptoApiTest, AcquireContextTracesItsResult) {
    LogCapture capture(4);
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(AcquireContext(&prov, nullptr, nullptr, PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(capture.startingWith(u"PKI::AcquireContext -> 0x" + hex(prov) + u" ").size(), 1u);
    EXPECT_TRUE(ReleaseContext(prov));
}

// Text parameters: size query, then the data into one byte more; the text comes back without its
// NUL. A failure fills the error cell and logs the step that failed.
TEST_F(CryptoApiTest, ProviderTextParameters) {
    FakeBackend fake("[provider]\ntype = 80\nname = Поставщик ГОСТ\n");
    HCRYPTPROV prov = acquireVerify(80);
    DWORD cell = 99;
    const CAString name = GetProvStrParam(prov, PP_NAME, &cell);
    EXPECT_EQ(cell, 0u);
    EXPECT_EQ(name.getLength(), std::strlen("Поставщик ГОСТ"));
    EXPECT_EQ(name, "Поставщик ГОСТ");

    LogCapture capture(1);
    const CAString missing = GetProvStrParam(prov, 0x7777, &cell);
    EXPECT_EQ(missing.getLength(), 0u);
    EXPECT_NE(cell, 0u);
    EXPECT_EQ(cell, GetLastError());
    EXPECT_EQ(failureLines(capture, u"PKI::GetProvStrParam"),
              std::vector<std::u16string>{u"PKI::GetProvStrParam CryptGetProvParam (get size) " + dec(prov) +
                                          u",30583 " + sys(cell)});
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
}

// The end of an enumeration and a short buffer are failures like any other: returned and logged.
TEST_F(CryptoApiTest, GetProvParamReturnsAndLogsEveryFailure) {
    FakeBackend fake("[provider]\ntype = 80\nname = Fake GOST\ncontainer = first\ncontainer = second\n");
    HCRYPTPROV prov = acquireVerify(80);
    LogCapture capture(1);
    BYTE buffer[256];
    DWORD flags = CRYPT_FIRST;
    int listed = 0;
    for (;;) {
        DWORD length = sizeof buffer;
        if (!GetProvParam(prov, PP_ENUMCONTAINERS, buffer, &length, flags)) break;
        ++listed;
        flags = CRYPT_NEXT;
    }
    EXPECT_EQ(listed, 2);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(failureLines(capture, u"PKI::GetProvParam"),
              std::vector<std::u16string>{u"PKI::GetProvParam CryptGetProvParam dwParam=0x2 259: "
                                          u"Дополнительные данные отсутствуют."});

    capture.clear();
    DWORD shortLength = 2;
    EXPECT_FALSE(GetProvParam(prov, PP_NAME, buffer, &shortLength, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(failureLines(capture, u"PKI::GetProvParam"),
              std::vector<std::u16string>{u"PKI::GetProvParam CryptGetProvParam dwParam=0x4 " +
                                          sys(ERROR_MORE_DATA)});
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
}

// CryptSetProvParam is asked again while the provider is busy: at most 100 repetitions 10 ms apart,
// every failed attempt logged; the busy error comes back after them.
TEST_F(CryptoApiTest, SetProvParamRetriesWhileBusy) {
    const uintptr_t window = 0x1234;
    const BYTE* data = reinterpret_cast<const BYTE*>(&window);
    const std::u16string line = u"PKI::SetProvParam задание параметра 1 значением " +
                                hex(reinterpret_cast<uintptr_t>(data)) + u" " + sys(ERROR_BUSY);
    {
        FakeBackend fake("[provider]\ntype = 80\nname = Busy\nbusy = 3\n");
        HCRYPTPROV prov = acquireVerify(80);
        LogCapture capture(1);
        EXPECT_TRUE(SetProvParam(prov, PP_CLIENT_HWND, data, 0));
        EXPECT_EQ(failureLines(capture, u"PKI::SetProvParam"), std::vector<std::u16string>(3, line));
        EXPECT_TRUE(CryptReleaseContext(prov, 0));
    }
    {
        FakeBackend fake("[provider]\ntype = 80\nname = Busy\nbusy = 101\n");
        HCRYPTPROV prov = acquireVerify(80);
        LogCapture capture(1);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(SetProvParam(prov, PP_CLIENT_HWND, data, 0));
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(GetLastError(), ERROR_BUSY);
        EXPECT_EQ(failureLines(capture, u"PKI::SetProvParam"), std::vector<std::u16string>(101, line));
        EXPECT_GE(elapsed, std::chrono::milliseconds(900));
        // All 101 busy answers were used up: the next call goes through at once.
        capture.clear();
        EXPECT_TRUE(SetProvParam(prov, PP_CLIENT_HWND, data, 0));
        EXPECT_TRUE(failureLines(capture, u"PKI::SetProvParam").empty());
        EXPECT_TRUE(CryptReleaseContext(prov, 0));
    }
}

// CryptImportKey is repeated in the same way, but only the last failure is logged. A key blob may
// hold a plain private key: the line names it by size and SHA-1, never by its bytes.
TEST_F(CryptoApiTest, ImportKeyRetriesWhileBusyAndLogsOnce) {
    const CDataBlob blob("\x06\x20\x00\x00\x1e\x66\x00\x00", 8, true);
    // The fake providers offer no SHA-1, so the line has the size alone (the certificate tests see
    // the digest as well).
    const std::u16string blobText = u"size=8";
    {
        // 100 busy answers: the 101st call reaches the provider's real answer.
        FakeBackend fake("[provider]\ntype = 80\nname = Busy\nbusy = 100\n");
        HCRYPTPROV prov = acquireVerify(80);
        LogCapture capture(1);
        HCRYPTKEY key = 9;
        EXPECT_FALSE(ImportKey(prov, blob, 0, 0, &key));
        EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
        EXPECT_EQ(key, 0u);
        EXPECT_EQ(failureLines(capture, u"PKI::ImportKey"),
                  std::vector<std::u16string>{u"PKI::ImportKey " + blobText + u" " + sys(NTE_BAD_DATA)});
        EXPECT_TRUE(CryptReleaseContext(prov, 0));
    }
    {
        FakeBackend fake("[provider]\ntype = 80\nname = Busy\nbusy = 101\n");
        HCRYPTPROV prov = acquireVerify(80);
        LogCapture capture(1);
        HCRYPTKEY key = 0;
        EXPECT_FALSE(ImportKey(prov, blob, 0, 0, &key));
        EXPECT_EQ(GetLastError(), ERROR_BUSY);
        EXPECT_EQ(failureLines(capture, u"PKI::ImportKey").size(), 1u);
        EXPECT_FALSE(ImportKey(prov, blob, 0, 0, &key));
        EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
        EXPECT_TRUE(CryptReleaseContext(prov, 0));
    }
}

// Imports run one at a time: an import on an idle provider waits for one that is retrying on a busy
// provider.
TEST_F(CryptoApiTest, ImportsRunOneAtATime) {
    FakeBackend fake(
        "[provider]\ntype = 80\nname = Busy\nbusy = 40\n"
        "[provider]\ntype = 81\nname = Idle\n");
    HCRYPTPROV busy = acquireVerify(80);
    HCRYPTPROV idle = acquireVerify(81);
    const CDataBlob blob("\x06\x20\x00\x00", 4, true);
    using Clock = std::chrono::steady_clock;
    Clock::time_point busyBegan, busyEnded;
    std::atomic<bool> started{false};
    std::thread worker([&] {
        HCRYPTKEY key = 0;
        busyBegan = Clock::now();
        started = true;
        ImportKey(busy, blob, 0, 0, &key);
        busyEnded = Clock::now();
    });
    // Once the worker runs, gives the busy import (40 busy answers, 10 ms apart) a head start long
    // enough to take the import lock even on a loaded machine, so that the two overlap.
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    HCRYPTKEY key = 0;
    EXPECT_FALSE(ImportKey(idle, blob, 0, 0, &key));
    const Clock::time_point idleEnded = Clock::now();
    EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
    worker.join();
    // The idle import, quick on its own, never ends while the busy one is still retrying: either it
    // waited for the busy one to end, or it was over before the busy one took the lock, and then all
    // 40 busy answers (10 ms apart at least) came after it. The worker notes its end only after it has
    // let go of the lock, and on a loaded machine the idle import may end first: a margin allows for
    // that, well below the 250 ms that the busy import still has to run when nothing makes the idle
    // one wait.
    const auto margin = std::chrono::milliseconds(100);
    EXPECT_TRUE(idleEnded + margin >= busyEnded || idleEnded <= busyBegan ||
                busyEnded - idleEnded >= std::chrono::milliseconds(40 * 10));
    EXPECT_TRUE(CryptReleaseContext(busy, 0));
    EXPECT_TRUE(CryptReleaseContext(idle, 0));
}

// Wrappers with an error cell put the failure's last error there; a failed call leaves no data.
TEST_F(CryptoApiTest, ErrorCells) {
    HCRYPTPROV prov = acquireVerify(PROV_GOST_2012_256);
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CreateHash(prov, CALG_GR3411_2012_256, 0, 0, &hash));
    {
        LogCapture capture(1);
        DWORD cell = 0;
        EXPECT_EQ(SignHash(hash, AT_SIGNATURE, &cell).getSize(), 0u);
        EXPECT_EQ(cell, NTE_NO_KEY);
        EXPECT_EQ(failureLines(capture, u"PKI::SignHash"),
                  std::vector<std::u16string>{u"PKI::SignHash CryptSignHash (get size) hHash=0x" + hex(hash) +
                                              u",dwKeySpec=0x2 " + sys(NTE_NO_KEY)});
        CCryptError error(110104, Vsk::Utils::LastErrorCode, 0);
        EXPECT_EQ(static_cast<DWORD>(error.getCode()), NTE_NO_KEY);
    }
    {
        DWORD cell = 0;
        HCRYPTKEY key = 0;
        EXPECT_FALSE(GetUserKey(prov, AT_KEYEXCHANGE, &key));
        EXPECT_EQ(GetLastError(), NTE_NO_KEY);
        const HCRYPTKEY stale = 0x0300000000000001ull;
        EXPECT_EQ(GetKeyParam(stale, KP_ALGID, &cell).getSize(), 0u);
        EXPECT_NE(cell, 0u);
        EXPECT_EQ(cell, GetLastError());
        CDataBlob exported(CAString("old"));
        EXPECT_FALSE(ExportKey(stale, 0, PUBLICKEYBLOB, 0, &exported));
        EXPECT_EQ(exported.getSize(), 0u);
        CDataBlob info(CAString("old"));
        EXPECT_FALSE(ExportPublicKeyInfo(prov, AT_KEYEXCHANGE, X509_ASN_ENCODING, &info));
        EXPECT_EQ(info.getSize(), 0u);
    }
    EXPECT_TRUE(DestroyHash(hash));
    EXPECT_TRUE(ReleaseContext(prov));
}

// Hashing through the wrappers, traced at level 5 with the handle's argument texts.
TEST_F(CryptoApiTest, HashWrappersTraceAtLevelFive) {
    HCRYPTPROV prov = acquireVerify(PROV_RSA_FULL);
    HCRYPTHASH hash = 0;
    {
        LogCapture capture(4);
        ASSERT_TRUE(CreateHash(prov, CALG_MD5, 0, 0, &hash));
        ASSERT_TRUE(HashData(hash, reinterpret_cast<const BYTE*>("abc"), 3, 0));
        EXPECT_TRUE(capture.lines().empty());
    }
    LogCapture capture(5);
    ASSERT_TRUE(HashData(hash, reinterpret_cast<const BYTE*>("d"), 1, 0));
    ASSERT_FALSE(capture.startingWith(u"-> PKI::HashData(hHash=0x" + hex(hash) + u",pbData=").empty());
    EXPECT_EQ(capture.startingWith(u"PKI::HashData -> 1 ").size(), 1u);
    EXPECT_TRUE(DestroyHash(hash));
    EXPECT_TRUE(ReleaseContext(prov));
}

// The message wrappers: a failed call keeps its error for the caller and is logged at level 3 with
// the system text; the trace shows the arguments at level 5; the close empties the variable.
TEST_F(CryptoApiTest, MessageWrappers) {
    DWORD size = 4;
    HCRYPTMSG msg = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
    ASSERT_NE(msg, nullptr);
    {
        LogCapture capture(3);
        // Not a message: the update fails with the decoder's error, which the log line names.
        const BYTE garbage[] = {0x04, 0x01, 0x00};
        EXPECT_FALSE(MsgUpdate(msg, garbage, sizeof garbage, TRUE));
        const DWORD error = GetLastError();
        EXPECT_NE(error, 0u);
        EXPECT_EQ(failureLines(capture, u"PKI::MsgUpdate"),
                  std::vector<std::u16string>{u"PKI::MsgUpdate " + sys(error)});
        EXPECT_FALSE(MsgGetParam(msg, CMSG_SIGNER_COUNT_PARAM, 0, nullptr, &size));
        EXPECT_EQ(failureLines(capture, u"PKI::MsgGetParam"),
                  std::vector<std::u16string>{u"PKI::MsgGetParam " + sys(GetLastError())});
    }
    {
        LogCapture capture(5);
        size = 0;
        MsgGetParam(msg, CMSG_TYPE_PARAM, 2, nullptr, &size);
        const std::u16string entry = u"-> PKI::MsgGetParam(hCryptMsg=0x" +
                                     hex(reinterpret_cast<uintptr_t>(msg)) +
                                     u",dwParamType=0x1,dwIndex=2,pvData=0,pcbData=";
        EXPECT_EQ(capture.startingWith(entry).size(), 1u);
        const std::u16string update = u"-> PKI::MsgUpdate(hCryptMsg=" +
                                      hex(reinterpret_cast<uintptr_t>(msg)) + u",pbData=0,cbData=0,fFinal=1";
        MsgUpdate(msg, nullptr, 0, TRUE);
        EXPECT_EQ(capture.startingWith(update).size(), 1u);
    }
    HCRYPTMSG copy = msg;
    EXPECT_TRUE(MsgClose(copy));
    EXPECT_EQ(copy, nullptr);
}
