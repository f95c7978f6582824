#include "platform/config.h"
#include "tests/support/log_capture.h"
#include "platform/properties.h"
#include "tests/support/temp_dir.h"
#include "platform/tracelog.h"

#include <gtest/gtest.h>
#include <log4cpp/PropertyConfigurator.hh>

using testsupport::TempDir;

TEST(Properties, ReadsKeysTrimsCommentsAndTakesLastDuplicate)
{
    TempDir dir;
    auto path = dir.write("a.conf",
                          "# comment\n"
                          "  server_comms.host =  broker.local  \n"
                          "no equals sign here\n"
                          "\n"
                          "port=1884\r\n"
                          "dup=first\n"
                          "dup=second\n"
                          "empty=\n"
                          "   # indented comment=1\n");
    cProperties p;
    ASSERT_TRUE(p.load(path.c_str()));
    EXPECT_STREQ(p.getString("server_comms.host", nullptr), "broker.local");
    EXPECT_EQ(p.getInt("port", 0), 1884);
    EXPECT_STREQ(p.getString("dup", nullptr), "second");
    EXPECT_STREQ(p.getString("empty", "x"), "");
    EXPECT_EQ(p.getString("# indented comment", nullptr), nullptr);
    EXPECT_EQ(p.getString("missing", nullptr), nullptr);
    EXPECT_STREQ(p.getString("missing", "dflt"), "dflt");
}

TEST(Properties, GetIntFallsBackToDefaultOnNonNumbers)
{
    TempDir dir;
    auto path = dir.write("b.conf", "a=12x\nb= -7 \nc=99999999999\nd=0x10\ne=\n");
    cProperties p;
    ASSERT_TRUE(p.load(path.c_str()));
    EXPECT_EQ(p.getInt("a", 5), 5);
    EXPECT_EQ(p.getInt("b", 5), -7);
    EXPECT_EQ(p.getInt("c", 5), 5);
    EXPECT_EQ(p.getInt("d", 5), 5);
    EXPECT_EQ(p.getInt("e", 5), 5);
    EXPECT_EQ(p.getInt("absent", 300), 300);
}

TEST(Properties, MissingFileFailsAndCopiesAreIndependent)
{
    cProperties p;
    EXPECT_FALSE(p.load("/nonexistent/file.conf"));
    EXPECT_FALSE(p.load(nullptr));

    TempDir dir;
    auto path = dir.write("c.conf", "k=v\n");
    ASSERT_TRUE(p.load(path.c_str()));
    cProperties copy = p;
    const char* before = copy.getString("k", nullptr);
    dir.write("c.conf", "k=changed\n");
    ASSERT_TRUE(p.load(path.c_str()));
    EXPECT_STREQ(copy.getString("k", nullptr), "v");
    EXPECT_EQ(copy.getString("k", nullptr), before);
    EXPECT_STREQ(p.getString("k", nullptr), "changed");
}

TEST(Config, ProcessWideValuesAndDefaults)
{
    TempDir dir;
    auto path = dir.write("k.conf", "ConnectionTime=12\nvek.broker=10.1.2.3\n");
    ASSERT_TRUE(cConfig::load(path.c_str()));
    EXPECT_EQ(cConfig::getInt("ConnectionTime", 300), 12);
    EXPECT_STREQ(cConfig::getString("vek.broker", "127.0.0.1"), "10.1.2.3");
    EXPECT_STREQ(cConfig::getString("KeyBinary", "/etc/mox/keyBinaries"), "/etc/mox/keyBinaries");
    EXPECT_EQ(cConfig::getString("KeyBinary", nullptr), nullptr);
    EXPECT_FALSE(cConfig::load("/nonexistent/keysmith.conf"));
}

TEST(Tracelog, GetLogReturnsTheSameCategory)
{
    EXPECT_EQ(&cTracelog::getLog("main"), &cTracelog::getLog("main"));
    EXPECT_EQ(&cTracelog::getLog("cKey"), &log4cpp::Category::getInstance("cKey"));
    EXPECT_FALSE(cTracelog::init("/nonexistent/keysmith.conf"));
}

// The shipped example files must serve both readers: our properties and log4cpp's configurator.
TEST(ExampleConfigs, AcceptedByBothReaders)
{
    struct Case {
        const char* file;
        const char* key;
        const char* value;
    } cases[] = {
        {EXAMPLES_DIR "/vek-command.conf", "server_comms.port", "1883"},
        {EXAMPLES_DIR "/keysmith.conf", "ConnectionTime", "300"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        cProperties p;
        ASSERT_TRUE(p.load(c.file));
        EXPECT_STREQ(p.getString(c.key, nullptr), c.value);
        EXPECT_NO_THROW(log4cpp::PropertyConfigurator::configure(c.file));
        EXPECT_TRUE(cTracelog::init(c.file));
    }
}
