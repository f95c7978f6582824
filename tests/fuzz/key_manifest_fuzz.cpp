// The firmware store's manifest: the fuzzed bytes are the MANIFEST of a store that also holds
// one firmware file, and a cKeyBinary is built over it. It may only fail with the store's own
// exceptions. A store it accepts names a firmware file inside the store path limits whose digest
// is the manifest's; for a manifest of short, complete lines, its version is the last "Version"
// line's.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include <sys/stat.h>

#include "platform/config.h"
#include "fuzz_support.h"
#include "tests/support/temp_dir.h"
#include "keysmith/key_binary.h"
#include "keysmith/packed_version.h"

namespace {

using fuzz::check;

const char* const kFirmware = "firmware image for the fuzzed store\n";

struct Store {
    testsupport::TempDir dir;
    std::string path;

    Store()
    {
        path = dir.path() + "/store";
        check(::mkdir(path.c_str(), 0700) == 0, "cannot make the store");
        dir.write("store/fw.bin", kFirmware);
        const std::string config = dir.write("keysmith.conf", "KeyBinary = " + path + "\n");
        check(cConfig::load(config.c_str()), "cannot load the configuration");
    }
};

Store& store()
{
    static Store s;
    return s;
}

std::string contentsOf(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The value of the last "Version" line, when every line is short, complete and free of NUL
// bytes; false otherwise or when there is no such line.
bool lastVersionLine(const std::string& manifest, std::string& value)
{
    if (manifest.empty() || manifest.back() != '\n' || manifest.find('\0') != std::string::npos)
        return false;
    bool found = false;
    size_t start = 0;
    while (start < manifest.size()) {
        const size_t end = manifest.find('\n', start);
        const std::string line = manifest.substr(start, end - start);
        start = end + 1;
        if (line.size() >= 100)
            return false;
        if (line.compare(0, 8, "Version:") != 0)
            continue;
        // The character after the colon is skipped whatever it is, then white space.
        size_t v = std::min<size_t>(9, line.size());
        while (v < line.size() && std::isspace(static_cast<unsigned char>(line[v])))
            ++v;
        value = line.substr(v);
        found = true;
    }
    return found;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::setInput(data, size);
    fuzz::LogSink::instance().clear();
    Store& s = store();
    const std::string manifest(reinterpret_cast<const char*>(data), size);
    s.dir.write("store/MANIFEST", manifest);

    try {
        cKeyBinary binary;
        check(std::memchr(binary.path, '\0', sizeof binary.path) &&
                  std::memchr(binary.fileName, '\0', sizeof binary.fileName) &&
                  std::memchr(binary.md5, '\0', sizeof binary.md5),
              "a field without its terminator");
        check(binary.path == s.path + "/" + binary.fileName, std::string("firmware path ") + binary.path);
        struct stat st {};
        check(::stat(binary.path, &st) == 0 && S_ISREG(st.st_mode), "the accepted firmware is not a regular file");
        check(contentsOf(binary.path) == kFirmware, "another file passed for the firmware");
        check(std::string(binary.contents().begin(), binary.contents().end()) == kFirmware,
              "the verified contents are not the firmware");
        std::string version;
        if (lastVersionLine(manifest, version))
            check(binary.version == keysmith::packVersion(version),
                  "version " + keysmith::versionText(binary.version) + " for \"" + version + "\"");
    } catch (const cKeyBinaryException&) {
        // Missing, unusable or not matching: the store's own answers.
    }
    return 0;
}
