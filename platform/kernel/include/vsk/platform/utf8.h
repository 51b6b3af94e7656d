// The platform's one UTF-8 <-> UTF-16 codec, for the stand-ins that hold texts in both forms (paths,
// names in certificates, registry and log texts). MultiByteToWideChar and WideCharToMultiByte with
// CP_UTF8 convert with it too.
#pragma once

#include <string>
#include <string_view>

namespace vsk::kernel {

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// UTF-8 to UTF-16. Each ill-formed sequence (an invalid lead byte, or the longest start of a valid
// sequence that then breaks off; overlong forms and surrogates included) becomes one U+FFFD.
// `wellFormed`, when given, tells whether the input had none.
std::u16string Utf8ToUtf16(std::string_view text, bool* wellFormed = nullptr);

}  // namespace vsk::kernel
