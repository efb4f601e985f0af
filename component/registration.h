// Registration of the type library and the two classes.
#pragma once
#include <windows.h>

namespace velkomb {

HRESULT RegisterServer();
HRESULT UnregisterServer();

} // namespace velkomb
