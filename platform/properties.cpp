#include "properties.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>

namespace {

std::string trim(const std::string& s)
{
    const char* ws = " \t\r\n\f\v";
    auto b = s.find_first_not_of(ws);
    if (b == std::string::npos)
        return "";
    auto e = s.find_last_not_of(ws);
    return s.substr(b, e - b + 1);
}

} // namespace

bool cProperties::load(const char* path)
{
    if (!path)
        return false;
    std::ifstream in(path);
    if (!in)
        return false;
    std::map<std::string, std::string> props;
    std::string line;
    while (std::getline(in, line)) {
        std::string t = trim(line);
        if (t.empty() || t[0] == '#')
            continue;
        auto eq = t.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = trim(t.substr(0, eq));
        if (key.empty())
            continue;
        props[key] = trim(t.substr(eq + 1));
    }
    if (in.bad())
        return false;
    mPropsMap = std::move(props);
    return true;
}

const char* cProperties::getString(const char* key, const char* dflt) const
{
    if (!key)
        return dflt;
    auto it = mPropsMap.find(key);
    return it == mPropsMap.end() ? dflt : it->second.c_str();
}

int cProperties::getInt(const char* key, int dflt) const
{
    const char* s = getString(key, nullptr);
    if (!s || !*s)
        return dflt;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (errno != 0 || *end != '\0' || v < INT_MIN || v > INT_MAX)
        return dflt;
    return static_cast<int>(v);
}
