// System stores on disk: standard stores of both scopes, access rights, the user's views of the
// computer's ROOT and CA, the confirmation hook, persistence and concurrent writers across processes.
#include <gtest/gtest.h>
#include <vsk/platform/diagnostics.h>
#include <vsk/platform/kernel.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "coreFixtures.h"

using namespace CoreFixtures;
namespace fs = std::filesystem;

namespace {

constexpr DWORD CU = CERT_SYSTEM_STORE_CURRENT_USER;
constexpr DWORD LM = CERT_SYSTEM_STORE_LOCAL_MACHINE;
constexpr DWORD EXISTING = CERT_STORE_OPEN_EXISTING_FLAG;
constexpr DWORD READONLY = CERT_STORE_READONLY_FLAG;
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

HCERTSTORE openSystem(const char16_t* name, DWORD flags) {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, flags, name);
}

fs::path storesOf(const char* variable) {
    return fs::path(std::getenv(variable)) / "stores";
}

std::vector<std::string> folders(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.is_directory()) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> elementFiles(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string()[0] != '.') out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

std::string hex(const Bytes& b) {
    static const char d[] = "0123456789ABCDEF";
    std::string s;
    for (BYTE x : b) s += {d[x >> 4], d[x & 15]};
    return s;
}

// Runs `body` in a child process; its exit code.
int inChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

DWORD accessState(PCCERT_CONTEXT c) {
    DWORD state = 0, size = sizeof state;
    EXPECT_TRUE(CertGetCertificateContextProperty(c, CERT_ACCESS_STATE_PROP_ID, &state, &size));
    return state;
}

BOOL addTo(HCERTSTORE store, const Bytes& der, DWORD disposition, PCCERT_CONTEXT* added = nullptr) {
    return CertAddEncodedCertificateToStore(store, kEncoding, der.data(), static_cast<DWORD>(der.size()),
                                            disposition, added);
}

void setName(PCCERT_CONTEXT c, const char16_t* name) {
    CRYPT_DATA_BLOB blob{static_cast<DWORD>((std::char_traits<char16_t>::length(name) + 1) * 2),
                         reinterpret_cast<BYTE*>(const_cast<char16_t*>(name))};
    ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
}

std::u16string nameOf(PCCERT_CONTEXT c) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size)) return u"";
    std::u16string s(size / 2, 0);
    CertGetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, s.data(), &size);
    s.pop_back();
    return s;
}

class SystemStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The whole executable shares one temporary root: every test starts without stores.
        fs::remove_all(storesOf("KESTROVAN_USER_DIR"));
        fs::remove_all(storesOf("KESTROVAN_MACHINE_DIR"));
        setenv("KESTROVAN_ADMIN", "1", 1);
        SetRootStoreConfirmHook(nullptr, nullptr);
    }
    void TearDown() override {
        unsetenv("KESTROVAN_ADMIN");
        SetRootStoreConfirmHook(nullptr, nullptr);
    }
};

struct OpenRow {
    const char* name;
    const char16_t* store;
    DWORD flags;
    DWORD error;  // 0: opens
};

const OpenRow kOpenRows[] = {
    {"user store, any case", u"my", CU | EXISTING, 0},
    {"user address book", u"AddressBook", CU | EXISTING | READONLY, 0},
    {"machine root", u"Root", LM | EXISTING, 0},
    {"no machine address book", u"AddressBook", LM | EXISTING, ERROR_FILE_NOT_FOUND},
    {"missing store", u"NoSuchStore", CU | EXISTING, ERROR_FILE_NOT_FOUND},
    {"missing store read-only", u"NoSuchStore", CU | READONLY, ERROR_FILE_NOT_FOUND},
    {"missing store created", u"Extra", CU, 0},
    {"Cyrillic name created", u"Личное", CU, 0},
    {"Cyrillic name in another case", u"лИЧНОЕ", CU | EXISTING, 0},
    {"a path is not a name", u"../MY", CU, static_cast<DWORD>(E_INVALIDARG)},
    {"no location", u"MY", EXISTING, static_cast<DWORD>(E_INVALIDARG)},
};

TEST_F(SystemStoreTest, StandardStoresAndOpenErrors) {
    for (const OpenRow& row : kOpenRows) {
        SCOPED_TRACE(row.name);
        SetLastError(0);
        HCERTSTORE store = openSystem(row.store, row.flags);
        if (row.error) {
            EXPECT_EQ(store, nullptr);
            EXPECT_EQ(GetLastError(), row.error);
        } else {
            EXPECT_NE(store, nullptr) << std::hex << GetLastError();
        }
        CertCloseStore(store, 0);
    }
    EXPECT_EQ(folders(storesOf("KESTROVAN_USER_DIR")),
              (std::vector<std::string>{"ADDRESSBOOK", "CA", "DISALLOWED", "EXTRA", "MY", "REQUEST", "ROOT",
                                        "TRUST", reinterpret_cast<const char*>(u8"ЛИЧНОЕ")}));
    EXPECT_EQ(folders(storesOf("KESTROVAN_MACHINE_DIR")),
              (std::vector<std::string>{"CA", "DISALLOWED", "MY", "REQUEST", "ROOT", "TRUST"}));
}

TEST_F(SystemStoreTest, PersistsAcrossProcessesWithWriteThroughProperties) {
    const Set& s = Get();
    const std::string leafHex = hex(Thumbprint(Cert(s.leaf).p));
    EXPECT_EQ(inChild([&] {
                  Store my(openSystem(u"MY", CU | EXISTING));
                  PCCERT_CONTEXT added = nullptr;
                  if (!my.h || !addTo(my.h, s.leaf, CERT_STORE_ADD_NEW, &added)) return 1;
                  char16_t container[] = u"Контейнер";
                  CRYPT_KEY_PROV_INFO info{container, nullptr, 80, 0, 0, nullptr, AT_KEYEXCHANGE};
                  const BOOL ok =
                      CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
                  CertFreeCertificateContext(added);
                  Store machine(openSystem(u"MY", LM | EXISTING));
                  return ok && machine.h && addTo(machine.h, s.gost256, CERT_STORE_ADD_NEW) ? 0 : 2;
              }),
              0);
    EXPECT_EQ(elementFiles(storesOf("KESTROVAN_USER_DIR") / "MY"), std::vector<std::string>{leafHex});

    {
        Store my(openSystem(u"My", CU | EXISTING));
        ASSERT_NE(my.h, nullptr);
        PCCERT_CONTEXT c = CertEnumCertificatesInStore(my.h, nullptr);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(hex(Thumbprint(c)), leafHex);
        EXPECT_EQ(accessState(c), CERT_ACCESS_STATE_WRITE_PERSIST_FLAG | CERT_ACCESS_STATE_SYSTEM_STORE_FLAG);
        DWORD size = 0;
        EXPECT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
        // Written to the file at once: another process sees it.
        setName(c, u"Подпись");
        CertFreeCertificateContext(c);
        EXPECT_EQ(CountCertificates(my.h), 1);
    }
    EXPECT_EQ(inChild([&] {
                  Store my(openSystem(u"MY", CU | EXISTING | READONLY));
                  PCCERT_CONTEXT c = CertEnumCertificatesInStore(my.h, nullptr);
                  const bool ok = c && nameOf(c) == u"Подпись";
                  CertFreeCertificateContext(c);
                  Store machine(openSystem(u"MY", LM | EXISTING | READONLY));
                  return ok && CountCertificates(machine.h) == 1 ? 0 : 1;
              }),
              0);

    // Deleted in a child; the next open here sees it gone, and a property change through an older
    // open does not bring it back.
    Store stale(openSystem(u"MY", CU | EXISTING));
    PCCERT_CONTEXT staleCert = CertEnumCertificatesInStore(stale.h, nullptr);
    ASSERT_NE(staleCert, nullptr);
    EXPECT_EQ(inChild([&] {
                  Store my(openSystem(u"MY", CU | EXISTING));
                  PCCERT_CONTEXT c = CertEnumCertificatesInStore(my.h, nullptr);
                  return c && CertDeleteCertificateFromStore(c) ? 0 : 1;
              }),
              0);
    char16_t name[] = u"late";
    CRYPT_DATA_BLOB blob{sizeof name, reinterpret_cast<BYTE*>(name)};
    EXPECT_FALSE(CertSetCertificateContextProperty(staleCert, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
    EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
    CertFreeCertificateContext(staleCert);
    Store my(openSystem(u"MY", CU | EXISTING));
    EXPECT_EQ(CountCertificates(my.h), 0);
    EXPECT_TRUE(elementFiles(storesOf("KESTROVAN_USER_DIR") / "MY").empty());
}

// One file per thumbprint: ADD_NEW sees a file another open added; ADD_ALWAYS and REPLACE_EXISTING
// replace it; enumeration goes by thumbprint.
TEST_F(SystemStoreTest, DispositionsAndOrder) {
    const Set& s = Get();
    Store first(openSystem(u"CA", CU | EXISTING));
    Store second(openSystem(u"CA", CU | EXISTING));
    ASSERT_TRUE(addTo(first.h, s.leaf, CERT_STORE_ADD_NEW));
    EXPECT_FALSE(addTo(second.h, s.leaf, CERT_STORE_ADD_NEW));
    EXPECT_EQ(GetLastError(), CRYPT_E_EXISTS);

    for (DWORD disposition : {CERT_STORE_ADD_ALWAYS, CERT_STORE_ADD_REPLACE_EXISTING}) {
        Cert source(s.leaf);
        setName(source.p, disposition == CERT_STORE_ADD_ALWAYS ? u"always" : u"replace");
        ASSERT_TRUE(CertAddCertificateContextToStore(second.h, source.p, disposition, nullptr));
        Store again(openSystem(u"CA", CU | EXISTING));
        ASSERT_EQ(CountCertificates(again.h), 1);
        PCCERT_CONTEXT c = CertEnumCertificatesInStore(again.h, nullptr);
        EXPECT_EQ(nameOf(c), disposition == CERT_STORE_ADD_ALWAYS ? u"always" : u"replace");
        CertFreeCertificateContext(c);
    }

    for (const Bytes* der : {&s.ca, &s.gost256, &s.gost512, &s.leafOther})
        ASSERT_TRUE(addTo(first.h, *der, CERT_STORE_ADD_NEW));
    Store reopened(openSystem(u"CA", CU | EXISTING));
    std::vector<std::string> order;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(reopened.h, c))) order.push_back(hex(Thumbprint(c)));
    EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
    ASSERT_EQ(order.size(), 5u);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(order, elementFiles(storesOf("KESTROVAN_USER_DIR") / "CA"));

    // CRLs live beside the certificates and follow ADD_NEWER on disk too.
    ASSERT_TRUE(CertAddEncodedCRLToStore(first.h, kEncoding, s.crl1.data(), static_cast<DWORD>(s.crl1.size()),
                                         CERT_STORE_ADD_NEWER, nullptr));
    ASSERT_TRUE(CertAddEncodedCRLToStore(first.h, kEncoding, s.crl2.data(), static_cast<DWORD>(s.crl2.size()),
                                         CERT_STORE_ADD_NEWER, nullptr));
    Store third(openSystem(u"CA", CU | EXISTING));
    EXPECT_FALSE(CertAddEncodedCRLToStore(third.h, kEncoding, s.crl1.data(),
                                          static_cast<DWORD>(s.crl1.size()), CERT_STORE_ADD_NEW, nullptr));
    EXPECT_EQ(GetLastError(), CRYPT_E_EXISTS);
    Store withCrl(openSystem(u"CA", CU | EXISTING));
    PCCRL_CONTEXT crl = CertEnumCRLsInStore(withCrl.h, nullptr);
    ASSERT_NE(crl, nullptr);
    EXPECT_EQ(Bytes(crl->pbCrlEncoded, crl->pbCrlEncoded + crl->cbCrlEncoded), s.crl2);
    EXPECT_EQ(CertEnumCRLsInStore(withCrl.h, crl), nullptr);
    EXPECT_EQ(elementFiles(storesOf("KESTROVAN_USER_DIR") / "CA").size(), 6u);
}

TEST_F(SystemStoreTest, UserRootAndCaViewsIncludeTheComputers) {
    const Set& s = Get();
    {
        Store machineRoot(openSystem(u"ROOT", LM | EXISTING));
        PCCERT_CONTEXT added = nullptr;
        ASSERT_TRUE(addTo(machineRoot.h, s.ca, CERT_STORE_ADD_NEW, &added));
        EXPECT_EQ(accessState(added), CERT_ACCESS_STATE_WRITE_PERSIST_FLAG |
                                          CERT_ACCESS_STATE_SYSTEM_STORE_FLAG |
                                          CERT_ACCESS_STATE_LM_SYSTEM_STORE_FLAG);
        CertFreeCertificateContext(added);
        Store machineCa(openSystem(u"CA", LM | EXISTING));
        ASSERT_TRUE(addTo(machineCa.h, s.otherCa, CERT_STORE_ADD_NEW));
        Store machineMy(openSystem(u"MY", LM | EXISTING));
        ASSERT_TRUE(addTo(machineMy.h, s.gost512, CERT_STORE_ADD_NEW));
    }
    setenv("KESTROVAN_ADMIN", "0", 1);
    {
        Store root(openSystem(u"ROOT", CU | EXISTING));
        ASSERT_NE(root.h, nullptr);
        PCCERT_CONTEXT c = CertEnumCertificatesInStore(root.h, nullptr);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(Thumbprint(c), Thumbprint(Cert(s.ca).p));
        EXPECT_EQ(accessState(c),
                  CERT_ACCESS_STATE_SYSTEM_STORE_FLAG | CERT_ACCESS_STATE_LM_SYSTEM_STORE_FLAG);
        EXPECT_FALSE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(c)));
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_FALSE(addTo(root.h, s.ca, CERT_STORE_ADD_NEW));
        EXPECT_EQ(GetLastError(), CRYPT_E_EXISTS);
        CertFreeCertificateContext(c);
        EXPECT_EQ(CountCertificates(root.h), 1);
    }
    Store ca(openSystem(u"CA", CU | EXISTING));
    EXPECT_EQ(CountCertificates(ca.h), 1);
    Store my(openSystem(u"MY", CU | EXISTING));
    EXPECT_EQ(CountCertificates(my.h), 0);

    // The user's own copy hides the computer's.
    {
        Store root(openSystem(u"ROOT", CU | EXISTING));
        ASSERT_TRUE(addTo(root.h, s.ca, CERT_STORE_ADD_REPLACE_EXISTING));
        EXPECT_EQ(CountCertificates(root.h), 1);
    }
    Store root(openSystem(u"ROOT", CU | EXISTING));
    PCCERT_CONTEXT c = CertEnumCertificatesInStore(root.h, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(accessState(c), CERT_ACCESS_STATE_WRITE_PERSIST_FLAG | CERT_ACCESS_STATE_SYSTEM_STORE_FLAG);
    EXPECT_EQ(CertEnumCertificatesInStore(root.h, c), nullptr);
}

TEST_F(SystemStoreTest, ComputerStoresAreReadOnlyForOthers) {
    const Set& s = Get();
    {
        Store machine(openSystem(u"MY", LM | EXISTING));
        ASSERT_TRUE(addTo(machine.h, s.gost256, CERT_STORE_ADD_NEW));
    }
    setenv("KESTROVAN_ADMIN", "0", 1);
    SetLastError(0);
    EXPECT_EQ(openSystem(u"MY", LM | EXISTING), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(openSystem(u"NewMachineStore", LM), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    Store machine(openSystem(u"MY", LM | EXISTING | READONLY));
    ASSERT_NE(machine.h, nullptr);
    EXPECT_FALSE(addTo(machine.h, s.leaf, CERT_STORE_ADD_ALWAYS));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    PCCERT_CONTEXT c = CertEnumCertificatesInStore(machine.h, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(accessState(c), CERT_ACCESS_STATE_SYSTEM_STORE_FLAG | CERT_ACCESS_STATE_LM_SYSTEM_STORE_FLAG);
    char16_t name[] = u"x";
    CRYPT_DATA_BLOB blob{sizeof name, reinterpret_cast<BYTE*>(name)};
    EXPECT_FALSE(CertSetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(CertDeleteCertificateFromStore(c));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(CountCertificates(machine.h), 1);
}

struct HookLog {
    BOOL answer = FALSE;
    int calls = 0;
    BOOL lastAdding = -1;
    Bytes lastThumbprint;
};

BOOL recordingHook(PCCERT_CONTEXT cert, BOOL adding, void* arg) {
    auto* log = static_cast<HookLog*>(arg);
    ++log->calls;
    log->lastAdding = adding;
    log->lastThumbprint = Thumbprint(cert);
    return log->answer;
}

TEST_F(SystemStoreTest, UserRootChangesAreConfirmed) {
    const Set& s = Get();
    HookLog log;
    SetRootStoreConfirmHook(recordingHook, &log);
    Store root(openSystem(u"ROOT", CU | EXISTING));
    EXPECT_FALSE(addTo(root.h, s.ca, CERT_STORE_ADD_NEW));
    EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.lastAdding, TRUE);
    EXPECT_EQ(log.lastThumbprint, Thumbprint(Cert(s.ca).p));
    EXPECT_EQ(CountCertificates(root.h), 0);
    EXPECT_TRUE(elementFiles(storesOf("KESTROVAN_USER_DIR") / "ROOT").empty());

    log.answer = TRUE;
    ASSERT_TRUE(addTo(root.h, s.ca, CERT_STORE_ADD_NEW));
    log.answer = FALSE;
    PCCERT_CONTEXT c = CertEnumCertificatesInStore(root.h, nullptr);
    EXPECT_FALSE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(c)));
    EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
    EXPECT_EQ(log.lastAdding, FALSE);
    EXPECT_EQ(CountCertificates(root.h), 1);
    log.answer = TRUE;
    EXPECT_TRUE(CertDeleteCertificateFromStore(c));
    EXPECT_EQ(CountCertificates(root.h), 0);
    EXPECT_EQ(log.calls, 4);

    // Other stores and the computer's ROOT do not ask.
    Store my(openSystem(u"MY", CU | EXISTING));
    EXPECT_TRUE(addTo(my.h, s.ca, CERT_STORE_ADD_NEW));
    Store machineRoot(openSystem(u"ROOT", LM | EXISTING));
    EXPECT_TRUE(addTo(machineRoot.h, s.ca, CERT_STORE_ADD_NEW));
    EXPECT_EQ(log.calls, 4);
}

// Two processes adding and deleting in one store at the same time lose nothing.
TEST_F(SystemStoreTest, ConcurrentWritersLoseNothing) {
    constexpr int kEach = 12;
    const std::vector<Bytes> certs = Leaves(100, 2 * kEach);
    { Store touch(openSystem(u"MY", CU | EXISTING)); }
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> children;
    for (int part = 0; part < 2; ++part) {
        const pid_t pid = fork();
        if (pid == 0) {
            close(go[1]);
            char byte;
            if (read(go[0], &byte, 1) < 0) _exit(3);
            Store my(openSystem(u"MY", CU | EXISTING));
            std::vector<PCCERT_CONTEXT> added;
            for (int i = 0; i < kEach; ++i) {
                PCCERT_CONTEXT c = nullptr;
                if (!addTo(my.h, certs[part * kEach + i], CERT_STORE_ADD_NEW, &c)) _exit(1);
                if (!addTo(my.h, Get().ca, CERT_STORE_ADD_ALWAYS)) _exit(1);
                added.push_back(c);
            }
            for (int i = 0; i < kEach; i += 2)
                if (!CertDeleteCertificateFromStore(added[i])) _exit(2);
            for (int i = 1; i < kEach; i += 2) CertFreeCertificateContext(added[i]);
            _exit(0);
        }
        children.push_back(pid);
    }
    close(go[0]);
    close(go[1]);  // both start now
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    std::vector<std::string> expected = {hex(Thumbprint(Cert(Get().ca).p))};
    for (int i = 1; i < 2 * kEach; i += 2) expected.push_back(hex(Thumbprint(Cert(certs[i]).p)));
    std::sort(expected.begin(), expected.end());
    Store my(openSystem(u"MY", CU | EXISTING));
    std::vector<std::string> got;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(my.h, c))) got.push_back(hex(Thumbprint(c)));
    EXPECT_EQ(got, expected);
    EXPECT_EQ(elementFiles(storesOf("KESTROVAN_USER_DIR") / "MY"), expected);
}

// Files that are not whole elements of their name are left out; the rest of the store still opens.
TEST_F(SystemStoreTest, DamagedFilesAreSkipped) {
    const Set& s = Get();
    {
        Store my(openSystem(u"MY", CU | EXISTING));
        ASSERT_TRUE(addTo(my.h, s.leaf, CERT_STORE_ADD_NEW));
        ASSERT_TRUE(addTo(my.h, s.gost256, CERT_STORE_ADD_NEW));
    }
    const fs::path dir = storesOf("KESTROVAN_USER_DIR") / "MY";
    const std::string leafHex = hex(Thumbprint(Cert(s.leaf).p));
    const std::string gostHex = hex(Thumbprint(Cert(s.gost256).p));
    // The leaf's file under another thumbprint, and junk under the GOST certificate's name.
    fs::copy_file(dir / leafHex, dir / std::string(40, 'A'));
    std::ofstream(dir / gostHex, std::ios::binary | std::ios::trunc) << "junk";
    static std::vector<std::string> reported;
    reported.clear();
    SetPlatformDiagnosticSink([](const char* line) { reported.emplace_back(line); });
    Store my(openSystem(u"MY", CU | EXISTING));
    SetPlatformDiagnosticSink(nullptr);
    std::vector<std::string> got;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(my.h, c))) got.push_back(hex(Thumbprint(c)));
    EXPECT_EQ(got, std::vector<std::string>{leafHex});
    // Both left-out files are reported, so the developer log can name them.
    ASSERT_EQ(reported.size(), 2u);
    const std::string both = reported[0] + reported[1];
    EXPECT_NE(both.find(std::string(40, 'A')), std::string::npos);
    EXPECT_NE(both.find(gostHex), std::string::npos);
}

// A writer killed between making its temporary file and renaming it leaves the file behind; the
// next process that opens the store holds the folder's lock, so the file can only be a dead
// writer's: it goes, and the store opens with every element that was added.
TEST_F(SystemStoreTest, KilledWriterLeavesNoTemporaryFile) {
    const Set& s = Get();
    {
        Store my(openSystem(u"MY", CU | EXISTING));
        ASSERT_TRUE(addTo(my.h, s.leaf, CERT_STORE_ADD_NEW));
    }
    const fs::path dir = storesOf("KESTROVAN_USER_DIR") / "MY";
    auto tempFiles = [&] {
        int n = 0;
        for (const auto& e : fs::directory_iterator(dir))
            if (e.path().filename().string().rfind(".tmp-", 0) == 0) ++n;
        return n;
    };
    // Writers as the store writes: the folder's lock, then a temporary file, then killed mid-write.
    for (int writer = 0; writer < 3; ++writer) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            close(ready[0]);
            const int lock = open((dir / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            if (lock < 0 || flock(lock, LOCK_EX) != 0) _exit(1);
            std::string temp = (dir / ".tmp-XXXXXX").string();
            const int fd = mkostemp(temp.data(), O_CLOEXEC);
            if (fd < 0 || write(fd, "CERT", 4) != 4 || write(ready[1], "x", 1) != 1) _exit(1);
            for (;;) pause();
        }
        close(ready[1]);
        char byte = 0;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
        close(ready[0]);
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
    }
    ASSERT_EQ(tempFiles(), 3);

    Store my(openSystem(u"MY", CU | EXISTING));
    ASSERT_NE(my.h, nullptr);
    EXPECT_EQ(tempFiles(), 0);
    EXPECT_EQ(CountCertificates(my.h), 1);
    // The store goes on working: an element added now is there for the next open.
    ASSERT_TRUE(addTo(my.h, s.gost256, CERT_STORE_ADD_NEW));
    Store again(openSystem(u"MY", CU | EXISTING | READONLY));
    EXPECT_EQ(CountCertificates(again.h), 2);
    EXPECT_EQ(elementFiles(dir).size(), 2u);
}

// A reader that may not write the folder (here an unprivileged user reading the computer's store)
// leaves a dead writer's file to those who may.
TEST_F(SystemStoreTest, ReaderWithoutWriteAccessKeepsTemporaryFiles) {
    { Store root(openSystem(u"ROOT", LM | EXISTING)); }
    const fs::path dir = storesOf("KESTROVAN_MACHINE_DIR") / "ROOT";
    std::ofstream(dir / ".tmp-AbC123") << "partial";
    const int opened = inChild([] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 10;
        unsetenv("KESTROVAN_ADMIN");
        if (access(storesOf("KESTROVAN_MACHINE_DIR").c_str(), R_OK | X_OK) != 0) return 11;
        HCERTSTORE store = openSystem(u"ROOT", LM | EXISTING | READONLY);
        if (!store) return 1;
        CertCloseStore(store, 0);
        return 0;
    });
    if (opened == 11) GTEST_SKIP() << "the test root is not readable by other users";
    EXPECT_EQ(opened, 0);
    EXPECT_TRUE(fs::exists(dir / ".tmp-AbC123"));
    { Store root(openSystem(u"ROOT", LM | EXISTING)); }
    EXPECT_FALSE(fs::exists(dir / ".tmp-AbC123"));
}

}  // namespace
