// The DER reader and writer of the certificate area; the rules are in der.h.
#include "der.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace vsk::cert {

namespace {

// A length of more than four octets cannot belong to anything a 32-bit size can hold
// (derTest.cpp, "five length octets").
constexpr size_t kMaxLengthOctets = 4;
// Tag numbers above 2^28 do not occur (derTest.cpp, "five tag octets").
constexpr size_t kMaxTagOctets = 4;

}  // namespace

bool DerReader::fail(DWORD code) {
    if (!m_code) m_code = code;
    return false;
}

bool DerReader::next(Tlv& out) {
    if (m_code || m_pos >= m_end) return false;
    const BYTE* p = m_pos;
    const size_t left = static_cast<size_t>(m_end - p);
    size_t i = 1;
    if ((p[0] & 0x1F) == 0x1F) {
        size_t octets = 0;
        do {
            if (i >= left) return fail(CRYPT_E_ASN1_EOD);
            if (++octets > kMaxTagOctets || (octets == 1 && p[i] == 0x80)) return fail(CRYPT_E_ASN1_CORRUPT);
        } while (p[i++] & 0x80);
    }
    if (i >= left) return fail(CRYPT_E_ASN1_EOD);
    const BYTE first = p[i++];
    size_t length = first;
    if (first & 0x80) {
        const size_t octets = first & 0x7F;
        if (octets == 0 || octets > kMaxLengthOctets) return fail(CRYPT_E_ASN1_CORRUPT);
        if (left - i < octets) return fail(CRYPT_E_ASN1_EOD);
        length = 0;
        for (size_t k = 0; k < octets; ++k) length = length << 8 | p[i++];
    }
    if (left - i < length) return fail(CRYPT_E_ASN1_EOD);
    out.tag = p[0];
    out.contents = p + i;
    out.length = length;
    out.whole = p;
    out.wholeLength = i + length;
    m_pos = p + i + length;
    return true;
}

bool DerReader::expect(BYTE tag, Tlv& out) {
    if (m_code) return false;
    if (m_pos >= m_end) return fail(CRYPT_E_ASN1_EOD);
    // The tag first: bytes that are not the element wanted fail as such, whatever their length says.
    if (*m_pos != tag) return fail(CRYPT_E_ASN1_BADTAG);
    return next(out);
}

bool DerReader::optional(BYTE tag, Tlv& out) {
    if (m_code || m_pos >= m_end || *m_pos != tag) return false;
    return next(out);
}

bool ReadSingle(const BYTE* data, size_t size, Tlv& out) {
    if (!data || !size) return false;
    DerReader reader(data, size);
    return reader.next(out) && reader.atEnd();
}

void PutLength(Bytes& out, size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<BYTE>(length));
        return;
    }
    BYTE octets[sizeof(size_t)];
    size_t n = 0;
    for (size_t v = length; v; v >>= 8) octets[n++] = static_cast<BYTE>(v);
    out.push_back(static_cast<BYTE>(0x80 | n));
    while (n) out.push_back(octets[--n]);
}

void PutTlv(Bytes& out, BYTE tag, const BYTE* contents, size_t length) {
    out.push_back(tag);
    PutLength(out, length);
    if (length) out.insert(out.end(), contents, contents + length);
}

Bytes MakeTlv(BYTE tag, const Bytes& contents) {
    Bytes out;
    PutTlv(out, tag, contents);
    return out;
}

bool LooksLikeOid(const std::u16string& text) {
    if (text.empty() || text.front() == u'.' || text.back() == u'.') return false;
    size_t dots = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'.') {
            if (text[i - 1] == u'.') return false;
            ++dots;
        } else if (text[i] < u'0' || text[i] > u'9') {
            return false;
        }
    }
    return dots >= 1;
}

bool OidToDer(const std::string& dotted, Bytes& out) {
    out.clear();
    std::vector<uint64_t> arcs;
    uint64_t arc = 0;
    bool digit = false;
    for (size_t i = 0; i <= dotted.size(); ++i) {
        if (i == dotted.size() || dotted[i] == '.') {
            if (!digit) return false;
            arcs.push_back(arc);
            arc = 0;
            digit = false;
        } else if (dotted[i] >= '0' && dotted[i] <= '9') {
            const auto value = static_cast<uint64_t>(dotted[i] - '0');
            if (arc > (UINT64_MAX - value) / 10) return false;  // wider than 64 bits
            arc = arc * 10 + value;
            digit = true;
        } else {
            return false;
        }
    }
    // The first subidentifier is 40 * first + second and must fit as the others do.
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40) || arcs[1] > UINT64_MAX - 80)
        return false;
    auto put = [&out](uint64_t v) {
        BYTE groups[10];
        size_t n = 0;
        do {
            groups[n++] = static_cast<BYTE>(v & 0x7F);
            v >>= 7;
        } while (v);
        while (n > 1) out.push_back(static_cast<BYTE>(groups[--n] | 0x80));
        out.push_back(groups[0]);
    };
    put(arcs[0] * 40 + arcs[1]);
    for (size_t i = 2; i < arcs.size(); ++i) put(arcs[i]);
    return true;
}

bool OidFromDer(const BYTE* data, size_t size, std::string& out) {
    out.clear();
    if (!data || !size) return false;
    bool firstArc = true;
    uint64_t v = 0;
    bool started = false;
    char number[24];
    for (size_t i = 0; i < size; ++i) {
        if (!started && data[i] == 0x80) return false;  // padded
        started = true;
        if (v > (UINT64_MAX >> 7)) return false;  // wider than 64 bits (derTest.cpp, "2^64")
        v = v << 7 | (data[i] & 0x7F);
        if (data[i] & 0x80) continue;
        if (firstArc) {
            const uint64_t top = v < 40 ? 0 : v < 80 ? 1 : 2;
            std::snprintf(number, sizeof number, "%llu.%llu", static_cast<unsigned long long>(top),
                          static_cast<unsigned long long>(v - top * 40));
            firstArc = false;
        } else {
            std::snprintf(number, sizeof number, ".%llu", static_cast<unsigned long long>(v));
        }
        out += number;
        v = 0;
        started = false;
    }
    return !started;  // the last arc ended
}

namespace {

bool digits(const BYTE* p, size_t n, int& value) {
    value = 0;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        value = value * 10 + (p[i] - '0');
    }
    return true;
}

bool isDigit(BYTE c) {
    return c >= '0' && c <= '9';
}

int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool leapYear(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

struct CivilTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

void civilFromFileTime(uint64_t ticks, CivilTime& t) {
    const uint64_t seconds = ticks / 10000000;
    const int64_t days = static_cast<int64_t>(seconds / 86400) + daysFromCivil(1601, 1, 1);
    const unsigned rest = static_cast<unsigned>(seconds % 86400);
    t.hour = static_cast<int>(rest / 3600);
    t.minute = static_cast<int>(rest / 60 % 60);
    t.second = static_cast<int>(rest % 60);
    // Days since 1970-01-01 to the civil date (the inverse of daysFromCivil).
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    t.year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (t.month <= 2));
}

}  // namespace

bool TimeFromDer(BYTE tag, const BYTE* p, size_t n, FILETIME& out) {
    CivilTime t;
    size_t i = 0;
    if (tag == TagUtcTime) {
        if (n < 2 || !digits(p, 2, t.year)) return false;
        t.year += t.year < 50 ? 2000 : 1900;
        i = 2;
    } else if (tag == TagGeneralizedTime) {
        if (n < 4 || !digits(p, 4, t.year)) return false;
        i = 4;
    } else {
        return false;
    }
    // Month, day, hour and minute always; then the seconds, then (GeneralizedTime) a fraction.
    if (n - i < 8 || !digits(p + i, 2, t.month) || !digits(p + i + 2, 2, t.day) ||
        !digits(p + i + 4, 2, t.hour) || !digits(p + i + 6, 2, t.minute))
        return false;
    i += 8;
    if (n - i >= 2 && isDigit(p[i])) {
        if (!digits(p + i, 2, t.second)) return false;
        i += 2;
    }
    uint64_t fraction = 0;  // in 100 ns units
    if (tag == TagGeneralizedTime && i < n && p[i] == '.' && i == 14) {
        ++i;
        uint64_t scale = 1000000;
        size_t count = 0;
        // FILETIME counts 100 ns: a seventh digit is the last that means anything (derTest.cpp).
        for (; i < n && isDigit(p[i]); ++i, ++count) {
            if (count == 7) return false;
            fraction += static_cast<uint64_t>(p[i] - '0') * scale;
            scale /= 10;
        }
        if (count == 0) return false;
    }
    // UTC only: "Z" and nothing after it.
    if (n - i != 1 || p[i] != 'Z') return false;
    static const int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.year < 1601 || t.month < 1 || t.month > 12 || t.day < 1 || t.hour > 23 || t.minute > 59 ||
        t.second > 59)
        return false;
    if (t.day > monthDays[t.month - 1] + (t.month == 2 && leapYear(t.year) ? 1 : 0)) return false;
    const int64_t days = daysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) -
                         daysFromCivil(1601, 1, 1);
    const uint64_t seconds = static_cast<uint64_t>(days) * 86400 + static_cast<uint64_t>(t.hour) * 3600 +
                             static_cast<uint64_t>(t.minute) * 60 + static_cast<uint64_t>(t.second);
    const uint64_t value = seconds * 10000000ull + fraction;
    out.dwLowDateTime = static_cast<DWORD>(value);
    out.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return true;
}

bool TimeToDer(const FILETIME& time, Bytes& out) {
    const uint64_t ticks = uint64_t(time.dwHighDateTime) << 32 | time.dwLowDateTime;
    CivilTime t;
    civilFromFileTime(ticks, t);
    if (t.year > 9999) return false;
    char text[64];  // room for any int, so the compiler sees no truncation
    BYTE tag;
    if (t.year >= 1950 && t.year < 2050) {
        tag = TagUtcTime;
        std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%02dZ", t.year % 100, t.month, t.day, t.hour,
                      t.minute, t.second);
    } else {
        tag = TagGeneralizedTime;
        std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02dZ", t.year, t.month, t.day, t.hour,
                      t.minute, t.second);
    }
    out.clear();
    PutTlv(out, tag, reinterpret_cast<const BYTE*>(text), std::strlen(text));
    return true;
}

}  // namespace vsk::cert
