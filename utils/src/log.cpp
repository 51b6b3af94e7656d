#include <vsk/utils/global.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>

namespace Vsk::InternalUtils {

using Utils::CLock;
using Utils::CWString;

namespace {
// Level used until the log reads its settings.
constexpr int32_t DefaultLevelWord = 2;
}  // namespace

CLog::CLog() : m_levelWord(-1) {}

CLog::~CLog() = default;

int CLog::getLevel() {
    CLock guard(&m_lock);
    if (m_levelWord == -1) m_levelWord = DefaultLevelWord;
    return m_levelWord & 7;
}

void CLog::setLevel(int levelWord, DWORD /*flags*/) {
    CLock guard(&m_lock);
    m_levelWord = levelWord;
}

int CLog::escalateLevel() {
    CLock guard(&m_lock);
    int level = getLevel();
    if (level >= 1 && level <= 3) {
        m_levelWord = (m_levelWord & ~3) | 4;
        return 0;
    }
    return level;
}

void CLog::write(const CWString& message, DWORD /*flags*/) {
    Utils::CLastErrorGuard keep;
    std::function<void(const CWString&)> sink;
    {
        CLock guard(&m_lock);
        sink = m_sink;
    }
    if (sink) sink(message);
}

void CLog::writeHResult(const CWString& text, HRESULT hr) {
    if (hr < 0 && getLevel() >= 1)
        write(text + u" HRESULT=" + Utils::ToWString(static_cast<int>(hr)) + u" " + Utils::GetHResultText(hr));
}

void CLog::writeWin32Error(const CWString& text, DWORD code) {
    if (code != 0 && getLevel() >= 1) write(text + u" " + Utils::GetSystemErrorText(code));
}

void CLog::setSink(std::function<void(const CWString&)> sink) {
    CLock guard(&m_lock);
    m_sink = std::move(sink);
}

CLog* GetLog() {
    CCommonInfo* info = GetCommonInfo();
    return info ? &info->m_log : nullptr;
}

int GetLogLevel() {
    CLog* log = GetLog();
    return log ? log->getLevel() : 0;
}

void LogAt(int level, const CWString& message) {
    CLog* log = GetLog();
    if (log && log->getLevel() >= level) log->write(message);
}

}  // namespace Vsk::InternalUtils
