#include "broker.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef MOSQUITTO_BROKER
#define MOSQUITTO_BROKER "/usr/sbin/mosquitto"
#endif

namespace testsupport {

namespace {

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

bool waitChild(pid_t pid, std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        int status;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

} // namespace

int freeLoopbackPort()
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (s.fd < 0)
            throw std::runtime_error("socket failed");
        sockaddr_in a = loopback(0);
        if (::bind(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            continue;
        socklen_t len = sizeof a;
        if (::getsockname(s.fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            continue;
        int port = ntohs(a.sin_port);
        if (port != 1883)
            return port;
    }
    throw std::runtime_error("no free loopback port");
}

bool portAccepts(int port)
{
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (s.fd < 0)
        return false;
    sockaddr_in a = loopback(port);
    return ::connect(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

Broker::Broker() : Broker(Options{}) {}

Broker::Broker(Options options) : _options(options), _port(freeLoopbackPort()) {}

Broker::~Broker() { stop(); }

void Broker::start()
{
    if (_pid > 0)
        return;
    const std::string conf = _dir.file("mosquitto.conf");
    {
        std::ofstream out(conf, std::ios::trunc);
        out << "listener " << _port << " 127.0.0.1\n"
            << "allow_anonymous true\n"
            << "set_tcp_nodelay true\n"
            << "log_dest file " << _dir.file("mosquitto.log") << "\n"
            << "log_type all\n";
        if (_options.persistence)
            out << "persistence true\n"
                << "persistence_location " << _dir.path() << "/\n"
                << "autosave_interval 1\n";
        else
            out << "persistence false\n";
        // As root the broker would switch to its own user and lose access to our directory.
        if (::geteuid() == 0)
            out << "user root\n";
    }

    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        // Keep the broker's chatter out of the test output; its log goes to the file.
        int devnull = ::open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            ::dup2(devnull, STDIN_FILENO);
            ::dup2(devnull, STDOUT_FILENO);
            ::dup2(devnull, STDERR_FILENO);
        }
        ::execl(MOSQUITTO_BROKER, "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    _pid = pid;

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (portAccepts(_port))
            return;
        int status;
        if (::waitpid(_pid, &status, WNOHANG) == _pid) {
            _pid = -1;
            throw std::runtime_error("mosquitto exited at start-up on port " + std::to_string(_port) +
                                     ":\n" + log());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop();
    throw std::runtime_error("mosquitto did not accept connections on port " + std::to_string(_port));
}

void Broker::stop()
{
    if (_pid <= 0)
        return;
    ::kill(_pid, SIGTERM);
    if (!waitChild(_pid, std::chrono::seconds(5))) {
        ::kill(_pid, SIGKILL);
        waitChild(_pid, std::chrono::seconds(5));
    }
    _pid = -1;
}

std::string Broker::log() const { return readFile(_dir.file("mosquitto.log")); }

} // namespace testsupport
