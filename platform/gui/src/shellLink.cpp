// The shell link object, which saves freedesktop desktop entries.
#include <vsk/platform/kernel.h>
#include <vsk/platform/shellLink.h>

#include <QByteArray>
#include <QString>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <string>

const CLSID CLSID_ShellLink = {0x00021401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IShellLinkW = {0x000214F9, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IPersistFile = {0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

HRESULT fromErrno(int err) {
    return HRESULT_FROM_WIN32(Win32FromErrno(err));
}

// Escapes of a desktop entry's string values.
std::u16string escapeValue(const std::u16string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t ch = text[i];
        switch (ch) {
            case u'\\':
                out += u"\\\\";
                break;
            case u'\n':
                out += u"\\n";
                break;
            case u'\r':
                out += u"\\r";
                break;
            case u'\t':
                out += u"\\t";
                break;
            case u' ':
                out += i == 0 ? u"\\s" : u" ";
                break;
            default:
                out += ch;
        }
    }
    return out;
}

// One argument of Exec: quoted, with the characters that are special inside quotes escaped and "%"
// doubled (a single one would start a field code).
std::u16string quoteExecArgument(const std::u16string& argument) {
    std::u16string out = u"\"";
    for (const char16_t ch : argument) {
        if (ch == u'"' || ch == u'`' || ch == u'$' || ch == u'\\') out += u'\\';
        out += ch;
        if (ch == u'%') out += u'%';
    }
    out += u'"';
    return out;
}

std::u16string baseName(const std::u16string& path) {
    const size_t slash = path.find_last_of(u"/\\");
    std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.find_last_of(u'.');
    if (dot != std::u16string::npos && dot > 0) name.resize(dot);
    return name;
}

class CShellLink final : public IShellLinkW, public IPersistFile {
public:
    HRESULT QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_IShellLinkW)
            *out = static_cast<IShellLinkW*>(this);
        else if (iid == IID_IPersistFile)
            *out = static_cast<IPersistFile*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        const ULONG left = --m_refs;
        if (left == 0) delete this;
        return left;
    }

    HRESULT SetPath(LPCWSTR path) override {
        if (!path) return E_INVALIDARG;
        m_target = path;
        return S_OK;
    }
    HRESULT SetDescription(LPCWSTR description) override {
        if (!description) return E_INVALIDARG;
        m_description = description;
        return S_OK;
    }
    HRESULT SetArguments(LPCWSTR arguments) override {
        if (!arguments) return E_INVALIDARG;
        m_arguments = arguments;
        return S_OK;
    }
    HRESULT SetIconLocation(LPCWSTR iconPath, int) override {
        if (!iconPath) return E_INVALIDARG;
        m_icon = iconPath;
        return S_OK;
    }

    HRESULT Save(LPCOLESTR fileName, BOOL) override {
        if (!fileName || !*fileName || m_target.empty()) return E_INVALIDARG;
        const std::u16string path = DesktopEntryPath(fileName);
        const std::u16string name = baseName(path);
        if (name.empty()) return E_INVALIDARG;
        std::u16string entry =
            u"[Desktop Entry]\nType=Application\nVersion=1.0\nName=" + escapeValue(name) + u"\n";
        std::u16string exec = quoteExecArgument(m_target);
        if (!m_arguments.empty()) {
            std::u16string arguments;
            for (const char16_t ch : m_arguments) {
                arguments += ch;
                if (ch == u'%') arguments += u'%';
            }
            exec += u" " + arguments;
        }
        entry += u"Exec=" + escapeValue(exec) + u"\n";
        if (!m_description.empty()) entry += u"Comment=" + escapeValue(m_description) + u"\n";
        if (!m_icon.empty()) entry += u"Icon=" + escapeValue(m_icon) + u"\n";
        entry += u"Terminal=false\n";
        return writeAtomically(QString::fromStdU16String(path).toUtf8(),
                               QString::fromStdU16String(entry).toUtf8());
    }

private:
    ~CShellLink() = default;

    // Written beside the target name and renamed into place, so a desktop never sees half an entry.
    static HRESULT writeAtomically(const QByteArray& path, const QByteArray& data) {
        QByteArray temp = path + ".XXXXXX";
        const int fd = mkstemp(temp.data());
        if (fd < 0) return fromErrno(errno);
        const char* p = data.constData();
        size_t left = static_cast<size_t>(data.size());
        while (left) {
            const ssize_t n = write(fd, p, left);
            if (n < 0) {
                if (errno == EINTR) continue;
                const int err = errno;
                close(fd);
                unlink(temp.constData());
                return fromErrno(err);
            }
            p += n;
            left -= static_cast<size_t>(n);
        }
        // Desktops run only entries that are marked executable.
        if (fchmod(fd, 0755) != 0 || fsync(fd) != 0 || close(fd) != 0) {
            const int err = errno;
            unlink(temp.constData());
            return fromErrno(err);
        }
        if (rename(temp.constData(), path.constData()) != 0) {
            const int err = errno;
            unlink(temp.constData());
            return fromErrno(err);
        }
        return S_OK;
    }

    std::atomic<ULONG> m_refs{1};
    std::u16string m_target;
    std::u16string m_description;
    std::u16string m_arguments;
    std::u16string m_icon;
};

HRESULT createShellLink(REFIID iid, void** out) {
    auto* link = new CShellLink;
    const HRESULT hr = static_cast<IShellLinkW*>(link)->QueryInterface(iid, out);
    static_cast<IShellLinkW*>(link)->Release();
    return hr;
}

// Whoever names CLSID_ShellLink links this file, and with it the registration.
const struct ShellLinkRegistration {
    ShellLinkRegistration() { RegisterComClass(CLSID_ShellLink, createShellLink); }
} shellLinkRegistration;

}  // namespace

std::u16string DesktopEntryPath(const std::u16string& requested) {
    static constexpr char16_t Lnk[] = u".lnk";
    if (requested.size() >= 4) {
        bool isLnk = true;
        for (size_t i = 0; i < 4; ++i) {
            char16_t ch = requested[requested.size() - 4 + i];
            if (ch >= u'A' && ch <= u'Z') ch = static_cast<char16_t>(ch - u'A' + u'a');
            isLnk = isLnk && ch == Lnk[i];
        }
        if (isLnk) return requested.substr(0, requested.size() - 4) + u".desktop";
    }
    return requested;
}
