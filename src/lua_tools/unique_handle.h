#pragma once

#include <memory>

namespace vek {

/// Deleter that hands a C handle back through its one release function (lua_close, closedir,
/// free ...). A null handle is never passed on.
template <auto Release>
struct HandleDeleter {
    template <typename T>
    void operator()(T* handle) const noexcept
    {
        if (handle)
            Release(handle);
    }
};

/// Sole owner of a C handle: `UniqueHandle<DIR, closedir>`.
template <typename T, auto Release>
using UniqueHandle = std::unique_ptr<T, HandleDeleter<Release>>;

} // namespace vek
