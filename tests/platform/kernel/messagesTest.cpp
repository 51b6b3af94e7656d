#include <vsk/platform/kernel.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr DWORD OneLine = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                          FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK;  // 0x11FF
constexpr DWORD FromModule = OneLine | FORMAT_MESSAGE_FROM_HMODULE;                    // 0x19FF

// The allocated text, or "<none>" with the last error in `error`.
std::u16string allocatedText(DWORD flags, LPCVOID source, DWORD code, DWORD* error = nullptr) {
    WCHAR* buffer = nullptr;
    SetLastError(0);
    DWORD n =
        FormatMessageW(flags, source, code, LANG_USER_DEFAULT, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (error) *error = GetLastError();
    if (n == 0) {
        EXPECT_EQ(buffer, nullptr);
        return u"<none>";
    }
    std::u16string text(buffer, n);
    EXPECT_EQ(buffer[n], 0);
    EXPECT_EQ(LocalFree(buffer), nullptr);
    return text;
}

struct WinHttpModuleScope {
    explicit WinHttpModuleScope(HMODULE module) { SetWinHttpMessageModule(module); }
    ~WinHttpModuleScope() { SetWinHttpMessageModule(nullptr); }
};

}  // namespace

TEST(FormatMessage, KnownCodesGiveRussianTexts) {
    EXPECT_EQ(allocatedText(OneLine, nullptr, ERROR_ACCESS_DENIED), u"Отказано в доступе.");
    EXPECT_EQ(allocatedText(OneLine, nullptr, ERROR_FILE_NOT_FOUND), u"Не удается найти указанный файл.");
    EXPECT_EQ(allocatedText(OneLine, nullptr, ERROR_CANCELLED), u"Операция была отменена пользователем.");
    EXPECT_EQ(allocatedText(OneLine, nullptr, 0x80090016), u"Набор ключей не существует");
    // Without a maximum width the text ends with a line break, as the platform's texts do.
    EXPECT_EQ(allocatedText(OneLine & ~FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr, ERROR_ACCESS_DENIED),
              u"Отказано в доступе.\r\n");
}

// Every code the registry and the cryptographic providers return has a one-line text, so that no
// failure the program reports ends up without one.
TEST(FormatMessage, RegistryAndProviderCodesHaveTexts) {
    std::vector<DWORD> codes = {170,        1009,       1016,       1018,       0x80091007,
                                0x80092004, 0x80092005, 0x8009200B, 0x8010002A, 0x8010006B,
                                0x8010006C, 0x8010006E, 0x8010006F};
    for (DWORD nte = 0x80090001; nte <= 0x80090022; ++nte) codes.push_back(nte);  // NTE_BAD_UID...
    codes.push_back(0x80090029);
    for (DWORD code : codes) {
        const std::u16string text = allocatedText(OneLine, nullptr, code);
        EXPECT_NE(text, u"<none>") << std::hex << code;
        EXPECT_EQ(text.find_first_of(u"\r\n"), std::u16string::npos) << std::hex << code;
    }
    EXPECT_EQ(allocatedText(OneLine, nullptr, 170), u"Требуемый ресурс занят.");
    EXPECT_EQ(allocatedText(OneLine, nullptr, 0x80090001), u"Неправильный UID.");
}

TEST(FormatMessage, UnknownCodeHasNoText) {
    DWORD error = 0;
    EXPECT_EQ(allocatedText(OneLine, nullptr, 4242, &error), u"<none>");
    EXPECT_EQ(error, ERROR_MR_MID_NOT_FOUND);
}

TEST(FormatMessage, WinHttpTextsOnlyThroughTheirModule) {
    HMODULE module = reinterpret_cast<HMODULE>(0x1000);
    DWORD error = 0;
    EXPECT_EQ(allocatedText(OneLine, nullptr, 12007, &error), u"<none>");
    EXPECT_EQ(error, ERROR_MR_MID_NOT_FOUND);
    EXPECT_EQ(allocatedText(FromModule, module, 12007), u"<none>");  // not bound yet

    WinHttpModuleScope bound(module);
    EXPECT_EQ(allocatedText(FromModule, module, 12007), u"Не удается разрешить имя или адрес сервера");
    // The module's table falls back to the system's.
    EXPECT_EQ(allocatedText(FromModule, module, ERROR_ACCESS_DENIED), u"Отказано в доступе.");
}

TEST(FormatMessage, CallerBufferAndInserts) {
    WCHAR small[5];
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(OneLine & ~FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, ERROR_ACCESS_DENIED, 0,
                             small, 5, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    WCHAR room[64];
    DWORD n = FormatMessageW(OneLine & ~FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, ERROR_BAD_EXE_FORMAT, 0,
                             room, 64, nullptr);
    EXPECT_EQ(std::u16string(room, n), u"%1 не является приложением Win32.");
    // Inserts cannot be filled from the arguments, so they must be ignored explicitly.
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_BAD_EXE_FORMAT, 0, room, 64, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}
