#pragma once

#include <dirent.h>

#include <string>

#include <log4cpp/Category.hh>

#include "common/c_handle.h"

namespace vek {

/// One open directory stream in which one script name is looked up, once.
/// Use: construct, open, at most one lookup_absolute_script (which closes the stream), destroy.
class ScriptDirectory {
public:
    /// Failures are logged to the owner's category.
    explicit ScriptDirectory(log4cpp::Category& log);
    ScriptDirectory(const ScriptDirectory&) = delete;
    ScriptDirectory& operator=(const ScriptDirectory&) = delete;

    /// Opens the directory; path must outlive this object. Logs and returns false on failure.
    bool open(const char* path);
    /// Scans the open directory for an entry named exactly script_name and closes it. On a match,
    /// script_path is the directory path and the name joined by exactly one "/".
    bool lookup_absolute_script(std::string& script_path, const std::string& script_name);
    void close();

private:
    log4cpp::Category& log;
    vek::CHandle<DIR, closedir> _directory;
    const char* _dir_path = nullptr;
};

} // namespace vek
