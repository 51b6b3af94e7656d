// Libraries: the configured names, loading through them, the process-wide map, a second
// initialisation of one module, slot events and the shutdown of the slot-event thread.
#include "pkcs11Impl.h"
#include "softHsm.h"

#include <vsk/platform/registry.h>
#include <vsk/platform/wait.h>
#include <vsk/utils/error.h>
#include <vsk/utils/registry.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace Vsk::PKCS11;
using Vsk::Utils::CArray;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CWString;
using VskTest::MaybeThrown;
using VskTest::SoftHsm;
using VskTest::Utf8;

namespace {

constexpr const WCHAR* SettingsKey = u"Software\\Voskel\\HelvorCom\\Settings";

void setValue(HKEY root, const std::u16string& text) {
    HKEY key = nullptr;
    ASSERT_EQ(Vsk::InternalUtils::regCreateKey(root, SettingsKey, KEY_WRITE, &key), 0);
    RegSetValueExW(key, u"pkcs11Libraries", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * 2));
    Vsk::InternalUtils::regCloseKey(&key);
}

void deleteValue(HKEY root) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, SettingsKey, 0, KEY_WRITE, &key) != 0) return;
    RegDeleteValueW(key, u"pkcs11Libraries");
    RegCloseKey(key);
}

std::u16string readValue(HKEY root) {
    const CDataBlob value = Vsk::InternalUtils::regReadValue(SettingsKey, u"pkcs11Libraries", root);
    std::u16string text(reinterpret_cast<const char16_t*>(value.getData()), value.getSize() / 2);
    while (!text.empty() && text.back() == 0) text.pop_back();
    return text;
}

std::vector<std::u16string> names() {
    std::vector<std::u16string> out;
    for (const CWString& name : CPKCS11::getLibraries()) out.push_back(name.toU16());
    return out;
}

class LibraryTest : public ::testing::Test {
protected:
    void TearDown() override { CPKCS11::clearAll(); }
};

}  // namespace

TEST_F(LibraryTest, NamesComeFromTheUserTheMachineOrTheDefaults) {
    deleteValue(HKEY_CURRENT_USER);
    deleteValue(HKEY_LOCAL_MACHINE);
    ResetLibraryNames();
    const std::vector<std::u16string> defaults = {u"jcPKCS11-2.dll", u"jcPKCS11.dll",    u"eTPKCS11g.dll",
                                                  u"eTPKCS11.dll",   u"rtPKCS11ECP.dll", u"rtPKCS11.dll"};
    EXPECT_EQ(names(), defaults);
    EXPECT_EQ(readValue(HKEY_CURRENT_USER),
              u"jcPKCS11-2.dll|jcPKCS11.dll|eTPKCS11g.dll|eTPKCS11.dll|rtPKCS11ECP.dll|rtPKCS11.dll");

    // Read once per process: a later registry change is not seen.
    setValue(HKEY_CURRENT_USER, u"other.so");
    EXPECT_EQ(names(), defaults);

    // The machine's list when the user has none; it is not copied to the user.
    deleteValue(HKEY_CURRENT_USER);
    setValue(HKEY_LOCAL_MACHINE, u"a.so||b.so");
    ResetLibraryNames();
    EXPECT_EQ(names(), (std::vector<std::u16string>{u"a.so", u"", u"b.so"}));
    EXPECT_EQ(readValue(HKEY_CURRENT_USER), u"");

    // The user's list comes first.
    setValue(HKEY_CURRENT_USER, u"user.so");
    ResetLibraryNames();
    EXPECT_EQ(names(), std::vector<std::u16string>{u"user.so"});

    deleteValue(HKEY_CURRENT_USER);
    deleteValue(HKEY_LOCAL_MACHINE);
    ResetLibraryNames();
}

TEST_F(LibraryTest, LoadsTheConfiguredLibrariesAndReportsThoseThatFail) {
    VSK_REQUIRE_SOFTHSM();
    const std::u16string module = VskTest::Utf16(SoftHsm::Module);
    setValue(HKEY_CURRENT_USER, module + u"||/nonexistent/libnone.so|libz.so.1");
    ResetLibraryNames();
    const std::vector<std::u16string> configured = names();
    ASSERT_EQ(configured.size(), 4u);

    struct Expect {
        const char16_t* message;  // null: loads
        DWORD code;
    };
    const Expect expected[] = {
        {nullptr, 0},
        {u"Библиотека PKCS#11 \"\" не загружена.", ERROR_INVALID_PARAMETER},
        {u"Библиотека PKCS#11 \"/nonexistent/libnone.so\" не загружена.", ERROR_MOD_NOT_FOUND},
        {u"Не найдена функция C_GetFunctionList в библиотеке \"libz.so.1\". Возможно, эта библиотека не "
         u"реализует PKCS#11.",
         ERROR_PROC_NOT_FOUND},
    };
    for (size_t i = 0; i < configured.size(); ++i) {
        SCOPED_TRACE(Utf8(configured[i]));
        CPKCS11 library(true);
        const auto error = MaybeThrown([&] { EXPECT_TRUE(library.init(CWString(configured[i].c_str()))); });
        ASSERT_EQ(error.has_value(), expected[i].message != nullptr);
        if (!error) {
            EXPECT_TRUE(library.isLoaded());
            EXPECT_GE(library.getTokenCount(), 2u);
            continue;
        }
        EXPECT_EQ(error->getMessage().toU16().rfind(expected[i].message, 0), 0u) << Utf8(error->getMessage());
        EXPECT_EQ(static_cast<DWORD>(error->getCode()), expected[i].code);
    }
    deleteValue(HKEY_CURRENT_USER);
    ResetLibraryNames();
}

// A vendor's Windows name is also tried as the vendor's Linux module, in the library folder first.
TEST_F(LibraryTest, AWindowsNameLoadsTheVendorsLinuxModule) {
    VSK_REQUIRE_SOFTHSM();
    const std::string folder = VskTest::TempDir() + "/vendor";
    std::filesystem::create_directories(folder);
    std::filesystem::remove(folder + "/librtpkcs11ecp.so");
    std::filesystem::create_symlink(std::filesystem::canonical(SoftHsm::Module),
                                    folder + "/librtpkcs11ecp.so");
    ASSERT_TRUE(SetDllDirectoryW(VskTest::Utf16(folder).c_str()));
    CPKCS11 library(true);
    const auto error = MaybeThrown([&] { EXPECT_TRUE(library.init(u"rtPKCS11ECP.dll")); });
    SetDllDirectoryW(nullptr);
    ASSERT_FALSE(error) << Utf8(error->getMessage());
    EXPECT_NE(library.getToken(0).getLibraryName().toU16().find(u"/vendor/librtpkcs11ecp.so"),
              std::u16string::npos);
    const auto other = MaybeThrown([] { CPKCS11(true).init(u"eTPKCS11.dll"); });
    ASSERT_TRUE(other);
    EXPECT_EQ(other->getMessage().toU16().rfind(u"Библиотека PKCS#11 \"eTPKCS11.dll\" не загружена.", 0), 0u);
}

TEST_F(LibraryTest, OnePathLoadsOnceAndASecondInitialisationFailsWithoutHarm) {
    VSK_REQUIRE_SOFTHSM();
    CPKCS11 first(true), second(true);
    ASSERT_TRUE(first.init(CWString(VskTest::Utf16(SoftHsm::Module).c_str())));
    ASSERT_TRUE(second.init(CWString(VskTest::Utf16(SoftHsm::Module).c_str())));
    EXPECT_EQ(first.getImpl(), second.getImpl());
    // A handle that already holds a library gets a fresh object for another path.
    CPKCS11::CImpl* before = second.getImpl();

    // The same module under another path is already initialised in this process.
    const std::string other = VskTest::TempDir() + "/libsofthsm2-link.so";
    std::filesystem::remove(other);
    std::filesystem::create_symlink(std::filesystem::canonical(SoftHsm::Module), other);
    const auto error = MaybeThrown([&] { second.init(CWString(VskTest::Utf16(other).c_str())); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->getErrorNumber(), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    EXPECT_EQ(error->getMessage().toU16().rfind(u"Повторная попытка инициализировать модуль сопряжения", 0),
              0u);
    EXPECT_NE(second.getImpl(), before);
    // The failed object goes without finalising the module the first one holds.
    second = CPKCS11(false);
    CToken token = first.getToken(0);
    CDataBlob bytes(8);
    EXPECT_EQ(token.generateRandom(bytes), 0);

    // After the map lets go, the module is finalised and can be loaded again.
    token = CToken();
    first = CPKCS11(false);
    CPKCS11::clearAll();
    CPKCS11 again(true);
    EXPECT_TRUE(again.init(CWString(VskTest::Utf16(SoftHsm::Module).c_str())));
    EXPECT_GE(again.getTokenCount(), 2u);
    const auto beyond = MaybeThrown([&] { again.getToken(again.getTokenCount()); });
    ASSERT_TRUE(beyond);
    EXPECT_EQ(beyond->getMessage().toU16(),
              u"CPKCS11::getToken(" + VskTest::Utf16(std::to_string(again.getTokenCount())) +
                  u"), индекс должен быть меньше " + VskTest::Utf16(std::to_string(again.getTokenCount())));
}

TEST_F(LibraryTest, AModuleWithoutBlockingWaitsEndsTheEventThreadAndKeepsWorking) {
    VSK_REQUIRE_SOFTHSM();
    VskTest::LogCapture log(1);
    CPKCS11 library(true);
    ASSERT_TRUE(library.init(CWString(VskTest::Utf16(SoftHsm::Module).c_str())));
    const std::u16string line = u"C_WaitForSlotEvent вернула ошибку 0x54: FUNCTION_NOT_SUPPORTED";
    for (int i = 0; i < 200 && !log.any(line); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(log.count(line), 1u);
    EXPECT_EQ(WaitForSingleObject(library.getImpl()->m_eventThread, 2000), WAIT_OBJECT_0);
    EXPECT_FALSE(library.getToken(0).getTokenInfo().model.toU16().empty());
}

// Insertion and removal as the event thread hands them over, on SoftHSM's real slots: a slot known
// as empty that now holds a token is an insertion, a known slot whose token is gone (an id the
// module does not know) a removal of every live token object of it.
TEST_F(LibraryTest, SlotEventsReachTheCallbackOncePerEventWithTheLiveTokens) {
    VSK_REQUIRE_SOFTHSM();
    CPKCS11 library(true);
    ASSERT_TRUE(library.init(CWString(VskTest::Utf16(SoftHsm::Module).c_str())));
    CPKCS11::CImpl* impl = library.getImpl();
    std::vector<CToken> seen;
    library.setOnSlotEvent([&](const CToken& token) { seen.push_back(token); });
    const uint64_t present = library.getTokenCount();
    const CK_SLOT_ID first = impl->m_slots.at(0).slotId;

    // Insertion into a slot that was empty.
    impl->m_slots[0].status = CKR_TOKEN_NOT_PRESENT;
    impl->m_presentCount = present - 1;
    impl->onSlotEvent(first);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(library.getTokenCount(), present);
    EXPECT_FALSE(seen[0].isRemoved());
    EXPECT_EQ(seen[0].getInfo().slotId, first);

    // No change between present and absent: nothing is called.
    impl->onSlotEvent(first);
    EXPECT_EQ(seen.size(), 1u);

    // Removal: each live token object of the slot, the very objects handed out before.
    const CK_SLOT_ID gone = 0x7FFF0001;
    impl->m_slots.push_back({gone, CKR_OK});
    impl->m_presentCount = present + 1;
    CPKCS11 handle(library);
    CToken a(&handle, gone), b(&handle, gone), other = library.getToken(0);
    seen.clear();
    impl->onSlotEvent(gone);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE((seen[0].isSame(a) && seen[1].isSame(b)) || (seen[0].isSame(b) && seen[1].isSame(a)));
    EXPECT_TRUE(a.isRemoved());
    EXPECT_TRUE(b.isRemoved());
    EXPECT_FALSE(other.isRemoved());
    EXPECT_EQ(library.getTokenCount(), present);
}

namespace {

// A function list whose slot-event wait blocks until the test lets it go, and which either returns
// from that wait when finalised (a sound module) or not.
struct BlockingModule {
    static inline std::mutex lock;
    static inline std::condition_variable changed;
    static inline bool finalized = false;
    static inline bool released = false;
    static inline bool returnsOnFinalize = true;
    static inline std::atomic<bool> waitReturned{false};

    static CK_RV finalize(void*) {
        std::lock_guard<std::mutex> guard(lock);
        finalized = true;
        changed.notify_all();
        return CKR_OK;
    }
    // Set: the first wait reports a token in this slot at once.
    static inline CK_SLOT_ID insertedSlot = 0;
    static inline std::atomic<int> waits{0};

    static CK_RV wait(CK_FLAGS, CK_SLOT_ID* slot, void*) {
        std::unique_lock<std::mutex> guard(lock);
        if (waits++ == 0 && insertedSlot) {
            *slot = insertedSlot;
            return CKR_OK;
        }
        changed.wait(guard, [] { return released || (finalized && returnsOnFinalize); });
        waitReturned = true;
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    static CK_RV tokenInfo(CK_SLOT_ID, CK_TOKEN_INFO*) { return CKR_OK; }
    static CK_FUNCTION_LIST list() {
        CK_FUNCTION_LIST functions{};
        functions.C_Finalize = &finalize;
        functions.C_WaitForSlotEvent = &wait;
        functions.C_GetTokenInfo = &tokenInfo;
        return functions;
    }
    static void reset(bool sound, CK_SLOT_ID inserted = 0) {
        std::lock_guard<std::mutex> guard(lock);
        finalized = released = false;
        returnsOnFinalize = sound;
        waitReturned = false;
        insertedSlot = inserted;
        waits = 0;
    }
};

}  // namespace

TEST(LibraryShutdown, WaitsForTheEventThreadAndLeavesOneThatDoesNotReturn) {
    for (const bool sound : {true, false}) {
        SCOPED_TRACE(sound ? "returns on finalize" : "stays in the module");
        BlockingModule::reset(sound);
        CK_FUNCTION_LIST functions = BlockingModule::list();
        VskTest::LogCapture log(1);
        CPKCS11 library(true);
        CPKCS11::CImpl* impl = library.getImpl();
        impl->m_functions = &functions;
        impl->startEventThread();
        ASSERT_NE(impl->m_eventThread, nullptr);

        const auto start = std::chrono::steady_clock::now();
        impl->deinit();
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                .count();
        EXPECT_EQ(impl->m_eventThread, nullptr);
        if (sound) {
            EXPECT_LT(ms, 1500);
            EXPECT_TRUE(BlockingModule::waitReturned);
            EXPECT_EQ(log.count(u"terminate events thread"), 0u);
        } else {
            EXPECT_GE(ms, 1900);
            EXPECT_LT(ms, 4000);
            EXPECT_FALSE(BlockingModule::waitReturned);
            EXPECT_EQ(log.count(u"terminate events thread"), 1u);
            // The thread left behind wakes later and touches nothing of the gone library.
            library = CPKCS11(false);
            {
                std::lock_guard<std::mutex> guard(BlockingModule::lock);
                BlockingModule::released = true;
                BlockingModule::changed.notify_all();
            }
            for (int i = 0; i < 200 && !BlockingModule::waitReturned; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_TRUE(BlockingModule::waitReturned);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

// The callback of an insertion drops the library's last handle: the library goes on its own event
// thread after the event, finalised, and the thread ends without waiting for itself.
TEST(LibraryShutdown, TheLastHandleMayGoInASlotEventCallback) {
    BlockingModule::reset(true, 5);
    CK_FUNCTION_LIST functions = BlockingModule::list();
    auto library = std::make_unique<CPKCS11>(true);
    CPKCS11::CImpl* impl = library->getImpl();
    impl->m_functions = &functions;
    std::atomic<int> calls{0};
    library->setOnSlotEvent([&](const CToken& token) {
        ++calls;
        EXPECT_FALSE(token.isRemoved());
        library.reset();
    });
    const auto start = std::chrono::steady_clock::now();
    impl->startEventThread();
    for (int i = 0; i < 200 && !BlockingModule::finalized; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(BlockingModule::finalized);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(calls, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // The thread saw itself let go and asked the module nothing more.
    EXPECT_EQ(BlockingModule::waits, 1);
}
