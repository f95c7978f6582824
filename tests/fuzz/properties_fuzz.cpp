// The properties reader over an arbitrary file. Any readable file loads. Each key then reads as
// the file says: the last "key = value" line for it counts, comment lines and lines without '='
// count for nothing, blanks around key and value go; getInt gives the value when it is a whole
// decimal number within int and the default otherwise; an absent key gives the default pointer.

#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "fuzz_support.h"
#include "tests/support/temp_dir.h"
#include "platform/properties.h"

namespace {

using fuzz::check;

std::string trimmed(const std::string& s)
{
    const char* blanks = " \t\r\n\f\v";
    const size_t b = s.find_first_not_of(blanks);
    if (b == std::string::npos)
        return "";
    return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

// The entries the file holds, line by line.
std::map<std::string, std::string> entriesOf(const std::string& file)
{
    std::map<std::string, std::string> entries;
    size_t start = 0;
    while (start < file.size()) {
        size_t end = file.find('\n', start);
        if (end == std::string::npos)
            end = file.size();
        const std::string line = trimmed(file.substr(start, end - start));
        start = end + 1;
        const size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos)
            continue;
        const std::string key = trimmed(line.substr(0, eq));
        if (!key.empty())
            entries[key] = trimmed(line.substr(eq + 1));
    }
    return entries;
}

// A whole decimal number within int: an optional sign and at least one digit, nothing else.
bool wholeNumber(const std::string& text, int& value)
{
    size_t i = text[0] == '+' || text[0] == '-' ? 1 : 0;
    if (i == text.size())
        return false;
    long long v = 0;
    for (size_t j = i; j < text.size(); ++j) {
        if (text[j] < '0' || text[j] > '9')
            return false;
        v = v * 10 + (text[j] - '0');
        if (v > static_cast<long long>(INT_MAX) + 1)
            return false;
    }
    if (text[0] == '-')
        v = -v;
    if (v < INT_MIN || v > INT_MAX)
        return false;
    value = static_cast<int>(v);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::setInput(data, size);
    static testsupport::TempDir dir;
    const std::string content(reinterpret_cast<const char*>(data), size);
    const std::string path = dir.write("test.conf", content);

    cProperties props;
    check(props.load(path.c_str()), "a readable file did not load");

    static const char* const dflt = "default";
    for (const auto& [key, value] : entriesOf(content)) {
        if (key.find('\0') != std::string::npos)
            continue; // cannot be asked for through a C string
        const char* got = props.getString(key.c_str(), dflt);
        check(got != dflt && got != nullptr, "key \"" + key + "\" is missing");
        // What a C string can show of the value.
        const std::string shown = value.substr(0, value.find('\0'));
        check(shown == got, "key \"" + key + "\" reads \"" + got + "\", the file says \"" + shown + "\"");
        check(props.getString(key.c_str(), nullptr) == got, "the value of \"" + key + "\" moved");

        int number = 0;
        // A value cut by a NUL byte reads as the number it shows.
        const bool isNumber = !shown.empty() && wholeNumber(shown, number);
        const int read = props.getInt(key.c_str(), -7);
        check(read == (isNumber ? number : -7),
              "getInt(\"" + key + "\") is " + std::to_string(read) + " for \"" + value + "\"");
    }
    check(props.getString("no such key = here", dflt) == dflt, "an absent key did not give the default");
    check(props.getString("no such key = here", nullptr) == nullptr, "an absent key did not give the null default");
    return 0;
}
