// The program's start: the trace switch of the command line, the application object and the main
// window's modal run.
#include "kestrovanApp.h"

#include "kestrovanDlg.h"

#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/FileInfo.h>
#include <vsk/platform/crypt.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <QApplication>

#include <memory>

using Vsk::InternalUtils::CLogScope;

bool CKestrovanApp::hasTraceSwitch(int argc, char** argv) {
    // The switch counts anywhere in the command line, in any case, also inside a longer word.
    std::string line;
    for (int i = 0; i < argc; ++i) {
        if (i) line += ' ';
        line += argv[i];
    }
    for (char& c : line) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return line.find("-trace") != std::string::npos;
}

bool CKestrovanApp::applyTraceSwitch(int argc, char** argv) {
    if (!hasTraceSwitch(argc, argv)) return false;
    // The switch raises the log level to 3 for this run only; the stored level stays.
    if (Vsk::InternalUtils::CLog* log = Vsk::InternalUtils::GetLog())
        log->setLevel((log->getLevelWord() & ~4) | 3, 0);
    return true;
}

int CKestrovanApp::InitInstance(int argc, char** argv) {
    CLogScope scope;
    if (Vsk::InternalUtils::GetLogLevel() >= 3)
        scope.enter("CKestrovanApp::InitInstance", Vsk::PKI::getFileInfoText(Vsk::Utils::CWString()));

    applyTraceSwitch(argc, argv);

    QApplication application(argc, argv);
    InstallQtTranslations();
    // A container that needs its password asks the user through the program's password dialog.
    SetPasswordPrompt(&AskContainerPassword);
    auto dialog = std::make_unique<CKestrovanDlg>();
    dialog->exec();
    Vsk::PKI::ClearCspAlgInfo();
    dialog.reset();
    SetPasswordPrompt(nullptr);
    return 0;
}
