// SoftHSM2 as the independent PKCS#11 module of the tests: a token folder and configuration of its
// own in the process's temporary root, two tokens made with softhsm2-util (one with a Cyrillic
// label), and RSA key pairs made with pkcs11-tool (OpenSC) when that tool is installed.
#pragma once

#include "testSupport.h"

#include <vsk/pkcs11/Token.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace VskTest {

class SoftHsm {
public:
    static constexpr const char* Module = "/usr/lib/softhsm/libsofthsm2.so";
    static constexpr const char* Label = "Kestrovan test";
    // UTF-8 bytes: the module speaks Cryptoki 2.40, so its texts are UTF-8.
    static constexpr const char8_t* CyrillicLabel = u8"Тестовый токен";
    static constexpr const char* UserPin = "1234";
    static constexpr const char* SoPin = "5678";

    // Made once per process; tests skip when the module is not installed.
    static SoftHsm& get() {
        static SoftHsm instance;
        return instance;
    }

    bool available() const { return m_available; }
    bool hasPkcs11Tool() const { return m_pkcs11Tool; }
    const std::string& folder() const { return m_folder; }

    // Runs a shell command with the module's configuration; its standard output.
    static std::string run(const std::string& command, int* status = nullptr) {
        std::string output;
        FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
        if (!pipe) return output;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
        const int rc = pclose(pipe);
        if (status) *status = rc;
        return output;
    }

    // pkcs11-tool on the test token, logged in as the user.
    std::string tool(const std::string& arguments, int* status = nullptr) const {
        return run(std::string("pkcs11-tool --module ") + Module + " --token-label '" + Label +
                       "' --login --pin " + UserPin + " " + arguments,
                   status);
    }

private:
    SoftHsm() {
        if (!std::filesystem::exists(Module) || std::system("command -v softhsm2-util >/dev/null 2>&1") != 0)
            return;
        m_folder = TempDir() + "/softhsm";
        std::filesystem::create_directories(m_folder + "/tokens");
        const std::string conf = m_folder + "/softhsm2.conf";
        std::ofstream(conf) << "directories.tokendir = " << m_folder << "/tokens\n"
                            << "objectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n";
        setenv("SOFTHSM2_CONF", conf.c_str(), 1);
        int status = 0;
        run(std::string("softhsm2-util --init-token --free --label '") + Label + "' --pin " + UserPin +
                " --so-pin " + SoPin,
            &status);
        if (status != 0) return;
        run(std::string("softhsm2-util --init-token --free --label '") +
                reinterpret_cast<const char*>(CyrillicLabel) + "' --pin " + UserPin + " --so-pin " + SoPin,
            &status);
        if (status != 0) return;
        m_available = true;
        m_pkcs11Tool = std::system("command -v pkcs11-tool >/dev/null 2>&1") == 0;
        if (m_pkcs11Tool) {
            // Two RSA pairs with labels and identifiers of their own.
            tool("--keypairgen --key-type rsa:1024 --label pairA --id 0a", &status);
            tool("--keypairgen --key-type rsa:1024 --label pairB --id 0b", &status);
            m_pkcs11Tool = status == 0;
        }
    }

    std::string m_folder;
    bool m_available = false;
    bool m_pkcs11Tool = false;
};

#define VSK_REQUIRE_SOFTHSM()                                                                  \
    do {                                                                                       \
        if (!VskTest::SoftHsm::get().available()) GTEST_SKIP() << "SoftHSM2 is not installed"; \
    } while (0)

// Finds the test token among the library's present tokens.
inline Vsk::PKCS11::CToken FindToken(Vsk::PKCS11::CPKCS11& library, const std::u16string& label) {
    for (uint64_t i = 0; i < library.getTokenCount(); ++i) {
        Vsk::PKCS11::CToken token = library.getToken(i);
        if (token.getTokenInfo().label.toU16() == label) return token;
    }
    ADD_FAILURE() << "no token labelled " << Utf8(label);
    return Vsk::PKCS11::CToken();
}

}  // namespace VskTest
