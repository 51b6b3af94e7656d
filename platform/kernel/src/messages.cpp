#include <vsk/platform/kernel.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <span>

namespace {

struct Message {
    DWORD id;
    const char16_t* text;
};

// The texts a Russian system gives for the codes the program meets, kept without the trailing line
// break (FormatMessageW adds it back unless one line is asked for). Sorted by code.
constexpr Message SystemMessages[] = {
    {0, u"Операция успешно завершена."},
    {1, u"Неверная функция."},
    {2, u"Не удается найти указанный файл."},
    {3, u"Системе не удается найти указанный путь."},
    {4, u"Системе не удается открыть файл."},
    {5, u"Отказано в доступе."},
    {6, u"Неверный дескриптор."},
    {8, u"Недостаточно памяти для обработки команды."},
    {13, u"Недопустимые данные."},
    {14, u"Недостаточно памяти для завершения операции."},
    {19, u"Носитель защищен от записи."},
    {31, u"Присоединенное к системе устройство не работает."},
    {32, u"Процесс не может получить доступ к файлу, так как этот файл занят другим процессом."},
    {33,
     u"Процесс не может получить доступ к файлу, так как часть этого файла заблокирована другим процессом."},
    {38, u"Достигнут конец файла."},
    {50, u"Такой запрос не поддерживается."},
    {80, u"Файл существует."},
    {87, u"Параметр задан неверно."},
    {109, u"Канал был закрыт."},
    {112, u"Недостаточно места на диске."},
    {122, u"Область данных, переданная системному вызову, слишком мала."},
    {123, u"Синтаксическая ошибка в имени файла, имени папки или метке тома."},
    {126, u"Не найден указанный модуль."},
    {127, u"Не найдена указанная процедура."},
    {145, u"Папка не пуста."},
    {160, u"Один или несколько аргументов заданы неверно."},
    {170, u"Требуемый ресурс занят."},
    {183, u"Невозможно создать файл, так как он уже существует."},
    {193, u"%1 не является приложением Win32."},
    {206, u"Имя файла или его расширение имеет слишком большую длину."},
    {234, u"Имеются дополнительные данные."},
    {259, u"Дополнительные данные отсутствуют."},
    {1004, u"Недопустимые флаги."},
    {1009, u"Конфигурационная база данных реестра повреждена."},
    {1016,
     u"Операция ввода-вывода, инициированная реестром, завершилась неудачно. Реестр не может считать, "
     u"записать или сбросить на диск один из файлов, содержащих системный образ реестра."},
    {1018, u"Недопустимая операция с разделом реестра, помеченным для удаления."},
    {1113, u"Для символа Юникода не существует отображения в целевой многобайтовой кодовой странице."},
    {1223, u"Операция была отменена пользователем."},
    {1460, u"Эта операция возвращена, поскольку истек период ожидания."},
    {1812, u"Указанный файл образа не содержит раздела ресурсов."},
    {1813, u"Указанный тип ресурса не найден в файле образа."},
    {1814, u"Указанное имя ресурса не найдено в файле образа."},
    {0x80004001, u"Не реализовано"},
    {0x80004002, u"Интерфейс не поддерживается"},
    {0x80004003, u"Недопустимый указатель"},
    {0x80004005, u"Неопознанная ошибка"},
    {0x8000FFFF, u"Разрушительный сбой"},
    {0x80020005, u"Несоответствие типа."},
    {0x80020008, u"Недопустимый тип переменной."},
    {0x80090001, u"Неправильный UID."},
    {0x80090002, u"Неправильное значение хеша."},
    {0x80090003, u"Неправильный ключ."},
    {0x80090004, u"Неправильная длина."},
    {0x80090005, u"Неправильные данные."},
    {0x80090006, u"Неправильная подпись."},
    {0x80090007, u"Неправильная версия поставщика."},
    {0x80090008, u"Указан неправильный алгоритм."},
    {0x80090009, u"Указан неправильный флаг."},
    {0x8009000A, u"Указан неправильный тип."},
    {0x8009000B, u"Ключ не может быть использован в указанном состоянии."},
    {0x8009000C, u"Хеш не может быть использован в указанном состоянии."},
    {0x8009000D, u"Ключ не существует."},
    {0x8009000E, u"Недостаточно памяти для выполнения этой операции."},
    {0x8009000F, u"Объект уже существует."},
    {0x80090010, u"Отказано в доступе."},
    {0x80090011, u"Объект не найден."},
    {0x80090012, u"Данные уже зашифрованы."},
    {0x80090013, u"Указан неправильный поставщик."},
    {0x80090014, u"Указан неправильный тип поставщика."},
    {0x80090015, u"Неправильный открытый ключ поставщика."},
    {0x80090016, u"Набор ключей не существует"},
    {0x80090017, u"Тип поставщика не определен."},
    {0x80090018, u"Неправильный зарегистрированный тип поставщика."},
    {0x80090019, u"Набор ключей не определен."},
    {0x8009001A, u"Неправильный зарегистрированный набор ключей."},
    {0x8009001B, u"Тип поставщика не соответствует зарегистрированному значению."},
    {0x8009001C, u"Файл цифровой подписи поврежден."},
    {0x8009001D, u"Ошибка инициализации библиотеки DLL поставщика."},
    {0x8009001E, u"Не удается найти библиотеку DLL поставщика."},
    {0x8009001F, u"Неправильный параметр набора ключей."},
    {0x80090020, u"Внутренняя ошибка."},
    {0x80090021, u"Произошла базовая ошибка."},
    {0x80090022, u"Поставщик не может выполнить действие, так как контекст был получен как бесшумный."},
    {0x80090029, u"Запрошенная операция не поддерживается."},
    {0x80090326, u"Получено неожиданное или неправильно сформированное сообщение."},
    {0x80091007, u"Неверное значение хеша."},
    {0x80092004, u"Не удается найти объект или свойство."},
    {0x80092005, u"Объект или свойство уже существует."},
    {0x8009200B, u"Сертификат не имеет свойства, ссылающегося на закрытый ключ."},
    {0x8010002A, u"Указан неверный PIN-код."},
    {0x8010006B, u"Доступ к карте невозможен, так как был предъявлен неверный PIN-код."},
    {0x8010006C, u"Доступ к карте невозможен, так как превышено максимальное число попыток ввода PIN-кода."},
    {0x8010006E, u"Действие было отменено пользователем."},
    {0x8010006F, u"PIN-код не был предъявлен смарт-карте."},
};

// WinHTTP's own message table: read only through its module handle.
constexpr Message WinHttpMessages[] = {
    {12002, u"Время ожидания операции истекло"},
    {12004, u"Произошла внутренняя ошибка"},
    {12005, u"Недопустимый URL-адрес"},
    {12006, u"URL-адрес использует нераспознанную схему"},
    {12007, u"Не удается разрешить имя или адрес сервера"},
    {12009, u"Запрошен или задан неверный параметр"},
    {12015, u"Не удалось выполнить вход"},
    {12017, u"Операция была отменена"},
    {12018, u"Неверный тип дескриптора для этой операции"},
    {12019, u"Неверное состояние дескриптора для этой операции"},
    {12029, u"Не удается установить соединение с сервером"},
    {12030, u"Соединение с сервером было неожиданно прервано"},
    {12032, u"Запрос необходимо отправить повторно"},
    {12150, u"Запрошенный заголовок не найден"},
    {12152, u"Ответ сервера недопустим или не распознан"},
    {12156, u"Ошибка перенаправления"},
    {12167, u"Не удается загрузить сценарий автоматической настройки прокси"},
    {12175, u"Произошла ошибка безопасности"},
    {12180, u"Не удалось автоматически обнаружить прокси-сервер"},
};

constexpr bool sortedById(std::span<const Message> table) {
    for (size_t i = 1; i < table.size(); ++i)
        if (table[i - 1].id >= table[i].id) return false;
    return true;
}
static_assert(sortedById(SystemMessages) && sortedById(WinHttpMessages));

std::atomic<HMODULE> g_winHttpModule{nullptr};

const char16_t* findMessage(std::span<const Message> table, DWORD id) {
    auto it = std::lower_bound(table.begin(), table.end(), id,
                               [](const Message& m, DWORD key) { return m.id < key; });
    return it != table.end() && it->id == id ? it->text : nullptr;
}

// An insert is "%" followed by a digit 1-9; the only arguments we could fill them from are not
// described by the interface, so such texts need FORMAT_MESSAGE_IGNORE_INSERTS.
bool hasInserts(const char16_t* text) {
    for (; *text; ++text)
        if (text[0] == u'%' && text[1] >= u'1' && text[1] <= u'9') return true;
    return false;
}

}  // namespace

HMODULE WinHttpMessageModule() {
    return g_winHttpModule.load();
}

void SetWinHttpMessageModule(HMODULE module) {
    g_winHttpModule.store(module);
}

DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD /*languageId*/, LPWSTR buffer,
                     DWORD size, void* /*arguments*/) {
    if (!buffer || !(flags & (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE)) ||
        (flags & FORMAT_MESSAGE_FROM_STRING)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // With an allocated buffer, `buffer` points at the caller's pointer, which stays null on failure.
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) *reinterpret_cast<LPWSTR*>(buffer) = nullptr;
    const char16_t* text = nullptr;
    if ((flags & FORMAT_MESSAGE_FROM_HMODULE) && source && source == WinHttpMessageModule())
        text = findMessage(WinHttpMessages, messageId);
    if (!text && (flags & FORMAT_MESSAGE_FROM_SYSTEM)) text = findMessage(SystemMessages, messageId);
    if (!text) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    if (!(flags & FORMAT_MESSAGE_IGNORE_INSERTS) && hasInserts(text)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }

    const bool oneLine = (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) != 0;
    const size_t textChars = wcslen16(text);
    const size_t chars = textChars + (oneLine ? 0 : 2);
    WCHAR* out = buffer;
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        const size_t room = std::max<size_t>(chars + 1, size);
        out = static_cast<WCHAR*>(LocalAlloc(LMEM_FIXED, room * sizeof(WCHAR)));
        if (!out) return 0;  // LocalAlloc has set the last error
    } else if (size < chars + 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(out, text, textChars * sizeof(WCHAR));
    if (!oneLine) {
        out[textChars] = u'\r';
        out[textChars + 1] = u'\n';
    }
    out[chars] = 0;
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) *reinterpret_cast<LPWSTR*>(buffer) = out;
    return static_cast<DWORD>(chars);
}
