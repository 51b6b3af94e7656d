// The GOST test token as the library meets it: loaded through CPKCS11 from its path, configured and
// watched (call counts, injected failures, object counts) through its control exports.
#pragma once

#include <dlfcn.h>

#include <vsk/pkcs11/Token.h>
#include <vsk/utils/error.h>

#include <gtest/gtest.h>

#include <string>

#include "gostTestHelpers.h"
#include "gostToken.h"
#include "pkcs11Impl.h"
#include "testSupport.h"

namespace VskTest {

// The control exports of the module (the library's load and this one share the module's state).
struct GostControl {
    decltype(&vskGostTokenConfigure) configure = nullptr;
    decltype(&vskGostTokenFailCall) failCall = nullptr;
    decltype(&vskGostTokenClearFailures) clearFailures = nullptr;
    decltype(&vskGostTokenCallCount) callCount = nullptr;
    decltype(&vskGostTokenResetCounts) resetCounts = nullptr;
    decltype(&vskGostTokenObjectCount) objectCount = nullptr;
    decltype(&vskGostTokenSetPresent) setPresent = nullptr;
};

inline GostControl& Gost() {
    static GostControl control = [] {
        GostControl c;
        void* h = dlopen(VSK_GOST_TOKEN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!h) return c;
        c.configure = reinterpret_cast<decltype(c.configure)>(dlsym(h, "vskGostTokenConfigure"));
        c.failCall = reinterpret_cast<decltype(c.failCall)>(dlsym(h, "vskGostTokenFailCall"));
        c.clearFailures = reinterpret_cast<decltype(c.clearFailures)>(dlsym(h, "vskGostTokenClearFailures"));
        c.callCount = reinterpret_cast<decltype(c.callCount)>(dlsym(h, "vskGostTokenCallCount"));
        c.resetCounts = reinterpret_cast<decltype(c.resetCounts)>(dlsym(h, "vskGostTokenResetCounts"));
        c.objectCount = reinterpret_cast<decltype(c.objectCount)>(dlsym(h, "vskGostTokenObjectCount"));
        c.setPresent = reinterpret_cast<decltype(c.setPresent)>(dlsym(h, "vskGostTokenSetPresent"));
        return c;
    }();
    return control;
}

// A library on the GOST test token with a configuration of the test's choice.
class GostLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Gost().configure && Gost().failCall && Gost().callCount && Gost().objectCount);
        Start("");
    }
    void TearDown() override {
        Gost().clearFailures();
        m_tokens.clear();
        m_library = Vsk::PKCS11::CPKCS11(false);
        Vsk::PKCS11::CPKCS11::clearAll();
    }
    // Reloads the library on a freshly configured module; m_tokens holds one object per present slot.
    void Start(const char* config) {
        m_tokens.clear();
        m_library = Vsk::PKCS11::CPKCS11(false);
        Vsk::PKCS11::CPKCS11::clearAll();
        ASSERT_EQ(Gost().configure(config), CKR_OK);
        m_library = Vsk::PKCS11::CPKCS11(true);
        ASSERT_TRUE(m_library.init(Vsk::Utils::CWString(Utf16(VSK_GOST_TOKEN_PATH).c_str())));
        for (uint64_t i = 0; i < m_library.getTokenCount(); ++i) m_tokens.push_back(m_library.getToken(i));
        ASSERT_FALSE(m_tokens.empty());
    }
    void Login(size_t index = 0) {
        Vsk::Utils::CWString pin(u"12345678");
        m_tokens.at(index).login(pin);
    }
    static unsigned long Calls(const char* function) { return Gost().callCount(function); }
    static std::u16string Message(const Vsk::Utils::CError& error) { return error.getMessage().toU16(); }

    Vsk::PKCS11::CPKCS11 m_library{false};
    std::vector<Vsk::PKCS11::CToken> m_tokens;
};

inline Vsk::Utils::CDataBlob Blob(const GostTest::Bytes& bytes) {
    return Vsk::Utils::CDataBlob(bytes.data(), bytes.size(), true);
}
inline GostTest::Bytes Vec(const Vsk::Utils::CDataBlob& blob) {
    return GostTest::Bytes(blob.getData(), blob.getData() + blob.getSize());
}

}  // namespace VskTest
