// Installing the certificates that key containers hold into the personal store.
#include "kestrovanDlg.h"

#include <vsk/utils/logScope.h>

#include <QCheckBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <memory>

using Vsk::InternalUtils::CLogScope;
using Vsk::PKI::CCertificate;
using Vsk::PKI::CKeyContainer;
using Vsk::PKI::CStore;
using Vsk::Utils::CError;
using Vsk::Utils::CLock;
using Vsk::Utils::CWString;

namespace {

constexpr int IdOnlyValid = 1070;
constexpr int IdReplace = 1071;
constexpr int IdSetsIcon = 168;
constexpr int IdSetsTemplate = 183;

// Dialog units of the templates in pixels (the 8-point shell font at 96 dots per inch).
inline int dluX(int x) {
    return static_cast<int>(x * 1.5 + 0.5);
}
inline int dluY(int y) {
    return static_cast<int>(y * 1.625 + 0.5);
}

QString idName(int id) {
    return QStringLiteral("id_%1").arg(id);
}

QIcon iconOf(int id) {
    HICON icon = LoadIconW(nullptr, MAKEINTRESOURCEW(id));
    return icon ? *reinterpret_cast<QIcon*>(icon) : QIcon();
}

QString quoted(const CWString& text) {
    return QLatin1Char('"') + toQ(text) + QLatin1Char('"');
}

// The personal store of the location, opened afresh (it must exist).
CStore openPersonalStore(DWORD location) {
    CStore store(true);
    store.Open(StoreMY, location | STORE_OPEN_EXISTING);
    return store;
}

// The store's copy of the certificate, looked up by its SHA-1 thumbprint.
bool isInStore(CStore& store, const CCertificate& certificate) {
    const CCertificate found = store.FindCertificate(certificate.get_Thumbprint().c_str());
    return !found.isNull() && found.get_CertContext();
}

}  // namespace

// ---- The options of installing several certificates ---------------------------------------------------

CCertsInstallSets::CCertsInstallSets(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_onlyValid(false),
      m_replace(false) {
    setObjectName(idName(IdSetsTemplate));
    setWindowTitle(QStringLiteral(u"Настройки установки сертификатов"));
    m_onlyValidBox = new QCheckBox(QStringLiteral(u"Только действующие сертификаты"), this);
    m_onlyValidBox->setObjectName(idName(IdOnlyValid));
    m_replaceBox = new QCheckBox(QStringLiteral(u"Заменять, если сертификат уже установлен"), this);
    m_replaceBox->setObjectName(idName(IdReplace));
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(idName(IDOK));
    auto* cancel = new QPushButton(QStringLiteral(u"Отмена"), this);
    cancel->setObjectName(idName(IDCANCEL));
    ok->setMinimumWidth(dluX(50));
    cancel->setMinimumWidth(dluX(50));
    ok->setDefault(true);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_onlyValidBox);
    layout->addWidget(m_replaceBox);
    layout->addStretch(1);
    layout->addLayout(buttons);
    // A modal frame: at least the template's size, not resizable.
    setFixedSize(layout->sizeHint().expandedTo(QSize(dluX(186), dluY(67))));

    connect(ok, &QPushButton::clicked, this, [this] { OnBnClickedOk(); });
    connect(cancel, &QPushButton::clicked, this, [this] { done(IDCANCEL); });
    OnInitDialog();
}

BOOL CCertsInstallSets::OnInitDialog() {
    CLogScope scope("CCertsInstallSets::OnInitDialog", 3);
    setWindowIcon(iconOf(IdSetsIcon));
    m_onlyValidBox->setChecked(true);
    return TRUE;
}

void CCertsInstallSets::OnBnClickedOk() {
    CLogScope scope("CCertsInstallSets::OnBnClickedOk", 3);
    m_onlyValid = m_onlyValidBox->isChecked();
    m_replace = m_replaceBox->isChecked();
    done(IDOK);
}

// ---- Installing ------------------------------------------------------------------------------------------

void CKestrovanDlg::OnCertFromKeyCont() {
    CLogScope scope("CKestrovanDlg::OnCertFromKeyCont", 3);
    const QString caption = QStringLiteral(u"Установка сертификата из ключевого контейнера");
    // The rows point into the container list: a token change waits until the command ends.
    CKeyContWork work(*this);
    try {
        // Only the container node's rows are containers.
        if (m_currentNode != NODE_KEY_CONTAINERS) return;
        const int selected = selectedCount();
        if (selected < 2) {
            const auto* item = static_cast<const CKeyContainer*>(getSelectedItemData());
            if (!item) return;
            CKeyContainer container = *item;
            // The certificate kept in the container, whatever the list shows.
            const CCertificate* stored = container.getCertificate();
            if (!stored)
                throw CError(
                    u"В ключевом контейнере \"" + container.get_Name() + u"\" отсутствует сертификат!",
                    Vsk::Utils::LastErrorCode);
            const CCertificate certificate = *stored;
            CStore personal = openPersonalStore(getStoreLocationFlags());
            bool install = true;
            if (isInStore(personal, certificate)) {
                install = messageBox(QStringLiteral(u"В хранилище Личные уже установлен сертификат ") +
                                         quoted(certificate.get_SubjectShortName()) +
                                         QStringLiteral(u", заменить сертификат?"),
                                     caption, MB_YESNO | MB_ICONQUESTION) == IDYES;
            }
            if (install) {
                container.installCertificate(certificate.get_CertContext());
                messageBox(QStringLiteral(u"Сертификат ") + quoted(certificate.get_SubjectShortName()) +
                               QStringLiteral(u" был успешно установлен из ключевого контейнера ") +
                               quoted(container.get_Name()) + QStringLiteral("!"),
                           caption, MB_ICONINFORMATION);
            }
            CLock lock(&m_shared->lock);
            m_openStore.Close();
            return;
        }

        CCertsInstallSets sets(this);
        if (sets.exec() != IDOK) return;
        CStore personal = openPersonalStore(getStoreLocationFlags());
        auto progress = std::make_unique<CProgressImpl>(m_progress, this);
        progress->setRange(static_cast<uint32_t>(selected));
        progress->setPos(0);
        setStatusText(QStringLiteral(u"Установка личных сертификатов"));

        int installed = 0;
        int failures = 0;
        CError lastError(Vsk::Utils::NoErrorCode);
        int index = -1;
        for (;;) {
            // Esc does not stop the loop: the progress is only shown.
            progress->next();
            int next = index + 1;
            while (next < listCount() && !listItem(next)->isSelected()) ++next;
            if (next >= listCount()) break;
            index = next;
            try {
                const auto* item = static_cast<const CKeyContainer*>(listItem(index)->itemData());
                if (!item) continue;
                CKeyContainer container = *item;
                const CCertificate* stored = container.getCertificate();
                if (!stored) continue;
                const CCertificate certificate = *stored;
                if (sets.m_onlyValid && !certificate.isValidDate()) continue;
                if (!sets.m_replace && isInStore(personal, certificate)) continue;
                container.installCertificate(certificate.get_CertContext());
                ++installed;
            } catch (const CError& e) {
                lastError = e;
                ++failures;
            } catch (...) {
                ++failures;
            }
        }
        updateStatusCounts();

        QString summary = QStringLiteral(u"Успешно установлено сертификатов: ") + QString::number(installed);
        if (installed != selected)
            summary +=
                QStringLiteral(u"\n\nНе установлено сертификатов: ") + QString::number(selected - installed);
        if (!lastError.isEmpty())
            summary += QStringLiteral(u"\n\nПоследняя ошибка: ") + toQ(lastError.getText());
        messageBox(summary, QStringLiteral(u"Установка сертификатов из ключевых контейнеров"),
                   failures ? MB_ICONERROR : MB_ICONINFORMATION);
        progress.reset();
        CLock lock(&m_shared->lock);
        m_openStore.Close();
    } catch (const CError& e) {
        showError(e, caption);
    } catch (...) {
        messageBox(QStringLiteral("..."), caption, MB_ICONERROR);
    }
}

void CKestrovanDlg::OnPropCertCont() {
    CLogScope scope("CKestrovanDlg::OnPropCertCont", 3);
    // The command has no caption of its own; its failures are shown under its menu text.
    const QString caption = QStringLiteral(u"Свойства сертификата в контейнере");
    CKeyContWork work(*this);
    try {
        if (m_currentNode != NODE_KEY_CONTAINERS) return;
        const auto* item = static_cast<const CKeyContainer*>(getSelectedItemData());
        if (!item) return;
        const CKeyContainer container = *item;
        // The stored certificate, else the personal store's one, whatever the option bits say.
        const CCertificate* found = container.findCertificate();
        if (!found) return;
        const CCertificate certificate = *found;
        certificate.ShowDialog(this, nullptr);
    } catch (const CError& e) {
        showError(e, caption);
    } catch (...) {
        messageBox(QStringLiteral("..."), caption, MB_ICONERROR);
    }
}
