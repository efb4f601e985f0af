#include "component/com/module.h"
#include <mutex>
#include <vector>
#include "automation/error.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace velkomb::com {
namespace {

LONG liveObjects = 0;
LONG locks = 0;

// The library and its type infos are free-threaded and read-only once loaded,
// so one copy serves every apartment.
struct CachedInfo {
    GUID guid;
    bool interfaceView;
    ITypeInfo* info;
};

struct TypeInfoCache {
    std::mutex mutex;
    ITypeLib* library = nullptr;
    std::vector<CachedInfo> infos;  // a handful of entries
};

TypeInfoCache& Cache()
{
    static TypeInfoCache* cache = new TypeInfoCache;  // lives as long as the process
    return *cache;
}

ITypeLib* LoadLibraryLocked(TypeInfoCache& cache)
{
    if (!cache.library) {
        wchar_t path[MAX_PATH];
        GetModuleFileNameW(ModuleInstance(), path, MAX_PATH);
        automation::Check(LoadTypeLibEx(path, REGKIND_NONE, &cache.library));
    }
    return cache.library;
}

} // namespace

void ObjectCreated() { InterlockedIncrement(&liveObjects); }
void ObjectDestroyed() { InterlockedDecrement(&liveObjects); }
void LockModule(bool lock) { lock ? InterlockedIncrement(&locks) : InterlockedDecrement(&locks); }
bool CanUnload() { return liveObjects == 0 && locks == 0; }

bool ReadyToUnload()
{
    // Decided under the cache's lock: an object created on another thread
    // counts before it looks up a type info, so no one holds one of the
    // infos released here.
    auto& cache = Cache();
    std::lock_guard lock(cache.mutex);
    if (!CanUnload()) return false;
    for (auto& cached : cache.infos) cached.info->Release();
    cache.infos.clear();
    if (cache.library) cache.library->Release();
    cache.library = nullptr;
    return true;
}

HINSTANCE ModuleInstance() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

ITypeInfo* TypeInfoOf(REFGUID guid, bool interfaceView)
{
    auto& cache = Cache();
    std::lock_guard lock(cache.mutex);
    for (const auto& cached : cache.infos)
        if (IsEqualGUID(cached.guid, guid) && cached.interfaceView == interfaceView) return cached.info;

    cache.infos.reserve(cache.infos.size() + 1);  // the reference taken below is always stored
    ITypeInfo* info = nullptr;
    automation::Check(LoadLibraryLocked(cache)->GetTypeInfoOfGuid(guid, &info));
    if (interfaceView) {
        // The vtable view of a dual interface: the dispatch view refers to it
        // as its implemented type -1.
        HREFTYPE ref = 0;
        ITypeInfo* vtable = nullptr;
        if (SUCCEEDED(info->GetRefTypeOfImplType(-1, &ref)) && SUCCEEDED(info->GetRefTypeInfo(ref, &vtable))) {
            info->Release();
            info = vtable;
        }
    }
    cache.infos.push_back({guid, interfaceView, info});
    return info;
}

} // namespace velkomb::com
