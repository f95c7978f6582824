#pragma once

#include <string>

namespace testsupport {

/// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return _path; }
    /// Path of an entry inside the directory.
    std::string file(const std::string& name) const { return _path + "/" + name; }
    /// Writes (or replaces) a file inside the directory and returns its path.
    std::string write(const std::string& name, const std::string& content) const;

private:
    std::string _path;
};

/// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);

} // namespace testsupport
