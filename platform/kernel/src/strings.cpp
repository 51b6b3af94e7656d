#include "codePages.h"

#include <vsk/platform/kernel.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <iterator>

namespace {

// The one-to-one case pairs of the Unicode Character Database (version 14) in the BMP, as runs: a
// run with a delta maps the capitals first..last to first+delta..last+delta; an alternating run
// (delta 0) pairs each capital at first, first+2, ..., last with the small letter right after it.
// Mappings that do not go both ways (ſ, ı, final sigma, title-case digraphs) are left out, so
// folding up and down are inverses of each other.
struct CaseRun {
    char16_t first;
    char16_t last;
    int delta;
};

constexpr CaseRun CaseRuns[] = {
    {0x0041, 0x005A, 32},     {0x00C0, 0x00D6, 32},     {0x00D8, 0x00DE, 32},     {0x0100, 0x012E, 0},
    {0x0132, 0x0136, 0},      {0x0139, 0x0147, 0},      {0x014A, 0x0176, 0},      {0x0178, 0x0178, -121},
    {0x0179, 0x017D, 0},      {0x0181, 0x0181, 210},    {0x0182, 0x0184, 0},      {0x0186, 0x0186, 206},
    {0x0187, 0x0187, 1},      {0x0189, 0x018A, 205},    {0x018B, 0x018B, 1},      {0x018E, 0x018E, 79},
    {0x018F, 0x018F, 202},    {0x0190, 0x0190, 203},    {0x0191, 0x0191, 1},      {0x0193, 0x0193, 205},
    {0x0194, 0x0194, 207},    {0x0196, 0x0196, 211},    {0x0197, 0x0197, 209},    {0x0198, 0x0198, 1},
    {0x019C, 0x019C, 211},    {0x019D, 0x019D, 213},    {0x019F, 0x019F, 214},    {0x01A0, 0x01A4, 0},
    {0x01A6, 0x01A6, 218},    {0x01A7, 0x01A7, 1},      {0x01A9, 0x01A9, 218},    {0x01AC, 0x01AC, 1},
    {0x01AE, 0x01AE, 218},    {0x01AF, 0x01AF, 1},      {0x01B1, 0x01B2, 217},    {0x01B3, 0x01B5, 0},
    {0x01B7, 0x01B7, 219},    {0x01B8, 0x01B8, 1},      {0x01BC, 0x01BC, 1},      {0x01C4, 0x01C4, 2},
    {0x01C7, 0x01C7, 2},      {0x01CA, 0x01CA, 2},      {0x01CD, 0x01DB, 0},      {0x01DE, 0x01EE, 0},
    {0x01F1, 0x01F1, 2},      {0x01F4, 0x01F4, 1},      {0x01F6, 0x01F6, -97},    {0x01F7, 0x01F7, -56},
    {0x01F8, 0x021E, 0},      {0x0220, 0x0220, -130},   {0x0222, 0x0232, 0},      {0x023A, 0x023A, 10795},
    {0x023B, 0x023B, 1},      {0x023D, 0x023D, -163},   {0x023E, 0x023E, 10792},  {0x0241, 0x0241, 1},
    {0x0243, 0x0243, -195},   {0x0244, 0x0244, 69},     {0x0245, 0x0245, 71},     {0x0246, 0x024E, 0},
    {0x0370, 0x0372, 0},      {0x0376, 0x0376, 1},      {0x037F, 0x037F, 116},    {0x0386, 0x0386, 38},
    {0x0388, 0x038A, 37},     {0x038C, 0x038C, 64},     {0x038E, 0x038F, 63},     {0x0391, 0x03A1, 32},
    {0x03A3, 0x03AB, 32},     {0x03CF, 0x03CF, 8},      {0x03D8, 0x03EE, 0},      {0x03F7, 0x03F7, 1},
    {0x03F9, 0x03F9, -7},     {0x03FA, 0x03FA, 1},      {0x03FD, 0x03FF, -130},   {0x0400, 0x040F, 80},
    {0x0410, 0x042F, 32},     {0x0460, 0x0480, 0},      {0x048A, 0x04BE, 0},      {0x04C0, 0x04C0, 15},
    {0x04C1, 0x04CD, 0},      {0x04D0, 0x052E, 0},      {0x0531, 0x0556, 48},     {0x10A0, 0x10C5, 7264},
    {0x10C7, 0x10C7, 7264},   {0x10CD, 0x10CD, 7264},   {0x13A0, 0x13EF, 38864},  {0x13F0, 0x13F5, 8},
    {0x1C90, 0x1CBA, -3008},  {0x1CBD, 0x1CBF, -3008},  {0x1E00, 0x1E94, 0},      {0x1EA0, 0x1EFE, 0},
    {0x1F08, 0x1F0F, -8},     {0x1F18, 0x1F1D, -8},     {0x1F28, 0x1F2F, -8},     {0x1F38, 0x1F3F, -8},
    {0x1F48, 0x1F4D, -8},     {0x1F59, 0x1F59, -8},     {0x1F5B, 0x1F5B, -8},     {0x1F5D, 0x1F5D, -8},
    {0x1F5F, 0x1F5F, -8},     {0x1F68, 0x1F6F, -8},     {0x1FB8, 0x1FB9, -8},     {0x1FBA, 0x1FBB, -74},
    {0x1FC8, 0x1FCB, -86},    {0x1FD8, 0x1FD9, -8},     {0x1FDA, 0x1FDB, -100},   {0x1FE8, 0x1FE9, -8},
    {0x1FEA, 0x1FEB, -112},   {0x1FEC, 0x1FEC, -7},     {0x1FF8, 0x1FF9, -128},   {0x1FFA, 0x1FFB, -126},
    {0x2132, 0x2132, 28},     {0x2160, 0x216F, 16},     {0x2183, 0x2183, 1},      {0x24B6, 0x24CF, 26},
    {0x2C00, 0x2C2F, 48},     {0x2C60, 0x2C60, 1},      {0x2C62, 0x2C62, -10743}, {0x2C63, 0x2C63, -3814},
    {0x2C64, 0x2C64, -10727}, {0x2C67, 0x2C6B, 0},      {0x2C6D, 0x2C6D, -10780}, {0x2C6E, 0x2C6E, -10749},
    {0x2C6F, 0x2C6F, -10783}, {0x2C70, 0x2C70, -10782}, {0x2C72, 0x2C72, 1},      {0x2C75, 0x2C75, 1},
    {0x2C7E, 0x2C7F, -10815}, {0x2C80, 0x2CE2, 0},      {0x2CEB, 0x2CED, 0},      {0x2CF2, 0x2CF2, 1},
    {0xA640, 0xA66C, 0},      {0xA680, 0xA69A, 0},      {0xA722, 0xA72E, 0},      {0xA732, 0xA76E, 0},
    {0xA779, 0xA77B, 0},      {0xA77D, 0xA77D, -35332}, {0xA77E, 0xA786, 0},      {0xA78B, 0xA78B, 1},
    {0xA78D, 0xA78D, -42280}, {0xA790, 0xA792, 0},      {0xA796, 0xA7A8, 0},      {0xA7AA, 0xA7AA, -42308},
    {0xA7AB, 0xA7AB, -42319}, {0xA7AC, 0xA7AC, -42315}, {0xA7AD, 0xA7AD, -42305}, {0xA7AE, 0xA7AE, -42308},
    {0xA7B0, 0xA7B0, -42258}, {0xA7B1, 0xA7B1, -42282}, {0xA7B2, 0xA7B2, -42261}, {0xA7B3, 0xA7B3, 928},
    {0xA7B4, 0xA7C2, 0},      {0xA7C4, 0xA7C4, -48},    {0xA7C5, 0xA7C5, -42307}, {0xA7C6, 0xA7C6, -35384},
    {0xA7C7, 0xA7C9, 0},      {0xA7D0, 0xA7D0, 1},      {0xA7D6, 0xA7D8, 0},      {0xA7F5, 0xA7F5, 1},
    {0xFF21, 0xFF3A, 32},
};
constexpr size_t CaseRunCount = std::size(CaseRuns);

constexpr int smallOffset(const CaseRun& run) {
    return run.delta != 0 ? run.delta : 1;
}
constexpr int firstSmall(const CaseRun& run) {
    return run.first + smallOffset(run);
}
constexpr int lastSmall(const CaseRun& run) {
    return run.last + smallOffset(run);
}

// The runs ordered by their small letters, for folding to capitals.
constexpr std::array<uint8_t, CaseRunCount> RunsBySmall = [] {
    std::array<uint8_t, CaseRunCount> order{};
    for (size_t i = 0; i < CaseRunCount; ++i) order[i] = static_cast<uint8_t>(i);
    for (size_t i = 1; i < CaseRunCount; ++i)
        for (size_t j = i; j > 0 && firstSmall(CaseRuns[order[j - 1]]) > firstSmall(CaseRuns[order[j]]); --j)
            std::swap(order[j - 1], order[j]);
    return order;
}();

// Both binary searches rely on runs that neither overlap among capitals nor among small letters.
constexpr bool runsAreDisjoint() {
    for (size_t i = 1; i < CaseRunCount; ++i) {
        if (CaseRuns[i - 1].last >= CaseRuns[i].first) return false;
        if (lastSmall(CaseRuns[RunsBySmall[i - 1]]) >= firstSmall(CaseRuns[RunsBySmall[i]])) return false;
    }
    return CaseRunCount < 256;
}
static_assert(runsAreDisjoint());

WCHAR lowerOf(WCHAR ch) {
    const CaseRun* end = CaseRuns + CaseRunCount;
    const CaseRun* run =
        std::upper_bound(CaseRuns, end, ch, [](WCHAR c, const CaseRun& r) { return c < r.first; });
    if (run == CaseRuns) return ch;
    --run;
    if (ch > run->last) return ch;
    if (run->delta != 0) return static_cast<WCHAR>(ch + run->delta);
    return (ch - run->first) % 2 == 0 ? static_cast<WCHAR>(ch + 1) : ch;
}

WCHAR upperOf(WCHAR ch) {
    auto it = std::upper_bound(RunsBySmall.begin(), RunsBySmall.end(), ch,
                               [](WCHAR c, uint8_t index) { return c < firstSmall(CaseRuns[index]); });
    if (it == RunsBySmall.begin()) return ch;
    const CaseRun& run = CaseRuns[*(it - 1)];
    if (ch > lastSmall(run)) return ch;
    if (run.delta != 0) return static_cast<WCHAR>(ch - run.delta);
    return (ch - firstSmall(run)) % 2 == 0 ? static_cast<WCHAR>(ch - 1) : ch;
}

// 8-bit folding in code page 1251: a byte whose folded character has no byte stays as it is.
using ByteMap = std::array<unsigned char, 256>;
ByteMap makeByteMap(WCHAR (*fold)(WCHAR)) {
    ByteMap map{};
    for (unsigned b = 0; b < 256; ++b) {
        const int folded =
            vsk::kernel::UnitToCp1251(fold(vsk::kernel::Cp1251ToUnit(static_cast<unsigned char>(b))));
        map[b] = static_cast<unsigned char>(folded >= 0 ? folded : static_cast<int>(b));
    }
    return map;
}
const ByteMap& upper1251() {
    static const ByteMap map = makeByteMap(upperOf);
    return map;
}
const ByteMap& lower1251() {
    static const ByteMap map = makeByteMap(lowerOf);
    return map;
}

template <WCHAR (*Fold)(WCHAR)>
int foldInPlace(WCHAR* s, size_t size) {
    size_t end = 0;
    while (s && end < size && s[end] != 0) ++end;
    if (!s || end == size) {
        CrtErrno() = EINVAL;
        return EINVAL;
    }
    for (size_t i = 0; i < end; ++i) s[i] = Fold(s[i]);
    return 0;
}

}  // namespace

WCHAR towupper16(WCHAR ch) {
    if (ch < 0x80) return ch >= u'a' && ch <= u'z' ? static_cast<WCHAR>(ch - 32) : ch;
    return upperOf(ch);
}

WCHAR towlower16(WCHAR ch) {
    if (ch < 0x80) return ch >= u'A' && ch <= u'Z' ? static_cast<WCHAR>(ch + 32) : ch;
    return lowerOf(ch);
}

char toupper1251(char ch) {
    return static_cast<char>(upper1251()[static_cast<unsigned char>(ch)]);
}

char tolower1251(char ch) {
    return static_cast<char>(lower1251()[static_cast<unsigned char>(ch)]);
}

size_t wcslen16(const WCHAR* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

int wcsncmp16(const WCHAR* a, const WCHAR* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return static_cast<int>(a[i]) - static_cast<int>(b[i]);
        if (a[i] == 0) break;
    }
    return 0;
}

int wcsnicmp16(const WCHAR* a, const WCHAR* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const WCHAR fa = towlower16(a[i]);
        const WCHAR fb = towlower16(b[i]);
        if (fa != fb) return static_cast<int>(fa) - static_cast<int>(fb);
        if (fa == 0) break;
    }
    return 0;
}

int strnicmp1251(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const unsigned char fa = lower1251()[static_cast<unsigned char>(a[i])];
        const unsigned char fb = lower1251()[static_cast<unsigned char>(b[i])];
        if (fa != fb) return static_cast<int>(fa) - static_cast<int>(fb);
        if (fa == 0) break;
    }
    return 0;
}

const WCHAR* wcsstr16(const WCHAR* haystack, const WCHAR* needle) {
    if (!*needle) return haystack;
    for (; *haystack; ++haystack) {
        size_t i = 0;
        while (needle[i] && haystack[i] == needle[i]) ++i;
        if (!needle[i]) return haystack;
    }
    return nullptr;
}

int wcslwr_s16(WCHAR* s, size_t size) {
    return foldInPlace<towlower16>(s, size);
}

int wcsupr_s16(WCHAR* s, size_t size) {
    return foldInPlace<towupper16>(s, size);
}
