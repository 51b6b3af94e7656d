// Return codes of PKCS#11 calls: the Russian texts the program shows for them, the check that turns a
// failing call into a CError and the one that only logs it.
#include <vsk/pkcs11/ReturnCodes.h>

#include <vsk/utils/error.h>
#include <vsk/utils/log.h>

#include <algorithm>
#include <iterator>

namespace Vsk::PKCS11 {

using Vsk::Utils::CAString;
using Vsk::Utils::CWString;

namespace {

struct ReturnCodeText {
    CK_RV code;
    const char* text;
};

// Sorted by code. A code the standard leaves without a sentence here carries its bare name.
constexpr ReturnCodeText ReturnCodeTexts[] = {
    {0x0, "Функция выполнена успешно."},
    {0x2, "Недостаточно памяти для выполнения функции на рабочей станции, где установлен модуль сопряжения."},
    {0x3, "Неправильный идентификатор слота."},
    {0x5, "Критическая ошибка, связанная с аппаратным обеспечением."},
    {0x6, "При выполнении функции возник сбой."},
    {0x7, "Недопустимый аргумент."},
    {0x9, "Приложение не поддерживает внутренних методов операционной системы для создания новых потоков."},
    {0xA, "Приложение не поддерживает защиты потоков от одновременного использования различными функциями."},
    {0x10, "ATTRIBUTE_READ_ONLY"},
    {0x11, "Запрашиваемый атрибут недоступен для чтения."},
    {0x12, "Некорректный тип атрибута."},
    {0x13, "ATTRIBUTE_VALUE_INVALID"},
    {0x30, "Ошибка при обращении к Устройству или слоту."},
    {0x31, "Для выполнения функции недостаточно памяти в Устройстве."},
    {0x32, "При выполнении функции Устройство было отключено."},
    {0x50, "Выполнение криптографической функции было прервано до ее полного завершения."},
    {0x54, "FUNCTION_NOT_SUPPORTED"},
    {0x60, "Функции передан некорректный дескриптор ключа."},
    {0x62, "Недопустимый размер ключа."},
    {0x63, "Данный тип ключа не может использоваться с заданным механизмом."},
    {0x68,
     "Ключ, используемый для выполнения криптографических операций, имеет атрибуты, не позволяющие "
     "использовать его для данных операций."},
    {0x69, "KEY_NOT_WRAPPABLE"},
    {0x70, "При выполнении криптографической операции был указан неправильный механизм."},
    {0x71, "Механизму был передан некорректный параметр."},
    {0x82, "Функции передан некорректный дескриптор объекта."},
    {0x90,
     "Выполнение новой операции невозможно, так как в данный момент уже выполняется такая же операция "
     "(или нескольких операций)."},
    {0x91, "Выполнение операции без предварительного указания параметров невозможно."},
    {0xA0, "Функции передан ПИН-код, который не соответствует тому, который сохранен на Устройстве."},
    {0xA1, "Значение ПИН-кода содержит недопустимые символы."},
    {0xA2, "Недопустимая длина ПИН-кода."},
    {0xA3, "Срок действия ПИН-кода истек."},
    {0xA4,
     "Авторизация по данному ПИН-коду невозможна (превышен допустимый предел последовательного ввода "
     "неправильных значений ПИН-кода)."},
    {0xB0, "При выполнении функции сеанс был закрыт."},
    {0xB1, "Достигнуто предельное количество открытых сеансов для данного Устройства."},
    {0xB3, "Функции передан некорректный дескриптор сеанса."},
    {0xB4, "Невозможно открыть параллельный сеанс."},
    {0xB7, "Открыт сеанс только для чтения. Авторизация в режиме администратора невозможна."},
    {0xB8, "Открыт сеанс чтения/записи. Открыть сеанс только для чтения невозможно."},
    {0xC0, "Неправильное значение ЭП."},
    {0xC1, "Значение ЭП неверно по крайней мере по длине."},
    {0xD0, "Для создания объекта недостаточно атрибутов."},
    {0xD1, "Заданные в шаблоне атрибуты противоречат между собой."},
    {0xE0, "В момент выполнения функции Устройство было отключено."},
    {0xE1, "Невозможно определить тип устройства, подключенного к слоту."},
    {0xE2, "Устройство недоступно для записи."},
    {0x100, "Авторизация в модуле сопряжения с данным ПИН-кодом пользователя уже выполнена."},
    {0x101, "Требуется авторизация в режиме пользователя."},
    {0x102,
     "Начальное значение ПИН-кода не установлено. Используйте функцию C_InitPIN (см. «Функция C_InitPIN»)."},
    {0x103, "Задан некорректный режим работы с модулем сопряжения."},
    {0x104, "Авторизация в модуле сопряжения невозможна. Авторизация выполнена с другим ПИН-кодом."},
    {0x105, "Авторизация одновременно в режиме пользователя и в режиме администратора невозможна."},
    {0x110, "WRAPPED_KEY_INVALID"},
    {0x112, "WRAPPED_KEY_LEN_RANGE"},
    {0x113, "WRAPPING_KEY_HANDLE_INVALID"},
    {0x114, "WRAPPING_KEY_SIZE_RANGE"},
    {0x115, "Данный ключ экспорта невозможно использовать с указанным механизмом."},
    {0x120, "RANDOM_SEED_NOT_SUPPORTED"},
    {0x121, "RANDOM_NO_RNG"},
    {0x130, "DOMAIN_PARAMS_INVALID"},
    {0x150, "Размер заданного буфера является недостаточным для сохранения результатов функции."},
    {0x160, "SAVED_STATE_INVALID"},
    {0x170, "Запрашиваемый объект недоступен для чтения."},
    {0x180, "STATE_UNSAVEABLE"},
    {0x190, "Выполнение функции без инициализации модуля сопряжения невозможно."},
    // The first letter of "С_Finalize" is the Cyrillic Es, as the program has always shown it.
    {0x191,
     "Повторная попытка инициализировать модуль сопряжения без предварительного выполнения функции "
     "С_Finalize."},
    {0x200, "Запрос ЭП отклонен пользователем."},
};

// The error code a caller sees for a token that wants the user's login.
constexpr DWORD ScardWSecurityViolation = 0x8010006F;

CAString hexText(CK_RV rv) {
    return Vsk::Utils::UInt64ToAString(static_cast<uint64_t>(rv), 16);
}

}  // namespace

const char* rvText(CK_RV rv) {
    const auto* end = std::end(ReturnCodeTexts);
    const auto* it = std::lower_bound(std::begin(ReturnCodeTexts), end, rv,
                                      [](const ReturnCodeText& e, CK_RV code) { return e.code < code; });
    return it != end && it->code == rv ? it->text : nullptr;
}

CAString rvToString(CK_RV rv) {
    CAString text = CAString("0x") + hexText(rv);
    if (const char* t = rvText(rv)) text = text + ": " + t;
    return text;
}

CAString rvCallText(CK_RV rv, const char* callText) {
    return CAString(callText) + " вернула ошибку " + rvToString(rv);
}

void checkRetVal(CK_RV rv, const char* callText, bool allowBufferTooSmall) {
    if (rv == CKR_OK || (allowBufferTooSmall && rv == CKR_BUFFER_TOO_SMALL)) return;
    const DWORD code = rv == CKR_USER_NOT_LOGGED_IN ? ScardWSecurityViolation : Vsk::Utils::NoErrorCode;
    const char* text = rvText(rv);
    CAString line = CAString(callText) + " вернула ошибку 0x" + hexText(rv);
    if (text) line = line + ": " + text;
    Vsk::InternalUtils::LogAt(1, CWString(u"PKCS11::checkRetVal ") + line);
    Vsk::Utils::CError error =
        text ? Vsk::Utils::CError(text, code)
             : Vsk::Utils::CError(CAString("Токен вернул ошибку с кодом 0x") + hexText(rv), code);
    error.setErrorNumber(static_cast<DWORD>(rv));
    throw error;
}

void logIfError(CK_RV rv, const char* callText) {
    if (rv == CKR_OK) return;
    Vsk::InternalUtils::LogAt(1, CWString(u"PKCS11::logIfError ") + rvCallText(rv, callText));
}

}  // namespace Vsk::PKCS11
