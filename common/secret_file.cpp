#include "common/secret_file.h"

#include "common/error_text.h"
#include "common/unique_fd.h"

#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace vek {

namespace {

// MQTT allows 65535 bytes; a password file of more than this is the wrong file.
constexpr size_t kMaxSecret = 4096;

[[noreturn]] void refuse(const std::string& path, const std::string& why)
{
    throw std::runtime_error("password file " + path + ": " + why);
}

} // namespace

std::string readSecretFile(const std::string& path)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid())
        refuse(path, errorText(errno));
    std::string text;
    char buffer[512];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            refuse(path, errorText(errno));
        }
        if (n == 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > kMaxSecret + 2)
            refuse(path, "larger than " + std::to_string(kMaxSecret) + " bytes");
    }
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    if (text.empty())
        refuse(path, "empty");
    if (text.size() > kMaxSecret)
        refuse(path, "larger than " + std::to_string(kMaxSecret) + " bytes");
    if (text.find_first_of(std::string("\n\r\0", 3)) != std::string::npos)
        refuse(path, "more than one line");
    return text;
}

bool secretFileIsWorldReadable(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0;
}

} // namespace vek
