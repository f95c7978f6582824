#include "http_test_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "common/error_text.h"

namespace testsupport {

namespace {

// A client that neither finishes its request nor goes away must not stall the server for long.
constexpr auto kRequestDeadline = std::chrono::seconds(5);

const char* reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

// Reads the request head (up to the blank line) within the deadline; empty when none arrives.
std::string readRequestHead(int fd)
{
    const auto deadline = std::chrono::steady_clock::now() + kRequestDeadline;
    std::string head;
    char buf[1024];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 16384) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return {};
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return {};
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        head.append(buf, static_cast<size_t>(n));
    }
    return head;
}

// Sends everything unless the client goes away first (it may close after the status line).
void sendAll(int fd, const std::string& data)
{
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        sent += static_cast<size_t>(n);
    }
}

} // namespace

HttpTestServer::HttpTestServer(std::map<std::string, Response> routes) : _routes(std::move(routes))
{
    // Members own what is opened so far, so a failure half-way closes it.
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC) != 0)
        throw std::runtime_error("HttpTestServer: pipe: " + vek::errorText(errno));
    _wake_read.reset(wake[0]);
    _wake_write.reset(wake[1]);
    _listen_fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!_listen_fd.valid())
        throw std::runtime_error("HttpTestServer: socket: " + vek::errorText(errno));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(_listen_fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(_listen_fd.get(), 16) != 0)
        throw std::runtime_error("HttpTestServer: bind/listen: " + vek::errorText(errno));
    socklen_t len = sizeof addr;
    if (::getsockname(_listen_fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("HttpTestServer: getsockname: " + vek::errorText(errno));
    _port = ntohs(addr.sin_port);
    _thread = std::thread([this] { run(); });
}

HttpTestServer::~HttpTestServer()
{
    const char stop = 1;
    while (::write(_wake_write.get(), &stop, 1) < 0 && errno == EINTR) {
    }
    _thread.join();
}

void HttpTestServer::set(const std::string& path, Response response)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _routes[path] = std::move(response);
}

std::string HttpTestServer::url() const { return "http://127.0.0.1:" + std::to_string(_port); }

int HttpTestServer::requestCount() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return static_cast<int>(_paths.size());
}

std::vector<std::string> HttpTestServer::paths() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _paths;
}

void HttpTestServer::run()
{
    // Thread entry: nothing may escape, a failure only ends the serving.
    try {
        for (;;) {
            pollfd fds[2] = {{_listen_fd.get(), POLLIN, 0}, {_wake_read.get(), POLLIN, 0}};
            // Waits without a deadline on purpose: the destructor's wake byte always ends it.
            const int r = ::poll(fds, 2, -1);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0 || (fds[1].revents & POLLIN))
                return;
            if (!(fds[0].revents & POLLIN))
                continue;
            const vek::UniqueFd client(::accept4(_listen_fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!client.valid())
                continue;
            // The answer goes out within the deadline too, even to a client that stopped reading.
            timeval timeout{static_cast<time_t>(kRequestDeadline.count()), 0};
            ::setsockopt(client.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
            serve(client.get());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "HttpTestServer: %s\n", e.what());
    }
}

void HttpTestServer::serve(int fd)
{
    const std::string head = readRequestHead(fd);
    // Request line: METHOD SP target SP version
    const size_t sp1 = head.find(' ');
    const size_t sp2 = sp1 == std::string::npos ? std::string::npos : head.find(' ', sp1 + 1);
    if (sp2 == std::string::npos)
        return;
    const std::string path = head.substr(sp1 + 1, sp2 - sp1 - 1);

    Response response{404, "not found"};
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _paths.push_back(path);
        auto it = _routes.find(path);
        if (it != _routes.end())
            response = it->second;
    }
    std::string reply = "HTTP/1.0 " + std::to_string(response.status) + " " + reasonPhrase(response.status) +
        "\r\nContent-Type: application/octet-stream\r\nContent-Length: " + std::to_string(response.body.size()) +
        "\r\nConnection: close\r\n\r\n";
    reply += response.body;
    sendAll(fd, reply);
    ::shutdown(fd, SHUT_WR);
}

} // namespace testsupport
