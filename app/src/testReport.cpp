// The test's HTML report: its head, the text shown with the repairs of steps 1 and 2 filled in, and the
// viewer that shows, saves and prints it.
#include "testDlg.h"

#include <vsk/platform/gui.h>
#include <vsk/utils/file.h>
#include <vsk/utils/gui.h>
#include <vsk/utils/logScope.h>

#include <QGuiApplication>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QRegularExpression>
#include <QResizeEvent>
#include <QScreen>
#include <QTextBrowser>

#include <cstring>
#include <vector>

using Vsk::InternalUtils::CLogScope;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

namespace {

QString& pdfOutput() {
    static QString path;
    return path;
}

QIcon iconOf(int id) {
    HICON icon = LoadIconW(nullptr, MAKEINTRESOURCEW(id));
    return icon ? *reinterpret_cast<QIcon*>(icon) : QIcon();
}

// The report leaves its rows and cells open, as browsers accept; the text view's parser needs them
// closed. The same document with every cell and row closed before the next one and at the end of its
// table (the report's data are escaped, so every "<" starts a tag of the report's own).
QString closeTableTags(const QString& html) {
    struct Level {
        bool row = false;
        QString cell;  // "td", "th" or empty
    };
    std::vector<Level> levels;
    QString out;
    out.reserve(html.size() + html.size() / 4);
    static const QRegularExpression tag(QStringLiteral("<(/?)(table|tr|td|th)>"));
    qsizetype last = 0;
    auto closeCell = [&] {
        if (!levels.empty() && !levels.back().cell.isEmpty()) {
            out += QStringLiteral("</") + levels.back().cell + u'>';
            levels.back().cell.clear();
        }
    };
    auto closeRow = [&] {
        closeCell();
        if (!levels.empty() && levels.back().row) {
            out += QStringLiteral("</tr>");
            levels.back().row = false;
        }
    };
    for (auto it = tag.globalMatch(html); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        out += html.mid(last, match.capturedStart() - last);
        last = match.capturedEnd();
        const bool closing = !match.captured(1).isEmpty();
        const QString name = match.captured(2);
        if (name == u"table") {
            if (closing) {
                closeRow();
                if (!levels.empty()) levels.pop_back();
            } else {
                levels.emplace_back();
            }
        } else if (name == u"tr" && !closing) {
            closeRow();
            if (!levels.empty()) levels.back().row = true;
        } else if (!closing) {
            if (!levels.empty() && !levels.back().row) {
                out += QStringLiteral("<tr>");
                levels.back().row = true;
            }
            closeCell();
            if (!levels.empty()) levels.back().cell = name;
        } else {
            // A closing cell or row tag closes what is open, once.
            if (name == u"tr")
                closeRow();
            else
                closeCell();
            continue;
        }
        out += match.captured(0);
    }
    out += html.mid(last);
    return out;
}

}  // namespace

QString htmlEscape(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
            case u'&':
                out += QStringLiteral("&amp;");
                break;
            case u'<':
                out += QStringLiteral("&lt;");
                break;
            case u'>':
                out += QStringLiteral("&gt;");
                break;
            case u'"':
                out += QStringLiteral("&quot;");
                break;
            default:
                out += c;
        }
    }
    return out;
}

void CTest::startReport(const SYSTEMTIME& time, const QString& object) {
    m_report =
        QStringLiteral(
            u"<html><head><style type='text/css'>table {border-spacing:0; border-collapse:collapse;} td "
            u"{border:1px solid silver; padding:0.2em 0.5em} th {border:1px solid silver; padding:0.2em "
            u"0.5em}</style><title>Тест криптосистемы</title></head><body><p style='text-align:right'>") +
        toQ(Vsk::Utils::SystemTimeToText(time, false)) +
        QStringLiteral(u"</p><table><caption>Тестирование ") + object +
        QStringLiteral(
            u"</caption><th>№ теста<th>Наименование теста<th>Результат теста<th>Длительность "
            u"теста (секунд)");
}

QString CTest::buildReport() const {
    QString report = m_report;
    if (!m_placeholder.isEmpty()) {
        report.replace(m_placeholder + u'1', htmlEscape(resultText(1)));
        report.replace(m_placeholder + u'2', htmlEscape(resultText(2)));
    }
    return report;
}

// ---- The viewer

void CHtmlViewDlg::SetPdfOutputForTests(const QString& path) {
    pdfOutput() = path;
}

CHtmlViewDlg::CHtmlViewDlg(const QString& html, const QString& title, QWidget* parent)
    : QDialog(parent), m_html(html), m_title(title) {
    setObjectName(QStringLiteral("dlg_178"));
    m_save = new QPushButton(QStringLiteral(u"Сохранить"), this);
    m_save->setObjectName(QStringLiteral("id_32791"));
    m_print = new QPushButton(QStringLiteral(u"Печать"), this);
    m_print->setObjectName(QStringLiteral("id_32792"));
    m_close = new QPushButton(QStringLiteral(u"Закрыть"), this);
    m_close->setObjectName(QStringLiteral("id_2"));
    for (QPushButton* b : {m_save, m_print, m_close}) {
        b->resize(75, 23);
        b->setAutoDefault(false);
    }
    connect(m_save, &QPushButton::clicked, this, [this] { OnBnClickedBtnSave(); });
    connect(m_print, &QPushButton::clicked, this, [this] { OnBnClickedBtnPrint(); });
    connect(m_close, &QPushButton::clicked, this, &QDialog::reject);
}

void CHtmlViewDlg::showEvent(QShowEvent* event) {
    if (!m_initialized) OnInitDialog();
    QDialog::showEvent(event);
}

BOOL CHtmlViewDlg::OnInitDialog() {
    CLogScope scope("CHtmlViewDlg::OnInitDialog", 3);
    m_initialized = true;
    setWindowTitle(m_title);
    setWindowIcon(iconOf(153));
    QRect screen(0, 0, 800, 600);
    if (QScreen* primary = QGuiApplication::primaryScreen()) screen = primary->availableGeometry();
    setGeometry(screen.x() + (screen.width() - 800) / 2, screen.y() + (screen.height() - 600) / 2, 800, 600);
    try {
        if (!parentWidget()) throw Vsk::Utils::InternalError(__FILE__, __LINE__);
        m_view = new QTextBrowser(this);
        m_view->setObjectName(QStringLiteral("id_1019"));
        // The report is the program's own page: links inside it are not followed.
        m_view->setOpenLinks(false);
        m_view->setHtml(closeTableTags(m_html));
        m_view->show();
        layoutControls(width(), height());
    } catch (const CError& error) {
        MessageBoxW(this, error.getText().c_str(), u"Создание страницы", MB_ICONERROR);
    } catch (...) {
        MessageBoxW(this, u"...", u"Создание страницы", MB_ICONERROR);
    }
    return TRUE;
}

void CHtmlViewDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    if (m_view) layoutControls(event->size().width(), event->size().height());
}

void CHtmlViewDlg::layoutControls(int width, int height) {
    if (m_view) m_view->setGeometry(0, 0, width, height - 36);
    const QSize size = m_save->size();
    m_save->move(10, height - 30);
    m_close->setGeometry(width - size.width() - 10, height - 30, size.width(), size.height());
    m_print->move(width / 2 - m_print->width() / 2, height - 30);
}

void CHtmlViewDlg::OnBnClickedBtnSave() {
    CLogScope scope("CHtmlViewDlg::OnBnClickedBtnSave", 3);
    try {
        // UTF-16 little-endian with the byte-order mark, the report's own mark-up unchanged.
        std::vector<BYTE> bytes;
        bytes.reserve(2 + 2 * static_cast<size_t>(m_html.size()));
        bytes.push_back(0xFF);
        bytes.push_back(0xFE);
        for (const QChar c : m_html) {
            bytes.push_back(static_cast<BYTE>(c.unicode() & 0xFF));
            bytes.push_back(static_cast<BYTE>(c.unicode() >> 8));
        }
        const CWString initialName = Vsk::InternalUtils::MakeValidFileName(fromQ(m_title)) + u".htm";
        SetLastError(0);
        const CWString path = Vsk::InternalUtils::SelectWriteFile(
            u"Сохраните в файле", this, u"Веб-страницы\0*.htm;*.html\0Все файлы\0*\0", u"htm",
            initialName.c_str());
        Vsk::InternalUtils::CFile file(CDataBlob(bytes.data(), bytes.size(), true));
        file.writeAll(path.c_str(), CREATE_ALWAYS);
    } catch (const CError& error) {
        MessageBoxW(this, error.getText().c_str(), u"Сохранение", MB_ICONERROR);
    } catch (...) {
        MessageBoxW(this, u"...", u"Сохранение", MB_ICONERROR);
    }
}

void CHtmlViewDlg::OnBnClickedBtnPrint() {
    CLogScope scope("CHtmlViewDlg::OnBnClickedBtnPrint", 3);
    const CWString caption = fromQ(m_title);
    try {
        if (!m_view) throw CError(u"Отсутствует или не готов документ", DWORD(21));
        QPrinter printer(QPrinter::HighResolution);
        if (!pdfOutput().isEmpty()) {
            printer.setOutputFormat(QPrinter::PdfFormat);
            printer.setOutputFileName(pdfOutput());
        } else {
            QPrintDialog dialog(&printer, this);
            if (dialog.exec() != QDialog::Accepted) return;
        }
        m_view->document()->print(&printer);
    } catch (const CError& error) {
        if (error.getErrorNumber() != 1223)
            MessageBoxW(this, error.getText().c_str(), caption.c_str(), MB_ICONERROR);
    } catch (...) {
        MessageBoxW(this, u"...", caption.c_str(), MB_ICONERROR);
    }
}
