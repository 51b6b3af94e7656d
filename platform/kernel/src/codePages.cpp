#include "codePages.h"

#include <vsk/platform/kernel.h>
#include <vsk/platform/utf8.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <initializer_list>

namespace {

using HighHalf = std::array<char16_t, 128>;

// Builds the upper half of a code page (bytes 0x80-0xFF) from rows written out by hand and runs of
// consecutive code points.
struct Run {
    unsigned firstByte;
    char16_t firstUnit;
    unsigned count;
};
constexpr HighHalf makeHighHalf(std::initializer_list<Run> runs) {
    HighHalf high{};
    for (const Run& run : runs)
        for (unsigned i = 0; i < run.count; ++i) high[run.firstByte - 0x80 + i] = char16_t(run.firstUnit + i);
    return high;
}
template <size_t N>
constexpr void putRow(HighHalf& high, unsigned firstByte, const char16_t (&units)[N]) {
    for (size_t i = 0; i < N; ++i) high[firstByte - 0x80 + i] = units[i];
}

// Windows-1251. Byte 0x98 has no character of its own and passes through as U+0098, so every byte
// survives a round trip.
constexpr HighHalf Cp1251High = [] {
    HighHalf high = makeHighHalf({{0xC0, 0x0410, 64}});
    putRow(high, 0x80,
           {0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039,
            0x040A, 0x040C, 0x040B, 0x040F});
    putRow(high, 0x90,
           {0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0098, 0x2122, 0x0459, 0x203A,
            0x045A, 0x045C, 0x045B, 0x045F});
    putRow(high, 0xA0,
           {0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
            0x00AC, 0x00AD, 0x00AE, 0x0407});
    putRow(high, 0xB0,
           {0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB,
            0x0458, 0x0405, 0x0455, 0x0457});
    return high;
}();

// Code page 866, the Russian OEM code page: letters, box drawing and a few signs.
constexpr HighHalf Cp866High = [] {
    HighHalf high = makeHighHalf({{0x80, 0x0410, 48}, {0xE0, 0x0440, 16}});
    putRow(high, 0xB0,
           {0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
            0x255D, 0x255C, 0x255B, 0x2510});
    putRow(high, 0xC0,
           {0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566,
            0x2560, 0x2550, 0x256C, 0x2567});
    putRow(high, 0xD0,
           {0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588,
            0x2584, 0x258C, 0x2590, 0x2580});
    putRow(high, 0xF0,
           {0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E, 0x00B0, 0x2219, 0x00B7, 0x221A,
            0x2116, 0x00A4, 0x25A0, 0x00A0});
    return high;
}();

// Windows-1252. The five unassigned bytes pass through as the C1 controls of the same value.
constexpr HighHalf Cp1252High = [] {
    HighHalf high = makeHighHalf({{0xA0, 0x00A0, 96}});
    putRow(high, 0x80,
           {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039,
            0x0152, 0x008D, 0x017D, 0x008F});
    putRow(high, 0x90,
           {0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A,
            0x0153, 0x009D, 0x017E, 0x0178});
    return high;
}();

struct ReverseEntry {
    char16_t unit;
    uint8_t byte;
};
using ReverseMap = std::array<ReverseEntry, 128>;

// The upper half sorted by unit, for the way back.
constexpr ReverseMap makeReverse(const HighHalf& high) {
    ReverseMap map{};
    for (unsigned i = 0; i < 128; ++i) map[i] = {high[i], uint8_t(0x80 + i)};
    for (unsigned i = 1; i < 128; ++i)
        for (unsigned j = i; j > 0 && map[j - 1].unit > map[j].unit; --j) std::swap(map[j - 1], map[j]);
    return map;
}

// A byte maps back only when its unit is above the ASCII half and no other byte has it.
constexpr bool isOneToOne(const ReverseMap& map) {
    for (unsigned i = 0; i < 128; ++i)
        if (map[i].unit < 0x80 || (i > 0 && map[i - 1].unit == map[i].unit)) return false;
    return true;
}

struct SingleBytePage {
    const HighHalf& high;
    ReverseMap reverse;

    char16_t toUnit(unsigned char byte) const { return byte < 0x80 ? byte : high[byte - 0x80]; }
    int toByte(char16_t unit) const {
        if (unit < 0x80) return unit;
        auto it = std::lower_bound(reverse.begin(), reverse.end(), unit,
                                   [](const ReverseEntry& e, char16_t key) { return e.unit < key; });
        return it != reverse.end() && it->unit == unit ? it->byte : -1;
    }
};

constexpr SingleBytePage Page1251{Cp1251High, makeReverse(Cp1251High)};
constexpr SingleBytePage Page866{Cp866High, makeReverse(Cp866High)};
constexpr SingleBytePage Page1252{Cp1252High, makeReverse(Cp1252High)};
static_assert(isOneToOne(Page1251.reverse) && isOneToOne(Page866.reverse) && isOneToOne(Page1252.reverse));

// The code pages we convert; UTF-8 has no table.
enum class PageKind { SingleByte, Utf8, Unknown };
PageKind findPage(UINT codePage, const SingleBytePage*& page) {
    page = nullptr;
    switch (codePage) {
        case CP_ACP:
        case 1251:
            page = &Page1251;
            return PageKind::SingleByte;
        case CP_OEMCP:
        case 866:
            page = &Page866;
            return PageKind::SingleByte;
        case 1252:
            page = &Page1252;
            return PageKind::SingleByte;
        case CP_UTF8:
            return PageKind::Utf8;
        default:
            return PageKind::Unknown;
    }
}

// Collects the output: counts only for a size query, otherwise writes while there is room and
// remembers an overflow.
template <typename T>
class Output {
public:
    Output(T* buffer, int size) : m_buffer(size > 0 ? buffer : nullptr), m_size(size) {}
    void put(T value) {
        if (m_buffer && m_count < m_size) m_buffer[m_count] = value;
        ++m_count;
    }
    // The count, or 0 with the last error set.
    int finish() const {
        if (m_buffer && m_count > m_size) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        if (m_count > INT_MAX) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        return static_cast<int>(m_count);
    }

private:
    T* m_buffer;
    long long m_size;
    long long m_count = 0;
};

constexpr char16_t ReplacementCharacter = 0xFFFD;

// Appends to a string: the output of the codec's string forms.
template <typename S>
struct StringOutput {
    S& text;
    void put(typename S::value_type value) { text.push_back(value); }
};

template <typename Out>
void putCodePoint(Out& out, uint32_t cp) {
    if (cp < 0x10000) {
        out.put(static_cast<WCHAR>(cp));
    } else {
        cp -= 0x10000;
        out.put(static_cast<WCHAR>(0xD800 + (cp >> 10)));
        out.put(static_cast<WCHAR>(0xDC00 + (cp & 0x3FF)));
    }
}

// Each ill-formed sequence (an invalid lead byte, or the longest start of a valid sequence that then
// breaks off) becomes one U+FFFD; decoding goes on at the byte that broke it. True when there was
// none.
template <typename Out>
bool decodeUtf8(const unsigned char* s, size_t n, Out& out) {
    bool wellFormed = true;
    size_t i = 0;
    while (i < n) {
        const unsigned char lead = s[i];
        if (lead < 0x80) {
            out.put(lead);
            ++i;
            continue;
        }
        int need;
        uint32_t cp;
        unsigned char lo = 0x80, hi = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2;
            cp = lead & 0x0F;
            if (lead == 0xE0) lo = 0xA0;  // no overlong forms
            if (lead == 0xED) hi = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3;
            cp = lead & 0x07;
            if (lead == 0xF0) lo = 0x90;  // no overlong forms
            if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
        } else {
            out.put(ReplacementCharacter);
            wellFormed = false;
            ++i;
            continue;
        }
        size_t j = i + 1;
        int got = 0;
        for (; got < need && j < n && s[j] >= lo && s[j] <= hi; ++got, ++j) {
            cp = (cp << 6) | (s[j] & 0x3F);
            lo = 0x80;
            hi = 0xBF;
        }
        if (got < need) {
            out.put(ReplacementCharacter);
            wellFormed = false;
        } else {
            putCodePoint(out, cp);
        }
        i = j;
    }
    return wellFormed;
}

template <typename Out>
void putUtf8(Out& out, uint32_t cp) {
    if (cp < 0x80) {
        out.put(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.put(static_cast<char>(0xC0 | (cp >> 6)));
        out.put(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.put(static_cast<char>(0xE0 | (cp >> 12)));
        out.put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.put(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.put(static_cast<char>(0xF0 | (cp >> 18)));
        out.put(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.put(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool isHighSurrogate(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool isLowSurrogate(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// A lone surrogate has no UTF-8 form and is written as U+FFFD.
template <typename Out>
void encodeUtf8(const WCHAR* s, size_t n, Out& out) {
    for (size_t i = 0; i < n; ++i) {
        const char16_t u = s[i];
        if (isHighSurrogate(u) && i + 1 < n && isLowSurrogate(s[i + 1])) {
            putUtf8(out, 0x10000 + ((uint32_t(u) - 0xD800) << 10) + (s[i + 1] - 0xDC00));
            ++i;
        } else if (isHighSurrogate(u) || isLowSurrogate(u)) {
            putUtf8(out, ReplacementCharacter);
        } else {
            putUtf8(out, u);
        }
    }
}

bool failWith(DWORD code) {
    SetLastError(code);
    return false;
}

// The checks both directions share; false with the last error set. `page` is null for UTF-8.
template <typename C>
bool checkArguments(UINT codePage, DWORD flags, const C* text, int length, int size,
                    const SingleBytePage*& page) {
    if (findPage(codePage, page) == PageKind::Unknown) return failWith(ERROR_INVALID_PARAMETER);
    if (flags != 0) return failWith(ERROR_INVALID_FLAGS);
    if (!text || length == 0 || length < -1 || size < 0) return failWith(ERROR_INVALID_PARAMETER);
    return true;
}

// Reads UTF-16 units from a buffer that may come unaligned from a byte blob.
class UnitReader {
public:
    UnitReader(const void* buffer, size_t units)
        : m_bytes(static_cast<const unsigned char*>(buffer)), m_units(units) {}
    size_t size() const { return m_units; }
    char16_t operator[](size_t i) const {
        char16_t unit;
        std::memcpy(&unit, m_bytes + 2 * i, 2);
        return unit;
    }

private:
    const unsigned char* m_bytes;
    size_t m_units;
};

// Units that make a text look like something other than text: C0 and C1 controls apart from the
// usual white space, the replacement character left by bad UTF-8, noncharacters and lone
// surrogates.
bool isSuspiciousUnit(const UnitReader& s, size_t i) {
    const char16_t u = s[i];
    if (u == u'\t' || u == u'\n' || u == u'\r') return false;
    if (u < 0x20 || (u >= 0x7F && u <= 0x9F)) return true;
    if (u == ReplacementCharacter || u == 0xFFFE || u == 0xFFFF) return true;
    if (isHighSurrogate(u)) return !(i + 1 < s.size() && isLowSurrogate(s[i + 1]));
    if (isLowSurrogate(u)) return !(i > 0 && isHighSurrogate(s[i - 1]));
    return false;
}

}  // namespace

namespace vsk::kernel {

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    StringOutput<std::string> sink{out};
    encodeUtf8(text.data(), text.size(), sink);
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text, bool* wellFormed) {
    std::u16string out;
    out.reserve(text.size());
    StringOutput<std::u16string> sink{out};
    const bool ok = decodeUtf8(reinterpret_cast<const unsigned char*>(text.data()), text.size(), sink);
    if (wellFormed) *wellFormed = ok;
    return out;
}

char16_t Cp1251ToUnit(unsigned char byte) {
    return Page1251.toUnit(byte);
}

int UnitToCp1251(char16_t unit) {
    return Page1251.toByte(unit);
}

}  // namespace vsk::kernel

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR buffer, int size) {
    const SingleBytePage* page;
    if (!checkArguments(codePage, flags, text, length, size, page)) return 0;
    const size_t n = length == -1 ? std::strlen(text) + 1 : static_cast<size_t>(length);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    Output<WCHAR> out(buffer, size);
    if (page) {
        for (size_t i = 0; i < n; ++i) out.put(page->toUnit(bytes[i]));
    } else {
        decodeUtf8(bytes, n, out);
    }
    return out.finish();
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length, LPSTR buffer, int size,
                        LPCSTR defaultChar, BOOL* usedDefaultChar) {
    const SingleBytePage* page;
    if (!checkArguments(codePage, flags, text, length, size, page)) return 0;
    // UTF-8 has no default character, so asking for one is an error, as on the platform.
    if (!page && (defaultChar || usedDefaultChar)) return failWith(ERROR_INVALID_PARAMETER);
    const size_t n = length == -1 ? wcslen16(text) + 1 : static_cast<size_t>(length);
    Output<char> out(buffer, size);
    if (!page) {
        encodeUtf8(text, n, out);
        return out.finish();
    }
    const char fallback = defaultChar ? *defaultChar : '?';
    bool used = false;
    for (size_t i = 0; i < n; ++i) {
        const int byte = page->toByte(text[i]);
        if (byte >= 0) {
            out.put(static_cast<char>(byte));
            continue;
        }
        // A character outside the BMP is one character: one default character for the pair.
        if (isHighSurrogate(text[i]) && i + 1 < n && isLowSurrogate(text[i + 1])) ++i;
        out.put(fallback);
        used = true;
    }
    if (usedDefaultChar) *usedDefaultChar = used;
    return out.finish();
}

// The statistical test: the buffer must hold whole UTF-16 units, and at most one unit in 16 may be
// suspicious (see isSuspiciousUnit). Texts decoded from real text have none; bytes that were never
// text decode to many controls and replacement characters.
BOOL IsTextUnicode(const void* buffer, int bytes, int* result) {
    const int asked = result ? *result
                             : IS_TEXT_UNICODE_ASCII16 | IS_TEXT_UNICODE_STATISTICS |
                                   IS_TEXT_UNICODE_CONTROLS | IS_TEXT_UNICODE_SIGNATURE;
    int passed = 0;
    if (buffer && bytes >= 2 && bytes % 2 == 0) {
        const UnitReader s(buffer, static_cast<size_t>(bytes) / 2);
        const size_t n = s.size();
        size_t suspicious = 0;
        bool ascii = true, controls = false;
        for (size_t i = 0; i < n; ++i) {
            if (isSuspiciousUnit(s, i)) ++suspicious;
            if (s[i] >= 0x80) ascii = false;
            if (s[i] == u'\r' || s[i] == u'\n' || s[i] == u'\t' || s[i] == u' ' || s[i] == 0x3000)
                controls = true;
        }
        if (ascii) passed |= IS_TEXT_UNICODE_ASCII16;
        if (suspicious * 16 <= n) passed |= IS_TEXT_UNICODE_STATISTICS;
        if (controls) passed |= IS_TEXT_UNICODE_CONTROLS;
        if (s[0] == 0xFEFF) passed |= IS_TEXT_UNICODE_SIGNATURE;
    }
    passed &= asked;
    if (result) *result = passed;
    return passed != 0;
}
