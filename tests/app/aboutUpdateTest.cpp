// The about box (version and MD5 of the program file), the user manual handed to the desktop, and the
// self-update against a local HTTPS server that the test CA vouches for: the background check at
// start, the update button, the installation with its ".old" file, time, executable bit, desktop entry
// and start of the new program, and the refusals that leave the program in place.
#include "appTestSupport.h"
#include "winhttpImpl.h"

#include <vsk/platform/commdlg.h>
#include <vsk/platform/shell.h>
#include <vsk/utils/file.h>
#include <vsk/utils/http.h>
#include <vsk/utils/system.h>

#include <httpTestServer.h>

#include <openssl/evp.h>

#include <QFile>
#include <QPushButton>
#include <QTimer>

#include <fcntl.h>
#include <sys/stat.h>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

using AppTest::FreshRoot;
using AppTest::Message;
using AppTest::MessageRecorder;
using AppTest::ShowWindow;
using AppTest::Text;
using AppTest::WaitForInit;
using VskTest::EnvGuard;
using VskTest::HttpTestCa;
using VskTest::HttpTestResponse;
using VskTest::HttpTestServer;
using VskTest::Utf16;
using VskTest::Utf8;

const char16_t UpdateCaption[] = u"Обновление программы";
const char16_t AlreadyLatest[] =
    u"У Вас уже установлена последняя версия данной программы.\nВсе равно скачать и обновить программу?";
const char16_t NewerOffered[] = u"Доступна новая версия данной программы.\nОбновить программу?";
// The program's file time in the tests: a whole second, as HTTP dates carry.
constexpr time_t ProgramTime = 1796000000;  // 2026-12-01

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes, mode_t mode = 0755) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    chmod(path.c_str(), mode);
}

void setMtime(const std::string& path, time_t seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

struct stat statOf(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st;
}

std::string httpDate(time_t seconds) {
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
    return text;
}

std::string md5Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned i = 0; i < length; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 15];
    }
    return text;
}

// Runs `inspect` on the modal dialog of that object name once it is shown, then closes it.
void whenModal(const QString& name, std::function<void(QDialog&)> inspect) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, name, inspect] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog || dialog->objectName() != name) return;
        timer->stop();
        timer->deleteLater();
        inspect(*dialog);
        dialog->reject();
    });
    timer->start();
}

// The tests' own program file: a copy in the temporary root stands for the running program.
class ProgramFile {
public:
    explicit ProgramFile(const std::string& path) : m_path(path) {
        SetProgramPathForTests(Vsk::Utils::CWString(Utf16(path).c_str()));
    }
    ~ProgramFile() { SetProgramPathForTests({}); }
    const std::string& path() const { return m_path; }
    std::string old() const { return m_path + ".old"; }

private:
    std::string m_path;
};

}  // namespace

// ---- About box --------------------------------------------------------------------------------------------

// Text 1045 carries the file version and the MD5 of the program's own file (here a copy of the test
// program, which carries version information as every binary of the project); a file without version
// information leaves the product name alone.
TEST(AboutBox, ShowsVersionAndDigestOfTheProgramFile) {
    FreshRoot root;
    MessageRecorder messages;
    const std::string copy = root / "kestrovan";
    std::filesystem::copy_file("/proc/self/exe", copy);
    const std::string bytes = readFile(copy);
    ASSERT_GT(bytes.size(), 1000u);

    ProgramFile program(copy);
    auto window = ShowWindow();
    ASSERT_TRUE(WaitForInit(*window));
    Vsk::Utils::CAppVersion version;
    ASSERT_TRUE(Vsk::Utils::GetAppVersion(Utf16(copy).c_str(), version));
    const std::u16string versionText = version.text().toU16();
    EXPECT_EQ(std::count(versionText.begin(), versionText.end(), u'.'), 3);

    bool shown = false;
    whenModal(QStringLiteral("id_110"), [&](QDialog& dialog) {
        shown = true;
        EXPECT_EQ(dialog.windowTitle(), Text(u"О программе"));
        auto& about = static_cast<CAboutDlg&>(dialog);
        EXPECT_EQ(about.text().toU16(),
                  u"Кестрован\r\n\tversion " + versionText + u",\r\n\tmd5 " + Utf16(md5Hex(bytes)));
        auto* label = dialog.findChild<QLabel*>(QStringLiteral("id_1045"));
        ASSERT_TRUE(label);
        EXPECT_TRUE(label->text().startsWith(Text(u"Кестрован\n")));
        EXPECT_TRUE(label->text().contains(QString::fromStdString(md5Hex(bytes))));
        EXPECT_TRUE(dialog.findChild<QPushButton*>(QStringLiteral("id_32779")));
        EXPECT_TRUE(dialog.findChild<QPushButton*>(QStringLiteral("id_1")));
    });
    window->runCommand(CMD_ABOUT_PROG);
    EXPECT_TRUE(shown);

    writeFile(copy, "#!/bin/sh\n");
    CAboutDlg plain(window.get());
    EXPECT_EQ(plain.text().toU16(), u"Кестрован");
    EXPECT_EQ(plain.findChild<QLabel*>(QStringLiteral("id_1045"))->text(), Text(u"Кестрован"));
    EXPECT_EQ(messages.count(), 0u);
}

// ---- User manual
// --------------------------------------------------------------------------------------------

// The manual from the resources is written into the temporary folder and handed to the desktop, each
// time anew (a changed copy is overwritten); F1 does the same; a desktop that refuses shows nothing.
TEST(UserManual, IsWrittenAndHandedToTheDesktop) {
    FreshRoot root;
    MessageRecorder messages;
    const ShellOpenHandler previous = GetShellOpenHandler();
    std::vector<std::string> opened;
    bool accept = true;
    SetShellOpenHandler([&](const std::string& path) {
        opened.push_back(path);
        return accept;
    });
    QFile resource(QStringLiteral(":/res/MAN/#150"));
    ASSERT_TRUE(resource.open(QIODevice::ReadOnly));
    const QByteArray manual = resource.readAll();
    ASSERT_TRUE(manual.startsWith("<!DOCTYPE html>"));

    auto window = ShowWindow();
    ASSERT_TRUE(WaitForInit(*window));
    // The user's own runtime folder (the shared temporary folder only without one).
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    ASSERT_TRUE(runtime && runtime[0] == '/');
    const std::string expected = std::string(runtime) + "/voskel_km.htm";
    window->runCommand(CMD_USER_MANUAL);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_TRUE(std::filesystem::equivalent(opened[0], expected)) << opened[0];
    writeFile(expected, "stale copy", 0644);
    QTest::keyClick(window.get(), Qt::Key_F1);
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[1], opened[0]);
    EXPECT_EQ(readFile(expected), manual.toStdString());

    accept = false;
    window->runCommand(CMD_USER_MANUAL);
    EXPECT_EQ(opened.size(), 3u);
    EXPECT_EQ(messages.count(), 0u);
    SetShellOpenHandler(previous);
}

// ---- Self-update
// -------------------------------------------------------------------------------------------

namespace {

// A root with a program file of a known time, a local HTTPS server that serves the new program (a
// script that leaves a mark file when it runs) and the exit of the process replaced by a record.
class SelfUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        vsk::http::SetTestCaFile(HttpTestCa::get().caFile());
        writeFile(m_program.path(), OldProgram);
        setMtime(m_program.path(), ProgramTime);
        SetProcessExitForTests([this](UINT code) { m_exitCodes.push_back(static_cast<int>(code)); });
        // Nothing newer at first: the windows' own checks at start install nothing.
        serve(ProgramTime);
        useServer(*m_server);
    }
    void TearDown() override {
        SetProcessExitForTests({});
        SetUpdateUrlForTests(AppTest::NoUpdateServer);
        SetFileDialogDriver({});
        vsk::http::SetTestCaFile({});
    }

    void useServer(const HttpTestServer& server) {
        SetUpdateUrlForTests(Vsk::Utils::CWString(Utf16(server.url("/download/kestrovan")).c_str()));
    }
    // The server's program file with that Last-Modified time.
    void serve(time_t modified, const std::string& body = {}) {
        HttpTestResponse answer;
        answer.headers = {{"Last-Modified", httpDate(modified)}};
        answer.body = body.empty() ? newProgram() : body;
        m_server->setResponse("/download/kestrovan", answer);
    }
    std::string newProgram() const {
        return "#!/bin/sh\necho \"$0\" > \"" + mark() + ".tmp\"\nmv \"" + mark() + ".tmp\" \"" + mark() +
               "\"\n";
    }
    std::string mark() const { return m_root / "started"; }
    // (Narrow literals are in code page 1251: the name is made from UTF-16.)
    std::string desktopEntry() const { return m_root / ("home/Desktop/" + Utf8(u"Кестрован.desktop")); }
    // Waits for the update check of a window's start to end.
    static bool waitForUpdateCheck(CKestrovanDlg& window) {
        if (!WaitForInit(window)) return false;
        return QTest::qWaitFor(
            [&] {
                return window.m_updateThread &&
                       WaitForSingleObject(window.m_updateThread, 0) == WAIT_OBJECT_0;
            },
            20000);
    }
    // Presses "Обновить программу" in an about box of the window.
    static void pressUpdate(CKestrovanDlg& window) {
        CAboutDlg about(&window);
        about.findChild<QPushButton*>(QStringLiteral("id_32779"))->click();
    }
    // The program is as it was: old bytes and time, no ".old", nothing started, no exit.
    void expectUntouched() {
        EXPECT_EQ(readFile(m_program.path()), OldProgram);
        EXPECT_EQ(statOf(m_program.path()).st_mtime, ProgramTime);
        EXPECT_FALSE(std::filesystem::exists(m_program.old()));
        EXPECT_FALSE(std::filesystem::exists(mark()));
        EXPECT_TRUE(m_exitCodes.empty());
    }
    // The new program replaced the old one at `path` and was started.
    void expectInstalledAt(const std::string& path, time_t modified) {
        EXPECT_EQ(readFile(path), newProgram());
        const struct stat st = statOf(path);
        EXPECT_EQ(st.st_mtime, modified);
        EXPECT_EQ(st.st_mode & 0111, 0111u) << std::oct << st.st_mode;
        EXPECT_TRUE(QTest::qWaitFor([&] { return std::filesystem::exists(mark()); }, 5000));
        EXPECT_EQ(readFile(mark()), path + "\n");
        EXPECT_NE(readFile(desktopEntry()).find(path), std::string::npos);
        EXPECT_EQ(m_exitCodes, std::vector<int>{0});
    }

    static constexpr const char* OldProgram = "old program";
    FreshRoot m_root;
    MessageRecorder m_messages;
    ProgramFile m_program{m_root / "bin/kestrovan"};
    std::unique_ptr<HttpTestServer> m_server = HttpTestServer::tls(HttpTestCa::get().server());
    std::vector<int> m_exitCodes;
    EnvGuard m_https{"https_proxy", nullptr}, m_httpsUpper{"HTTPS_PROXY", nullptr};
    EnvGuard m_all{"all_proxy", nullptr}, m_allUpper{"ALL_PROXY", nullptr};
    bool m_folderMade = std::filesystem::create_directories(m_root / "bin");
};

}  // namespace

// The check at start: a server file of the program's own time is not offered (one request, no
// question); one second newer is offered, a No leaves everything, a Yes installs: "<program>.old",
// the new program with the server's time and executable, started, the desktop entry, the end of the
// process. The next start removes ".old" and finds nothing newer.
TEST_F(SelfUpdate, CheckAtStartOffersOnlyANewerProgram) {
    {
        auto window = ShowWindow();
        ASSERT_TRUE(waitForUpdateCheck(*window));
        EXPECT_EQ(m_messages.count(), 0u);
        EXPECT_EQ(m_server->requestCount("/download/kestrovan"), 1u);
        const auto requests = m_server->requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests[0].method, "GET");
        EXPECT_EQ(Utf16(requests[0].header("User-Agent")), u"Кестрован");
    }
    expectUntouched();

    serve(ProgramTime + 1);
    m_messages.answer(IDNO);
    {
        auto window = ShowWindow();
        ASSERT_TRUE(waitForUpdateCheck(*window));
        const auto shown = m_messages.messages();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].caption, UpdateCaption);
        EXPECT_EQ(shown[0].text, NewerOffered);
        EXPECT_EQ(shown[0].type, static_cast<UINT>(MB_ICONQUESTION | MB_YESNO));
    }
    expectUntouched();

    m_messages.clear();
    {
        auto window = ShowWindow();
        ASSERT_TRUE(waitForUpdateCheck(*window));
        EXPECT_EQ(m_messages.count(), 1u);
    }
    expectInstalledAt(m_program.path(), ProgramTime + 1);
    EXPECT_EQ(readFile(m_program.old()), OldProgram);

    m_messages.clear();
    m_server->resetCounts();
    {
        auto window = ShowWindow();
        ASSERT_TRUE(waitForUpdateCheck(*window));
    }
    EXPECT_FALSE(std::filesystem::exists(m_program.old()));
    EXPECT_EQ(m_server->requestCount("/download/kestrovan"), 1u);
    EXPECT_EQ(m_messages.count(), 0u);
}

// The update button: with nothing newer it asks first, and No downloads nothing; Yes downloads and
// installs. A newer file is installed without a question.
TEST_F(SelfUpdate, ButtonAsksBeforeReinstallingTheSameVersion) {
    auto window = ShowWindow();
    ASSERT_TRUE(waitForUpdateCheck(*window));
    // One request for the check, a second one for the download.
    m_server->resetCounts();

    m_messages.answer(IDNO);
    pressUpdate(*window);
    auto shown = m_messages.messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, UpdateCaption);
    EXPECT_EQ(shown[0].text, AlreadyLatest);
    EXPECT_EQ(shown[0].type, static_cast<UINT>(MB_YESNO | MB_ICONQUESTION));
    EXPECT_EQ(m_server->requestCount("/download/kestrovan"), 1u);
    expectUntouched();

    m_messages.clear();
    m_server->resetCounts();
    pressUpdate(*window);
    EXPECT_EQ(m_messages.count(), 1u);
    EXPECT_EQ(m_server->requestCount("/download/kestrovan"), 2u);
    expectInstalledAt(m_program.path(), ProgramTime);

    std::filesystem::remove(mark());
    m_exitCodes.clear();
    m_messages.clear();
    serve(ProgramTime + 60);
    pressUpdate(*window);
    EXPECT_EQ(m_messages.count(), 0u);
    expectInstalledAt(m_program.path(), ProgramTime + 60);
}

// A server that does not prove itself, a plain http:// address, a missing file and a program that
// cannot start are refused under "Обновление программы"; the program stays as it was (after a start
// that failed, the old file is put back in place of the new one).
TEST_F(SelfUpdate, RefusalsLeaveTheProgramInPlace) {
    auto window = ShowWindow();
    ASSERT_TRUE(waitForUpdateCheck(*window));
    m_messages.clear();
    auto untrusted = HttpTestServer::tls(HttpTestCa::get().selfSigned());
    auto plain = HttpTestServer::plain();
    HttpTestResponse answer;
    answer.headers = {{"Last-Modified", httpDate(ProgramTime + 1)}};
    answer.body = newProgram();
    untrusted->setResponse("/download/kestrovan", answer);
    plain->setResponse("/download/kestrovan", answer);
    struct Case {
        const char* name;
        HttpTestServer* server;
        std::string body;  // empty: the new program
        std::u16string text;
    } cases[] = {
        {"untrusted certificate", untrusted.get(), {}, u"12175"},
        {"plain http", plain.get(), {}, u"HTTPS"},
        {"not executable", m_server.get(),
         "\x7f"
         "ELF not really",
         u"CreateProcess"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        useServer(*c.server);
        if (!c.body.empty()) serve(ProgramTime + 1, c.body);
        m_messages.clear();
        pressUpdate(*window);
        const auto shown = m_messages.messages();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].caption, UpdateCaption);
        EXPECT_EQ(shown[0].type & MB_ICONMASK, static_cast<UINT>(MB_ICONERROR));
        EXPECT_NE(shown[0].text.find(c.text), std::u16string::npos) << Utf8(shown[0].text);
        expectUntouched();
    }
    EXPECT_EQ(plain->requestCount(), 0u);
}

// A program file that cannot be moved away (here its ".old" name is taken by a folder) makes the
// update ask where to save the new program, in the user's profile folder by default; the old program
// stays and the desktop entry names the new file. A desktop entry that cannot be made after the new
// program started changes nothing of the installation.
TEST_F(SelfUpdate, ProgramThatCannotBeMovedIsSavedWhereTheUserSays) {
    auto window = ShowWindow();
    ASSERT_TRUE(waitForUpdateCheck(*window));
    m_messages.clear();
    std::filesystem::create_directories(m_program.old() + "/taken");
    const std::string chosen = m_root / "mine/kestrovan";
    std::filesystem::create_directories(m_root / "mine");
    serve(ProgramTime + 1);
    std::vector<FileDialogRequest> requests;
    SetFileDialogDriver([&](const FileDialogRequest& request) -> std::optional<std::u16string> {
        requests.push_back(request);
        return Utf16(chosen);
    });
    pressUpdate(*window);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].save);
    EXPECT_EQ(requests[0].title, u"Сохраните Кестрован");
    EXPECT_EQ(requests[0].initialName, Utf16(m_root / "config/Kestrovan/kestrovan"));
    EXPECT_EQ(m_messages.count(), 0u);
    EXPECT_EQ(readFile(m_program.path()), OldProgram);
    expectInstalledAt(chosen, ProgramTime + 1);

    // No desktop folder can be made: the installation stands all the same.
    std::filesystem::remove(mark());
    std::filesystem::remove_all(m_root / "home/Desktop");
    writeFile(m_root / "home/Desktop", "not a folder", 0644);
    std::filesystem::remove_all(m_program.old());
    m_exitCodes.clear();
    pressUpdate(*window);
    EXPECT_EQ(m_messages.count(), 0u);
    EXPECT_EQ(readFile(m_program.path()), newProgram());
    EXPECT_EQ(readFile(m_program.old()), OldProgram);
    EXPECT_TRUE(QTest::qWaitFor([&] { return std::filesystem::exists(mark()); }, 5000));
    EXPECT_EQ(m_exitCodes, std::vector<int>{0});
}
