#include <vsk/platform/guid.h>
#include <vsk/platform/kernel.h>

#include <sys/random.h>
#include <cerrno>
#include <cstdio>

HRESULT CoCreateGuid(GUID* guid) {
    if (!guid) return E_INVALIDARG;
    uint8_t bytes[16];
    size_t have = 0;
    while (have < sizeof bytes) {
        const ssize_t n = getrandom(bytes + have, sizeof bytes - have, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return HRESULT_FROM_WIN32(Win32FromErrno(errno));
        have += static_cast<size_t>(n);
    }
    guid->Data1 =
        (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
    guid->Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    // Version 4 in the high nibble of the third group, the RFC 4122 variant in the fourth.
    guid->Data3 = static_cast<uint16_t>((((bytes[6] & 0x0F) | 0x40) << 8) | bytes[7]);
    for (int i = 0; i < 8; ++i) guid->Data4[i] = bytes[8 + i];
    guid->Data4[0] = static_cast<uint8_t>((guid->Data4[0] & 0x3F) | 0x80);
    return S_OK;
}

int StringFromGUID2(const GUID& guid, LPWSTR buffer, int size) {
    constexpr int Chars = 39;
    if (!buffer || size < Chars) return 0;
    char text[Chars + 1];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1,
                  guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                  guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    for (int i = 0; i < Chars; ++i) buffer[i] = static_cast<unsigned char>(text[i]);
    return Chars;
}
