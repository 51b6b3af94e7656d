// The token-as-provider switch and the token step of the catalogue's filling.
#include <vsk/pki/TokenAsCsp.h>

#include <vsk/pkcs11/Types.h>
#include <vsk/utils/global.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/system.h>

#include <vsk/platform/module.h>

#include "CatalogueState.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

namespace Vsk::PKI {

namespace {

constexpr UINT TokenRefreshMessage = 0x800A;  // WM_APP + 10

// Made before the program's own code runs and never destroyed, so that a window may unregister
// itself at any time of the process's end. Guarded by the common lock.
std::set<HWND>& refreshWindows() {
    static auto* windows = new std::set<HWND>;
    return *windows;
}

Vsk::Utils::CWString handleText(HWND window) {
    char text[2 * sizeof(void*) + 1];
    snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window)));
    return Vsk::Utils::CWString(text, strlen(text), 1251);
}

}  // namespace

void addWndOnTokenRefresh(HWND window) {
    Vsk::InternalUtils::CLogScope scope;
    if (Vsk::InternalUtils::GetLogLevel() >= 4)
        scope.enter("Vsk::PKI::addWndOnTokenRefresh", handleText(window));
    Vsk::InternalUtils::CCommonInfoLock lock;
    const bool inserted = refreshWindows().insert(window).second;
    if (scope.isEntered()) scope.setResult(inserted);
}

void delWndOnTokenRefresh(HWND window) {
    Vsk::InternalUtils::CLogScope scope;
    if (Vsk::InternalUtils::GetLogLevel() >= 4)
        scope.enter("Vsk::PKI::delWndOnTokenRefresh", handleText(window));
    Vsk::InternalUtils::CCommonInfoLock lock;
    const size_t removed = refreshWindows().erase(window);
    if (scope.isEntered()) scope.m_result = Vsk::Utils::ToWString(static_cast<uint32_t>(removed));
}

void notifyTokenRefresh() {
    // The windowing part registers the message function; the library does not link it.
    using PostMessageFn = BOOL (*)(HWND, UINT, uintptr_t, intptr_t);
    HMODULE user32 = GetModuleHandleW(u"User32.dll");
    auto post = user32 ? reinterpret_cast<PostMessageFn>(GetProcAddress(user32, "PostMessageW")) : nullptr;
    if (!post) return;
    Vsk::InternalUtils::CCommonInfoLock lock;
    for (HWND window : refreshWindows()) post(window, TokenRefreshMessage, 0, 0);
}

Vsk::Utils::CWString CTokenAsCsp::getVersionText() const {
    if (!isToken()) return {};
    const Vsk::PKCS11::TokenInfo& info = m_token.getTokenInfo();
    using Vsk::Utils::ToWString;
    return ToWString(static_cast<uint32_t>(info.hardwareVersion.major)) + u"." +
           ToWString(static_cast<uint32_t>(info.hardwareVersion.minor)) + u":" +
           ToWString(static_cast<uint32_t>(info.firmwareVersion.major)) + u"." +
           ToWString(static_cast<uint32_t>(info.firmwareVersion.minor));
}

Vsk::Utils::CArray<Vsk::Utils::CWString> CTokenAsCsp::getKeyContainers(const Vsk::PKCS11::CToken& token) {
    Vsk::InternalUtils::CLogScope scope("Vsk::PKI::CTokenAsCsp::getKeyContainers", 4);
    Vsk::Utils::CArray<Vsk::Utils::CWString> names;
    const Vsk::Utils::CArray<CK_OBJECT_HANDLE> keys = token.findObjects(CKO_PUBLIC_KEY);
    for (size_t i = 0; i < keys.getCount(); ++i)
        names.add(token.attributeToString(token.getAttributeValue(keys[i], CKA_LABEL)));
    if (scope.isEntered() && scope.getLevel() >= 3) {
        Vsk::Utils::CWString text;
        for (size_t i = 0; i < names.getCount(); ++i) {
            if (i) text += u", ";
            text += u"\"" + names[i] + u"\"";
        }
        scope.m_result = text;
    }
    return names;
}

bool getTokenAsCsp() {
    Vsk::Utils::CFlags* flags = Vsk::InternalUtils::GetCommonFlags();
    if (!flags) return false;
    // Administrators start with the feature off, everyone else with it on.
    const int defaultWord = Vsk::Utils::IsCurrentUserAdmin() ? 0 : 1;
    return (flags->getFlags(defaultWord) & Vsk::Utils::CFlags::TokenAsCsp) != 0;
}

void FillTokenAsCsp(Vsk::Utils::CErrorFormatter* /*errors*/) {
    Vsk::InternalUtils::CLogScope scope;
    if (Vsk::InternalUtils::GetLogLevel() >= 4) scope.enter("Vsk::PKI::FillTokenAsCsp");
    // No PKCS#11 library is loaded yet: there is no token to enter.
}

void clearTokenAsCsp() {
    Vsk::InternalUtils::CLogScope scope;
    if (Vsk::InternalUtils::GetLogLevel() >= 4) scope.enter("Vsk::PKI::clearTokenAsCsp");
    // The libraries go first, without the common lock: their slot-event threads take it.
    Vsk::PKCS11::CPKCS11::clearAll();
    // What leaves the catalogue is released after the lock: a last reference may take other locks.
    std::vector<Vsk::Utils::CRefPtr<CSPInfo>> providers;
    std::vector<Vsk::Utils::CRefPtr<CAlgorithm>> algorithms;
    Vsk::InternalUtils::CCommonInfoLock lock;
    Catalogue::CState& state = Catalogue::State();
    for (auto provider = state.m_providers.begin(); provider != state.m_providers.end();) {
        if (!(*provider)->isToken()) {
            ++provider;
            continue;
        }
        for (auto algorithm = state.m_algorithms.begin(); algorithm != state.m_algorithms.end();) {
            (*algorithm)->m_providers.erase(provider->get());
            if ((*algorithm)->m_providers.empty()) {
                algorithms.push_back(*algorithm);
                algorithm = state.m_algorithms.erase(algorithm);
            } else {
                ++algorithm;
            }
        }
        providers.push_back(*provider);
        provider = state.m_providers.erase(provider);
    }
}

void setTokenAsCsp(bool on, bool persist) {
    Vsk::InternalUtils::CLogScope scope;
    if (Vsk::InternalUtils::GetLogLevel() >= 4)
        scope.enter("Vsk::PKI::setTokenAsCsp", Vsk::Utils::CWString(on ? u"true" : u"false"));
    Vsk::Utils::CFlags* flags = Vsk::InternalUtils::GetCommonFlags();
    if (!flags) return;
    const bool current = (flags->getFlags(1) & Vsk::Utils::CFlags::TokenAsCsp) != 0;
    if (current == on) return;
    if (on)
        FillTokenAsCsp(nullptr);
    else
        clearTokenAsCsp();
    flags->setFlags(on ? Vsk::Utils::CFlags::TokenAsCsp : 0, Vsk::Utils::CFlags::TokenAsCsp, persist, 1);
}

}  // namespace Vsk::PKI
