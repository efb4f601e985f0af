// The body of a COM method that reports plain HRESULTs (no error info): no
// exception leaves it. Running out of memory gives E_OUTOFMEMORY, anything
// else E_UNEXPECTED.
#pragma once
#include <windows.h>
#include <new>

namespace velkomb::com {

template <class Body>
HRESULT Guarded(Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

} // namespace velkomb::com
