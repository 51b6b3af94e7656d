// The program's resources from Qt's resource tree: the resource of type T and name N is the file
// ":/res/T/N" of whichever resource collection the program links. Folder and file names match the
// type and the name without regard to case, as the resource functions do. Registered when the program
// starts; the program's own registered table, when it has one, is searched first.
#include <vsk/platform/resource.h>

#include <QDir>
#include <QFile>
#include <QString>

#include <string>
#include <vector>

namespace {

const QString ResourceRoot = QStringLiteral(":/res");

QString toQString(const std::u16string& text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

// The entry of `folder` whose name equals `wanted` without regard to case; empty when none does.
QString entryOf(const QString& folder, const std::u16string& wanted, QDir::Filters filters) {
    const QString name = toQString(wanted);
    for (const QString& entry : QDir(folder).entryList(filters | QDir::NoDotAndDotDot, QDir::Unsorted))
        if (entry.compare(name, Qt::CaseInsensitive) == 0) return folder + u'/' + entry;
    return {};
}

bool namesOf(const std::u16string& type, std::vector<std::u16string>& names) {
    const QString folder = entryOf(ResourceRoot, type, QDir::Dirs);
    if (folder.isEmpty()) return false;
    for (const QString& entry : QDir(folder).entryList(QDir::Files, QDir::Name))
        names.push_back(entry.toStdU16String());
    return true;
}

bool bytesOf(const std::u16string& type, const std::u16string& name, std::vector<BYTE>& bytes) {
    const QString folder = entryOf(ResourceRoot, type, QDir::Dirs);
    if (folder.isEmpty()) return false;
    const QString path = entryOf(folder, name, QDir::Files);
    if (path.isEmpty()) return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QByteArray data = file.readAll();
    bytes.assign(data.begin(), data.end());
    return true;
}

const bool Registered = [] {
    RegisterResourceSource(nullptr, ResourceSource{namesOf, bytesOf});
    return true;
}();

}  // namespace

// Linked into every program that links this area (its link options name this symbol), so that the
// registration above runs although nothing calls into this file.
extern "C" const bool VskQtResourceSource = Registered;
