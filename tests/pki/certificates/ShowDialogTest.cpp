// The viewers of the certificate and the CRL, reached at run time: this program has no windows, so
// first the modules are missing, then the test stands in for "cryptext.dll" and "Cryptui.dll" with
// scripted exports. One test, because a stand-in module stays registered for the rest of the process.
#include "storeFixtures.h"

#include <vsk/pki/Certificate.h>
#include <vsk/pki/Crl.h>
#include <vsk/pki/CryptError.h>
#include <vsk/platform/cryptui.h>
#include <vsk/platform/module.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>

using Vsk::PKI::CCertificate;
using Vsk::PKI::CCrl;
using Vsk::PKI::CCryptError;

namespace {

struct Script {
    BOOL result = TRUE;
    DWORD error = 0;
    int calls = 0;
    std::string seen;  // the DER the viewer got
    std::u16string title;
    bool fileExisted = false;
    std::string path;
};
Script g_script;

BOOL viewCertificate(const CRYPTUI_VIEWCERTIFICATE_STRUCTW* view, BOOL*) {
    ++g_script.calls;
    EXPECT_EQ(view->dwSize, 120u);
    EXPECT_EQ(view->dwFlags, 0u);
    g_script.seen.assign(reinterpret_cast<const char*>(view->pCertContext->pbCertEncoded),
                         view->pCertContext->cbCertEncoded);
    g_script.title = view->szTitle ? view->szTitle : u"";
    SetLastError(g_script.error);
    return g_script.result;
}

BOOL viewContext(DWORD type, const void* context, HWND, LPCWSTR title, DWORD flags, void*) {
    ++g_script.calls;
    EXPECT_EQ(type, CERT_STORE_CRL_CONTEXT);
    EXPECT_EQ(flags, 0u);
    const auto* crl = static_cast<PCCRL_CONTEXT>(context);
    g_script.seen.assign(reinterpret_cast<const char*>(crl->pbCrlEncoded), crl->cbCrlEncoded);
    g_script.title = title ? title : u"";
    SetLastError(g_script.error);
    return g_script.result;
}

void openCrl(HWND, HINSTANCE module, LPCSTR path, int show) {
    ++g_script.calls;
    EXPECT_EQ(module, GetModuleHandleW(u"cryptext.dll"));
    EXPECT_EQ(show, 5);
    g_script.path = path;
    std::ifstream file(path, std::ios::binary);
    g_script.fileExisted = file.good();
    g_script.seen.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

struct Outcome {
    DWORD step = 0;
    int32_t code = 0;
    std::u16string text;
    bool thrown = false;
};

Outcome outcomeOf(const std::function<void()>& action) {
    Outcome out;
    try {
        action();
    } catch (const CCryptError& e) {
        out = {e.getErrorNumber(), e.getCode(), e.getText().toU16(), true};
    }
    return out;
}

std::set<std::string> temporaryFiles() {
    std::set<std::string> names;
    const char* tmp = std::getenv("TMPDIR");
    for (const auto& entry : std::filesystem::directory_iterator(tmp ? tmp : "/tmp"))
        names.insert(entry.path().filename().string());
    return names;
}

std::string bytes(const Vsk::Utils::CDataBlob& blob) {
    return std::string(reinterpret_cast<const char*>(blob.getData()), blob.getSize());
}

TEST(ShowDialog, ReachesTheViewersAtRunTime) {
    const StoreFixtures::Set& fx = StoreFixtures::get();
    ASSERT_TRUE(fx.ok) << StoreFixtures::readFile("cmd.log");
    CCertificate certificate(true);
    certificate.LoadFromBlob(fx.gost256User);
    CCrl crl;
    crl.LoadFromBlob(fx.crl);
    const std::set<std::string> before = temporaryFiles();

    // A program without windows: neither module is there.
    ASSERT_EQ(GetModuleHandleW(u"Cryptui.dll"), nullptr);
    Outcome out = outcomeOf([&] { certificate.ShowDialog(nullptr, u"Сертификат"); });
    EXPECT_EQ(out.step, 130402u);
    EXPECT_EQ(out.code, static_cast<int32_t>(ERROR_MOD_NOT_FOUND));
    EXPECT_NE(out.text.find(u"Показ окна со свойствами сертификата"), std::u16string::npos);
    out = outcomeOf([&] { crl.ShowDialog(nullptr, u"СОС"); });
    EXPECT_TRUE(out.thrown);
    EXPECT_EQ(out.step, 0u);
    EXPECT_NE(out.code, 0);
    EXPECT_NE(out.text.find(u"cryptext.dll"), std::u16string::npos);
    EXPECT_EQ(temporaryFiles(), before) << "the temporary file stays behind";
    // Objects without contents fail before any viewer.
    EXPECT_EQ(outcomeOf([] { CCertificate(true).ShowDialog(nullptr, nullptr); }).step, 130401u);
    EXPECT_EQ(outcomeOf([] { CCrl().ShowDialog(nullptr, nullptr); }).step, 140501u);

    // The shell's viewer: the CRL goes through a temporary file "vsk…", deleted afterwards.
    RegisterStandInModule(u"cryptext.dll", {{"CryptExtOpenCRL", StandInAddress(&openCrl)}});
    g_script = {};
    EXPECT_FALSE(outcomeOf([&] { crl.ShowDialog(nullptr, u"СОС"); }).thrown);
    EXPECT_EQ(g_script.calls, 1);
    EXPECT_TRUE(g_script.fileExisted);
    EXPECT_EQ(g_script.seen, bytes(fx.crl));
    EXPECT_EQ(std::filesystem::path(g_script.path).filename().string().substr(0, 3), "vsk");
    EXPECT_FALSE(std::filesystem::exists(g_script.path));
    EXPECT_EQ(temporaryFiles(), before);

    // CryptUI: the certificate viewer whenever the module can be had; the CRL viewer only while the
    // module is loaded (otherwise the shell's viewer still shows it).
    RegisterStandInModule(u"Cryptui.dll", {{"CryptUIDlgViewCertificateW", StandInAddress(&viewCertificate)},
                                           {"CryptUIDlgViewContext", StandInAddress(&viewContext)}});
    struct Row {
        const char* what;
        BOOL result;
        DWORD error;
        DWORD certificateStep;
        DWORD crlStep;
    };
    const Row rows[] = {
        {"closed", TRUE, 0, 0, 0},
        {"cancelled", FALSE, ERROR_CANCELLED, 0, 0},
        {"failed", FALSE, ERROR_ACCESS_DENIED, 130402, 140502},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        g_script = {};
        g_script.result = row.result;
        g_script.error = row.error;
        out = outcomeOf([&] { certificate.ShowDialog(nullptr, u"Сертификат"); });
        EXPECT_EQ(out.step, row.certificateStep);
        if (row.certificateStep) {
            EXPECT_EQ(out.code, static_cast<int32_t>(row.error));
        }
        EXPECT_EQ(g_script.seen, bytes(fx.gost256User));
        EXPECT_EQ(g_script.title, u"Сертификат");
    }
    g_script = {};
    EXPECT_FALSE(outcomeOf([&] { crl.ShowDialog(nullptr, u"СОС"); }).thrown);
    EXPECT_FALSE(g_script.path.empty()) << "the shell's viewer while CryptUI is not loaded";

    const HMODULE cryptui = LoadLibraryW(u"Cryptui.dll");
    ASSERT_NE(cryptui, nullptr);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        g_script = {};
        g_script.result = row.result;
        g_script.error = row.error;
        out = outcomeOf([&] { crl.ShowDialog(nullptr, u"СОС"); });
        EXPECT_EQ(out.step, row.crlStep);
        if (row.crlStep) {
            EXPECT_EQ(out.code, static_cast<int32_t>(row.error));
        }
        EXPECT_TRUE(g_script.path.empty());
        EXPECT_EQ(g_script.seen, bytes(fx.crl));
        EXPECT_EQ(g_script.title, u"СОС");
    }
    FreeLibrary(cryptui);
}

}  // namespace
