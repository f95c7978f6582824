#include "common/error_text.h"
#include "common/read_only_mapping.h"
#include "common/unique_fd.h"

#include "tests/support/temp_dir.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

// Each descriptor is closed exactly once, by whoever owns it last; a released one not at all.
TEST(UniqueFd, ClosesOnceByItsLastOwner)
{
    int raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(raw, 0);
    {
        vek::UniqueFd first(raw);
        vek::UniqueFd second(std::move(first));
        EXPECT_FALSE(first.valid());
        EXPECT_EQ(second.get(), raw);
        vek::UniqueFd third;
        third = std::move(second);
        EXPECT_TRUE(isOpen(raw));
    }
    EXPECT_FALSE(isOpen(raw));

    raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(raw, 0);
    {
        vek::UniqueFd owner(raw);
        EXPECT_EQ(owner.release(), raw);
    }
    EXPECT_TRUE(isOpen(raw));
    {
        vek::UniqueFd owner(raw);
        owner = vek::UniqueFd(); // assigning "none" closes what was held
        EXPECT_FALSE(isOpen(raw));
    }
    // Descriptor 0 is a real one (released again: it is this process's standard input).
    vek::UniqueFd zero(0);
    EXPECT_TRUE(zero.valid());
    zero.release();
    EXPECT_FALSE(vek::UniqueFd(-1).valid());
}

TEST(ReadOnlyMapping, MapsTheWholeFileAndEmptyFilesToNothing)
{
    testsupport::TempDir dir;
    const std::string content(10000, 'x');
    vek::UniqueFd full(::open(dir.write("full", content).c_str(), O_RDONLY | O_CLOEXEC));
    vek::ReadOnlyMapping mapping(full.get(), content.size());
    ASSERT_TRUE(mapping.ok());
    EXPECT_EQ(std::string(static_cast<const char*>(mapping.data()), mapping.size()), content);

    vek::UniqueFd empty(::open(dir.write("empty", "").c_str(), O_RDONLY | O_CLOEXEC));
    vek::ReadOnlyMapping none(empty.get(), 0);
    EXPECT_TRUE(none.ok());
    EXPECT_EQ(none.data(), nullptr);

    vek::ReadOnlyMapping failed(-1, 4096);
    EXPECT_FALSE(failed.ok());
    EXPECT_EQ(errno, EBADF);
}

// Each caller gets its own copy of the system's text, also when threads ask at once.
TEST(ErrorText, SystemTextsFromManyThreads)
{
    const std::string noEntry = "No such file or directory";
    const std::string denied = "Permission denied";
    EXPECT_EQ(vek::errorText(ENOENT), noEntry);
    EXPECT_EQ(vek::errorText(EACCES), denied);
    EXPECT_FALSE(vek::errorText(123456).empty());
    std::vector<int> wrong(8, 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < wrong.size(); ++i)
        threads.emplace_back([&, i] {
            for (int n = 0; n < 2000; ++n)
                if (vek::errorText(i % 2 ? EACCES : ENOENT) != (i % 2 ? denied : noEntry))
                    ++wrong[i];
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong, std::vector<int>(8, 0));
}

} // namespace
