// The exception of the crypto layers: a CError whose error number is a six-digit step code MMOOSS
// (module, operation, step). The message joins the step's fixed text with the system text of the
// Win32 error or HRESULT that the failing call reported. Building one that names a step logs it and
// raises the in-memory log level to 4, so that the calls that follow are traced.
#pragma once

#include <vsk/utils/error.h>

namespace Vsk::PKI {

class CCryptError : public Vsk::Utils::CError {
public:
    // The empty error (code 0, no message, error number 0): the value that means "no error" in
    // out-parameters. Nothing is logged.
    CCryptError();
    // Step line, "\r\n", the system text of `code` (-1: the thread's last error, which is kept), and
    // for a non-zero `httpStatus` the line "\r\nкод статуса HTTP <status>: <status text>".
    CCryptError(DWORD stepCode, DWORD code, DWORD httpStatus = 0);
    // As above with an HRESULT in place of the Win32 code (0x8007xxxx is stored as xxxx).
    CCryptError(DWORD stepCode, HRESULT hr, DWORD httpStatus = 0);
    // The text joined with the system text of `code` (-1: the last error, cleared), then "\r\n" and
    // the step line.
    CCryptError(DWORD stepCode, const Vsk::Utils::CWString& text, DWORD code);
    // Shares the implementation of a caught error: same text, code and number.
    explicit CCryptError(const Vsk::Utils::CError& error);
    CCryptError(const CCryptError& other) = default;
    CCryptError(CCryptError&& other) noexcept = default;
    CCryptError& operator=(const CCryptError& other) = default;
    CCryptError& operator=(CCryptError&& other) noexcept = default;
    ~CCryptError() = default;

    // The named forms. The C-text forms are factories because a literal 0 as text would make the
    // constructors ambiguous with the Win32-code form.
    static CCryptError CCryptErrorHResult(DWORD stepCode, HRESULT hr, DWORD httpStatus = 0);
    static CCryptError CCryptErrorText(DWORD stepCode, const Vsk::Utils::CWString& text, DWORD code);
    // 8-bit text in code page 1251; -1 is resolved first and the last error is not cleared.
    static CCryptError CCryptErrorTextA(DWORD stepCode, const char* text, DWORD code);
    // UTF-16 text; -1 is resolved first and the last error is not cleared.
    static CCryptError CCryptErrorTextW(DWORD stepCode, const WCHAR* text, DWORD code);
    static CCryptError CCryptErrorEmpty() { return CCryptError(); }
    // Shares the caught error's implementation and sets its error number to `stepCode` (both objects
    // then report it). No step line is added. An empty handle raises the not-created error.
    static CCryptError CCryptErrorFromError(DWORD stepCode, const Vsk::Utils::CError& error);
    // Shares the caught error's implementation, keeps its number and, when `firstLine` is not
    // empty, puts it before the message joined by "\r\n".
    static CCryptError CCryptErrorFromError(const Vsk::Utils::CError& error,
                                            const Vsk::Utils::CWString& firstLine = {});
    // Shares the caught error's implementation; the message becomes `line`, "\r\n" and the old one.
    static CCryptError CCryptErrorAddLine(const Vsk::Utils::CWString& line, const Vsk::Utils::CError& error);

    // Error number := step code; "\r\n" and the step line are appended to the message; logged under
    // "PKI::CCryptError::set" and the log level raised.
    void set(DWORD stepCode);
    // The table's 8-bit text (code page 1251, static storage) for the error number;
    // "Неизвестная ошибка" when the table has none.
    const char* getStepText() const;
    // "Ошибка криптобиблиотеки <number>: <step text>"; empty for error number 0.
    Vsk::Utils::CWString getStepMessage() const;
    // The full message text as getText gives it (with the source position when one is set).
    Vsk::Utils::CWString getMessageText() const { return getText(); }

    // Table lookup for any step code.
    static const char* getStepText(DWORD stepCode);
    static Vsk::Utils::CWString getStepMessage(DWORD stepCode);

private:
    struct SharedTag {};
    CCryptError(SharedTag, const Vsk::Utils::CError& error);
    // Logs "PKI::CCryptError::<function> <text>" at level 1 and more, then raises the log level.
    void logAndEscalate(const char* function) const;
};

}  // namespace Vsk::PKI
