// The GOST test token as the tests of other areas drive it: the module opened with dlopen at the path
// the library will load (so both see one state), its control functions, and key pairs made on a
// token through the module's own Cryptoki functions.
#pragma once

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <unistd.h>
#include <atomic>
#include <filesystem>
#include <string>

#include "gostToken.h"

namespace VskTest {

class GostTokenModule {
public:
    // Opens the module at `path`; failed() tells when it or one of its exports is missing.
    explicit GostTokenModule(const std::string& path) : m_path(path) {
        m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!m_handle) {
            ADD_FAILURE() << dlerror();
            return;
        }
        CK_C_GetFunctionList get = nullptr;
        sym("C_GetFunctionList", get);
        if (get) get(&m_functions);
        sym("vskGostTokenConfigure", m_configure);
        sym("vskGostTokenSetPresent", m_setPresent);
        sym("vskGostTokenCallCount", m_callCount);
    }

    // A copy of the module file at a path of its own: loaded from there it is another module, with a
    // state of its own (the same token can so be seen through two libraries). Never overwritten, since
    // a loaded module stays mapped.
    static std::string copyOf(const std::string& path, const std::string& folder) {
        static std::atomic<int> counter{0};
        const std::string copy = folder + "/libgost-token-copy-" + std::to_string(getpid()) + "-" +
                                 std::to_string(++counter) + ".so";
        std::filesystem::copy_file(path, copy);
        return copy;
    }

    bool failed() const { return !m_functions || !m_configure || !m_setPresent || !m_callCount; }
    const std::string& path() const { return m_path; }
    CK_FUNCTION_LIST_PTR functions() const { return m_functions; }

    CK_RV configure(const std::string& text) const { return m_configure(text.c_str()); }
    CK_RV setPresent(CK_SLOT_ID slot, bool present) const { return m_setPresent(slot, present ? 1 : 0); }
    unsigned long callCount(const char* function) const { return m_callCount(function); }

    // A GOST R 34.10-2012 256 key pair labelled `label` kept on the token of `slot` (the module must be
    // initialised, as it is once the library has loaded it). Made with the user PIN "12345678".
    void addKeyPair(CK_SLOT_ID slot, const std::string& label) const {
        CK_SESSION_HANDLE session = 0;
        ASSERT_EQ(
            m_functions->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
            CKR_OK);
        CK_UTF8CHAR pin[] = "12345678";
        const CK_RV login = m_functions->C_Login(session, CKU_USER, pin, 8);
        EXPECT_TRUE(login == CKR_OK || login == CKR_USER_ALREADY_LOGGED_IN) << login;
        CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY, privateClass = CKO_PRIVATE_KEY;
        CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
        // id-GostR3410-2001-CryptoPro-A-ParamSet and id-tc26-gost3411-12-256.
        CK_BYTE curve[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
        CK_BYTE hash[] = {0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02};
        std::string text = label;
        CK_ATTRIBUTE publicTemplate[] = {{CKA_CLASS, &publicClass, sizeof publicClass},
                                         {CKA_LABEL, text.data(), text.size()},
                                         {CKA_ID, text.data(), text.size()},
                                         {CKA_TOKEN, &yes, 1},
                                         {CKA_PRIVATE, &no, 1},
                                         {CKA_GOSTR3410_PARAMS, curve, sizeof curve},
                                         {CKA_GOSTR3411_PARAMS, hash, sizeof hash}};
        CK_ATTRIBUTE privateTemplate[] = {{CKA_CLASS, &privateClass, sizeof privateClass},
                                          {CKA_LABEL, text.data(), text.size()},
                                          {CKA_ID, text.data(), text.size()},
                                          {CKA_TOKEN, &yes, 1},
                                          {CKA_PRIVATE, &yes, 1}};
        CK_MECHANISM mechanism{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
        CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
        EXPECT_EQ(m_functions->C_GenerateKeyPair(session, &mechanism, publicTemplate, 7, privateTemplate, 5,
                                                 &publicKey, &privateKey),
                  CKR_OK);
        m_functions->C_CloseSession(session);
    }

private:
    template <typename T>
    void sym(const char* name, T& out) {
        out = reinterpret_cast<T>(dlsym(m_handle, name));
        if (!out) ADD_FAILURE() << "missing export " << name;
    }

    std::string m_path;
    void* m_handle = nullptr;
    CK_FUNCTION_LIST_PTR m_functions = nullptr;
    decltype(&vskGostTokenConfigure) m_configure = nullptr;
    decltype(&vskGostTokenSetPresent) m_setPresent = nullptr;
    decltype(&vskGostTokenCallCount) m_callCount = nullptr;
};

}  // namespace VskTest
