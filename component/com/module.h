// Process-wide facts of the component: live-object and lock counts for
// unloading, the module's own handle, and its type library.
#pragma once
#include <windows.h>
#include <oaidl.h>

namespace velkomb::com {

void ObjectCreated();
void ObjectDestroyed();
void LockModule(bool lock);
// True when no object of the component lives (objects of both classes, class
// factories, enumerators) and nothing holds a lock on the module.
bool CanUnload();
// CanUnload, for the library's unloading: when it holds, the cached type
// library is let go too (it is loaded again if the module stays after all).
bool ReadyToUnload();

// Counts its holder among the component's live objects: every object the
// component hands out to a host has one.
class LiveObject {
public:
    LiveObject() { ObjectCreated(); }
    LiveObject(const LiveObject&) { ObjectCreated(); }
    LiveObject& operator=(const LiveObject&) = default;
    ~LiveObject() { ObjectDestroyed(); }
};

// The module the component's code lives in (the DLL, or a test program that
// links the component in).
HINSTANCE ModuleInstance();
// The type info of a type in the module's embedded type library (dispatch
// view for dual interfaces), or of the vtable view when `interfaceView` is
// set. Loaded once; not AddRef'ed, valid while an object of the component
// lives.
ITypeInfo* TypeInfoOf(REFGUID guid, bool interfaceView = false);

} // namespace velkomb::com
