#include "script_directory.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/error_text.h"
#include "common/log_text.h"

namespace vek {

ScriptDirectory::ScriptDirectory(log4cpp::Category& log) : log(log) {}

bool ScriptDirectory::open(const char* path)
{
    close();
    _directory.reset(opendir(path));
    if (!_directory) {
        const int err = errno;
        log.error("opendir(%s): %s", escaped(path).c_str(), errorText(err).c_str());
        return false;
    }
    _dir_path = path;
    return true;
}

bool ScriptDirectory::lookup_absolute_script(std::string& script_path, const std::string& script_name)
{
    if (!_directory)
        throw std::runtime_error("Didn't open directory for searching (vek::util::Dir::lookup_absolute_script)");
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(_directory.get());
        if (!entry) {
            const int err = errno;
            if (err != 0)
                log.error("readdir(%s): %s", escaped(_dir_path).c_str(), errorText(err).c_str());
            close();
            return false;
        }
        // Whole name, byte for byte, its length included: an entry never holds a "/" or a zero
        // byte, so a name that does is never found.
        if (script_name != entry->d_name)
            continue;
        const size_t dir_length = std::strlen(_dir_path);
        std::string path(_dir_path, dir_length);
        if (dir_length == 0 || _dir_path[dir_length - 1] != '/')
            path += '/';
        path += script_name;
        script_path = std::move(path);
        close();
        return true;
    }
}

void ScriptDirectory::close() { _directory.reset(); }

} // namespace vek
