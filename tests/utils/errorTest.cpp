#include <vsk/platform/kernelTesting.h>
#include <vsk/utils.h>

#include <gtest/gtest.h>

#include "testSupport.h"

#include <climits>
#include <functional>
#include <string>
#include <vector>

using namespace Vsk::Utils;
using Vsk::InternalUtils::GetLog;

namespace {

std::u16string sys(DWORD code) {
    return GetSystemErrorText(code).toU16();
}

std::u16string upper(const std::u16string& text) {
    CWString s(text.c_str());
    s.toUpper();
    return s.toU16();
}

// Every test starts on a clean thread: no last error, no run-time error, no COM error information,
// the log at its default level.
class ErrorTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override {
        reset();
        GetLog()->setSink(nullptr);
        GetLog()->setLevel(m_level);
    }
    static void reset() {
        SetLastError(0);
        CrtErrno() = 0;
        SetErrorInfo(0, nullptr);
    }

    // Lines written from now on collect in m_lines.
    void captureLog(int level) {
        GetLog()->setLevel(level);
        m_lines.clear();
        GetLog()->setSink([this](const CWString& line) { m_lines.push_back(line.toU16()); });
    }

    int m_level = GetLog()->getLevel();
    std::vector<std::u16string> m_lines;
};

std::u16string messageOf(const std::function<void()>& raise) {
    const CError e = VskTest::Thrown(raise);
    EXPECT_EQ(e.getCode(), 0);
    return e.getMessage().toU16();
}

}  // namespace

TEST_F(ErrorTest, SystemTextStartsWithTheCode) {
    EXPECT_EQ(sys(5), u"5: Отказано в доступе.");
    struct Row {
        DWORD code;
        std::u16string text;
    };
    // Codes without a text in the table: the number alone, hexadecimal from 16000 on.
    const Row rows[] = {
        {0, u""},          {15999, u"15999"}, {16000, u"0x3e80"}, {0xABCDEF01, u"0xabcdef01"},
        {12029, u"12029"},  // WinHTTP's table is not bound
    };
    for (const Row& row : rows) EXPECT_EQ(sys(row.code), row.text) << row.code;
    EXPECT_EQ(sys(0x80090016).rfind(u"0x80090016: ", 0), 0u);

    // Once the HTTP client has bound WinHTTP, its table names the 12xxx codes.
    SetWinHttpMessageModule(reinterpret_cast<HMODULE>(uintptr_t{0x1000}));
    EXPECT_EQ(sys(12029), u"12029: Не удается установить соединение с сервером");
    EXPECT_EQ(sys(12999), u"12999");
    SetWinHttpMessageModule(nullptr);
}

TEST_F(ErrorTest, ConstructorsJoinCodeAndText) {
    struct Row {
        const char* name;
        DWORD lastError;
        int crtErrno;
        std::function<CError()> make;
        int32_t code;
        std::u16string message;
        DWORD lastErrorAfter;
    };
    const std::u16string text = u"Нет файла";
    const Row rows[] = {
        {"no text takes and clears the last error", 5, 0, [] { return CError(); }, 5, sys(5), 0},
        {"explicit code keeps the last error", 7, 0, [] { return CError(5u); }, 5, sys(5), 7},
        {"8-bit string", 5, 0, [] { return CError(CAString("Нет файла"), LastErrorCode); }, 5,
         text + u"\r\n" + sys(5), 0},
        {"UTF-16 string", 5, 0, [] { return CError(CWString(u"Нет файла"), LastErrorCode); }, 5,
         text + u"\r\n" + sys(5), 0},
        {"8-bit C text leaves the last error", 5, 0, [] { return CError("Нет файла", LastErrorCode); }, 5,
         text + u"\r\n" + sys(5), 5},
        {"UTF-16 C text leaves the last error", 5, 0, [] { return CError(u"Нет файла", LastErrorCode); }, 5,
         text + u"\r\n" + sys(5), 5},
        {"C text keeps a last error that has no text", 15999, 0,
         [] { return CError("Нет файла", LastErrorCode); }, 15999, text + u"\r\n15999", 15999},
        {"C text without a last error", 0, 2, [] { return CError("Нет файла", LastErrorCode); }, 0, text, 0},
        {"run-time error number stands in for a last error of 0", 0, 2, [] { return CError(); }, 0,
         CWString(CrtErrorText(2)).toU16(), 0},
        {"text with source location", 5, 0, [] { return CError(CWString(u"Нет файла"), "a.cpp", 1); }, 5,
         text + u"\r\n" + sys(5), 0},
        {"CExcept", 5, 0,
         [] {
             return CError(CExcept{234, CWString(u"Нет файла")});
         },
         234, text + u"\r\n" + sys(234), 5},
        {"HRESULT of the Win32 facility", 7, 0, [] { return CError(E_ACCESSDENIED); }, 5, sys(5), 7},
        {"other HRESULT is kept", 0, 0, [] { return CError(MakeHResult(0x80090016)); },
         static_cast<int32_t>(0x80090016), sys(0x80090016), 0},
        {"non-negative HRESULT adds no text", 0, 0, [] { return CError(CAString("Нет файла"), S_FALSE); }, 1,
         text, 0},
        {"UTF-16 text with HRESULT", 0, 0, [] { return CError(CWString(u"Нет файла"), E_FAIL); },
         static_cast<int32_t>(E_FAIL), text + u"\r\n" + sys(0x80004005), 0},
        {"8-bit C text with HRESULT", 0, 0, [] { return CError("Нет файла", E_OUTOFMEMORY); }, 14,
         text + u"\r\n" + sys(14), 0},
        {"system text present in another case", 0, 0,
         [] { return CError(CWString(u"Сбой: ") + CWString(upper(sys(5)).c_str()), 5u); }, 5,
         u"Сбой: " + upper(sys(5)), 0},
        {"neither text nor code", 5, 0, [] { return CError(CWString(), 0u); }, 0, u"", 5},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetLastError(row.lastError);
        CrtErrno() = row.crtErrno;
        CError error = row.make();
        EXPECT_EQ(error.getCode(), row.code);
        EXPECT_EQ(error.getMessage().toU16(), row.message);
        EXPECT_EQ(GetLastError(), row.lastErrorAfter);
        EXPECT_EQ(error.getErrorNumber(), 0u);
    }
}

TEST_F(ErrorTest, TextLocationNumberAndEditing) {
    CError located(CWString(u"Сбой"), "kestrovanDlg.cpp", 333);
    EXPECT_EQ(located.getText().toU16(), u"Сбой kestrovanDlg.cpp:333");
    EXPECT_EQ(located.getMessage().toU16(), u"Сбой");

    CError cancelled(CWString(), 0u);
    EXPECT_TRUE(cancelled.isEmpty());
    cancelled.setErrorNumber(ERROR_CANCELLED);
    EXPECT_FALSE(cancelled.isEmpty());
    EXPECT_EQ(cancelled.getErrorNumber(), 1223u);
    EXPECT_EQ(cancelled.getText().toU16(), u"");

    // Editing an error leaves the text it was built from alone, and copies share the edit.
    CWString source(u"б");
    CError edited(source, 0u);
    CError copy = edited;
    EXPECT_EQ(edited.appendText(CWString(u"в")).toU16(), u"бв");
    edited.prependText(CWString(u"а"));
    EXPECT_EQ(copy.getMessage().toU16(), u"абв");
    EXPECT_EQ(source.toU16(), u"б");
}

TEST_F(ErrorTest, HResultTextPrefersComDescription) {
    EXPECT_EQ(GetHResultText(E_ACCESSDENIED).toU16(), sys(5));
    EXPECT_EQ(GetHResultText(MakeHResult(0x80090016)).toU16(), sys(0x80090016));

    EXPECT_EQ(GetLastComError().toU16(), u"");
    ASSERT_EQ(SetLastComError(CWString(u"Ключ не найден")), S_OK);
    // Reading does not consume the description.
    EXPECT_EQ(GetLastComError().toU16(), u"Ключ не найден");
    EXPECT_EQ(GetLastComError().toU16(), u"Ключ не найден");
    EXPECT_EQ(GetHResultText(E_FAIL).toU16(), u"Ключ не найден");
    EXPECT_EQ(GetHResultText(S_FALSE).toU16(), sys(1));
    CError error(E_ACCESSDENIED);
    EXPECT_EQ(error.getCode(), 5);
    EXPECT_EQ(error.getMessage().toU16(), u"Ключ не найден");
}

// Setting the COM description is traced from level 4 with the text; reading it, being frequent,
// only at level 5, with the description as the result.
TEST_F(ErrorTest, ComErrorFunctionsTrace) {
    struct Row {
        int level;
        std::vector<std::u16string> linePrefixes;  // one per line, in order
    };
    const Row rows[] = {
        {3, {}},
        {4, {u"-> Utils::SetLastComError(Нет ключа) mem=", u"Utils::SetLastComError ->  "}},
        {5,
         {u"-> Utils::SetLastComError(Нет ключа) mem=", u"Utils::SetLastComError ->  ",
          u"-> Utils::GetLastComError() mem=", u"Utils::GetLastComError -> Нет ключа "}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.level);
        captureLog(row.level);
        EXPECT_EQ(SetLastComError(CWString(u"Нет ключа")), S_OK);
        EXPECT_EQ(GetLastComError().toU16(), u"Нет ключа");
        ASSERT_EQ(m_lines.size(), row.linePrefixes.size());
        for (size_t i = 0; i < m_lines.size(); ++i)
            EXPECT_EQ(m_lines[i].rfind(row.linePrefixes[i], 0), 0u) << i;
    }
}

TEST_F(ErrorTest, StripNamespacePrefix) {
    const std::pair<const char*, const char*> rows[] = {
        {"Vsk::Utils::globalFree", "Utils::globalFree"},
        {"Vsk::", ""},
        {"Vsk:Utils", "Vsk:Utils"},
        {"vsk::Utils", "vsk::Utils"},
        {"PKI::Vsk::f", "PKI::Vsk::f"},
        {"", ""},
    };
    for (const auto& [name, stripped] : rows)
        EXPECT_EQ(StripNamespacePrefix(CAString(name)).toStd(), std::string(stripped)) << name;
}

TEST_F(ErrorTest, FormatterNumbersDistinctTexts) {
    struct Row {
        std::vector<std::u16string> texts;
        std::u16string joined;
    };
    const Row rows[] = {
        {{u"A", u"B", u"A"}, u"\r\n1 - A\r\n2 - B"},
        {{u"A"}, u"A"},
        {{u"A", u"A"}, u"A"},
        {{}, u""},
    };
    CErrorFormatter formatter;
    for (const Row& row : rows) {
        for (const auto& text : row.texts) formatter.push(CError(CWString(text.c_str()), 0u));
        EXPECT_EQ(formatter.getCount(), row.texts.size());
        CError joined = formatter.format(CWString(u"\r\n"));
        EXPECT_EQ(joined.getMessage().toU16(), row.joined);
        EXPECT_EQ(joined.isEmpty(), row.texts.empty());
        EXPECT_EQ(formatter.getCount(), 0u);
    }

    // The first error's code is kept; its system text is already in the joined text.
    formatter.push(CError(5u));
    formatter.push(CError(CWString(u"B"), 0u));
    CError joined = formatter.format(CWString(u"\r\n"));
    EXPECT_EQ(joined.getCode(), 5);
    EXPECT_EQ(joined.getMessage().toU16(), u"\r\n1 - " + sys(5) + u"\r\n2 - B");
}

TEST_F(ErrorTest, FormatterTakesLastErrorWithLocation) {
    captureLog(1);
    CErrorFormatter formatter;
    SetLastError(5);
    formatter.pushErrorFileLine("dlg.cpp", 42, CWString(u"Не открыт"));
    EXPECT_EQ(GetLastError(), 0u);
    const std::u16string text = u"Не открыт\r\n" + sys(5) + u" dlg.cpp:42";
    ASSERT_FALSE(m_lines.empty());
    EXPECT_EQ(m_lines.back(), u"Utils::CErrorFormatter::pushErrorFileLine " + text);
    CError joined = formatter.format(CWString(u"\r\n"));
    EXPECT_EQ(joined.getCode(), 5);
    EXPECT_EQ(joined.getMessage().toU16(), text);
}

TEST_F(ErrorTest, BuiltErrorsAreLoggedFromLevelOne) {
    struct Row {
        int level;
        std::function<CError()> make;
        std::vector<std::u16string> lines;
    };
    const Row rows[] = {
        {1, [] { return CError(CWString(u"Сбой"), 0u); }, {u"Utils::CError::CImpl::init Сбой"}},
        {1,
         [] { return CError("Сбой", E_FAIL); },
         {u"Utils::CError::CImpl::init Сбой\r\n" + sys(0x80004005)}},
        {5, [] { return CError(2u); }, {u"Utils::CError::CImpl::init " + sys(2)}},
        {1, [] { return CError(CWString(), 0u); }, {}},
        {0, [] { return CError(CWString(u"Сбой"), 0u); }, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.level);
        captureLog(row.level);
        row.make();
        EXPECT_EQ(m_lines, row.lines);
    }
}

TEST_F(ErrorTest, RaiseHelperTexts) {
    SetLastError(5);
    struct Row {
        std::function<void()> raise;
        std::u16string message;
    };
    const Row rows[] = {
        {[] { CRefPtr<CWString::CImpl>().checkCreated(); },
         u"Объект class Vsk::Utils::CWString::CImpl не был создан!"},
        {[] { CRefPtr<CDataBlob::CImpl>().checkCreated(); },
         u"Объект class Vsk::Utils::CDataBlob::CImpl не был создан!"},
        {[] {
             CError moved(CWString(), 0u);
             CError target(std::move(moved));
             moved.getCode();
         },
         u"Объект class Vsk::Utils::CError::CImpl не был создан!"},
        {[] { raiseArrayEmpty(); }, u"Массив пуст"},
        {[] { raiseIndexOutOfRange(3, 2); }, u"Индекс 3 за пределом 2"},
        {[] { CArray<int>().checkIndex(0); }, u"Массив пуст"},
    };
    for (const Row& row : rows) EXPECT_EQ(messageOf(row.raise), row.message);
    EXPECT_EQ(GetLastError(), 5u);
}

TEST_F(ErrorTest, OutOfMemoryError) {
    CError error = OutOfMemoryError(100);
    EXPECT_EQ(error.getCode(), 14);
    EXPECT_EQ(error.getMessage().toU16(), u"Нехватка памяти для выделения 100 байт.\r\n" + sys(14));
}

TEST_F(ErrorTest, OutOfMemoryWithExhaustedHeapDoesNotRecurse) {
    // The first error built prepares the error that stands in when no other can be built.
    CError first(CWString(), 0u);
    HeapFailNext(INT_MAX);
    int32_t code = 0;
    std::u16string message;
    try {
        raiseOutOfMemory(100);
    } catch (const CError& e) {
        HeapFailNext(0);
        code = e.getCode();
        message = e.getMessage().toU16();
    }
    HeapFailNext(0);
    EXPECT_EQ(code, 14);
    EXPECT_EQ(message, sys(14));
}
