// Texts of the CryptoAPI wrappers' trace and log lines, shared by the provider, key, hash,
// certificate-context and store wrappers. Numbers in hex are lower-case without prefix or leading
// zeros; pointers are their value in hex. Nothing here is built unless the line is written.
#pragma once

#include <vsk/utils/error.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/string.h>

#include <cstdint>

namespace Vsk::PKI::Wrapper {

inline Vsk::Utils::CWString hex(uint64_t value) {
    return Vsk::Utils::ToWString(value, 16);
}
inline Vsk::Utils::CWString dec(uint64_t value) {
    return Vsk::Utils::ToWString(value);
}
inline Vsk::Utils::CWString ptr(const void* pointer) {
    return Vsk::Utils::ToWString(pointer);
}
// BOOL results are signed.
inline Vsk::Utils::CWString boolText(BOOL value) {
    return Vsk::Utils::ToWString(static_cast<int>(value));
}
// A null text is written as nothing.
inline Vsk::Utils::CWString text(const WCHAR* value) {
    return value ? Vsk::Utils::CWString(value) : Vsk::Utils::CWString();
}

// Enters the scope at `level` and above with the arguments `args()` builds; nothing is built below it.
template <class Args>
void enterAt(Vsk::InternalUtils::CLogScope& scope, int level, const char* name, Args args) {
    if (scope.getLevel() >= level) scope.enter(name, args());
}

inline Vsk::Utils::CWString noDetail() {
    return Vsk::Utils::CWString();
}

// The failure line "<name without Vsk::> [<detail> ]<system text>" at `level` and above; with
// `onlyWithError` nothing is written for a last error of 0. The caller's last error survives.
template <class Detail>
void logFailure(int level, bool onlyWithError, const char* name, DWORD error, Detail detail) {
    if (onlyWithError && error == 0) return;
    // Reading the level for the first time may touch the registry; the caller's error must survive.
    Vsk::Utils::CLastErrorGuard keep;
    if (Vsk::InternalUtils::GetLogLevel() < level) return;
    Vsk::Utils::CWString line =
        Vsk::Utils::CWString(Vsk::Utils::StripNamespacePrefix(name), Vsk::Utils::CP_PROGRAM) + u" ";
    const Vsk::Utils::CWString more = detail();
    if (more.getLength() != 0) line += more + u" ";
    line += Vsk::Utils::GetSystemErrorText(error);
    Vsk::InternalUtils::LogAt(level, line);
}

inline void setCell(DWORD* cell, DWORD value) {
    if (cell) *cell = value;
}

}  // namespace Vsk::PKI::Wrapper
