// Commands whose work belongs to parts of the program that are not built yet. Each says so in one
// message under the command's own caption; the start-up steps that would call them do nothing.
#include "kestrovanDlg.h"

#include <vsk/utils/logScope.h>

#include <QMenu>
#include <QTreeWidget>

using Vsk::InternalUtils::CLogScope;

namespace {

const QString NotAvailable = QStringLiteral(u"Эта команда пока недоступна.");

}  // namespace

void CKestrovanDlg::OnTest() {
    CLogScope scope("CKestrovanDlg::OnTest", 3);
    messageBox(NotAvailable, QStringLiteral(u"Тестирование криптосистемы"), MB_ICONINFORMATION);
}

void CKestrovanDlg::OnTestKeyCont() {
    CLogScope scope("CKestrovanDlg::OnTestKeyCont", 3);
    messageBox(NotAvailable, QStringLiteral(u"Тест ключевого контейнера"), MB_ICONINFORMATION);
}
