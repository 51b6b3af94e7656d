#include <vsk/pki/CryptError.h>
#include <vsk/utils/log.h>

#include <algorithm>
#include <iterator>

namespace Vsk::PKI {

using Vsk::Utils::CError;
using Vsk::Utils::CWString;

namespace {

struct StepRange {
    DWORD first;
    DWORD last;
    const char* text;
};

// Step codes MMOOSS and inclusive ranges of them with their texts, sorted, without overlaps.
// Modules: 10 signed messages, 11 signatures, 12 time stamps, 13 certificates, 14 CRLs,
// 15 certificate stores, 16 time-stamp service address, 18 encryption and decryption, 19 lists of
// providers and key containers, 20 key containers.
constexpr StepRange StepTable[] = {
    {100601, 100601, "Конвертация времени для включения в подпись"},
    {100602, 100602, "Кодирование времени для включения в подпись"},
    {101001, 101001, "Не инициализирован объект \"Подписанные данные\""},
    {101002, 101002, "Определение типа сообщения"},
    {101003, 101003, "Данные не соответвуют формату подписанного сообщения"},
    {101004, 101004, "Определение количества подписей"},
    {101005, 101005, "Определение количества вложенных сертификатов"},
    {101006, 101006, "Создание хранилища сертификатов в памяти"},
    {101007, 101007, "Получение сертификата из подписанного сообщения"},
    {101008, 101008, "Выделение памяти для хранения сертификата"},
    {101009, 101009, "Получение сертификата из подписанного сообщения"},
    {101010, 101010, "Добавление сертификата в хранилище"},
    {101101, 101101, "Заданы неверные параметры"},
    {101102, 101102, "Не инициализирован объект \"Подписанные данные\""},
    {101103, 101103, "Получение закодированной подписи (CMS)"},
    {101104, 101104, "Создание шаблона присоединенной подписи"},
    {101105, 101105, "Получение закодированной подписи (CMS)"},
    {101110, 101125, "Кодирование подписанного сообщения"},
    {101201, 101201, "Заданы неверные параметры"},
    {101202, 101202, "Открытие декодирующего криптографического контекста"},
    {101203, 101203, "Загрузка подписи"},
    {101301, 101301, "Заданы неверные параметры"},
    {101302, 101302, "Открытие декодирующего криптографического контекста"},
    {101303, 101303, "Неверная очередность вызова функций"},
    {101304, 101304, "Выделение памяти для хранения блока данных исходного сообщения"},
    {101305, 101305, "Загрузка подписи, возможно данные не соответвуют формату подписанного сообщения"},
    {101306, 101306, "Загрузка исходных данных"},
    {101402, 101403, "Объект не инициализирован"},
    {101404, 101404, "Произошла ошибка при получении закодированной подписи (CMS)"},
    {101405, 101405, "Не удалось выделить память для сохранения подписи"},
    {101406, 101406, "Произошла ошибка при получении закодированной подписи (CMS)"},
    {101501, 101501, "Заданы неверные параметры"},
    {101502, 101503, "Объект не инициализирован"},
    {101504, 101504, "CryptEncodeObjectEx, ошибка кодирования блока данных"},
    {101505, 101505, "Не удалось выделить память для сохранения блока данных"},
    {101506, 101506, "Произошла ошибка при копировании данных"},
    {101507, 101507, "CryptEncodeObjectEx, ошибка кодирования блока данных"},
    {101508, 101508, "Произошла ошибка при копировании данных"},
    {101601, 101601, "Заданы неверные параметры"},
    {101602, 101602, "Не задан сертификат для формирования подписи"},
    {101605, 101605, "Отсутствует ключевой контейнер, соответствующий сертификату, или связь с ним"},
    {101606, 101606, "Открытие кодирующего криптографического контекста"},
    {101701, 101701, "Подписываемые данные отсутствуют"},
    {101703, 101703, "Выделение памяти для хранения блока исходных данных"},
    {101704, 101704, "Ошибка загрузки данных для кодирования подписи"},
    {101705, 101705, "Ошибка загрузки данных для декодирования подписи"},
    {101706, 101706, "CryptMsgGetParam, ошибка получения закодированной подписи (CMS)"},
    {101707, 101707, "Выделение памяти для хранения блока исходных данных"},
    {101708, 101708, "CryptMsgGetParam, ошибка получения закодированной подписи (CMS)"},
    {101709, 101709, "Неверная очередность вызова функций"},
    {101801, 101801, "Заданы неверные параметры"},
    {101802, 101803, "Объект не инициализирован"},
    {101804, 101804, "Неверно задан индекс подписи"},
    {101805, 101805, "Не задан адрес службы штампов времени"},
    {101806, 101806, "Не удалось найти подпись, на которую необходимо получить штамп"},
    {101901, 101901, "Заданы неверные параметры"},
    {101902, 101902, "Объект не инициализирован"},
    {101903, 101903, "Неверная очередность вызова функций"},
    {101906, 101906, "Добавление подписи"},
    {101907, 101907, "Добавление сертификата автора подписи в подпись"},
    {101908, 101908, "Не удалось создать объект"},
    {101909, 101909,
     "Перед добавлением подписи должны быть загружены исходные данные или хеш исходных данных"},
    {102001, 102001, "Заданы неверные параметры"},
    {102002, 102002, "Подготовка к декодированию подписи"},
    {102003, 102003, "Не удалось выделить память для сохранения блока данных"},
    {102004, 102004, "Декодирование подписи"},
    {102101, 102102, "Объект не инициализирован"},
    {102103, 102106, "Не удалось определить размер сообщения"},
    {110101, 110101, "Заданы неверные параметры"},
    {110102, 110102, "Объект не инициализирован"},
    {110103, 110103, "Не найден сертификат для проверки подписи"},
    {110104, 110104, "Проверка подписи"},
    {110201, 110201, "Заданы неверные параметры"},
    {110202, 110202, "Получение информации о подписи"},
    {110203, 110203, "Определение параметров подписи"},
    {110204, 110204, "Получение информации о подписи"},
    {110209, 110209, "Получение идентификатора сертификата автора подписи"},
    {110211, 110211, "Получение идентификатора сертификата автора подписи"},
    {110212, 110214, "Определение параметров подписи: не удалось определить дату и время подписания"},
    {110215, 110215, "Определение параметров подписи: не удалось получить штамп времени из подписи"},
    {110216, 110216, "Получение информации о подписи"},
    {110301, 110301, "Добавление штампа времени в подпись: заданы неверные параметры"},
    {110302, 110302, "Объект \"Подпись\" не инициализирован; получения штампа времени невозможно"},
    {110303, 110303, "Получение штампа времени: подпись уже содержит штамп времени"},
    {110304, 110304, "Получение штампа времени: не задан адрес службы штампов времени"},
    {110305, 110305, "Получение штампа времени: не удалось создать объект"},
    {110306, 110306, "Добавление штампа времени в подпись: ошибка кодирования штампа времени"},
    {110307, 110307,
     "Добавление штампа времени в подпись: не удалось выделить память для закодиранного штампа времени"},
    {110308, 110308, "Добавление штампа времени в подпись: ошибка кодирования штампа времени"},
    {110309, 110309, "Добавление штампа времени в подпись"},
    {110401, 110401, "Заданы неверные параметры"},
    {110402, 110402, "Объект не инициализирован"},
    {120001, 120001, "Объект \"Штамп времени\" не инициализирован"},
    {120002, 120002, "Заданы неверные параметры (пустые указатели)"},
    {120101, 120101, "Разбор штампа времени"},
    {120201, 120201, "Не задан адрес(URL) службы штампов времени"},
    {120204, 120204, "Отправка запроса на получение штампа времени"},
    {120205, 120205, "Получение штампа времени"},
    {120301, 120301, "Экспорт штампа времени"},
    {120401, 120401,
     "Получение идентификатора (OID) политики службы штампов, согласно которой штамп времени был выпущен"},
    {120501, 120501, "Получение серийного номера штампа времени"},
    {120601, 120601, "Отображение окна со свойствами штампа времени"},
    {120701, 120701, "Проверка ЭП штампа времени"},
    {120801, 120801, "Получение точности времени в штампе"},
    {120901, 120901, "Получение времени в штампе"},
    {121001, 121001, "Установка настроек штампа времени"},
    {121101, 121101, "Добавление блока исходных данных"},
    {121201, 121201, "Определение наличия поля \"Nonce\" в штампе времени"},
    {121301, 121301, "Получение сертификата службы штампов"},
    {121401, 121401, "Получение названия службы штампов"},
    {121501, 121501, "Сброс хэша исходных данных"},
    {130102, 130102, "Определение отпечатка сертификата"},
    {130103, 130103, "Выделение памяти"},
    {130105, 130105, "Преобразование отпечатка сертификата в строку"},
    {130106, 130106, "Преобразование серийного номера сертификата в строку"},
    {130107, 130109, "Выделение памяти"},
    {130111, 130111, "Выделение памяти"},
    {130112, 130112, "Произошла ошибка при копировании строки"},
    {130113, 130113, "Выделение памяти"},
    {130114, 130114, "Произошла ошибка при копировании строки"},
    {130115, 130115, "Определение точек распространения отозванных сертификатов"},
    {130116, 130116, "Выделение памяти"},
    {130117, 130117, "Произошла ошибка при копировании строки"},
    {130118, 130118, "Определение расширенной области использования ключа (EKU)"},
    {130119, 130119, "Выделение памяти"},
    {130120, 130120, "Произошла ошибка при копировании строки"},
    {130201, 130201, "Объект не инициализирован или заданы неверные параметры"},
    {130202, 130202, "Создание хранилища сертификатов в памяти"},
    {130203, 130203, "Добавление сертификата в хранилище сертификатов"},
    {130204, 130204, "Сохранение хранилища сертификатов"},
    {130205, 130205, "Выделение памяти для хранения хранилища сертификатов"},
    {130206, 130206, "Сохранение хранилища сертификатов"},
    {130301, 130301, "Заданы неверные параметры"},
    {130302, 130302, "Открытие хранилища сертификатов в памяти"},
    {130303, 130303, "В хранилище нет ни одного сертификата"},
    {130401, 130401, "Объект не инициализирован"},
    {130402, 130402, "Показ окна со свойствами сертификата"},
    {130501, 130501, "Заданы неверные параметры"},
    {130502, 130502, "Создание контекста сертификата"},
    {130601, 130601, "Копирование контекста сертификата"},
    {130701, 130701, "Не заданы параметры проверки сертификата"},
    {130702, 130702, "Не задан сертификат"},
    {130703, 130703, "Проверка сертификата"},
    {130801, 130801, "Объект не инициализирован"},
    {130901, 130901, "Объект не инициализирован"},
    {140101, 140101, "Копирование контекста СОСа"},
    {140201, 140201, "Объект не инициализирован"},
    {140202, 140202, "Выделение памяти"},
    {140203, 140203, "Разбор CRL"},
    {140301, 140301, "Заданы неверные параметры"},
    {140302, 140302, "Создание контекста списка отозванных сертификатов"},
    {140401, 140401, "Объект не инициализирован"},
    {140501, 140501, "Объект не инициализирован"},
    {140502, 140502, "Показ окна со свойствами СОСа"},
    {150101, 150101, "Не удалось открыть хранилище сертификатов"},
    {150102, 150102, "Отсутствует запрашиваемое хранилище сертификатов"},
    {150201, 150201, "Хранилище серртификатов не открыто"},
    {150202, 150202, "Не удалось загрузить библиотеку CryptDlg.dll"},
    {150203, 150203, "Обращение к функции библиотеки CryptDlg.dll"},
    {150301, 150301, "Объект не инициализирован или заданы неверные параметры"},
    {150302, 150302, "Произошла ошибка при создании объекта сертификата"},
    {150303, 150303, "Получение параметров сертификата"},
    {150401, 150401, "Объект не инициализирован или заданы неверные параметры"},
    {150402, 150402, "Создание объекта списка отозванных сертификатов"},
    {150403, 150403, "Получение параметров списка отозванных сертификатов"},
    {150501, 150501, "Хранилище серртификатов не открыто"},
    {150502, 150502, "Не задано имя файла"},
    {150503, 150503, "Мастер импорта сертификатов"},
    {150601, 150601, "Создание временного хранилища сертификатов"},
    {150701, 150701, "Хранилище сертификатов не открыто"},
    {150702, 150702, "Сертификат не задан"},
    {150703, 150703, "Удаление сертификата"},
    {150704, 150704, "Удаляемый сертификат не найден в хранилище"},
    {150801, 150801, "Хранилище сертификатов не открыто"},
    {150802, 150802, "Список отозванных сертификатов не задан"},
    {150803, 150803, "Удаление списка отозванных сертификатов"},
    {150804, 150804, "Удаляемый СRL не найден в хранилище"},
    {150901, 150901, "Определение свойств сертификата"},
    {150902, 150902, "Определение прав пользователя"},
    {160101, 160101, "Не удалось выделить память для внутренних нужд, для CWStrWrapper"},
    {160102, 160102, "Не удалось скопировать строку для внутренних нужд, для CWStrWrapper"},
    {160103, 160103, "Адрес(URL) службы штампов времени пуст"},
    {180101, 180101, "Не заданы исходные данные"},
    {180102, 180102, "Не заданы сертификаты получателей"},
    {180103, 180103, "Не удалось выделить память для хранения массива сертификатов получателей"},
    {180104, 180104, "Получение контекста провайдера (возможно требуемый криптопровайдер не установлен)"},
    {180105, 180105, "Шифрование"},
    {180106, 180106, "Выделение памяти для зашифрованных данных"},
    {180107, 180107, "Шифрование"},
    {180201, 180201, "Заданы неверные параметры"},
    {180202, 180202, "Не заданы исходные данные для расшифровки"},
    {180203, 180203, "Открытие (создание) хранилища сертификатов"},
    {180204, 180204, "Выделение памяти для хранения массива хранилищ сертификатов"},
    {180205, 180205, "Расшифрование"},
    {180206, 180206, "Выделение памяти для расшифрованных данных"},
    {180207, 180207, "Расшифрование"},
    {180301, 180301, "Не заданы сертификаты получателей"},
    {180302, 180302, "Выделение памяти для хранения массива сертификатов получателей"},
    {180303, 180303, "Получение контекста криптопровайдера"},
    {180304, 180304, "Выделение памяти для хранения структур"},
    {180305, 180305, "Открытие кодирующего криптографического контекста"},
    {180401, 180401, "Шифруемые данные отсутствуют"},
    {180402, 180402, "Неверная очередность вызова функций"},
    {180403, 180403, "Выделение памяти для хранения промежуточных результатов"},
    {180404, 180404, "Шифрование блока данных"},
    {180501, 180501, "Открытие декодирующего криптографического контекста"},
    {180502, 180502,
     "При не использовании системных хранилищ сертификатов (UseSystemCertStores = false) должен быть указан "
     "сертификат расшифрования DecryptCertificate"},
    {180503, 180503,
     "Указанный сертификат расшифрования (DecryptCertificate) отсутствует в получателях зашифрованных "
     "данных"},
    {180601, 180601, "Заданы неверные параметры"},
    {180602, 180602, "Неверная очередность вызова функций"},
    {180603, 180603, "Выделение памяти для хранения промежуточных результатов"},
    {180604, 180604, "Расшифрование/загрузка блока данных"},
    {180605, 180605, "Определение алгоритма шифрования"},
    {180606, 180607, "Определение количества получателей зашифрованного сообщения"},
    {180608, 180608, "Определение параметров сертификата получателя зашифрованного сообщения"},
    {180609, 180609, "Выделение памяти для хранения информации о сертификате получателя"},
    {180610, 180610, "Определение параметров сертификата получателя зашифрованного сообщения"},
    {180611, 180611, "Не удалось найти сертификат для расшифровки сообщения"},
    {180614, 180615, "Расшифрование"},
    {180701, 180701, "Неверная очередность вызова функций"},
    {180702, 180702, "Размер сообщения превысил максимально возможное значение"},
    {180703, 180703, "Не удалось определить размер сообщения"},
    {190103, 190103, "Получение списка криптопровайдеров: не удается получить имя криптопровайдера"},
    {190104, 190104, "Получение списка криптопровайдеров "},
    {190201, 190201, "Получение списка ключевых контейнеров: объект не инициализирован"},
    {190202, 190202, "Получение списка ключевых контейнеров"},
    {190203, 190203, "Получение списка ключевых контейнеров: не удалось создать объект"},
    {190204, 190204, "Объект 'Криптопровайдер' не инициализирован"},
    {200101, 200101, "Получение контекста криптопровайдера"},
    {200102, 200105, "Получение имени ключевого контейнера"},
    {200106, 200109, "Получение уникального имени ключевого контейнера"},
    {200110, 200111, "Ошибка инициализации криптопровайдера"},
    {200201, 200206, "Ошибка получения сертификата из ключевого контейнера"},
    {200301, 200306, "Не удалось установить сертификат"},
    {200401, 200406, "Не удалось сравнить открытые ключи в сертификате и в ключевом контейнере"},
};

constexpr bool sortedWithoutOverlap() {
    for (size_t i = 0; i < std::size(StepTable); ++i) {
        if (StepTable[i].first > StepTable[i].last) return false;
        if (i > 0 && StepTable[i - 1].last >= StepTable[i].first) return false;
    }
    return true;
}
static_assert(sortedWithoutOverlap());

constexpr const char* UnknownStepText = "Неизвестная ошибка";

struct HttpStatus {
    DWORD status;
    const char* text;
};

// The English descriptions of HTTP status codes that time-stamp requests may end with.
constexpr HttpStatus HttpStatusTexts[] = {
    {100, "The request can be continued."},
    {101, "The server has switched protocols in an upgrade header."},
    {200, "The request completed successfully."},
    {201, "The request has been fulfilled and resulted in the creation of a new resource."},
    {202, "The request has been accepted for processing, but the processing has not been completed."},
    {203,
     "The returned meta information in the entity-header is not the definitive set available from the "
     "originating server."},
    {204, "The server has fulfilled the request, but there is no new information to send back."},
    {205,
     "The request has been completed, and the client program should reset the document view that caused the "
     "request to be sent to allow the user to easily initiate another input action."},
    {206, "The server has fulfilled the partial GET request for the resource."},
    {207,
     "During a World Wide Web Distributed Authoring and Versioning (WebDAV) operation, this indicates "
     "multiple status codes for a single response. The response body contains Extensible Markup Language "
     "(XML) that describes the status codes. For more information, see HTTP Extensions for Distributed "
     "Authoring."},
    {300, "The requested resource is available at one or more locations."},
    {301,
     "The requested resource has been assigned to a new permanent Uniform Resource Identifier (URI), and any "
     "future references to this resource should be done using one of the returned URIs."},
    {302, "The requested resource resides temporarily under a different URI."},
    {303,
     "The response to the request can be found under a different URI and should be retrieved using a GET "
     "HTTP verb on that resource."},
    {304, "The requested resource has not been modified."},
    {305, "The requested resource must be accessed through the proxy given by the location field."},
    {307, "The redirected request keeps the same HTTP verb. HTTP/1.1 behavior."},
    {400, "The request could not be processed by the server due to invalid syntax."},
    {401, "The requested resource requires user authentication."},
    {402, "Not implemented in the HTTP protocol."},
    {403, "The server understood the request, but cannot fulfill it."},
    {404, "The server has not found anything that matches the requested URI."},
    {405, "The HTTP verb used is not allowed."},
    {406, "No responses acceptable to the client were found."},
    {407, "Proxy authentication required."},
    {408, "The server timed out waiting for the request."},
    {409,
     "The request could not be completed due to a conflict with the current state of the resource. The user "
     "should resubmit with more information."},
    {410, "The requested resource is no longer available at the server, and no forwarding address is known."},
    {411, "The server cannot accept the request without a defined content length."},
    {412,
     "The precondition given in one or more of the request header fields evaluated to false when it was "
     "tested on the server."},
    {413,
     "The server cannot process the request because the request entity is larger than the server is able to "
     "process."},
    {414,
     "The server cannot service the request because the request URI is longer than the server can "
     "interpret."},
    {415,
     "The server cannot service the request because the entity of the request is in a format not supported "
     "by the requested resource for the requested method."},
    {449, "The request should be retried after doing the appropriate action."},
    {500, "The server encountered an unexpected condition that prevented it from fulfilling the request."},
    {501, "The server does not support the functionality required to fulfill the request."},
    {502,
     "The server, while acting as a gateway or proxy, received an invalid response from the upstream server "
     "it accessed in attempting to fulfill the request."},
    {503, "The service is temporarily overloaded."},
    {504, "The request was timed out waiting for a gateway."},
    {505, "The server does not support the HTTP protocol version that was used in the request message."},
};

const char* httpStatusText(DWORD status) {
    for (const HttpStatus& row : HttpStatusTexts)
        if (row.status == status) return row.text;
    return "";
}

CWString programText(const char* text) {
    return CWString(text, static_cast<size_t>(-1), Vsk::Utils::CP_PROGRAM);
}

DWORD resolveLastError(DWORD code) {
    return code == Vsk::Utils::LastErrorCode ? GetLastError() : code;
}

}  // namespace

// ---- Construction ---------------------------------------------------------------------------------

CCryptError::CCryptError() : CError(CWString(), Vsk::Utils::NoErrorCode) {}

CCryptError::CCryptError(DWORD stepCode, DWORD code, DWORD httpStatus) : CError(resolveLastError(code)) {
    const auto& impl = getImpl();
    impl->m_errorNumber = stepCode;
    const CWString stepLine = getStepMessage(stepCode);
    if (stepLine.getLength() != 0) impl->m_message = stepLine + u"\r\n" + impl->m_message;
    if (httpStatus != 0)
        impl->m_message += u"\r\nкод статуса HTTP " + Vsk::Utils::ToWString(httpStatus) + u": " +
                           programText(httpStatusText(httpStatus));
    logAndEscalate("Vsk::PKI::CCryptError::CCryptError");
}

CCryptError::CCryptError(DWORD stepCode, HRESULT hr, DWORD httpStatus) : CError(hr) {
    const auto& impl = getImpl();
    impl->m_errorNumber = stepCode;
    const CWString stepLine = getStepMessage(stepCode);
    if (stepLine.getLength() != 0) impl->m_message = stepLine + u"\r\n" + impl->m_message;
    if (httpStatus != 0)
        impl->m_message += u"\r\nкод статуса HTTP " + Vsk::Utils::ToWString(httpStatus) + u": " +
                           programText(httpStatusText(httpStatus));
    logAndEscalate("Vsk::PKI::CCryptError::CCryptError");
}

CCryptError::CCryptError(DWORD stepCode, const CWString& text, DWORD code) : CError(text, code) {
    set(stepCode);
}

CCryptError::CCryptError(const CError& error) : CError(error) {}

CCryptError::CCryptError(SharedTag, const CError& error) : CError(error) {
    getImpl().checkCreated();
}

CCryptError CCryptError::CCryptErrorHResult(DWORD stepCode, HRESULT hr, DWORD httpStatus) {
    return CCryptError(stepCode, hr, httpStatus);
}

CCryptError CCryptError::CCryptErrorText(DWORD stepCode, const CWString& text, DWORD code) {
    return CCryptError(stepCode, text, code);
}

CCryptError CCryptError::CCryptErrorTextA(DWORD stepCode, const char* text, DWORD code) {
    CCryptError error(SharedTag{}, CError(text, code));
    error.set(stepCode);
    return error;
}

CCryptError CCryptError::CCryptErrorTextW(DWORD stepCode, const WCHAR* text, DWORD code) {
    CCryptError error(SharedTag{}, CError(text, code));
    error.set(stepCode);
    return error;
}

CCryptError CCryptError::CCryptErrorFromError(DWORD stepCode, const CError& error) {
    CCryptError shared(SharedTag{}, error);
    shared.getImpl()->m_errorNumber = stepCode;
    return shared;
}

CCryptError CCryptError::CCryptErrorFromError(const CError& error, const CWString& firstLine) {
    CCryptError shared(SharedTag{}, error);
    if (firstLine.getLength() != 0)
        shared.getImpl()->m_message = firstLine + u"\r\n" + shared.getImpl()->m_message;
    return shared;
}

CCryptError CCryptError::CCryptErrorAddLine(const CWString& line, const CError& error) {
    CCryptError shared(SharedTag{}, error);
    shared.getImpl()->m_message = line + u"\r\n" + shared.getImpl()->m_message;
    return shared;
}

// ---- Operations -----------------------------------------------------------------------------------

void CCryptError::set(DWORD stepCode) {
    const auto& impl = getImpl();
    impl.checkCreated();
    impl->m_errorNumber = stepCode;
    const CWString stepLine = getStepMessage(stepCode);
    if (stepLine.getLength() != 0) impl->m_message = impl->m_message + u"\r\n" + stepLine;
    logAndEscalate("Vsk::PKI::CCryptError::set");
}

const char* CCryptError::getStepText() const {
    return getStepText(getErrorNumber());
}

CWString CCryptError::getStepMessage() const {
    return getStepMessage(getErrorNumber());
}

const char* CCryptError::getStepText(DWORD stepCode) {
    const auto* end = std::end(StepTable);
    const auto* it = std::lower_bound(std::begin(StepTable), end, stepCode,
                                      [](const StepRange& row, DWORD code) { return row.last < code; });
    return it != end && it->first <= stepCode ? it->text : UnknownStepText;
}

CWString CCryptError::getStepMessage(DWORD stepCode) {
    if (stepCode == 0) return CWString();
    return u"Ошибка криптобиблиотеки " + Vsk::Utils::ToWString(stepCode) + u": " +
           programText(getStepText(stepCode));
}

void CCryptError::logAndEscalate(const char* function) const {
    // Logging must not disturb the last error a caller may still read after building the error.
    Vsk::Utils::CLastErrorGuard keep;
    Vsk::InternalUtils::CLog* log = Vsk::InternalUtils::GetLog();
    if (!log) return;
    if (log->getLevel() >= 1)
        log->write(CWString(Vsk::Utils::StripNamespacePrefix(function), Vsk::Utils::CP_PROGRAM) + u" " +
                   getText());
    log->escalateLevel();
}

}  // namespace Vsk::PKI
