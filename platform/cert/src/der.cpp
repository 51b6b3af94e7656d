// DER reading for certificate and CRL contexts, and the digests their properties need.
// OpenSSL first: cert.h then leaves out the names OpenSSL also declares.
#include <openssl/evp.h>

#include "certImpl.h"

#include <cstring>

namespace VskCert {

// A length of more than four octets cannot belong to anything a 32-bit size can hold.
constexpr int kMaxLengthOctets = 4;

bool DerReader::read(Tlv& out, BYTE tag) {
    if (error) return false;
    const BYTE* start = m_p;
    if (m_p >= m_end) {
        error = CRYPT_E_ASN1_EOD;
        return false;
    }
    const BYTE t = *m_p++;
    // High tag numbers never occur in certificates and CRLs.
    if ((t & 0x1F) == 0x1F || (tag != 0 && t != tag)) {
        error = CRYPT_E_ASN1_BADTAG;
        return false;
    }
    if (m_p >= m_end) {
        error = CRYPT_E_ASN1_EOD;
        return false;
    }
    size_t len = *m_p++;
    if (len & 0x80) {
        const int octets = static_cast<int>(len & 0x7F);
        // Indefinite lengths are BER, not DER.
        if (octets == 0 || octets > kMaxLengthOctets) {
            error = CRYPT_E_ASN1_CORRUPT;
            return false;
        }
        if (m_end - m_p < octets) {
            error = CRYPT_E_ASN1_EOD;
            return false;
        }
        len = 0;
        for (int i = 0; i < octets; ++i) len = (len << 8) | *m_p++;
    }
    if (static_cast<size_t>(m_end - m_p) < len) {
        error = CRYPT_E_ASN1_EOD;
        return false;
    }
    out.tag = t;
    out.whole = start;
    out.body = m_p;
    out.bodySize = len;
    m_p += len;
    out.wholeSize = static_cast<size_t>(m_p - start);
    return true;
}

bool DerReader::readOptional(Tlv& out, BYTE tag) {
    if (error || m_p >= m_end || *m_p != tag) return false;
    return read(out, tag);
}

bool DecodeOid(const BYTE* body, size_t size, std::string& dotted) {
    if (size == 0 || (body[size - 1] & 0x80)) return false;
    dotted.clear();
    uint64_t arc = 0;
    bool first = true;
    bool start = true;
    for (size_t i = 0; i < size; ++i) {
        // A leading 0x80 would be a non-minimal arc; arcs wider than 56 bits are refused.
        if (start && body[i] == 0x80) return false;
        if (arc >> 56) return false;
        arc = (arc << 7) | (body[i] & 0x7F);
        start = false;
        if (body[i] & 0x80) continue;
        if (first) {
            const uint64_t top = arc < 40 ? 0 : arc < 80 ? 1 : 2;
            dotted = std::to_string(top) + "." + std::to_string(arc - top * 40);
            first = false;
        } else {
            dotted += "." + std::to_string(arc);
        }
        arc = 0;
        start = true;
    }
    return true;
}

namespace {

bool digits(const BYTE* p, int n, int& value) {
    value = 0;
    for (int i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        value = value * 10 + (p[i] - '0');
    }
    return true;
}

int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool leap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

}  // namespace

bool DecodeTime(const DerReader::Tlv& tlv, FILETIME& out) {
    const BYTE* p = tlv.body;
    size_t n = tlv.bodySize;
    if (n < 11 || p[n - 1] != 'Z') return false;
    --n;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    size_t pos = 0;
    if (tlv.tag == 0x17) {
        int yy = 0;
        if (!digits(p, 2, yy)) return false;
        year = yy < 50 ? 2000 + yy : 1900 + yy;
        pos = 2;
    } else if (tlv.tag == 0x18) {
        if (n < 12 || !digits(p, 4, year)) return false;
        pos = 4;
    } else {
        return false;
    }
    if (n < pos + 8 || !digits(p + pos, 2, month) || !digits(p + pos + 2, 2, day) ||
        !digits(p + pos + 4, 2, hour) || !digits(p + pos + 6, 2, minute))
        return false;
    pos += 8;
    // Seconds may be left out in old UTCTime values.
    if (pos < n) {
        if (n < pos + 2 || !digits(p + pos, 2, second)) return false;
        pos += 2;
    }
    uint64_t fraction = 0;  // in 100 ns units
    if (pos < n && tlv.tag == 0x18 && p[pos] == '.') {
        ++pos;
        int count = 0;
        uint64_t scale = 1000000;
        if (pos >= n) return false;
        for (; pos < n; ++pos, ++count) {
            if (p[pos] < '0' || p[pos] > '9' || count >= 7) return false;
            fraction += static_cast<uint64_t>(p[pos] - '0') * scale;
            scale /= 10;
        }
    }
    if (pos != n) return false;
    static const int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1601 || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59)
        return false;
    if (day > monthDays[month - 1] + (month == 2 && leap(year) ? 1 : 0)) return false;
    const int64_t days = daysFromCivil(year, month, day) - daysFromCivil(1601, 1, 1);
    const uint64_t seconds = static_cast<uint64_t>(days) * 86400 + hour * 3600 + minute * 60 + second;
    const uint64_t value = seconds * 10000000ull + fraction;
    out.dwLowDateTime = static_cast<DWORD>(value);
    out.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return true;
}

Sha1 ComputeSha1(const BYTE* data, size_t size) {
    Sha1 out{};
    unsigned int len = 0;
    EVP_Digest(data, size, out.data(), &len, EVP_sha1(), nullptr);
    return out;
}

Bytes ComputeDigest(const char* name, const BYTE* data, size_t size) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    const EVP_MD* md = std::strcmp(name, "MD5") == 0 ? EVP_md5() : EVP_sha256();
    if (!EVP_Digest(data, size, out.data(), &len, md, nullptr)) return {};
    out.resize(len);
    return out;
}

std::string HexUpper(const BYTE* data, size_t size) {
    static const char digitsHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += digitsHex[data[i] >> 4];
        out += digitsHex[data[i] & 15];
    }
    return out;
}

}  // namespace VskCert
