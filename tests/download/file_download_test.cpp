#include "keysmith/file_download.h"

#include "tests/support/http_test_server.h"
#include "tests/support/temp_dir.h"

#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using testsupport::fileExists;
using testsupport::HttpTestServer;
using testsupport::readFile;
using testsupport::TempDir;

namespace {

// libcurl's text for an HTTP status of 400 or more under CURLOPT_FAILONERROR.
const std::string kHttpErrorText = "HTTP response code said error";

std::vector<std::string> entries(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, ".."))
                names.push_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

/// Sends this process's standard output to a file while it lives.
class StdoutToFile {
public:
    explicit StdoutToFile(const std::string& path)
    {
        std::fflush(stdout);
        _saved = ::dup(STDOUT_FILENO);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
    }
    ~StdoutToFile()
    {
        std::fflush(stdout);
        ::dup2(_saved, STDOUT_FILENO);
        ::close(_saved);
    }

private:
    int _saved;
};

/// A loopback port that refuses connections: bound, never listening, held until destruction.
class RefusingPort {
public:
    RefusingPort() : _fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::getsockname(_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        _port = ntohs(addr.sin_port);
    }
    ~RefusingPort() { ::close(_fd); }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(_port); }

private:
    int _fd;
    int _port = 0;
};

struct Outcome {
    bool ok;
    std::string error;
    std::string printed;
};

/// Every test works in a directory of its own: that is where keysmith.tmp appears.
class FileDownloadTest : public ::testing::Test {
protected:
    FileDownloadTest()
    {
        char buf[PATH_MAX];
        if (::getcwd(buf, sizeof buf))
            _old_cwd = buf;
        if (::chdir(work.path().c_str()) != 0)
            ADD_FAILURE() << "cannot enter " << work.path();
    }
    ~FileDownloadTest() override
    {
        if (::chdir(_old_cwd.c_str()) != 0)
            ADD_FAILURE() << "cannot return to " << _old_cwd;
    }

    Outcome run(cFileDownload& download)
    {
        char errbuf[512];
        std::memset(errbuf, 'X', sizeof errbuf);
        bool ok;
        {
            StdoutToFile capture(out.file("stdout"));
            ok = download.download(errbuf, sizeof errbuf);
        }
        return {ok, errbuf, readFile(out.file("stdout"))};
    }

    Outcome run(const std::string& base, const std::string& name, const std::string& destination)
    {
        cFileDownload download(base.c_str(), name.c_str(), destination.c_str());
        return run(download);
    }

    TempDir work; // working directory
    TempDir dest; // destination directory
    TempDir out;  // captured standard output

private:
    std::string _old_cwd;
};

// --- Transfers that succeed -----------------------------------------------------------------

struct Delivery {
    const char* label;
    std::string body;
    bool existing; // a file of the same name is already at the destination
};

std::string allBytes(size_t size)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return s;
}

void PrintTo(const Delivery& row, std::ostream* os) { *os << row.label; }

class Delivers : public FileDownloadTest, public ::testing::WithParamInterface<Delivery> {};

TEST_P(Delivers, FileLandsAtDestinationAndNothingElseRemains)
{
    const Delivery& row = GetParam();
    HttpTestServer server({{"/fw/key.bin", {200, row.body}}});
    if (row.existing)
        dest.write("key.bin", "an older firmware file that is longer than some new ones");

    const std::string base = server.url() + "/fw";
    const Outcome r = run(base, "key.bin", dest.path());

    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.printed, base + "/key.bin\n");
    EXPECT_EQ(readFile(dest.file("key.bin")), row.body);
    EXPECT_EQ(entries(dest.path()), std::vector<std::string>{"key.bin"});
    EXPECT_EQ(entries(work.path()), std::vector<std::string>{});
    EXPECT_EQ(server.paths(), std::vector<std::string>{"/fw/key.bin"});
}

INSTANTIATE_TEST_SUITE_P(Bodies, Delivers,
                         ::testing::Values(Delivery{"Empty", "", false}, Delivery{"Text", "firmware 1.2.3\n", false},
                                           Delivery{"ReplacesExisting", "new", true},
                                           Delivery{"FourMiBAllByteValues", allBytes(4u << 20), true}),
                         [](const auto& info) { return std::string(info.param.label); });

// --- Transfers that fail ----------------------------------------------------------------------

struct Failure {
    const char* label;
    int status;              // answer of the server; 0: connection refused
    bool missing_dir;        // destination directory does not exist
    bool existing;           // an older file is at the destination and must stay as it was
    std::string error_start; // "@dest" stands for the destination path
    int requests;
};

void PrintTo(const Failure& row, std::ostream* os) { *os << row.label; }

class FailsCleanly : public FileDownloadTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(FailsCleanly, ReportsWhyAndLeavesNoFileBehind)
{
    const Failure& row = GetParam();
    HttpTestServer server({{"/key.bin", {row.status, "error page"}}});
    RefusingPort refusing;
    const std::string base = row.status ? server.url() : refusing.url();
    const std::string destDir = row.missing_dir ? dest.file("absent") : dest.path();
    if (row.existing)
        dest.write("key.bin", "old");

    const Outcome r = run(base, "key.bin", destDir);

    EXPECT_FALSE(r.ok);
    std::string expected = row.error_start;
    if (auto at = expected.find("@dest"); at != std::string::npos)
        expected.replace(at, 5, destDir + "/key.bin");
    EXPECT_TRUE(startsWith(r.error, expected)) << r.error;
    EXPECT_EQ(r.printed, base + "/key.bin\n");
    EXPECT_EQ(entries(work.path()), std::vector<std::string>{});
    EXPECT_EQ(entries(dest.path()), row.existing ? std::vector<std::string>{"key.bin"} : std::vector<std::string>{});
    if (row.existing) {
        EXPECT_EQ(readFile(dest.file("key.bin")), "old");
    }
    EXPECT_EQ(server.requestCount(), row.requests);
}

INSTANTIATE_TEST_SUITE_P(Causes, FailsCleanly,
                         ::testing::Values(Failure{"NotFound", 404, false, false, kHttpErrorText, 1},
                                           Failure{"ServerErrorKeepsOldFile", 500, false, true, kHttpErrorText, 1},
                                           Failure{"ConnectionRefused", 0, false, true,
                                                   curl_easy_strerror(CURLE_COULDNT_CONNECT), 0},
                                           Failure{"DestinationDirMissing", 200, true, false,
                                                   "cannot move keysmith.tmp to @dest: No such file or directory", 1}),
                         [](const auto& info) { return std::string(info.param.label); });

// --- Downloads refused before anything happens --------------------------------------------

TEST_F(FileDownloadTest, LengthLimitIs254CharactersForUrlAndDestinationPath)
{
    HttpTestServer server;
    const std::string base = server.url();
    // A name that makes the URL exactly n characters long.
    auto nameFor = [&](size_t n) { return std::string(n - base.size() - 1, 'u'); };
    // A destination directory that makes "<dir>/key.bin" exactly n characters long.
    auto dirFor = [&](size_t n) {
        const std::string dir = dest.file(std::string(n - dest.path().size() - 1 - 8, 'd'));
        ::mkdir(dir.c_str(), 0700);
        return dir;
    };
    server.set("/" + nameFor(254), {200, "url"});
    server.set("/key.bin", {200, "path"});

    Outcome r = run(base, nameFor(254), dest.path());
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(readFile(dest.file(nameFor(254))), "url");

    r = run(base, "key.bin", dirFor(254));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(readFile(dirFor(254) + "/key.bin"), "path");
    EXPECT_EQ(server.requestCount(), 2);

    r = run(base, nameFor(255), dest.path());
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "URL too long (255 characters, at most 254)");
    EXPECT_EQ(r.printed, "");

    r = run(base, "key.bin", dirFor(255));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "destination path too long (255 characters, at most 254)");
    EXPECT_EQ(r.printed, "");
    EXPECT_FALSE(fileExists(dirFor(255) + "/key.bin"));

    EXPECT_EQ(server.requestCount(), 2);
    EXPECT_EQ(entries(work.path()), std::vector<std::string>{});
}

TEST_F(FileDownloadTest, TemporaryFileThatCannotBeCreatedStopsBeforeTheTransfer)
{
    // A directory in its place: refused even to root, unlike a read-only working directory.
    ASSERT_EQ(::mkdir("keysmith.tmp", 0700), 0);
    work.write("keysmith.tmp/keep", "mine");
    HttpTestServer server({{"/key.bin", {200, "data"}}});

    const Outcome r = run(server.url(), "key.bin", dest.path());

    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "cannot create keysmith.tmp: Is a directory");
    EXPECT_EQ(server.requestCount(), 0);
    EXPECT_EQ(readFile(work.file("keysmith.tmp/keep")), "mine");
    EXPECT_EQ(entries(dest.path()), std::vector<std::string>{});
}

// --- The caller's error buffer and the reuse of one object ---------------------------------

TEST_F(FileDownloadTest, ErrorTextIsCutToTheBufferAndAlwaysTerminated)
{
    HttpTestServer server;
    const std::string base = server.url();
    cFileDownload download(base.c_str(), "key.bin", dest.path().c_str());

    char buf[16];
    std::memset(buf, 'X', sizeof buf);
    {
        StdoutToFile quiet(out.file("stdout"));
        EXPECT_FALSE(download.download(buf, 8));
    }
    EXPECT_EQ(std::string(buf), kHttpErrorText.substr(0, 7));
    EXPECT_EQ(std::string(buf + 8, 8), std::string(8, 'X'));

    buf[0] = 'X';
    {
        StdoutToFile quiet(out.file("stdout"));
        EXPECT_FALSE(download.download(buf, 1));
        EXPECT_FALSE(download.download(nullptr, 0));
    }
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], 'T'); // untouched since the first call
    EXPECT_EQ(server.requestCount(), 3);
}

TEST_F(FileDownloadTest, SameObjectSucceedsAfterAFailure)
{
    HttpTestServer server;
    const std::string base = server.url();
    cFileDownload download(base.c_str(), "key.bin", dest.path().c_str());

    Outcome r = run(download);
    EXPECT_FALSE(r.ok);
    server.set("/key.bin", {200, "second try"});
    r = run(download);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(readFile(dest.file("key.bin")), "second try");
    EXPECT_EQ(entries(work.path()), std::vector<std::string>{});
}

} // namespace
