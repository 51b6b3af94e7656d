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

void CKestrovanDlg::OnExport() {
    CLogScope scope("CKestrovanDlg::OnExport", 3);
    messageBox(NotAvailable, QStringLiteral(u"Сохранить сертификат в файл"), MB_ICONINFORMATION);
}

void CKestrovanDlg::OnImport() {
    CLogScope scope("CKestrovanDlg::OnImport", 3);
    messageBox(NotAvailable, QStringLiteral(u"Добавить сертификат из файла"), MB_ICONINFORMATION);
}

void CKestrovanDlg::OnSaveStore() {
    CLogScope scope("CKestrovanDlg::OnSaveStore", 3);
    messageBox(NotAvailable, QStringLiteral(u"Сохранить хранилище в файл"), MB_ICONINFORMATION);
}

void CKestrovanDlg::OnAddStore() {
    CLogScope scope("CKestrovanDlg::OnAddStore", 3);
    messageBox(NotAvailable, QStringLiteral(u"Добавить из файла хранилища"), MB_ICONINFORMATION);
}

void CKestrovanDlg::OnDelete() {
    CLogScope scope("CKestrovanDlg::OnDelete", 3);
    if (m_currentNode == NODE_ROOT) return;
    messageBox(NotAvailable, QStringLiteral(u"Удаление"), MB_ICONINFORMATION);
}

void CKestrovanDlg::OnSets() {
    CLogScope scope("CKestrovanDlg::OnSets", 3);
    messageBox(NotAvailable, QStringLiteral(u"Настройки"), MB_ICONINFORMATION);
}

void CKestrovanDlg::OnNMRClickTreeStore(const QPoint&) {
    // The store menu comes with the store files' import and export.
}
