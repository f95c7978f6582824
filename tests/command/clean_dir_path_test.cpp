#include "src/server_comms.h"

#include <gtest/gtest.h>
#include <string>

// The entry module's flag; server_comms reads it.
volatile sig_atomic_t vek::program_running = 1;

namespace {

TEST(CleanDirPath, GuaranteesOneTrailingSlashByTheLastCharacterOnly)
{
    const std::pair<std::string, std::string> cases[] = {
        {"", "/"}, {"/", "/"}, {"a", "a/"}, {"a/", "a/"}, {"a//", "a//"}, {" a", " a/"}, {"/x/y", "/x/y/"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(vek::clean_dir_path(in), out) << in;
}

} // namespace
