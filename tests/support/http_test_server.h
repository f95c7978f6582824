#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.h"

namespace testsupport {

/// A minimal HTTP/1.0 server on 127.0.0.1 and a port of its own, answering GET requests from a
/// table of path -> (status, body) on its own thread, one connection at a time. Unknown paths get
/// 404. Every request is counted and its path recorded. Stopped and joined on destruction.
class HttpTestServer {
public:
    struct Response {
        int status = 200;
        std::string body;
    };

    explicit HttpTestServer(std::map<std::string, Response> routes = {});
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    /// Adds or replaces the answer for a path (a path starts with "/").
    void set(const std::string& path, Response response);

    int port() const { return _port; }
    /// "http://127.0.0.1:<port>", without a trailing slash.
    std::string url() const;
    int requestCount() const;
    /// Paths of the requests received so far, in arrival order.
    std::vector<std::string> paths() const;

private:
    void run();
    void serve(int fd);

    vek::UniqueFd _listen_fd;
    vek::UniqueFd _wake_read;
    vek::UniqueFd _wake_write; // a byte written here ends the server thread
    int _port = 0;
    mutable std::mutex _mutex;
    std::map<std::string, Response> _routes; // guarded by _mutex
    std::vector<std::string> _paths;         // guarded by _mutex
    std::thread _thread;
};

} // namespace testsupport
