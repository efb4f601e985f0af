// A COM enumerator over a snapshot of items (IEnumConnections,
// IEnumConnectionPoints): the snapshot holds a reference on every item, and
// the enumerator keeps the module loaded while a host holds it.
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <vector>
#include "component/com/guarded.h"
#include "component/com/module.h"
#include "component/com/unknown.h"

namespace velkomb::com {

inline IUnknown* Referenced(IConnectionPoint* point) { return point; }
inline IUnknown* Referenced(const CONNECTDATA& data) { return data.pUnk; }

template <class Interface, class Item, const IID& Iid>
class SnapshotEnumerator final : public Unknown<SnapshotEnumerator<Interface, Item, Iid>, Interface> {
public:
    explicit SnapshotEnumerator(std::vector<Item> items, size_t position = 0)
        : items_(std::move(items)), position_(position)
    {
        for (auto& item : items_) Referenced(item)->AddRef();
    }
    ~SnapshotEnumerator()
    {
        for (auto& item : items_) Referenced(item)->Release();
    }

    void* Find(REFIID iid) { return IsEqualIID(iid, Iid) ? static_cast<Interface*>(this) : nullptr; }

    HRESULT STDMETHODCALLTYPE Next(ULONG count, Item* out, ULONG* fetched) override
    {
        if (!out || (count > 1 && !fetched)) return E_POINTER;
        ULONG n = 0;
        for (; n < count && position_ < items_.size(); ++n, ++position_) {
            out[n] = items_[position_];
            Referenced(out[n])->AddRef();
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override
    {
        size_t left = items_.size() - position_;
        position_ += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override
    {
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(Interface** out) override
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        return Guarded([&] {
            *out = new SnapshotEnumerator(items_, position_);
            return S_OK;
        });
    }

private:
    LiveObject live_;
    std::vector<Item> items_;
    size_t position_;
};

using ConnectionEnumerator = SnapshotEnumerator<IEnumConnections, CONNECTDATA, IID_IEnumConnections>;
using ConnectionPointEnumerator = SnapshotEnumerator<IEnumConnectionPoints, IConnectionPoint*, IID_IEnumConnectionPoints>;

} // namespace velkomb::com
