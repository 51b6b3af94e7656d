// The help side of the window and the program's self-update: the about box with the program's version
// and the MD5 digest of its file, the user manual carried in the resources, the background check for a
// newer program on the authority's download server, its download over verified HTTPS and its
// installation in place of the running program.
#include "kestrovanDlg.h"

#include <vsk/pki/Hash.h>
#include <vsk/platform/crypt.h>
#include <vsk/platform/file.h>
#include <vsk/platform/process.h>
#include <vsk/platform/shell.h>
#include <vsk/platform/wait.h>
#include <vsk/utils/file.h>
#include <vsk/utils/gui.h>
#include <vsk/utils/http.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/system.h>

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#ifndef KESTROVAN_UPDATE_URL
#error "KESTROVAN_UPDATE_URL (the program's download address) comes from the build"
#endif

using Vsk::InternalUtils::CHttp;
using Vsk::InternalUtils::CLogScope;
using Vsk::InternalUtils::GetLog;
using Vsk::InternalUtils::GetLogLevel;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;
using Vsk::Utils::LastErrorCode;
using Vsk::Utils::NoErrorCode;

namespace {

constexpr int IdAboutTemplate = 110;
constexpr int IdAppIcon = 128;
constexpr int IdAboutText = 1045;
constexpr int IdUpdateButton = 32779;
constexpr int IdManual = 150;

const WCHAR UpdateCaption[] = u"Обновление программы";
const WCHAR AgentName[] = u"Кестрован";
const WCHAR ManualFileName[] = u"voskel_km.htm";

// ---- Seams: the program's own file, the download address, the end of the process -----------------------

std::mutex& seamLock() {
    static std::mutex lock;
    return lock;
}
CWString& programPathOverride() {
    static CWString path;
    return path;
}
CWString& updateUrlOverride() {
    static CWString url;
    return url;
}
ProcessExitFunction& processExitOverride() {
    static ProcessExitFunction exit;
    return exit;
}

QString idName(int id) {
    return QStringLiteral("id_%1").arg(id);
}

QIcon iconOf(int id) {
    HICON icon = LoadIconW(nullptr, MAKEINTRESOURCEW(id));
    return icon ? *reinterpret_cast<QIcon*>(icon) : QIcon();
}

CWString decimal(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
    return CWString(text, std::strlen(text), 1251);
}

// "Внутренняя ошибка (ZERO). <file>:<line>.": the window's text for a state its callers never make.
CError internalError(const char* file, int line) {
    return Vsk::Utils::LocatedError(u"Внутренняя ошибка (ZERO). ", file, line);
}

// The last write time of the program's file; 0 when it cannot be read.
uint64_t programFileTime(const CWString& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    FILETIME written{};
    const BOOL read = GetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
    return read ? FileTimeToU64(written) : 0;
}

// A downloaded program must be startable: whoever may read the file may run it.
bool makeExecutable(const CWString& path) {
    const std::string name = Vsk::Utils::CAString(path, CP_UTF8).toStd();
    struct stat st;
    if (stat(name.c_str(), &st) != 0) return false;
    mode_t mode = st.st_mode & 07777;
    if (mode & S_IRUSR) mode |= S_IXUSR;
    if (mode & S_IRGRP) mode |= S_IXGRP;
    if (mode & S_IROTH) mode |= S_IXOTH;
    return chmod(name.c_str(), mode) == 0;
}

void endProcess(UINT code) {
    ProcessExitFunction exit;
    {
        std::lock_guard guard(seamLock());
        exit = processExitOverride();
    }
    if (exit) {
        exit(code);
        return;
    }
    // The new program already runs: nothing of this process is to be saved any more, and other
    // threads (the initialisation thread, a check) may be in the middle of their work, so the
    // process ends without running the destructors of static objects under them.
    std::fflush(nullptr);
    std::_Exit(static_cast<int>(code));
}

}  // namespace

// ---- Seams ---------------------------------------------------------------------------------------------

void SetProgramPathForTests(const CWString& path) {
    std::lock_guard guard(seamLock());
    programPathOverride() = path;
}

CWString GetProgramPath() {
    {
        std::lock_guard guard(seamLock());
        if (programPathOverride().getLength()) return programPathOverride();
    }
    return Vsk::InternalUtils::GetModuleFileNameW(nullptr);
}

void SetUpdateUrlForTests(const CWString& url) {
    std::lock_guard guard(seamLock());
    updateUrlOverride() = url;
}

CWString GetUpdateUrl() {
    {
        std::lock_guard guard(seamLock());
        if (updateUrlOverride().getLength()) return updateUrlOverride();
    }
    return CWString(u"" KESTROVAN_UPDATE_URL);
}

void SetProcessExitForTests(ProcessExitFunction exit) {
    std::lock_guard guard(seamLock());
    processExitOverride() = std::move(exit);
}

// ---- The about box ---------------------------------------------------------------------------------------

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
    setObjectName(idName(IdAboutTemplate));
    setWindowTitle(QStringLiteral(u"О программе"));
    auto* icon = new QLabel(this);
    icon->setObjectName(idName(IdAppIcon));
    icon->setPixmap(iconOf(IdAppIcon).pixmap(32, 32));
    icon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    m_text = new QLabel(QStringLiteral(u"Кестрован"), this);
    m_text->setObjectName(idName(IdAboutText));
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* purpose = new QLabel(
        QStringLiteral(u"Управление сертификатами и ключами ЭП, выданными УЦ «Зорнавелиста»"), this);
    purpose->setWordWrap(true);
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(idName(IDOK));
    ok->setDefault(true);
    auto* update = new QPushButton(QStringLiteral(u"Обновить программу"), this);
    update->setObjectName(idName(IdUpdateButton));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(update, &QPushButton::clicked, this, [this] { OnBnClickedOk2(); });

    auto* texts = new QVBoxLayout;
    texts->addWidget(m_text);
    texts->addWidget(purpose);
    texts->addStretch(1);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(ok);
    buttons->addWidget(update);
    buttons->addStretch(1);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(icon, 0, Qt::AlignTop);
    layout->addLayout(texts, 1);
    layout->addLayout(buttons);
    setMinimumWidth(520);
    OnInitDialog();
}

BOOL CAboutDlg::OnInitDialog() {
    CLogScope scope("CAboutDlg::OnInitDialog", 3);
    m_fullText = fromQ(m_text->text());
    const CWString path = GetProgramPath();
    Vsk::Utils::CAppVersion version;
    if (!Vsk::Utils::GetAppVersion(path.c_str(), version)) return TRUE;
    CWString text = fromQ(m_text->text());
    text += u"\r\n\tversion ";
    text += version.text();
    try {
        Vsk::InternalUtils::CFile file;
        file.readAll(path.c_str());
        Vsk::PKI::CHash hash;
        hash.create(CALG_MD5, nullptr);
        const CDataBlob digest = hash.calculate(file);
        text += u",\r\n\tmd5 ";
        text += CWString(digest.toHex(), 1251);
    } catch (const CError& error) {
        text += u" ";
        text += error.getText();
    }
    // The label shows line breaks; the tab that sets the details off becomes an indent.
    m_text->setText(toQ(text).remove(u'\r').replace(u'\t', QStringLiteral("    ")));
    m_fullText = text;
    return TRUE;
}

void CAboutDlg::OnBnClickedOk2() {
    CLogScope scope("CAboutDlg::OnBnClickedOk2", 3);
    try {
        auto* main = qobject_cast<CKestrovanDlg*>(parentWidget());
        if (!main) throw internalError(__FILE__, __LINE__);
        FILETIME serverTime{};
        CDataBlob data = CKestrovanDlg::DownloadUpdate(main->m_proxySettings, this, serverTime, true);
        if (data.getSize() == 0) {
            const int answer =
                MessageBoxW(this,
                            u"У Вас уже установлена последняя версия данной программы.\nВсе равно "
                            u"скачать и обновить программу?",
                            UpdateCaption, MB_YESNO | MB_ICONQUESTION);
            if (answer != IDYES) return;
            data = CKestrovanDlg::DownloadUpdate(main->m_proxySettings, this, serverTime, false);
        }
        InstallUpdate(data, serverTime, this);
    } catch (const CError& error) {
        Vsk::InternalUtils::ShowError(this, error, UpdateCaption);
    } catch (...) {
        MessageBoxW(this, u"...", UpdateCaption, MB_ICONERROR);
    }
}

void CKestrovanDlg::OnAboutProg() {
    CLogScope scope("CKestrovanDlg::OnAboutProg", 3);
    CAboutDlg about(this);
    about.exec();
}

// ---- The user manual -----------------------------------------------------------------------------------

// Where the manual is written: the user's own runtime folder when the session has one. The shared
// temporary folder would do on its own only for the first user: a copy another user wrote there cannot
// be overwritten, and the manual would silently stop opening.
static CWString manualFolder() {
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') {
        struct stat info {};
        if (::stat(runtime, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid())
            return fromQ(QString::fromLocal8Bit(runtime)) + u"/";
    }
    return Vsk::InternalUtils::GetTempPathW();
}

void CKestrovanDlg::OnUserManual() {
    CLogScope scope("CKestrovanDlg::OnUserManual", 3);
    try {
        Vsk::Utils::CResourceLoader loader;
        const CDataBlob manual = loader.load(nullptr, MAKEINTRESOURCEW(IdManual), u"man");
        const CWString path = manualFolder() + ManualFileName;
        Vsk::InternalUtils::CFile file(manual);
        file.writeAll(path.c_str(), CREATE_ALWAYS);
        ShellExecuteW(this, u"open", path.c_str(), u"", u"", SW_SHOWNORMAL);
    } catch (...) {
        // The manual is a convenience: a failure shows nothing.
    }
}

void CKestrovanDlg::OnHelpInfo() {
    OnUserManual();
}

// ---- Download
// ----------------------------------------------------------------------------------------------

CDataBlob CKestrovanDlg::DownloadUpdate(const Vsk::Utils::CProxySettings& proxy, QWidget* owner,
                                        FILETIME& serverTime, bool check) {
    CLogScope scope("CKestrovanDlg::DownloadUpdate", 4, check ? CWString(u"true") : CWString(u"false"));
    CHttp http(&proxy);
    const CWString url = GetUpdateUrl();
    if (!http.put_Url(url)) throw http.format(u"\r\n");
    // The program runs whatever comes from here: only a server that proved who it is may send it.
    if (http.getScheme() != INTERNET_SCHEME_HTTPS)
        throw CError(u"Обновление скачивается только по защищённому соединению (HTTPS), а не с " + url,
                     NoErrorCode);
    if (http.SendRequest(CDataBlob(), 1, CWString(AgentName), CWString(), owner) != 200)
        throw http.format(u"\r\n");

    const SYSTEMTIME modified = http.getLastModified();
    if (!SystemTimeToFileTime(&modified, &serverTime))
        throw CError(u"Неверно время скаченного файла!", LastErrorCode);
    const uint64_t programTime = programFileTime(GetProgramPath());
    const FILETIME programFileTime = U64ToFileTime(programTime);
    if (GetLogLevel() >= 2)
        GetLog()->write(u"CKestrovanDlg::DownloadUpdate Дата текущей версии " +
                        Vsk::Utils::FileTimeToText(&programFileTime) + u", скачиваемой версии " +
                        Vsk::Utils::FileTimeToText(&serverTime));
    if (check && programTime >= FileTimeToU64(serverTime)) return CDataBlob();
    CDataBlob body = http.Download(nullptr);
    // An empty file would replace the program by nothing.
    if (body.getSize() == 0)
        throw CError(u"Сервер обновлений прислал пустой файл программы: " + url, NoErrorCode);
    return body;
}

// ---- The background check
// ----------------------------------------------------------------------------------

DWORD UpdateProc(LPVOID parameter) {
    std::unique_ptr<CWorkerJob> job(static_cast<CWorkerJob*>(parameter));
    char address[24];
    std::snprintf(address, sizeof address, "%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(parameter)));
    CLogScope scope("UpdateProc", 4, CWString(address, std::strlen(address), 1251));
    if (!job) return 0;
    try {
        Vsk::Utils::CProxySettings proxy;
        if (!job->runOnDlg([&](CKestrovanDlg& dlg) { proxy = dlg.m_proxySettings; })) return 0;
        FILETIME serverTime{};
        const CDataBlob data = CKestrovanDlg::DownloadUpdate(proxy, nullptr, serverTime, true);
        if (data.getSize() == 0) return 0;
        // The question and the installation (which may ask where to save) belong to the window.
        job->runOnDlg([&](CKestrovanDlg& dlg) {
            try {
                Vsk::InternalUtils::BringToForeground(&dlg);
                if (dlg.messageBox(
                        QStringLiteral(u"Доступна новая версия данной программы.\nОбновить программу?"),
                        toQ(UpdateCaption), MB_ICONQUESTION | MB_YESNO) == IDYES)
                    InstallUpdate(data, serverTime, &dlg);
            } catch (...) {
                // The background check shows no failure.
            }
        });
    } catch (...) {
        // No server, no network, no newer program: nothing to say.
    }
    return 0;
}

// ---- Installation
// ---------------------------------------------------------------------------------------------

void InstallUpdate(const CDataBlob& data, const FILETIME& serverTime, QWidget* owner) {
    CLogScope scope("InstallUpdate", 3);
    const CWString programPath = GetProgramPath();
    const CWString oldPath = programPath + u".old";
    CWString path = programPath;
    const bool moved =
        MoveFileExW(programPath.c_str(), oldPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
    if (!moved) {
        const DWORD error = GetLastError();
        if (!owner) throw CError(u"Ошибка перемещения файла " + programPath + u"!", error);
        if (GetLogLevel() >= 1) GetLog()->writeWin32Error(u"Update Перемещение файла " + programPath, error);
        // The program's folder is not the user's to write: the new program goes where the user says.
        const CWString folder = Vsk::InternalUtils::GetProfileFolder(CWString(u"Kestrovan"));
        CWString initial = folder;
        const std::u16string text = folder.toU16();
        if (!text.empty() && text.back() != u'/' && text.back() != u'\\') initial += u"/";
        initial += Vsk::InternalUtils::GetFileNamePartW(programPath);
        static const WCHAR Filter[] = u"Все файлы\0*\0";
        path = Vsk::InternalUtils::SelectWriteFile(u"Сохраните Кестрован", owner, Filter, nullptr,
                                                   initial.c_str());
    }

    HANDLE file = INVALID_HANDLE_VALUE;
    try {
        file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            throw CError(u"Ошибка создания файла " + path + u"!", LastErrorCode);
        const DWORD size = data.getSize();
        DWORD written = 0;
        if (!WriteFile(file, data.getData(), size, &written, nullptr))
            throw CError(u"Ошибка записи в файл " + path + u"!", LastErrorCode);
        if (written != size)
            throw CError(
                u"В файл \"" + path + u"\" записано байт " + decimal(written) + u" вместо " + decimal(size),
                LastErrorCode);
        if (!SetFileTime(file, nullptr, nullptr, &serverTime))
            throw CError(u"Ошибка установки времени изменения файла " + path + u"!", LastErrorCode);
        CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
        if (!makeExecutable(path))
            throw CError(u"Ошибка установки права на запуск файла " + path + u"!", NoErrorCode);

        std::u16string commandLine = path.toU16();
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                            nullptr, nullptr, &startup, &process))
            throw CError("CreateProcess", LastErrorCode);
    } catch (...) {
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        // The installed program keeps working: the old file goes back in place of what was written.
        if (moved)
            MoveFileExW(oldPath.c_str(), programPath.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
        throw;
    }

    // The new program runs from here on: the old file must stay away, so a shortcut that cannot be
    // made is only written down.
    WCHAR desktop[MAX_PATH] = {};
    Vsk::Utils::CErrorFormatter errors;
    bool linked = false;
    if (SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT,
                         desktop) == S_OK) {
        const CWString shortcut = CWString(desktop) + u"/Кестрован.lnk";
        linked = Vsk::InternalUtils::CreateLink(
            path.c_str(), shortcut.c_str(),
            u"Управление сертификатами и ключами ЭП, выданными УЦ ООО «Зорнавелиста»", nullptr, &errors);
    } else {
        errors.push(CError(u"Папка рабочего стола не найдена", NoErrorCode));
    }
    if (!linked && GetLogLevel() >= 1)
        GetLog()->write(u"InstallUpdate Ярлык на рабочем столе не создан: " +
                        errors.format(u"\r\n").getText());

    endProcess(0);
}
