// Base64 encoding, recognition and decoding.
#include <vsk/utils/base64.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <array>
#include <cstring>
#include <string>

namespace Vsk::Utils {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 0xFF for every byte outside the alphabet. Built at compile time, so no lock is needed to share it.
constexpr std::array<BYTE, 256> makeDecodingTable() {
    std::array<BYTE, 256> table{};
    for (auto& entry : table) entry = 0xFF;
    for (int i = 0; i < 64; ++i) table[static_cast<BYTE>(kAlphabet[i])] = static_cast<BYTE>(i);
    return table;
}
constexpr std::array<BYTE, 256> kDecoding = makeDecodingTable();

inline bool isAlphabet(BYTE b) {
    return kDecoding[b] != 0xFF;
}

// Larger inputs would overflow the encoder's 32-bit text length.
constexpr uint64_t MaxEncodeInput = 0x1FFFFFFF;

}  // namespace

CAString Base64Enc(const CDataBlob& data, int flags) {
    uint64_t size = data.getSize();
    if (size == 0) return CAString();
    if (size > MaxEncodeInput) {
        SetLastError(static_cast<DWORD>(E_FAIL));
        throw CError("Base64Encode failed.", Vsk::Utils::LastErrorCode);
    }
    const BYTE* p = data.getData();
    size_t fullGroups = static_cast<size_t>(size / 3);
    size_t rest = static_cast<size_t>(size % 3);
    std::string out;
    out.reserve(fullGroups * 4 + 4 + (fullGroups / 19 + 1) * 2);
    for (size_t g = 0; g < fullGroups; ++g, p += 3) {
        uint32_t v = (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
        if (!(flags & Base64NoLineBreaks) && (g + 1) % 19 == 0) out += "\r\n";
    }
    if (rest) {
        uint32_t v = static_cast<uint32_t>(p[0]) << 16;
        if (rest == 2) v |= static_cast<uint32_t>(p[1]) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        if (rest == 2) out += kAlphabet[(v >> 6) & 63];
        if (!(flags & Base64NoPadding)) out += rest == 2 ? "=" : "==";
    }
    return CAString(out);
}

CWString Base64EncW(const CDataBlob& data, int flags) {
    return CWString(Base64Enc(data, flags), CP_PROGRAM);
}

CWString Base64EncNoCrlfW(const CDataBlob& data) {
    return Base64EncW(data, Base64NoLineBreaks);
}

CDataBlob ClearBase64Dec(CDataBlob text) {
    size_t size = text.getSize();
    InternalUtils::CLogScope scope("Vsk::Utils::ClearBase64Dec", 4,
                                   u"size=" + ToWString(static_cast<uint64_t>(size)));
    const BYTE* p = text.getData();
    const BYTE* end = p + size;
    std::string out;
    out.reserve(size / 4 * 3 + 3);
    while (p < end && *p != 0) {
        uint32_t bits = 0;
        int count = 0;
        while (p < end && count < 4) {
            BYTE v = kDecoding[*p++];
            if (v == 0xFF) continue;
            bits = (bits << 6) | v;
            ++count;
        }
        if (count == 4) {
            out += static_cast<char>(bits >> 16);
            out += static_cast<char>(bits >> 8);
            out += static_cast<char>(bits);
        } else if (count == 3) {
            out += static_cast<char>(bits >> 10);
            out += static_cast<char>(bits >> 2);
        } else if (count == 2) {
            out += static_cast<char>(bits >> 4);
        }
    }
    if (scope.getLevel() >= 3) scope.m_result = u"size=" + ToWString(static_cast<uint64_t>(out.size()));
    return CDataBlob(out.data(), out.size(), true);
}

bool IsBase64(CDataBlob data, CDataBlob* decoded) {
    size_t size = data.getSize();
    if (size == 0) return false;
    const BYTE* b = data.getData();

    // Byte-order marks.
    size_t start = 0;
    if (size > 2 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF)
        start = 3;
    else if (size > 3 && ((b[0] == 0 && b[1] == 0 && b[2] == 0xFE && b[3] == 0xFF) ||
                          (b[0] == 0xFF && b[1] == 0xFE && b[2] == 0 && b[3] == 0)))
        start = 4;
    else if (size >= 2 && ((b[0] == 0xFE && b[1] == 0xFF) || (b[0] == 0xFF && b[1] == 0xFE)))
        start = 2;
    const BYTE* t = b + start;
    size_t n = size - start;
    if (n == 0) return false;

    const bool utf16le = n >= 2 && t[1] == 0;
    const bool utf16be = t[0] == 0;
    const bool utf32le = n >= 4 && t[1] == 0 && t[2] == 0 && t[3] == 0;

    bool seenPayload = false, seenFooter = false;
    size_t payloadStart = 0, payloadEnd = n - 1;
    for (size_t j = 0; j < n; ++j) {
        bool filler = (utf32le && j % 4 != 0) || (utf16le && j % 2 == 1) || (utf16be && j % 2 == 0);
        BYTE c = t[j];
        if (filler) {
            if (c != 0) return false;
            continue;
        }
        if (c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '=') continue;
        if (c == '-') {
            if (seenPayload && !seenFooter) {
                size_t k = j;
                while (k > 0 && (t[k - 1] == 0 || t[k - 1] == '\n' || t[k - 1] == '\r')) --k;
                size_t last = k > 0 ? k - 1 : 0;
                if (utf16le) last += 1;
                if (utf32le) last += 2;
                payloadEnd = last < n ? last : n - 1;
                seenFooter = true;
            }
            while (j < n && t[j] != '\n') ++j;
            continue;
        }
        if (!isAlphabet(c) || seenFooter) return false;
        if (!seenPayload) {
            seenPayload = true;
            payloadStart = (utf16be && j > 0) ? j - 1 : j;
        }
    }
    // Text without a single payload character (blank lines, dashes) is not Base64.
    if (!seenPayload) return false;
    if (!decoded) return true;

    if (payloadEnd < payloadStart) {
        *decoded = CDataBlob();
        return false;
    }
    // The payload without NUL, CR, LF, TAB and blanks: UTF-16 and UTF-32 text becomes 8-bit text.
    std::string kept;
    kept.reserve(payloadEnd - payloadStart + 1);
    for (size_t i = payloadStart; i <= payloadEnd; ++i) {
        BYTE c = t[i];
        if (c != 0 && c != '\r' && c != '\n' && c != '\t' && c != ' ') kept += static_cast<char>(c);
    }
    *decoded = ClearBase64Dec(CDataBlob(kept.data(), kept.size(), true));
    return !(!kept.empty() && decoded->getSize() == 0);
}

CDataBlob Base64Dec(CDataBlob text) {
    if (text.getSize() == 0) return CDataBlob();
    InternalUtils::CLogScope scope("Vsk::Utils::Base64Dec", 4,
                                   u"size=" + ToWString(static_cast<uint64_t>(text.getSize())));
    CDataBlob decoded;
    if (!IsBase64(text, &decoded))
        throw CError("Данные не являются корректно Base64 кодированными", Vsk::Utils::LastErrorCode);
    return decoded;
}

CWString ToBase64Text(const CDataBlob& data) {
    if (!IsBase64(data, nullptr)) return Base64EncW(data, 0);
    size_t size = data.getSize();
    const BYTE* b = data.getData();
    if (size >= 2 && b[1] == 0) {
        std::u16string text(size / 2, u'\0');
        std::memcpy(text.data(), b, text.size() * 2);
        return CWString(text.data(), text.size());
    }
    return CWString(reinterpret_cast<const char*>(b), size, CP_PROGRAM);
}

}  // namespace Vsk::Utils
