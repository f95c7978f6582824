// Runs a fuzz target's entry point once over each input file named on the command line (a
// directory stands for every regular file in it), for builds without libFuzzer. A broken
// property aborts, which fails the run; the file being replayed is printed first.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/resource.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

#if defined(__SANITIZE_ADDRESS__)
#define VEK_REPLAY_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEK_REPLAY_ASAN 1
#endif
#endif

namespace {

// Without the sanitizer's allocation hooks a forged size can only be caught by running out of
// room: far more than any target needs, far less than a quadratic blow-up takes.
constexpr rlim_t kAddressSpace = rlim_t{1} << 30;

std::vector<std::string> inputsOf(const std::string& arg)
{
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    if (fs::is_directory(arg)) {
        for (const auto& entry : fs::directory_iterator(arg))
            if (entry.is_regular_file())
                files.push_back(entry.path().string());
        std::sort(files.begin(), files.end());
    } else {
        files.push_back(arg);
    }
    return files;
}

} // namespace

int main(int argc, char** argv)
{
#ifndef VEK_REPLAY_ASAN
    const rlimit limit{kAddressSpace, kAddressSpace};
    setrlimit(RLIMIT_AS, &limit);
#endif
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        if (!std::filesystem::exists(argv[i])) {
            std::fprintf(stderr, "replay: no such input: %s\n", argv[i]);
            return 2;
        }
        for (const std::string& file : inputsOf(argv[i])) {
            std::ifstream in(file, std::ios::binary);
            const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            if (!in.good() && !in.eof()) {
                std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
                return 2;
            }
            std::fprintf(stderr, "replay: %s (%zu bytes)\n", file.c_str(), bytes.size());
            // Like libFuzzer, never a null pointer, also for an empty input.
            static const uint8_t none = 0;
            LLVMFuzzerTestOneInput(bytes.empty() ? &none : reinterpret_cast<const uint8_t*>(bytes.data()),
                                   bytes.size());
            ++count;
        }
    }
    std::fprintf(stderr, "replay: %zu inputs, all passed\n", count);
    return 0;
}
