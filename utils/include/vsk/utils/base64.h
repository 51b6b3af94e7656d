// Base64 (RFC 4648 alphabet and padding): encoding for files and log lines, and recognition and
// decoding of Base64 text, optionally between header and footer lines of dashes and saved as
// UTF-16 or UTF-32 with a byte-order mark.
#pragma once

#include <vsk/utils/dataBlob.h>
#include <vsk/utils/string.h>

namespace Vsk::Utils {

// Encoder flags; 0 pads with "=" and breaks lines after 76 characters with CR LF.
enum : int {
    Base64NoPadding = 1,
    Base64NoLineBreaks = 2,
};

CAString Base64Enc(const CDataBlob& data, int flags);
// Base64Enc as UTF-16 text; empty for an empty blob.
CWString Base64EncW(const CDataBlob& data, int flags);
// Base64EncW on one line (Base64NoLineBreaks), with padding.
CWString Base64EncNoCrlfW(const CDataBlob& data);
// Decodes without any check: every byte outside the alphabet is skipped.
CDataBlob ClearBase64Dec(CDataBlob text);
// Whether the blob is Base64 text; `decoded`, when not null, receives the decoded bytes.
bool IsBase64(CDataBlob data, CDataBlob* decoded);
// Checked decoding: raises CError when the blob is not Base64 text.
CDataBlob Base64Dec(CDataBlob text);
// The blob as text for logs and displays: Base64 text as it is, anything else Base64-encoded.
CWString ToBase64Text(const CDataBlob& data);

}  // namespace Vsk::Utils
