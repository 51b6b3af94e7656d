// The GOST test token as the one configured PKCS#11 library of the window's tests, with tokens presented
// as providers and the provider catalogue loaded with it; what it changed is put back by stop().
#pragma once

#include "gostTokenControl.h"

#include <vsk/pkcs11/Token.h>
#include <vsk/pki/TokenAsCsp.h>
#include <vsk/utils/global.h>

#include <gtest/gtest.h>

#include <string>

namespace AppTest {

class GostTokenLibrary {
public:
    GostTokenLibrary() = default;
    GostTokenLibrary(const GostTokenLibrary&) = delete;
    GostTokenLibrary& operator=(const GostTokenLibrary&) = delete;
    ~GostTokenLibrary() { stop(); }

    // Configures `module` with `configuration` and makes it the library the catalogue loads; false
    // (with the test's failure) when the module is missing or refuses the configuration. Objects are
    // put on the token after this, once the library has initialised it.
    bool start(VskTest::GostTokenModule& module, const std::string& configuration) {
        if (module.failed()) return false;
        Vsk::PKI::clearTokenAsCsp();
        m_savedLibraries = Vsk::PKCS11::CPKCS11::getLibraries();
        m_savedFlags = Vsk::InternalUtils::GetCommonFlags()->getFlags(1);
        m_started = true;
        Vsk::Utils::CArray<Vsk::Utils::CWString> names;
        names.add(Vsk::Utils::CWString(VskTest::Utf16(module.path()).c_str()));
        Vsk::PKCS11::CPKCS11::setLibraries(names, false);
        Vsk::InternalUtils::GetCommonFlags()->setFlags(1, 1, false, 1);
        const CK_RV rv = module.configure(configuration);
        EXPECT_EQ(rv, CKR_OK);
        if (rv != CKR_OK) return false;
        Vsk::PKI::ClearCspAlgInfo();
        Vsk::PKI::InitCspAlgInfo();
        return true;
    }

    void stop() {
        if (!m_started) return;
        m_started = false;
        Vsk::PKI::clearTokenAsCsp();
        Vsk::PKCS11::CPKCS11::setLibraries(m_savedLibraries, false);
        Vsk::InternalUtils::GetCommonFlags()->setFlags(m_savedFlags, 0xFFFFFFFF, false, 1);
        Vsk::PKI::ClearCspAlgInfo();
    }

private:
    bool m_started = false;
    DWORD m_savedFlags = 0;
    Vsk::Utils::CArray<Vsk::Utils::CWString> m_savedLibraries;
};

}  // namespace AppTest
