#pragma once

#include <map>
#include <string>

/// Key=value configuration read from a properties file that log4cpp's property configurator also
/// accepts: one entry per line, lines starting with '#' are comments, blanks around key and value
/// are trimmed, lines without '=' are ignored, and a repeated key takes its last value.
class cProperties {
public:
    /// Reads the file, replacing what was loaded before. False when it cannot be read.
    bool load(const char* path);
    /// The value, or dflt (which may be null) when the key is absent. The pointer stays valid and
    /// unchanged while the object lives and is not loaded again.
    const char* getString(const char* key, const char* dflt) const;
    /// The value as a decimal integer, or dflt when the key is absent or its value is not a whole
    /// decimal number within the range of int.
    int getInt(const char* key, int dflt) const;

private:
    std::map<std::string, std::string> mPropsMap;
};
