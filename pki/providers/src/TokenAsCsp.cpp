// The token-as-provider switch and the token step of the catalogue's filling.
#include <vsk/pki/TokenAsCsp.h>

#include <vsk/pkcs11/Mechanisms.h>
#include <vsk/pkcs11/Types.h>
#include <vsk/utils/global.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/system.h>

#include <vsk/platform/module.h>
#include <vsk/platform/wait.h>

#include "CatalogueState.h"

#include <cstdio>
#include <cstring>
#include <memory>
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

// The key length a token's mechanism gives its algorithm description: the mechanism's smallest key
// size, else the usual size of the GOST signature algorithms.
DWORD keyBitLength(ALG_ID aid, CK_ULONG minKeySize) {
    if (minKeySize != 0) return static_cast<DWORD>(minKeySize);
    switch (aid) {
        case 0x2E23:
            return 512;
        case 0x2E3D:
            return 1024;
        case 0x2E49:
            return 512;
        default:
            return 0;
    }
}

// What leaves the catalogue, let go only after the common lock: a last reference may take other
// locks on its way out.
struct CReleased {
    std::vector<Vsk::Utils::CRefPtr<CSPInfo>> providers;
    std::vector<Vsk::Utils::CRefPtr<CAlgorithm>> algorithms;
};

// Under the common lock: takes the description out of the provider set and out of every algorithm's
// providers; an algorithm that no provider offers any more leaves the algorithm set.
void unlinkProvider(Catalogue::CState& state, CSPInfo* provider, CReleased& released) {
    for (auto algorithm = state.m_algorithms.begin(); algorithm != state.m_algorithms.end();) {
        (*algorithm)->m_providers.erase(provider);
        if ((*algorithm)->m_providers.empty()) {
            released.algorithms.push_back(*algorithm);
            algorithm = state.m_algorithms.erase(algorithm);
        } else {
            ++algorithm;
        }
    }
    for (auto member = state.m_providers.begin(); member != state.m_providers.end(); ++member) {
        if (member->get() != provider) continue;
        released.providers.push_back(*member);
        state.m_providers.erase(member);
        break;
    }
}

// The loader thread of one library; `parameter` is its own copy of the library's path.
DWORD loadLibraryProc(void* parameter) {
    try {
        Vsk::PKCS11::CPKCS11 library(true);
        {
            std::unique_ptr<Vsk::Utils::CWString> path(static_cast<Vsk::Utils::CWString*>(parameter));
            library.init(*path);
        }
        library.setOnSlotEvent(fOnSlotEvent);
        // Counted again after each token: an insertion meanwhile adds one.
        for (uint64_t index = 0; index < library.getTokenCount(); ++index) {
            try {
                addTokenAsCsp(library.getToken(index));
            } catch (...) {
                // One token that cannot be described does not keep the others out.
            }
        }
        return 0;
    } catch (...) {
        return 1;
    }
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

bool addTokenAsCsp(const Vsk::PKCS11::CToken& token) {
    // The token is asked before the common lock is taken: the slot-event thread holds the library's
    // lock while it waits for the common one.
    const Vsk::Utils::CArray<Vsk::PKCS11::MechanismInfo> mechanisms = token.getAlgs();
    if (mechanisms.getCount() == 0) return false;
    const Vsk::PKCS11::TokenInfo& info = token.getTokenInfo();
    const Vsk::PKCS11::TokenSlot slot = token.getInfo();
    Vsk::Utils::CRefPtr<CSPInfo> provider = Vsk::Utils::CRefPtr<CSPInfo>::create();
    provider->m_token = token;
    provider->m_type = 0;
    provider->m_name = slot.getName();
    provider->m_typeName = info.manufacturerID;
    const auto version = [](const CK_VERSION& v) { return static_cast<DWORD>((v.major << 8) | v.minor); };
    provider->m_version = (version(info.hardwareVersion) << 16) | version(info.firmwareVersion);
    provider->m_defaultFlags = static_cast<DWORD>(info.flags);

    // The algorithm descriptions are made before the lock.
    std::vector<Vsk::Utils::CRefPtr<CAlgorithm>> algorithms;
    for (size_t i = 0; i < mechanisms.getCount(); ++i) {
        try {
            const Vsk::PKCS11::MechanismInfo& mechanism = mechanisms[i];
            const ALG_ID aid = Vsk::PKCS11::PKCS11AlgToWinCryptAlg(mechanism.type);
            if (aid == 0) continue;
            Vsk::Utils::CRefPtr<CAlgorithm> algorithm = CAlgorithm::createNew();
            algorithm->m_aid = aid;
            algorithm->m_name = Catalogue::Wide(Vsk::PKCS11::mechanismName(mechanism.type));
            algorithm->m_oid = Vsk::PKCS11::PKCS11AlgToOID(mechanism.type);
            // Set before the description meets the set: the key length is part of its order, and an
            // equal description already there (a provider's) keeps its own.
            algorithm->m_keyBitLength = keyBitLength(aid, mechanism.info.ulMinKeySize);
            algorithms.push_back(algorithm);
        } catch (...) {
            // A mechanism that cannot be described is left out.
        }
    }

    CReleased released;
    Vsk::InternalUtils::CCommonInfoLock lock;
    Catalogue::CState& state = Catalogue::State();
    for (const Vsk::Utils::CRefPtr<CAlgorithm>& algorithm : algorithms) {
        Vsk::Utils::CRefPtr<CAlgorithm> member = *state.m_algorithms.insert(algorithm).first;
        member->m_providers.insert(provider.get());
        provider->m_algorithms.insert(member);
    }
    const auto [where, inserted] = state.m_providers.insert(provider);
    if (!inserted) {
        // The same token seen through another library: the description with more algorithms stays.
        Catalogue::LogLine(2, "Vsk::PKI::addTokenAsCsp", provider->toString() + u" встречается повторно!");
        CSPInfo* loser = provider.get();
        if ((*where)->m_algorithms.size() < provider->m_algorithms.size()) loser = where->get();
        // The description that stays out is cut from its algorithms too: they hold plain pointers
        // that are valid only while the catalogue holds the description.
        const Vsk::Utils::CRefPtr<CSPInfo> keep(loser);
        unlinkProvider(state, loser, released);
        released.providers.push_back(keep);
        if (loser != provider.get()) state.m_providers.insert(provider);
    }
    return true;
}

void fOnSlotEvent(const Vsk::PKCS11::CToken& token) {
    Vsk::InternalUtils::CLogScope scope;
    if (Vsk::InternalUtils::GetLogLevel() >= 4) {
        Vsk::Utils::CWString name;
        try {
            name = token.getName();
        } catch (...) {
        }
        scope.enter("Vsk::PKI::fOnSlotEvent", name);
    }
    bool changed = true;
    CReleased released;
    try {
        if (token.isRemoved()) {
            Vsk::InternalUtils::CCommonInfoLock lock;
            Catalogue::CState& state = Catalogue::State();
            std::vector<CSPInfo*> gone;
            for (const Vsk::Utils::CRefPtr<CSPInfo>& provider : state.m_providers)
                if (provider->m_token.isSame(token)) gone.push_back(provider.get());
            for (CSPInfo* provider : gone) unlinkProvider(state, provider, released);
            // The library hands a removal to every live object of the slot; only the one the catalogue
            // holds changes it, so each removal tells the windows once.
            changed = !gone.empty();
        } else {
            addTokenAsCsp(token);
        }
    } catch (const Vsk::Utils::CError& error) {
        // The token could not be described (it may have left already): the windows still look again.
        Vsk::InternalUtils::LogAt(2, Vsk::Utils::CWString(u"PKI::fOnSlotEvent ") + error.getMessage());
    } catch (...) {
        Vsk::InternalUtils::LogAt(2, Vsk::Utils::CWString(u"PKI::fOnSlotEvent ..."));
    }
    if (changed) notifyTokenRefresh();
}

void FillTokenAsCsp(Vsk::Utils::CErrorFormatter* /*errors*/) {
    Vsk::InternalUtils::CLogScope scope;
    if (Vsk::InternalUtils::GetLogLevel() >= 4) scope.enter("Vsk::PKI::FillTokenAsCsp");
    const Vsk::Utils::CArray<Vsk::Utils::CWString> libraries = Vsk::PKCS11::CPKCS11::getLibraries();
    for (size_t i = 0; i < libraries.getCount(); ++i) {
        try {
            auto path = std::make_unique<Vsk::Utils::CWString>(libraries[i]);
            DWORD threadId = 0;
            HANDLE thread = CreateThread(nullptr, 0, loadLibraryProc, path.get(), 0, &threadId);
            if (!thread) {
                Catalogue::LogSystemLine(1, "Vsk::PKI::FillTokenAsCsp", u"CreateThread", GetLastError());
                continue;
            }
            path.release();  // the loader frees it
            // A library slower than this goes on loading alone; its tokens appear when it is done.
            Vsk::InternalUtils::waitForSingleObject(thread, 2000);
            Vsk::InternalUtils::closeHandle(&thread);
        } catch (...) {
            // One library that cannot be started does not keep the others out.
        }
    }
}

void clearTokenAsCsp() {
    Vsk::InternalUtils::CLogScope scope;
    if (Vsk::InternalUtils::GetLogLevel() >= 4) scope.enter("Vsk::PKI::clearTokenAsCsp");
    // The libraries go first, without the common lock: their slot-event threads take it.
    Vsk::PKCS11::CPKCS11::clearAll();
    CReleased released;
    Vsk::InternalUtils::CCommonInfoLock lock;
    Catalogue::CState& state = Catalogue::State();
    std::vector<CSPInfo*> tokens;
    for (const Vsk::Utils::CRefPtr<CSPInfo>& provider : state.m_providers)
        if (provider->isToken()) tokens.push_back(provider.get());
    for (CSPInfo* provider : tokens) unlinkProvider(state, provider, released);
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
    flags->setFlags(on ? static_cast<DWORD>(Vsk::Utils::CFlags::TokenAsCsp) : 0u,
                    Vsk::Utils::CFlags::TokenAsCsp, persist, 1);
}

}  // namespace Vsk::PKI
