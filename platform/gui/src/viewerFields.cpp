// The viewers' texts. The fields come from the certificate stand-in's structures; the OID names from
// the OID information table, with the viewer's own Russian names for what the table does not carry
// (extensions, purposes, access methods). Extension values are decoded with OpenSSL's DER decoders and
// written in our words: OpenSSL's own printers write English and are never shown.
//
// OpenSSL comes first: the certificate stand-in then leaves OpenSSL's X509_NAME type alone.
#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "viewerFields.h"

#include <vsk/platform/certname.h>
#include <vsk/platform/crypt.h>

#include <QStringList>

#include <algorithm>

#include <cstring>
#include <ctime>
#include <memory>
#include <string>

namespace vsk::gui {

namespace {

// Names of what the OID information table has no entry for, as the system viewer words them.
struct OidText {
    const char* oid;
    const char16_t* name;
};
const OidText OwnNames[] = {
    // Extensions.
    {"2.5.29.14", u"Идентификатор ключа субъекта"},
    {"2.5.29.15", u"Использование ключа"},
    {"2.5.29.16", u"Период использования закрытого ключа"},
    {"2.5.29.17", u"Альтернативное имя субъекта"},
    {"2.5.29.18", u"Альтернативное имя издателя"},
    {"2.5.29.19", u"Основные ограничения"},
    {"2.5.29.20", u"Номер CRL"},
    {"2.5.29.21", u"Код причины отзыва CRL"},
    {"2.5.29.24", u"Дата недействительности"},
    {"2.5.29.27", u"Индикатор разностного CRL"},
    {"2.5.29.28", u"Точка распространения выпуска"},
    {"2.5.29.30", u"Ограничения имен"},
    {"2.5.29.31", u"Точки распространения списков отзыва (CRL)"},
    {"2.5.29.32", u"Политики сертификата"},
    {"2.5.29.35", u"Идентификатор ключа центра сертификатов"},
    {"2.5.29.37", u"Улучшенный ключ"},
    {"2.5.29.46", u"Самый свежий CRL"},
    {"1.3.6.1.5.5.7.1.1", u"Доступ к информации о центрах сертификации"},
    {"1.3.6.1.4.1.311.21.1", u"Версия ЦС"},
    {"1.3.6.1.4.1.311.21.2", u"Хэш предыдущего сертификата ЦС"},
    {"1.3.6.1.4.1.311.21.4", u"Следующая публикация CRL"},
    {"1.3.6.1.4.1.311.21.7", u"Шаблон сертификата"},
    {"1.3.6.1.4.1.311.20.2", u"Имя шаблона сертификата"},
    {"1.2.643.100.111", u"Средство электронной подписи владельца"},
    {"1.2.643.100.112", u"Средства электронной подписи и УЦ издателя"},
    {"1.2.643.100.114", u"Класс средства электронной подписи"},
    // Purposes.
    {"1.3.6.1.5.5.7.3.1", u"Проверка подлинности сервера"},
    {"1.3.6.1.5.5.7.3.2", u"Проверка подлинности клиента"},
    {"1.3.6.1.5.5.7.3.3", u"Подписывание кода"},
    {"1.3.6.1.5.5.7.3.4", u"Защищенная электронная почта"},
    {"1.3.6.1.5.5.7.3.8", u"Установление штампа времени"},
    {"1.3.6.1.5.5.7.3.9", u"Подписывание ответа OCSP"},
    {"1.3.6.1.4.1.311.10.3.12", u"Подписывание документа"},
    {"1.3.6.1.4.1.311.20.2.2", u"Вход со смарт-картой"},
    {"2.5.29.37.0", u"Любое назначение"},
    // Access methods and policy qualifiers.
    {"1.3.6.1.5.5.7.48.1", u"Протокол определения состояния сертификата через сеть (OCSP)"},
    {"1.3.6.1.5.5.7.48.2", u"Поставщик центра сертификации"},
    {"1.3.6.1.5.5.7.2.1", u"CPS"},
    {"1.3.6.1.5.5.7.2.2", u"Уведомление пользователя"},
    {"2.5.29.32.0", u"Все политики выдачи"},
};

const char16_t* const KeyUsageNames[] = {
    u"Цифровая подпись",
    u"Неотрекаемость",
    u"Шифрование ключей",
    u"Шифрование данных",
    u"Согласование ключей",
    u"Подписывание сертификатов",
    u"Подписывание списка отзыва (CRL)",
    u"Только шифрование",
    u"Только расшифрование",
};

const char16_t* const ReasonNames[] = {
    u"Не указана",         u"Компрометация ключа", u"Компрометация ЦС",        u"Изменение принадлежности",
    u"Сертификат заменен", u"Прекращение работы",  u"Приостановка действия",   nullptr,
    u"Удаление из CRL",    u"Отозваны права",      u"Компрометация атрибутов",
};

QString fromUtf16(const char16_t* text) {
    return QString::fromUtf16(text);
}

QString oidText(const ASN1_OBJECT* object) {
    char buffer[128] = {};
    OBJ_obj2txt(buffer, sizeof buffer, object, 1);
    return QString::fromLatin1(buffer);
}

// An OID's name, with the OID in brackets when there is a name ("Имя (1.2.3)").
QString namedOid(const ASN1_OBJECT* object) {
    char buffer[128] = {};
    OBJ_obj2txt(buffer, sizeof buffer, object, 1);
    const QString name = oidName(buffer);
    const QString dotted = QString::fromLatin1(buffer);
    return name == dotted ? dotted : name + QStringLiteral(" (") + dotted + u')';
}

QString asn1Text(const ASN1_STRING* text) {
    if (!text) return {};
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, text);
    if (length < 0)
        return hexPairs(ASN1_STRING_get0_data(text), static_cast<size_t>(ASN1_STRING_length(text)));
    QString result = QString::fromUtf8(reinterpret_cast<const char*>(utf8), length);
    OPENSSL_free(utf8);
    return result;
}

QString asn1Time(const ASN1_TIME* time) {
    std::tm tm{};
    if (!time || !ASN1_TIME_to_tm(time, &tm)) return {};
    const qint64 seconds = timegm(&tm);
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::LocalTime)
        .toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
}

QString integerHex(const ASN1_INTEGER* value) {
    if (!value) return {};
    return hexPairs(ASN1_STRING_get0_data(value), static_cast<size_t>(ASN1_STRING_length(value)));
}

QString generalName(const GENERAL_NAME* name) {
    int type = 0;
    void* value = GENERAL_NAME_get0_value(name, &type);
    switch (type) {
        case GEN_EMAIL:
            return QStringLiteral("Адрес электронной почты=") + asn1Text(static_cast<ASN1_STRING*>(value));
        case GEN_DNS:
            return QStringLiteral("DNS-имя=") + asn1Text(static_cast<ASN1_STRING*>(value));
        case GEN_URI:
            return QStringLiteral("URL=") + asn1Text(static_cast<ASN1_STRING*>(value));
        case GEN_IPADD: {
            const auto* ip = static_cast<ASN1_OCTET_STRING*>(value);
            const unsigned char* b = ASN1_STRING_get0_data(ip);
            const int n = ASN1_STRING_length(ip);
            QString text;
            if (n == 4) {
                text = QStringLiteral("%1.%2.%3.%4").arg(b[0]).arg(b[1]).arg(b[2]).arg(b[3]);
            } else {
                for (int i = 0; i + 1 < n; i += 2)
                    text +=
                        (i ? QStringLiteral(":") : QString()) + QString::number((b[i] << 8) | b[i + 1], 16);
            }
            return QStringLiteral("IP-адрес=") + text;
        }
        case GEN_DIRNAME: {
            unsigned char* der = nullptr;
            const int size = i2d_X509_NAME(static_cast<X509_NAME*>(value), &der);
            if (size <= 0) return QStringLiteral("Каталожный адрес");
            CERT_NAME_BLOB blob{static_cast<DWORD>(size), der};
            QString text = QStringLiteral("Каталожный адрес:\n") + nameLines(blob);
            OPENSSL_free(der);
            return text;
        }
        case GEN_RID:
            return QStringLiteral("Зарегистрированный ID=") + namedOid(static_cast<ASN1_OBJECT*>(value));
        case GEN_OTHERNAME: {
            const auto* other = static_cast<OTHERNAME*>(value);
            return QStringLiteral("Другое имя:") + namedOid(other->type_id);
        }
        default:
            return QStringLiteral("Неизвестное имя");
    }
}

QString generalNames(const GENERAL_NAMES* names, const QString& indent) {
    QStringList lines;
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i)
        lines << indent + generalName(sk_GENERAL_NAME_value(names, i));
    return lines.join(u'\n');
}

template <class T, class Free>
std::unique_ptr<T, Free> owned(T* value, Free free) {
    return std::unique_ptr<T, Free>(value, free);
}

// The decoded value of a known extension (whole form), empty when the viewer does not know it or
// the bytes do not decode.
QString decodeExtension(const std::string& oid, const unsigned char* der, long size) {
    const unsigned char* p = der;
    if (oid == "2.5.29.15") {
        auto bits = owned(d2i_ASN1_BIT_STRING(nullptr, &p, size), ASN1_BIT_STRING_free);
        if (!bits) return {};
        QStringList names;
        for (int i = 0; i < 9; ++i)
            if (ASN1_BIT_STRING_get_bit(bits.get(), i)) names << fromUtf16(KeyUsageNames[i]);
        const unsigned char* data = ASN1_STRING_get0_data(bits.get());
        const int length = ASN1_STRING_length(bits.get());
        return names.join(QStringLiteral(", ")) + QStringLiteral(" (") +
               hexPairs(data, static_cast<size_t>(length)).toLower().remove(u' ') + u')';
    }
    if (oid == "2.5.29.19") {
        auto bc = owned(d2i_BASIC_CONSTRAINTS(nullptr, &p, size), BASIC_CONSTRAINTS_free);
        if (!bc) return {};
        QString text = QStringLiteral("Тип субъекта=") +
                       (bc->ca ? QStringLiteral("ЦС") : QStringLiteral("Конечный субъект"));
        text +=
            QStringLiteral("\nОграничение на длину пути=") +
            (bc->pathlen ? QString::number(ASN1_INTEGER_get(bc->pathlen)) : QStringLiteral("Отсутствует"));
        return text;
    }
    if (oid == "2.5.29.37") {
        auto eku = owned(d2i_EXTENDED_KEY_USAGE(nullptr, &p, size), EXTENDED_KEY_USAGE_free);
        if (!eku) return {};
        QStringList lines;
        for (int i = 0; i < sk_ASN1_OBJECT_num(eku.get()); ++i)
            lines << namedOid(sk_ASN1_OBJECT_value(eku.get(), i));
        return lines.join(u'\n');
    }
    if (oid == "2.5.29.14") {
        auto id = owned(d2i_ASN1_OCTET_STRING(nullptr, &p, size), ASN1_OCTET_STRING_free);
        if (!id) return {};
        return hexPairs(ASN1_STRING_get0_data(id.get()), static_cast<size_t>(ASN1_STRING_length(id.get())));
    }
    if (oid == "2.5.29.35") {
        auto aki = owned(d2i_AUTHORITY_KEYID(nullptr, &p, size), AUTHORITY_KEYID_free);
        if (!aki) return {};
        QStringList lines;
        if (aki->keyid)
            lines << QStringLiteral("Идентификатор ключа=") +
                         hexPairs(ASN1_STRING_get0_data(aki->keyid),
                                  static_cast<size_t>(ASN1_STRING_length(aki->keyid)));
        if (aki->issuer)
            lines << QStringLiteral("Поставщик сертификата:\n") +
                         generalNames(aki->issuer, QStringLiteral("     "));
        if (aki->serial) lines << QStringLiteral("Серийный номер сертификата=") + integerHex(aki->serial);
        return lines.join(u'\n');
    }
    if (oid == "2.5.29.17" || oid == "2.5.29.18") {
        auto names = owned(d2i_GENERAL_NAMES(nullptr, &p, size), GENERAL_NAMES_free);
        if (!names) return {};
        return generalNames(names.get(), QString());
    }
    if (oid == "2.5.29.31" || oid == "2.5.29.46") {
        auto points = owned(d2i_CRL_DIST_POINTS(nullptr, &p, size), CRL_DIST_POINTS_free);
        if (!points) return {};
        QStringList blocks;
        for (int i = 0; i < sk_DIST_POINT_num(points.get()); ++i) {
            const DIST_POINT* point = sk_DIST_POINT_value(points.get(), i);
            QString block = QStringLiteral("[%1]Точка распространения списка отзыва (CRL)").arg(i + 1);
            if (point->distpoint && point->distpoint->type == 0)
                block += QStringLiteral("\n     Имя точки распространения:\n          Полное имя:\n") +
                         generalNames(point->distpoint->name.fullname, QStringLiteral("               "));
            if (point->CRLissuer)
                block += QStringLiteral("\n     Издатель CRL:\n") +
                         generalNames(point->CRLissuer, QStringLiteral("          "));
            blocks << block;
        }
        return blocks.join(u'\n');
    }
    if (oid == "1.3.6.1.5.5.7.1.1") {
        auto access = owned(d2i_AUTHORITY_INFO_ACCESS(nullptr, &p, size), AUTHORITY_INFO_ACCESS_free);
        if (!access) return {};
        QStringList blocks;
        for (int i = 0; i < sk_ACCESS_DESCRIPTION_num(access.get()); ++i) {
            const ACCESS_DESCRIPTION* d = sk_ACCESS_DESCRIPTION_value(access.get(), i);
            blocks << QStringLiteral("[%1]Доступ к сведениям центра сертификации\n     Метод доступа=")
                              .arg(i + 1) +
                          namedOid(d->method) + QStringLiteral("\n     Дополнительное имя:\n") +
                          QStringLiteral("          ") + generalName(d->location);
        }
        return blocks.join(u'\n');
    }
    if (oid == "2.5.29.32") {
        auto policies = owned(d2i_CERTIFICATEPOLICIES(nullptr, &p, size), CERTIFICATEPOLICIES_free);
        if (!policies) return {};
        QStringList blocks;
        for (int i = 0; i < sk_POLICYINFO_num(policies.get()); ++i) {
            const POLICYINFO* info = sk_POLICYINFO_value(policies.get(), i);
            QString block =
                QStringLiteral("[%1]Политика сертификата:\n     Идентификатор политики=").arg(i + 1) +
                namedOid(info->policyid);
            for (int q = 0; info->qualifiers && q < sk_POLICYQUALINFO_num(info->qualifiers); ++q) {
                const POLICYQUALINFO* qualifier = sk_POLICYQUALINFO_value(info->qualifiers, q);
                block += QStringLiteral(
                             "\n     [%1,%2]Сведения о квалификаторе политики:\n          "
                             "Идентификатор квалификатора политики=")
                             .arg(i + 1)
                             .arg(q + 1) +
                         namedOid(qualifier->pqualid);
                if (OBJ_obj2nid(qualifier->pqualid) == NID_id_qt_cps)
                    block += QStringLiteral("\n          Квалификатор:\n               ") +
                             asn1Text(qualifier->d.cpsuri);
            }
            blocks << block;
        }
        return blocks.join(u'\n');
    }
    if (oid == "2.5.29.16") {
        auto period = owned(d2i_PKEY_USAGE_PERIOD(nullptr, &p, size), PKEY_USAGE_PERIOD_free);
        if (!period) return {};
        QStringList lines;
        if (period->notBefore) lines << QStringLiteral("Действителен с ") + asn1Time(period->notBefore);
        if (period->notAfter) lines << QStringLiteral("Действителен по ") + asn1Time(period->notAfter);
        return lines.join(u'\n');
    }
    if (oid == "1.2.643.100.111") {
        auto tool = owned(d2i_ASN1_UTF8STRING(nullptr, &p, size), ASN1_UTF8STRING_free);
        return tool ? asn1Text(tool.get()) : QString();
    }
    if (oid == "1.2.643.100.112") {
        auto items = owned(d2i_ASN1_SEQUENCE_ANY(nullptr, &p, size),
                           [](ASN1_SEQUENCE_ANY* s) { sk_ASN1_TYPE_pop_free(s, ASN1_TYPE_free); });
        if (!items) return {};
        static const char16_t* const Labels[] = {
            u"Средство электронной подписи издателя", u"Средство удостоверяющего центра",
            u"Заключение на средство электронной подписи", u"Заключение на средство удостоверяющего центра"};
        QStringList lines;
        for (int i = 0; i < sk_ASN1_TYPE_num(items.get()); ++i) {
            const ASN1_TYPE* item = sk_ASN1_TYPE_value(items.get(), i);
            const QString value = item->type == V_ASN1_UTF8STRING ? asn1Text(item->value.utf8string)
                                                                  : QStringLiteral("(не строка)");
            lines << (i < 4 ? fromUtf16(Labels[i]) : QStringLiteral("Значение %1").arg(i + 1)) +
                         QStringLiteral(": ") + value;
        }
        return lines.join(u'\n');
    }
    if (oid == "2.5.29.20" || oid == "2.5.29.27") {
        auto number = owned(d2i_ASN1_INTEGER(nullptr, &p, size), ASN1_INTEGER_free);
        return number ? integerHex(number.get()) : QString();
    }
    if (oid == "2.5.29.21") {
        auto reason = owned(d2i_ASN1_ENUMERATED(nullptr, &p, size), ASN1_ENUMERATED_free);
        if (!reason) return {};
        const long code = ASN1_ENUMERATED_get(reason.get());
        const bool known = code >= 0 && code <= 10 && ReasonNames[code];
        return (known ? fromUtf16(ReasonNames[code]) : QStringLiteral("Неизвестная причина")) +
               QStringLiteral(" (%1)").arg(code);
    }
    if (oid == "2.5.29.24" || oid == "1.3.6.1.4.1.311.21.4") {
        auto time = owned(d2i_ASN1_TIME(nullptr, &p, size), ASN1_TIME_free);
        return time ? asn1Time(time.get()) : QString();
    }
    if (oid == "1.3.6.1.4.1.311.21.1") {
        auto version = owned(d2i_ASN1_INTEGER(nullptr, &p, size), ASN1_INTEGER_free);
        if (!version) return {};
        const long v = ASN1_INTEGER_get(version.get());
        return QStringLiteral("V%1.%2").arg(v & 0xFFFF).arg(v >> 16);
    }
    return {};
}

QString firstLine(const QString& text) {
    QString line = text;
    line.replace(u'\n', QStringLiteral(", "));
    return line.simplified();
}

// The key length in bits: GOST keys count the bits of their public point (as the providers report
// them), other keys the size OpenSSL reports.
DWORD keyBits(PCCERT_CONTEXT context) {
    const CERT_PUBLIC_KEY_INFO& key = context->pCertInfo->SubjectPublicKeyInfo;
    const char* oid = key.Algorithm.pszObjId ? key.Algorithm.pszObjId : "";
    if (std::strncmp(oid, "1.2.643.", 8) == 0) {
        const unsigned char* p = key.PublicKey.pbData;
        auto point = owned(d2i_ASN1_OCTET_STRING(nullptr, &p, key.PublicKey.cbData), ASN1_OCTET_STRING_free);
        return point ? static_cast<DWORD>(ASN1_STRING_length(point.get())) * 8 : 0;
    }
    const unsigned char* p = context->pbCertEncoded;
    auto cert = owned(d2i_X509(nullptr, &p, context->cbCertEncoded), X509_free);
    EVP_PKEY* pkey = cert ? X509_get0_pubkey(cert.get()) : nullptr;
    const int bits = pkey ? EVP_PKEY_get_bits(pkey) : 0;
    ERR_clear_error();
    return bits > 0 ? static_cast<DWORD>(bits) : 0;
}

QString thumbprint(PCCERT_CONTEXT context, const EVP_MD* md) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!EVP_Digest(context->pbCertEncoded, context->cbCertEncoded, digest, &size, md, nullptr)) return {};
    return hexPairs(digest, size);
}

QString thumbprint(PCCRL_CONTEXT context, const EVP_MD* md) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!EVP_Digest(context->pbCrlEncoded, context->cbCrlEncoded, digest, &size, md, nullptr)) return {};
    return hexPairs(digest, size);
}

Field simple(const QString& name, const QString& value) {
    return Field{name, firstLine(value), value};
}

// The signature algorithm and the hash algorithm it uses.
void signatureFields(const CRYPT_ALGORITHM_IDENTIFIER& algorithm, std::vector<Field>& fields) {
    const char* oid = algorithm.pszObjId ? algorithm.pszObjId : "";
    fields.push_back(simple(QStringLiteral("Алгоритм подписи"), oidName(oid, CRYPT_SIGN_ALG_OID_GROUP_ID)));
    if (PCCRYPT_OID_INFO sign =
            CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>(oid), CRYPT_SIGN_ALG_OID_GROUP_ID)) {
        ALG_ID hash = sign->Algid;
        if (PCCRYPT_OID_INFO info =
                CryptFindOIDInfo(CRYPT_OID_INFO_ALGID_KEY, &hash, CRYPT_HASH_ALG_OID_GROUP_ID))
            fields.push_back(
                simple(QStringLiteral("Хэш-алгоритм подписи"), QString::fromUtf16(info->pwszName)));
    }
}

QString nameText(const CERT_NAME_BLOB& name, DWORD type) {
    CERT_NAME_BLOB copy = name;
    const DWORD size = CertNameToStrW(X509_ASN_ENCODING, &copy, type, nullptr, 0);
    if (size <= 1) return {};
    std::u16string text(size, u'\0');
    CertNameToStrW(X509_ASN_ENCODING, &copy, type, text.data(), size);
    text.resize(size - 1);
    return QString::fromStdU16String(text);
}

}  // namespace

QString oidName(const char* oid, DWORD preferredGroup) {
    if (!oid || !*oid) return {};
    LoadRegisteredOIDInfo();
    PCCRYPT_OID_INFO info = nullptr;
    if (preferredGroup)
        info = CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>(oid), preferredGroup);
    if (!info) info = CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>(oid), 0);
    if (info && info->pwszName && *info->pwszName) return QString::fromUtf16(info->pwszName);
    for (const OidText& own : OwnNames)
        if (std::strcmp(own.oid, oid) == 0) return fromUtf16(own.name);
    return QString::fromLatin1(oid);
}

QString hexPairs(const BYTE* data, size_t size) {
    static const char Hex[] = "0123456789ABCDEF";
    QString text;
    text.reserve(static_cast<qsizetype>(size * 3));
    for (size_t i = 0; i < size; ++i) {
        if (i) text += u' ';
        text += QLatin1Char(Hex[data[i] >> 4]);
        text += QLatin1Char(Hex[data[i] & 15]);
    }
    return text;
}

QDateTime toDateTime(const FILETIME& time) {
    const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    constexpr uint64_t UnixEpoch = 116444736000000000ULL;  // 1970-01-01 in 100 ns since 1601
    const qint64 ms =
        static_cast<qint64>((static_cast<int64_t>(ticks) - static_cast<int64_t>(UnixEpoch)) / 10000);
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime);
}

QString localTime(const FILETIME& time, bool dateOnly) {
    return toDateTime(time).toString(dateOnly ? QStringLiteral("dd.MM.yyyy")
                                              : QStringLiteral("dd.MM.yyyy HH:mm:ss"));
}

QString nameShort(const CERT_NAME_BLOB& name) {
    return nameText(name, CERT_SIMPLE_NAME_STR | CERT_NAME_STR_REVERSE_FLAG);
}

QString nameLines(const CERT_NAME_BLOB& name) {
    // One "KEY = value" per RDN; a value with "=" in it is quoted, so the first "=" is the key's.
    QStringList lines =
        nameText(name, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_CRLF_FLAG)
            .split(QStringLiteral("\r\n"));
    for (QString& line : lines) {
        const qsizetype equals = line.indexOf(u'=');
        if (equals > 0) line.replace(equals, 1, QStringLiteral(" = "));
    }
    return lines.join(u'\n');
}

QString serialText(const CRYPT_INTEGER_BLOB& serial) {
    std::string bigEndian(serial.pbData, serial.pbData + serial.cbData);
    std::reverse(bigEndian.begin(), bigEndian.end());
    return hexPairs(reinterpret_cast<const BYTE*>(bigEndian.data()), bigEndian.size());
}

Field extensionField(const CERT_EXTENSION& extension) {
    const std::string oid = extension.pszObjId ? extension.pszObjId : "";
    const QString decoded =
        decodeExtension(oid, extension.Value.pbData, static_cast<long>(extension.Value.cbData));
    ERR_clear_error();
    const QString value =
        decoded.isEmpty() ? hexPairs(extension.Value.pbData, extension.Value.cbData) : decoded;
    QString name = oidName(oid.c_str(), CRYPT_EXT_OR_ATTR_OID_GROUP_ID);
    Field field{name, firstLine(value), value};
    if (extension.fCritical) field.fullValue = QStringLiteral("Критическое расширение\n") + value;
    return field;
}

std::vector<Field> certificateFields(PCCERT_CONTEXT context) {
    LoadGostEngine();
    const CERT_INFO& info = *context->pCertInfo;
    std::vector<Field> fields;
    fields.push_back(simple(QStringLiteral("Версия"), QStringLiteral("V%1").arg(info.dwVersion + 1)));
    fields.push_back(simple(QStringLiteral("Серийный номер"), serialText(info.SerialNumber)));
    signatureFields(info.SignatureAlgorithm, fields);
    fields.push_back(Field{QStringLiteral("Издатель"), nameShort(info.Issuer), nameLines(info.Issuer)});
    fields.push_back(simple(QStringLiteral("Действителен с"), localTime(info.NotBefore)));
    fields.push_back(simple(QStringLiteral("Действителен по"), localTime(info.NotAfter)));
    fields.push_back(Field{QStringLiteral("Субъект"), nameShort(info.Subject), nameLines(info.Subject)});
    const CERT_PUBLIC_KEY_INFO& key = info.SubjectPublicKeyInfo;
    QString keyName = oidName(key.Algorithm.pszObjId, CRYPT_PUBKEY_ALG_OID_GROUP_ID);
    if (const DWORD bits = keyBits(context)) keyName += QStringLiteral(" (%1 бит)").arg(bits);
    fields.push_back(Field{QStringLiteral("Открытый ключ"), keyName,
                           hexPairs(key.PublicKey.pbData, key.PublicKey.cbData)});
    if (key.Algorithm.Parameters.cbData)
        fields.push_back(simple(QStringLiteral("Параметры открытого ключа"),
                                hexPairs(key.Algorithm.Parameters.pbData, key.Algorithm.Parameters.cbData)));
    for (DWORD i = 0; i < info.cExtension; ++i) fields.push_back(extensionField(info.rgExtension[i]));
    fields.push_back(simple(QStringLiteral("Отпечаток (SHA-1)"), thumbprint(context, EVP_sha1())));
    fields.push_back(simple(QStringLiteral("Отпечаток (SHA-256)"), thumbprint(context, EVP_sha256())));
    return fields;
}

CertificateSummary certificateSummary(PCCERT_CONTEXT context) {
    const CERT_INFO& info = *context->pCertInfo;
    CertificateSummary summary;
    auto simpleName = [&](DWORD flags) {
        const DWORD size =
            CertGetNameStringW(context, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, nullptr, 0);
        std::u16string text(size ? size : 1, u'\0');
        CertGetNameStringW(context, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, text.data(), size);
        text.resize(size ? size - 1 : 0);
        return QString::fromStdU16String(text);
    };
    summary.issuedTo = simpleName(0);
    summary.issuedBy = simpleName(CERT_NAME_ISSUER_FLAG);
    summary.validFrom = localTime(info.NotBefore, true);
    summary.validTo = localTime(info.NotAfter, true);
    for (DWORD i = 0; i < info.cExtension; ++i) {
        if (std::strcmp(info.rgExtension[i].pszObjId, "2.5.29.37") != 0) continue;
        const unsigned char* p = info.rgExtension[i].Value.pbData;
        auto eku = owned(d2i_EXTENDED_KEY_USAGE(nullptr, &p, info.rgExtension[i].Value.cbData),
                         EXTENDED_KEY_USAGE_free);
        for (int k = 0; eku && k < sk_ASN1_OBJECT_num(eku.get()); ++k)
            summary.purposes << oidName(oidText(sk_ASN1_OBJECT_value(eku.get(), k)).toLatin1().constData(),
                                        CRYPT_ENHKEY_USAGE_OID_GROUP_ID);
        ERR_clear_error();
    }
    if (summary.purposes.isEmpty()) summary.purposes << QStringLiteral("Все политики применения");
    const QDateTime now = QDateTime::currentDateTime();
    if (now < toDateTime(info.NotBefore))
        summary.status = QStringLiteral("Срок действия сертификата еще не наступил.");
    else if (now > toDateTime(info.NotAfter))
        summary.status = QStringLiteral("Срок действия сертификата истек.");
    else
        summary.status = QStringLiteral("Срок действия сертификата не истек.");
    DWORD size = 0;
    summary.hasPrivateKey =
        CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) != FALSE;
    return summary;
}

std::vector<Field> crlFields(PCCRL_CONTEXT context) {
    const CRL_INFO& info = *context->pCrlInfo;
    std::vector<Field> fields;
    fields.push_back(simple(QStringLiteral("Версия"), QStringLiteral("V%1").arg(info.dwVersion + 1)));
    fields.push_back(Field{QStringLiteral("Издатель"), nameShort(info.Issuer), nameLines(info.Issuer)});
    fields.push_back(simple(QStringLiteral("Действителен с"), localTime(info.ThisUpdate)));
    const bool hasNext = info.NextUpdate.dwLowDateTime || info.NextUpdate.dwHighDateTime;
    fields.push_back(simple(QStringLiteral("Следующее обновление"),
                            hasNext ? localTime(info.NextUpdate) : QStringLiteral("Не указано")));
    signatureFields(info.SignatureAlgorithm, fields);
    for (DWORD i = 0; i < info.cExtension; ++i) fields.push_back(extensionField(info.rgExtension[i]));
    fields.push_back(simple(QStringLiteral("Отпечаток (SHA-1)"), thumbprint(context, EVP_sha1())));
    return fields;
}

std::vector<Field> crlEntryFields(const CRL_ENTRY& entry) {
    std::vector<Field> fields;
    fields.push_back(simple(QStringLiteral("Серийный номер"), serialText(entry.SerialNumber)));
    fields.push_back(simple(QStringLiteral("Дата отзыва"), localTime(entry.RevocationDate)));
    for (DWORD i = 0; i < entry.cExtension; ++i) fields.push_back(extensionField(entry.rgExtension[i]));
    return fields;
}

}  // namespace vsk::gui
