// Process-wide facts of the component: live-object and lock counts for
// unloading, the module's own handle, and its type library.
#pragma once
#include <windows.h>
#include <oaidl.h>

namespace velkomb::com {

void ObjectCreated();
void ObjectDestroyed();
void LockModule(bool lock);
// True when no object lives and no class factory is locked.
bool CanUnload();

// The module the component's code lives in (the DLL, or a test program that
// links the component in).
HINSTANCE ModuleInstance();
// The type library embedded in that module; loaded once, not AddRef'ed for
// the caller.
ITypeLib* TypeLibrary();
// Releases the cached type library (at unload).
void ReleaseTypeLibrary();
// The type info of a type in the library (dispatch view for dual interfaces),
// or of the vtable view when `interfaceView` is set. Not AddRef'ed.
ITypeInfo* TypeInfoOf(REFGUID guid, bool interfaceView = false);

} // namespace velkomb::com
