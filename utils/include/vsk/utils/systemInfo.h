// System information: the properties of a WMI class of the local computer as lines "Name: value"
// joined by CR LF, and the lookup that reads single values back out of such a text.
#pragma once

#include <vsk/utils/string.h>

struct IWbemServices;

namespace Vsk::Utils {

// The value after the first occurrence of `name` anywhere in `text` (case-sensitive; an empty name
// matches at the start): from the end of the name, past ": " when exactly that follows, to the first
// CR LF from where the name starts or to the end of the text, with white space trimmed at both ends.
// Empty when the name does not occur.
CWString GetFieldValue(const CWString& text, const CWString& name);

}  // namespace Vsk::Utils

namespace Vsk::InternalUtils {

// The properties of the class "Win32_" + request[0] of the namespace "ROOT\CIMV2": `request` is a
// null-terminated list of 8-bit texts, the class suffix and then property names (none: every
// property except the system ones). One line per property and instance, the name, ": " and the
// value's text; a NULL value gives no line; failures of the query, the enumeration or a property give
// lines "<class> - <error text>" and "<class>::<property> - <error text>". With `linePrefix` every
// line starts with it. Empty when the information cannot be read at all (set-up failures are logged
// at level 1). Never raises.
Utils::CWString GetSysInfo(const char* const* request, const char* linePrefix);

// Runs "SELECT * FROM <className>" on a connected namespace and makes the lines of GetSysInfo; an
// enumeration step that fails ends the enumeration after its error line. Without property names (a
// null list or a null first entry) a failure to list the names or read a value is logged and raised
// as CError.
Utils::CWString querySysInfoClass(IWbemServices* services, const Utils::CAString& className,
                                  const char* const* propertyNames);

}  // namespace Vsk::InternalUtils
