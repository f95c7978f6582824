#include "broker.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <dirent.h>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/unique_fd.h"

#ifndef MOSQUITTO_BROKER
#define MOSQUITTO_BROKER "/usr/sbin/mosquitto"
#endif

namespace testsupport {

namespace {

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
        const vek::UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!s.valid())
            throw std::runtime_error("socket failed");
        sockaddr_in a = loopback(0);
        if (::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            continue;
        socklen_t len = sizeof a;
        if (::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
            continue;
        int port = ntohs(a.sin_port);
        if (port != 1883)
            return port;
    }
    throw std::runtime_error("no free loopback port");
}

bool portAccepts(int port)
{
    const vek::UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.valid())
        return false;
    sockaddr_in a = loopback(port);
    return ::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

static bool isBroker(pid_t pid)
{
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name == "mosquitto";
}

bool listensOn(pid_t pid, int port)
{
    // The kernel's table prints the address as the network-order word read natively, the port
    // in host order, and state 0A for a listening socket.
    char local[32];
    std::snprintf(local, sizeof local, "%08X:%04X", static_cast<unsigned>(htonl(INADDR_LOOPBACK)),
                  static_cast<unsigned>(port));
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::vector<std::string> inodes;
    std::getline(table, line); // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, address, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> address >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
        if (address == local && state == "0A")
            inodes.push_back("socket:[" + inode + "]");
    }
    if (inodes.empty())
        return false;
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* fds = ::opendir(fdDir.c_str());
    if (!fds)
        return false;
    bool found = false;
    while (dirent* entry = ::readdir(fds)) {
        char target[64];
        const std::string link = fdDir + "/" + entry->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        for (const auto& inode : inodes)
            found = found || inode == target;
    }
    ::closedir(fds);
    return found;
}

Broker::Broker() : Broker(Options{}) {}

Broker::Broker(Options options)
    : _options(options), _port(options.port ? options.port : freeLoopbackPort()), _portFixed(options.port != 0)
{}

Broker::~Broker() { stop(); }

void Broker::start()
{
    if (_pid > 0)
        return;
    // A free port can be taken by another program between our look and the broker's bind.
    for (int attempt = 1; launch() == Launch::PortTaken; ++attempt) {
        if (_portFixed || attempt == 5)
            throw std::runtime_error("mosquitto: port " + std::to_string(_port) + " is taken by another process");
        _port = freeLoopbackPort();
    }
    // From now on clients know the port: a restart has to get the same one.
    _portFixed = true;
}

Broker::Launch Broker::launch()
{
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

    const size_t logBefore = log().size();
    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        // Ends with the test, however the test ends; a test that is already gone has ended it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(126);
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
        // Between fork and exec the child still holds the test's own descriptors, a listening
        // socket of the test among them: only the broker's own listener counts.
        if (isBroker(_pid) && listensOn(_pid, _port))
            return Launch::Listening;
        int status;
        if (::waitpid(_pid, &status, WNOHANG) == _pid) {
            _pid = -1;
            const std::string said = log().substr(logBefore);
            if (said.find("Address already in use") != std::string::npos || portAccepts(_port))
                return Launch::PortTaken;
            throw std::runtime_error("mosquitto exited at start-up on port " + std::to_string(_port) + ":\n" + said);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop();
    throw std::runtime_error("mosquitto did not listen on port " + std::to_string(_port) + " within 10 s");
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

bool Broker::clientGone(const std::string& clientId) const
{
    const std::string text = log();
    for (const std::string& ending :
         {"Client " + clientId + " disconnected", "Client " + clientId + " closed its connection",
          "Client " + clientId + " has exceeded timeout", "Client " + clientId + " been disconnected",
          "Bad socket read/write on client " + clientId + ":"})
        if (text.find(ending) != std::string::npos)
            return true;
    return false;
}

} // namespace testsupport
