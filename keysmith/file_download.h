#pragma once

#include "common/c_handle.h"

#include <cstddef>

#include <curl/curl.h>

/// Thrown by value when libcurl cannot give an easy handle. Deliberately without a base class.
class cFileDownloadCURLcontextException {};

/// Fetches one file from "<base>/<file>" and installs it as "<destination>/<file>".
/// The data goes to "keysmith.tmp" in the working directory first and is moved into place only
/// after a complete transfer, so the destination never holds a partial file. The three strings
/// are not copied: the caller keeps them alive for the object's lifetime.
/// Not thread-safe, and only one download at a time per working directory (shared temporary name).
class cFileDownload {
public:
    /// Name of the temporary file, relative to the working directory.
    static constexpr const char* TEMP_FILE = "keysmith.tmp";
    /// Longest URL and destination path accepted, in characters.
    static constexpr std::size_t MAX_LOCATION_LENGTH = 254;

    cFileDownload(const char* base_location, const char* file_name, const char* destination_dir);
    virtual ~cFileDownload();
    cFileDownload(const cFileDownload&) = delete;
    cFileDownload& operator=(const cFileDownload&) = delete;

    /// Performs one transfer and prints its URL on standard output. True when the file is in place
    /// at its destination. On false, the reason goes into `errbuf` (libcurl's text for a transfer
    /// failure), cut to fit `errbuf_size` and always NUL-terminated; `errbuf` may be null.
    bool download(char* errbuf, std::size_t errbuf_size);

private:
    using CurlEasy = vek::CHandle<CURL, curl_easy_cleanup>;

    CurlEasy _handle;
    const char* _base_location;
    const char* _file_name;
    const char* _destination_dir;
};
