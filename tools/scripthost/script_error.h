// The one-line report of an uncaught script error on standard error:
//   <script path>(<line>, <char>) <source>: <description>
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <string>

namespace velkomb::scripthost {

// line and column are 1-based. Fills in a deferred EXCEPINFO first, leaves
// out an empty source with its colon and shows the error code in hex when
// there is no description.
void ReportScriptError(const std::wstring& scriptPath, ULONG line, LONG column, EXCEPINFO& error);

// Frees the strings that an EXCEPINFO carries.
void ClearExceptionInfo(EXCEPINFO& error);

} // namespace velkomb::scripthost
