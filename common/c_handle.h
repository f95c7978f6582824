#pragma once

#include <memory>

namespace vek {

/// Deleter for a C handle that is given back through a single release function
/// (curl_easy_cleanup, fclose, libusb_close ...). A null handle is never passed on.
template <auto Release>
struct CHandleDeleter {
    template <typename T>
    void operator()(T* handle) const noexcept
    {
        if (handle)
            Release(handle);
    }
};

/// Sole owner of a C handle: `CHandle<CURL, curl_easy_cleanup>`.
template <typename T, auto Release>
using CHandle = std::unique_ptr<T, CHandleDeleter<Release>>;

} // namespace vek
