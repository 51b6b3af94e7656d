#include "testSupport.h"

#include <vsk/platform/crypt.h>
#include <vsk/utils/log.h>

#include <gtest/gtest.h>

#include <vsk/pki/CryptError.h>
#include <vsk/platform/oleaut.h>

#include <cstring>
#include <utility>

using namespace Vsk::Utils;
using Vsk::InternalUtils::GetLog;
using Vsk::PKI::CCryptError;

namespace {

class CryptErrorTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_level = GetLog()->getLevel();
        SetLastError(0);
        SetErrorInfo(0, nullptr);
    }
    void TearDown() override {
        GetLog()->setLevel(m_level);
        SetLastError(0);
    }
    int m_level = 0;
};

std::u16string message(const CError& error) {
    return error.getMessage().toU16();
}

}  // namespace

// Exact codes, the recurring marks, both ends and the inside of ranges, and the codes that lie
// between table entries.
TEST_F(CryptErrorTest, StepTable) {
    struct Row {
        DWORD code;
        const char* text;
    };
    const Row rows[] = {
        {100601, "Конвертация времени для включения в подпись"},
        {101001, "Не инициализирован объект \"Подписанные данные\""},
        {101101, "Заданы неверные параметры"},
        {101106, "Неизвестная ошибка"},
        {101109, "Неизвестная ошибка"},
        {101110, "Кодирование подписанного сообщения"},
        {101117, "Кодирование подписанного сообщения"},
        {101125, "Кодирование подписанного сообщения"},
        {101126, "Неизвестная ошибка"},
        {101200, "Неизвестная ошибка"},
        {101402, "Объект не инициализирован"},
        {101403, "Объект не инициализирован"},
        {101709, "Неверная очередность вызова функций"},
        {110209, "Получение идентификатора сертификата автора подписи"},
        {110210, "Неизвестная ошибка"},
        {110211, "Получение идентификатора сертификата автора подписи"},
        {110302, "Объект \"Подпись\" не инициализирован; получения штампа времени невозможно"},
        {130101, "Неизвестная ошибка"},
        {130109, "Выделение памяти"},
        {130110, "Неизвестная ошибка"},
        {130111, "Выделение памяти"},
        {130112, "Произошла ошибка при копировании строки"},
        {150102, "Отсутствует запрашиваемое хранилище сертификатов"},
        {150201, "Хранилище серртификатов не открыто"},
        {150804, "Удаляемый СRL не найден в хранилище"},
        {180502,
         "При не использовании системных хранилищ сертификатов (UseSystemCertStores = false) должен быть "
         "указан "
         "сертификат расшифрования DecryptCertificate"},
        {190101, "Неизвестная ошибка"},
        {190104, "Получение списка криптопровайдеров "},
        {190204, "Объект 'Криптопровайдер' не инициализирован"},
        {200101, "Получение контекста криптопровайдера"},
        {200105, "Получение имени ключевого контейнера"},
        {200106, "Получение уникального имени ключевого контейнера"},
        {200112, "Неизвестная ошибка"},
        {200206, "Ошибка получения сертификата из ключевого контейнера"},
        {200207, "Неизвестная ошибка"},
        {200303, "Не удалось установить сертификат"},
        {200406, "Не удалось сравнить открытые ключи в сертификате и в ключевом контейнере"},
        {200407, "Неизвестная ошибка"},
        {999999, "Неизвестная ошибка"},
        {0, "Неизвестная ошибка"},
    };
    for (const Row& row : rows) EXPECT_STREQ(CCryptError::getStepText(row.code), row.text) << row.code;
    // The С of "СRL" is Cyrillic, followed by Latin letters.
    const char* crl = std::strstr(CCryptError::getStepText(150804), "RL");
    ASSERT_NE(crl, nullptr);
    EXPECT_EQ(static_cast<unsigned char>(crl[-1]), 0xD1);

    EXPECT_EQ(CCryptError::getStepMessage(200303).toU16(),
              u"Ошибка криптобиблиотеки 200303: Не удалось установить сертификат");
    EXPECT_EQ(CCryptError::getStepMessage(101126).toU16(),
              u"Ошибка криптобиблиотеки 101126: Неизвестная ошибка");
    EXPECT_EQ(CCryptError::getStepMessage(0).toU16(), u"");
}

TEST_F(CryptErrorTest, MainConstructionJoinsStepLineAndSystemText) {
    SetLastError(0x80090016);
    CCryptError keyset(200101, LastErrorCode, 0);
    EXPECT_EQ(static_cast<DWORD>(keyset.getCode()), 0x80090016u);
    EXPECT_EQ(keyset.getErrorNumber(), 200101u);
    EXPECT_EQ(message(keyset),
              u"Ошибка криптобиблиотеки 200101: Получение контекста криптопровайдера\r\n0x80090016: " +
                  GetSystemErrorText(0x80090016).toU16().substr(12));
    EXPECT_EQ(message(keyset),
              u"Ошибка криптобиблиотеки 200101: Получение контекста криптопровайдера\r\n"
              u"0x80090016: Набор ключей не существует");
    // The last error is read, not cleared.
    EXPECT_EQ(GetLastError(), 0x80090016u);
    EXPECT_STREQ(keyset.getStepText(), "Получение контекста криптопровайдера");

    SetLastError(0);
    CCryptError store(150102, LastErrorCode, 0);
    EXPECT_EQ(store.getCode(), 0);
    EXPECT_EQ(message(store),
              u"Ошибка криптобиблиотеки 150102: Отсутствует запрашиваемое хранилище сертификатов\r\n");

    // Without a step only the system text remains.
    EXPECT_EQ(message(CCryptError(0, 5, 0)), u"5: Отказано в доступе.");
    EXPECT_EQ(message(CCryptError(999999, 0, 0)), u"Ошибка криптобиблиотеки 999999: Неизвестная ошибка\r\n");
}

TEST_F(CryptErrorTest, HttpStatusLine) {
    EXPECT_EQ(message(CCryptError(120204, 0, 404)),
              u"Ошибка криптобиблиотеки 120204: Отправка запроса на получение штампа времени\r\n"
              u"\r\nкод статуса HTTP 404: The server has not found anything that matches the requested URI.");
    EXPECT_EQ(message(CCryptError(120204, 0, 499)),
              u"Ошибка криптобиблиотеки 120204: Отправка запроса на получение штампа времени\r\n"
              u"\r\nкод статуса HTTP 499: ");
}

TEST_F(CryptErrorTest, HResultForm) {
    CCryptError denied = CCryptError::CCryptErrorHResult(200101, static_cast<HRESULT>(0x80070005), 0);
    EXPECT_EQ(denied.getCode(), 5);
    EXPECT_EQ(
        message(denied),
        u"Ошибка криптобиблиотеки 200101: Получение контекста криптопровайдера\r\n5: Отказано в доступе.");
    CCryptError keyset(200101, static_cast<HRESULT>(0x80090016), 0);
    EXPECT_EQ(static_cast<DWORD>(keyset.getCode()), 0x80090016u);
}

TEST_F(CryptErrorTest, TextFormsPutTheStepLineLast) {
    CCryptError plain = CCryptError::CCryptErrorTextA(180604, "Не удалось", LastErrorCode);
    EXPECT_EQ(plain.getCode(), 0);
    EXPECT_EQ(plain.getErrorNumber(), 180604u);
    EXPECT_EQ(message(plain),
              u"Не удалось\r\nОшибка криптобиблиотеки 180604: Расшифрование/загрузка блока данных");

    // The C-text forms leave the last error as it was; the CWString form takes and clears it.
    SetLastError(5);
    CCryptError narrow = CCryptError::CCryptErrorTextA(200201, "Текст", LastErrorCode);
    EXPECT_EQ(narrow.getCode(), 5);
    EXPECT_EQ(
        message(narrow),
        u"Текст\r\n5: Отказано в доступе.\r\nОшибка криптобиблиотеки 200201: Ошибка получения сертификата из "
        u"ключевого контейнера");
    EXPECT_EQ(GetLastError(), 5u);
    CCryptError wide = CCryptError::CCryptErrorTextW(200201, u"Текст", LastErrorCode);
    EXPECT_EQ(message(wide), message(narrow));
    EXPECT_EQ(GetLastError(), 5u);
    CCryptError fromString(200201, CWString(u"Текст"), LastErrorCode);
    EXPECT_EQ(message(fromString), message(narrow));
    EXPECT_EQ(GetLastError(), 0u);

    // Step code 0 adds no step line.
    EXPECT_EQ(message(CCryptError::CCryptErrorText(0, CWString(u"Только текст"), 0)), u"Только текст");
}

TEST_F(CryptErrorTest, ErrorsMadeFromCaughtErrorsShareThem) {
    CError inner(CWString(u"Нижний уровень"), static_cast<DWORD>(5));
    CCryptError numbered = CCryptError::CCryptErrorFromError(190104, inner);
    EXPECT_EQ(numbered.getMessage().toU16(), inner.getMessage().toU16());
    EXPECT_EQ(numbered.getErrorNumber(), 190104u);
    EXPECT_EQ(inner.getErrorNumber(), 190104u);
    EXPECT_EQ(numbered.getCode(), 5);

    CCryptError lined = CCryptError::CCryptErrorAddLine(CWString(u"Операция"), inner);
    EXPECT_EQ(message(inner).rfind(u"Операция\r\nНижний уровень", 0), 0u);
    EXPECT_EQ(lined.getErrorNumber(), 190104u);

    CError other(CWString(u"Другая"), Vsk::Utils::NoErrorCode);
    other.setErrorNumber(77);
    CCryptError kept = CCryptError::CCryptErrorFromError(other, CWString(u"Первая строка"));
    EXPECT_EQ(message(other), u"Первая строка\r\nДругая");
    EXPECT_EQ(kept.getErrorNumber(), 77u);

    CCryptError converted(other);
    EXPECT_EQ(converted.getImpl().get(), other.getImpl().get());
    EXPECT_EQ(converted.getMessageText().toU16(), other.getText().toU16());

    // A moved-from handle is empty.
    CError source(CWString(), Vsk::Utils::NoErrorCode);
    CError taken(std::move(source));
    EXPECT_THROW(CCryptError::CCryptErrorFromError(1, source), CError);
    EXPECT_THROW(CCryptError::CCryptErrorAddLine(CWString(u"x"), source), CError);
}

TEST_F(CryptErrorTest, ThrownByValueIsCaughtAsCError) {
    try {
        throw CCryptError(150102, 0, 0);
    } catch (const CError& caught) {
        EXPECT_EQ(caught.getErrorNumber(), 150102u);
        return;
    }
    FAIL() << "not caught as CError";
}

// Building an error that names a step logs it and raises the in-memory level to 4; the empty error
// neither logs nor raises.
TEST_F(CryptErrorTest, LoggingAndLevelEscalation) {
    {
        VskTest::LogCapture capture(2);
        CCryptError empty;
        EXPECT_TRUE(empty.isEmpty());
        EXPECT_TRUE(CCryptError::CCryptErrorEmpty().isEmpty());
        EXPECT_TRUE(capture.lines().empty());
        EXPECT_EQ(GetLog()->getLevel(), 2);

        CCryptError error(150102, 0, 0);
        EXPECT_EQ(GetLog()->getLevel(), 4);
        EXPECT_EQ(capture.startingWith(u"PKI::CCryptError::CCryptError ").size(), 1u);
        EXPECT_EQ(capture.startingWith(u"PKI::CCryptError::CCryptError ")[0],
                  u"PKI::CCryptError::CCryptError " + message(error));
    }
    {
        VskTest::LogCapture capture(3);
        CCryptError::CCryptErrorTextA(180604, "T", 0);
        EXPECT_EQ(GetLog()->getLevel(), 4);
        ASSERT_EQ(capture.startingWith(u"PKI::CCryptError::set ").size(), 1u);
    }
    struct Row {
        int before;
        int after;
    };
    for (const Row& row : {Row{0, 0}, Row{1, 4}, Row{3, 4}, Row{4, 4}, Row{5, 5}}) {
        VskTest::LogCapture capture(row.before);
        CCryptError(200101, 0, 0);
        EXPECT_EQ(GetLog()->getLevel(), row.after) << row.before;
        EXPECT_EQ(capture.lines().empty(), row.before == 0) << row.before;
    }
}
