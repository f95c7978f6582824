#include "file_download.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unistd.h>

#include <log4cpp/Category.hh>

#include "common/error_text.h"

namespace {

using File = vek::CHandle<FILE, std::fclose>;

log4cpp::Category& logger() { return log4cpp::Category::getInstance("cFileDownload"); }

// curl_global_init is not thread-safe, and the daemon has several threads: once per process.
bool curlGlobalInit()
{
    static std::once_flag once;
    static CURLcode result = CURLE_FAILED_INIT;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return result == CURLE_OK;
}

// Called from libcurl, so it must not throw. A short count fails the transfer with a write error.
size_t writeToFile(char* data, size_t size, size_t count, void* file) noexcept
{
    return std::fwrite(data, 1, size * count, static_cast<FILE*>(file));
}

std::string joinPath(const char* head, const char* tail) { return std::string(head) + "/" + tail; }

// Cuts the text to the caller's buffer; the result is always terminated.
void copyText(const std::string& text, char* buf, std::size_t size)
{
    if (!buf || size == 0)
        return;
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
}

bool fail(const std::string& reason, char* errbuf, std::size_t errbuf_size)
{
    logger().error("download failed: %s", reason.c_str());
    copyText(reason, errbuf, errbuf_size);
    return false;
}

std::string tooLong(const char* what, const std::string& text)
{
    return std::string(what) + " too long (" + std::to_string(text.size()) + " characters, at most " +
        std::to_string(cFileDownload::MAX_LOCATION_LENGTH) + ")";
}

} // namespace

cFileDownload::cFileDownload(const char* base_location, const char* file_name, const char* destination_dir)
    : _handle(curlGlobalInit() ? curl_easy_init() : nullptr), _base_location(base_location), _file_name(file_name),
      _destination_dir(destination_dir)
{
    if (!_handle)
        throw cFileDownloadCURLcontextException();
}

cFileDownload::~cFileDownload() = default;

bool cFileDownload::download(char* errbuf, std::size_t errbuf_size)
{
    copyText("", errbuf, errbuf_size);
    if (!_base_location || !_file_name || !_destination_dir)
        return fail("base location, file name or destination directory missing", errbuf, errbuf_size);

    // Both are checked before anything is printed, created or fetched: a refused download has no effect.
    const std::string url = joinPath(_base_location, _file_name);
    const std::string destination = joinPath(_destination_dir, _file_name);
    if (url.size() > MAX_LOCATION_LENGTH)
        return fail(tooLong("URL", url), errbuf, errbuf_size);
    if (destination.size() > MAX_LOCATION_LENGTH)
        return fail(tooLong("destination path", destination), errbuf, errbuf_size);

    std::fputs(url.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    logger().debug("fetching %s into %s", url.c_str(), destination.c_str());

    File tmp(std::fopen(TEMP_FILE, "wbe"));
    if (!tmp) {
        const int err = errno;
        return fail(std::string("cannot create ") + TEMP_FILE + ": " + vek::errorText(err), errbuf, errbuf_size);
    }

    std::array<char, CURL_ERROR_SIZE> detail{};
    CURL* curl = _handle.get();
    CURLcode rc = curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeToFile);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_WRITEDATA, tmp.get());
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, detail.data());
    // The daemon is threaded: no SIGALRM-based resolver timeouts.
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // A dead server must not hold the daemon forever: bounded connect, and give up on a stalled
    // transfer (under 1 byte/s for a minute) without capping a slow but moving one.
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L);
    if (rc == CURLE_OK)
        rc = curl_easy_perform(curl);
    // Both die with this call; the handle outlives it.
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);

    // Closing flushes the last buffered bytes, so its failure is a failed download too.
    const bool closed = std::fclose(tmp.release()) == 0;
    const int close_err = errno;

    if (rc != CURLE_OK) {
        ::unlink(TEMP_FILE);
        std::string text = curl_easy_strerror(rc);
        std::string more(detail.data());
        while (!more.empty() && (more.back() == '\n' || more.back() == '\r'))
            more.pop_back();
        if (!more.empty() && more != text)
            text += ": " + more;
        return fail(text, errbuf, errbuf_size);
    }
    if (!closed) {
        ::unlink(TEMP_FILE);
        return fail(std::string("cannot write ") + TEMP_FILE + ": " + vek::errorText(close_err), errbuf, errbuf_size);
    }
    if (std::rename(TEMP_FILE, destination.c_str()) != 0) {
        const int err = errno;
        ::unlink(TEMP_FILE);
        return fail(std::string("cannot move ") + TEMP_FILE + " to " + destination + ": " + vek::errorText(err), errbuf,
                    errbuf_size);
    }
    logger().info("downloaded %s to %s", url.c_str(), destination.c_str());
    return true;
}
