// Key containers of the built-in providers: names, readers, enumeration, creation and deletion,
// passwords, the files on disk and what concurrent or killed writers leave behind.
#include <vsk/platform/crypt.h>
#include <vsk/platform/kernel.h>

#include <gtest/gtest.h>

#include "testSupport.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

std::string KeysRoot(bool machine = false) {
    return std::string(std::getenv(machine ? "KESTROVAN_MACHINE_DIR" : "KESTROVAN_USER_DIR")) + "/keys";
}

// Acquires; 0 on failure with the code in `error`.
HCRYPTPROV Acquire(const std::u16string& name, DWORD flags, DWORD& error, DWORD type = PROV_GOST_2012_256) {
    HCRYPTPROV prov = 0;
    error = CryptAcquireContextW(&prov, name.c_str(), nullptr, type, flags) ? 0 : GetLastError();
    return prov;
}

std::string TextParam(HCRYPTPROV prov, DWORD param) {
    DWORD size = 0;
    if (!CryptGetProvParam(prov, param, nullptr, &size, 0)) return "<" + std::to_string(GetLastError()) + ">";
    std::string s(size, '\0');
    if (!CryptGetProvParam(prov, param, reinterpret_cast<BYTE*>(s.data()), &size, 0)) return "<failed>";
    return s.substr(0, s.find('\0'));
}

// Every record of PP_ENUMCONTAINERS through one buffer sized by the first size query.
std::vector<std::string> Enumerate(DWORD flags, DWORD type = PROV_GOST_2012_256) {
    HCRYPTPROV prov = 0;
    EXPECT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, type, CRYPT_VERIFYCONTEXT | flags));
    std::vector<std::string> out;
    DWORD size = 0;
    if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, nullptr, &size, CRYPT_FIRST | CRYPT_UNIQUE)) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        CryptReleaseContext(prov, 0);
        return out;
    }
    std::vector<char> buffer(size);
    for (DWORD f = CRYPT_FIRST | CRYPT_UNIQUE;; f = CRYPT_NEXT | CRYPT_UNIQUE) {
        DWORD n = size;
        if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buffer.data()), &n, f)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
            break;
        }
        out.push_back(std::string(buffer.data()) + "|" +
                      std::string(buffer.data() + std::strlen(buffer.data()) + 1));
    }
    CryptReleaseContext(prov, 0);
    return out;
}

HCRYPTKEY Generate(HCRYPTPROV prov, ALG_ID alg = AT_KEYEXCHANGE) {
    HCRYPTKEY key = 0;
    EXPECT_TRUE(CryptGenKey(prov, alg, CRYPT_EXPORTABLE, &key)) << std::hex << GetLastError();
    return key;
}

bool SetPin(HCRYPTPROV prov, const char* pin, DWORD param = PP_KEYEXCHANGE_PIN) {
    return CryptSetProvParam(prov, param, reinterpret_cast<const BYTE*>(pin), 0);
}

// Signs a fixed digest with the key of `spec`; the last error on failure.
DWORD SignWith(HCRYPTPROV prov, DWORD spec) {
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(prov, CALG_GR3411_2012_256, 0, 0, &hash)) return GetLastError();
    CryptHashData(hash, reinterpret_cast<const BYTE*>("abc"), 3, 0);
    DWORD size = 0;
    DWORD error = CryptSignHashW(hash, spec, nullptr, 0, nullptr, &size) ? 0 : GetLastError();
    if (!error) {
        Bytes sig(size);
        error = CryptSignHashW(hash, spec, nullptr, 0, sig.data(), &size) ? 0 : GetLastError();
    }
    CryptDestroyHash(hash);
    return error;
}

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.' || std::strncmp(e->d_name, ".tmp-", 5) == 0) out.push_back(e->d_name);
        closedir(d);
    }
    return out;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every test starts with no containers: the key folders of both scopes are removed.
class KeyContainers : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::remove_all(KeysRoot(false));
        std::filesystem::remove_all(KeysRoot(true));
    }
};

TEST_F(KeyContainers, NamesThatCannotBeMade) {
    DWORD error = 0;
    HCRYPTPROV first = Acquire(u"taken", CRYPT_NEWKEYSET, error);
    ASSERT_EQ(error, 0u);
    CryptReleaseContext(first, 0);
    const struct {
        std::u16string name;
        DWORD expected;
    } cases[] = {
        {std::u16string(65, u'a'), NTE_BAD_KEYSET_PARAM},
        {u"", NTE_BAD_KEYSET_PARAM},
        {u"back\\slash", NTE_BAD_KEYSET_PARAM},
        {u"tab\there", NTE_BAD_KEYSET_PARAM},
        {u"\u4E2D\u6587", NTE_BAD_KEYSET_PARAM},  // no code page 1251 form
        {u"taken", NTE_EXISTS},
        {u"\\\\.\\DISK\\taken", NTE_EXISTS},  // unique across readers
        {u"\\\\.\\NOSUCH\\x", NTE_BAD_KEYSET},
    };
    for (const auto& c : cases) {
        HCRYPTPROV p = Acquire(c.name, CRYPT_NEWKEYSET, error);
        EXPECT_EQ(p, 0u);
        EXPECT_EQ(error, c.expected) << std::hex << error;
    }
    HCRYPTPROV longest = Acquire(std::u16string(64, u'b'), CRYPT_NEWKEYSET, error);
    EXPECT_EQ(error, 0u);
    CryptReleaseContext(longest, 0);
    // A name of another provider type is taken as well; it is not that type's container.
    EXPECT_EQ(Acquire(u"taken", CRYPT_NEWKEYSET, error, PROV_RSA_FULL), 0u);
    EXPECT_EQ(error, NTE_EXISTS);
    EXPECT_EQ(Acquire(u"taken", 0, error, PROV_RSA_FULL), 0u);
    EXPECT_EQ(error, NTE_BAD_KEYSET);
}

TEST_F(KeyContainers, NameFormsReadersAndEnumeration) {
    DWORD error = 0;
    const std::u16string cyrillic = u"Ключи Иванова";
    HCRYPTPROV a = Acquire(u"\\\\.\\Каталог на диске\\" + cyrillic, CRYPT_NEWKEYSET, error);
    ASSERT_EQ(error, 0u);
    const std::string name1251 = TextParam(a, PP_CONTAINER);
    EXPECT_EQ(name1251, "Ключи Иванова");
    EXPECT_EQ(TextParam(a, PP_UNIQUE_CONTAINER), "\\\\.\\DISK\\Ключи Иванова");
    CryptReleaseContext(a, 0);
    HCRYPTPROV b = Acquire(u"z-second", CRYPT_NEWKEYSET, error);  // plain name: the first reader
    ASSERT_EQ(error, 0u);
    EXPECT_EQ(TextParam(b, PP_UNIQUE_CONTAINER), "\\\\.\\REGISTRY\\z-second");
    CryptReleaseContext(b, 0);
    HCRYPTPROV longName = Acquire(std::u16string(60, u'l'), CRYPT_NEWKEYSET, error);
    CryptReleaseContext(longName, 0);

    for (const std::u16string& form :
         {cyrillic, u"\\\\.\\DISK\\" + cyrillic, u"\\\\.\\Каталог на диске\\" + cyrillic}) {
        HCRYPTPROV p = Acquire(form, CRYPT_SILENT, error);
        EXPECT_EQ(error, 0u);
        EXPECT_EQ(TextParam(p, PP_CONTAINER), name1251);
        CryptReleaseContext(p, 0);
    }
    EXPECT_EQ(Acquire(u"\\\\.\\REGISTRY\\" + cyrillic, 0, error), 0u);  // not in that reader
    EXPECT_EQ(error, NTE_BAD_KEYSET);

    // Readers in order, names by code unit; one buffer from the first size query serves every record.
    EXPECT_EQ(Enumerate(0), (std::vector<std::string>{
                                "\\\\.\\REGISTRY\\" + std::string(60, 'l') + "|" + std::string(60, 'l'),
                                "\\\\.\\REGISTRY\\z-second|z-second",
                                "\\\\.\\DISK\\Ключи Иванова|Ключи Иванова",
                            }));
    EXPECT_TRUE(Enumerate(0, PROV_RSA_FULL).empty());
    EXPECT_TRUE(Enumerate(CRYPT_MACHINE_KEYSET).empty());

    // A size query never moves the cursor; a buffer too small gives ERROR_MORE_DATA and no move.
    HCRYPTPROV v = 0;
    ASSERT_TRUE(CryptAcquireContextW(&v, nullptr, nullptr, PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT));
    char small[8];
    DWORD size = sizeof small;
    EXPECT_FALSE(CryptGetProvParam(v, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(small), &size, CRYPT_FIRST));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(size, 61u);
    std::vector<char> big(size);
    EXPECT_TRUE(
        CryptGetProvParam(v, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(big.data()), &size, CRYPT_NEXT));
    EXPECT_EQ(std::string(big.data()), std::string(60, 'l'));
    CryptReleaseContext(v, 0);

    // Deletion by any form; a missing container cannot be deleted or opened.
    HCRYPTPROV none = 0;
    EXPECT_TRUE(CryptAcquireContextW(&none, (u"\\\\.\\DISK\\" + cyrillic).c_str(), nullptr,
                                     PROV_GOST_2012_256, CRYPT_DELETEKEYSET));
    EXPECT_EQ(none, 0u);
    EXPECT_EQ(Acquire(cyrillic, CRYPT_DELETEKEYSET, error), 0u);
    EXPECT_EQ(error, NTE_BAD_KEYSET);
    EXPECT_EQ(Acquire(cyrillic, 0, error), 0u);
    EXPECT_EQ(error, NTE_BAD_KEYSET);
}

TEST_F(KeyContainers, MachineScopeAndFileModes) {
    DWORD error = 0;
    setenv("KESTROVAN_ADMIN", "0", 1);
    EXPECT_EQ(Acquire(u"m", CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET, error), 0u);
    EXPECT_EQ(error, NTE_PERM);
    setenv("KESTROVAN_ADMIN", "1", 1);
    HCRYPTPROV m = Acquire(u"m", CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET, error);
    ASSERT_EQ(error, 0u);
    CryptDestroyKey(Generate(m));
    CryptReleaseContext(m, 0);
    EXPECT_EQ(Enumerate(CRYPT_MACHINE_KEYSET).size(), 1u);
    EXPECT_TRUE(Enumerate(0).empty());
    setenv("KESTROVAN_ADMIN", "0", 1);
    EXPECT_EQ(Acquire(u"m", CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET, error), 0u);
    EXPECT_EQ(error, NTE_PERM);
    unsetenv("KESTROVAN_ADMIN");

    HCRYPTPROV u = Acquire(u"u", CRYPT_NEWKEYSET, error);
    CryptReleaseContext(u, 0);
    struct stat st {};
    ASSERT_EQ(stat((KeysRoot() + "/REGISTRY").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    auto files = FilesIn(KeysRoot() + "/REGISTRY");
    ASSERT_EQ(files.size(), 1u);
    ASSERT_EQ(stat((KeysRoot() + "/REGISTRY/" + files[0]).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(KeyContainers, PasswordsAndTheStoredKey) {
    DWORD error = 0;
    HCRYPTPROV p = Acquire(u"protected", CRYPT_NEWKEYSET | CRYPT_SILENT, error);
    ASSERT_EQ(error, 0u);
    ASSERT_TRUE(SetPin(p, "mivo"));
    CryptDestroyKey(Generate(p, AT_SIGNATURE));
    CryptReleaseContext(p, 0);

    // The file keeps neither the password nor a readable key; openssl reads the key with the password.
    auto files = FilesIn(KeysRoot() + "/REGISTRY");
    ASSERT_EQ(files.size(), 1u);
    const std::string file = ReadAll(KeysRoot() + "/REGISTRY/" + files[0]);
    EXPECT_EQ(file.find("mivo"), std::string::npos);
    size_t at = file.find("key2.private=");
    ASSERT_NE(at, std::string::npos);
    at += std::strlen("key2.private=");
    const std::string dir = VskTest::TempDir();
    std::ofstream(dir + "/stored.b64") << file.substr(at, file.find('\n', at) - at) << "\n";
    auto openssl = [&](const std::string& pass) {
        return std::system(("cd '" + dir +
                            "' && openssl base64 -d -A -in stored.b64 -out stored.der && "
                            "openssl pkey -engine gost -inform DER -in stored.der -noout " +
                            pass + " >/dev/null 2>&1 </dev/null")
                               .c_str()) == 0;
    };
    EXPECT_TRUE(openssl("-passin pass:mivo"));
    EXPECT_FALSE(openssl("-passin pass:wrong"));

    // Silent without a password; a wrong one is refused at once; either parameter takes the right one.
    p = Acquire(u"protected", CRYPT_SILENT, error);
    EXPECT_EQ(SignWith(p, AT_SIGNATURE), NTE_SILENT_CONTEXT);
    EXPECT_FALSE(SetPin(p, "wrong", PP_SIGNATURE_PIN));
    EXPECT_EQ(GetLastError(), SCARD_W_WRONG_CHV);
    EXPECT_TRUE(SetPin(p, "mivo", PP_KEYEXCHANGE_PIN));
    EXPECT_EQ(SignWith(p, AT_SIGNATURE), 0u);
    CryptReleaseContext(p, 0);

    // A non-silent context asks the application's prompt; cancelling is ERROR_CANCELLED.
    static int asked = 0;
    static const char* answer = nullptr;
    SetPasswordPrompt([](LPCWSTR container, uintptr_t, char* password, DWORD capacity) -> BOOL {
        ++asked;
        EXPECT_EQ(std::u16string(container), u"protected");
        if (!answer) return FALSE;
        std::strncpy(password, answer, capacity);
        return TRUE;
    });
    p = Acquire(u"protected", 0, error);
    EXPECT_EQ(SignWith(p, AT_SIGNATURE), static_cast<DWORD>(ERROR_CANCELLED));
    answer = "mivo";
    EXPECT_EQ(SignWith(p, AT_SIGNATURE), 0u);
    EXPECT_EQ(SignWith(p, AT_SIGNATURE), 0u);  // the key stays unlocked in the context
    EXPECT_EQ(asked, 2);
    CryptReleaseContext(p, 0);
    SetPasswordPrompt(nullptr);
    p = Acquire(u"protected", 0, error);
    EXPECT_EQ(SignWith(p, AT_SIGNATURE), NTE_SILENT_CONTEXT);
    CryptReleaseContext(p, 0);

    // A container without a password takes any PIN.
    HCRYPTPROV open = Acquire(u"open", CRYPT_NEWKEYSET, error);
    CryptDestroyKey(Generate(open));
    CryptReleaseContext(open, 0);
    open = Acquire(u"open", CRYPT_SILENT, error);
    EXPECT_TRUE(SetPin(open, "anything"));
    EXPECT_EQ(SignWith(open, AT_KEYEXCHANGE), 0u);
    CryptReleaseContext(open, 0);
}

// Creates and deletes its own containers in a loop; exits 0 when every call behaved.
int Churn(const char* prefix, int rounds) {
    int bad = 0;
    for (int i = 0; i < rounds; ++i) {
        std::u16string name = u"churn";
        for (const char* c = prefix; *c; ++c) name += static_cast<char16_t>(*c);
        name +=
            u"-" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26)) + std::u16string(1, u'0' + i / 26);
        HCRYPTPROV p = 0;
        if (!CryptAcquireContextW(&p, name.c_str(), nullptr, PROV_GOST_2012_256, CRYPT_NEWKEYSET)) ++bad;
        CryptReleaseContext(p, 0);
        if (i % 2 && !CryptAcquireContextW(&p, name.c_str(), nullptr, PROV_GOST_2012_256, CRYPT_DELETEKEYSET))
            ++bad;
    }
    return bad;
}

TEST_F(KeyContainers, ConcurrentWritersAndAKilledWriter) {
    constexpr int Rounds = 40;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(Churn("A", Rounds) == 0 ? 0 : 1);
    EXPECT_EQ(Churn("B", Rounds), 0);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(Enumerate(0).size(), static_cast<size_t>(Rounds));  // half of each side's containers

    // A writer killed at any moment leaves every container whole.
    DWORD error = 0;
    HCRYPTPROV p = Acquire(u"victim", CRYPT_NEWKEYSET, error);
    CryptDestroyKey(Generate(p));
    CryptReleaseContext(p, 0);
    for (int round = 0; round < 5; ++round) {
        pid_t writer = fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            HCRYPTPROV w = 0;
            CryptAcquireContextW(&w, u"victim", nullptr, PROV_GOST_2012_256, 0);
            for (;;) {
                HCRYPTKEY k = 0;
                CryptGenKey(w, AT_KEYEXCHANGE, 0, &k);
                CryptDestroyKey(k);
            }
        }
        usleep(20000 + 15000 * round);
        kill(writer, SIGKILL);
        waitpid(writer, &status, 0);
        p = Acquire(u"victim", CRYPT_SILENT, error);
        ASSERT_EQ(error, 0u);
        EXPECT_EQ(SignWith(p, AT_KEYEXCHANGE), 0u);
        CryptReleaseContext(p, 0);
        EXPECT_EQ(Enumerate(0).size(), static_cast<size_t>(Rounds + 1));
    }
}

}  // namespace
