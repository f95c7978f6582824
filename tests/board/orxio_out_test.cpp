// cORXIOout against the emulated board I/O driver.
#include "board_fixture.h"

#include "tests/support/child_process.h"

#include <cerrno>
#include <memory>
#include <string>
#include <vector>
#include <unistd.h>

using namespace boardtest;

TEST_F(BoardTest, MapsThePinByNameAndWritesIdAndValueInNativeOrder)
{
    auto red = pin(BoardIoEmulator::kRedName);
    EXPECT_EQ(red->id(), BoardIoEmulator::kRedId);
    EXPECT_TRUE(red->output());
    EXPECT_TRUE(log.has("cORXIOout", log4cpp::Priority::DEBUG, "pin LED_GPS_RED initialized OUTPUT"));

    red->setValue(0x12345); // cut to 16 bits
    ASSERT_TRUE(board->waitForWrites(1, 10s));
    const PinWrite w = board->writes().at(0);
    EXPECT_EQ(w.pin, BoardIoEmulator::kRedId);
    EXPECT_EQ(w.value, 0x2345);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    EXPECT_EQ(w.bytes, (std::vector<uint8_t>{BoardIoEmulator::kRedId, 0x00, 0x45, 0x23}));
#endif
    EXPECT_TRUE(log.has("cORXIOout", log4cpp::Priority::DEBUG, "Set output 74565"));
}

TEST_F(BoardTest, GetValueAndToggleReadTheDriver)
{
    auto green = pin(BoardIoEmulator::kGreenName);
    EXPECT_FALSE(green->getValue());
    green->toggle();
    EXPECT_TRUE(green->getValue());
    EXPECT_EQ(board->value(BoardIoEmulator::kGreenId), 1);
    green->toggle();
    EXPECT_FALSE(green->getValue());
    EXPECT_EQ(board->writes(BoardIoEmulator::kGreenId).size(), 2u);

    // An input is read like any pin, never written.
    auto input = pin(BoardIoEmulator::kInputName);
    EXPECT_TRUE(log.has("cORXIOout", log4cpp::Priority::DEBUG, "pin BUTTON_RESET initialized INPUT"));
    EXPECT_TRUE(input->getValue());
    board->setValue(BoardIoEmulator::kInputId, 0);
    EXPECT_FALSE(input->getValue());
    input->toggle();
    input->setLevel();
    EXPECT_EQ(countExact("cORXIOout", log4cpp::Priority::ERROR, "can not set input"), 2u);
    EXPECT_TRUE(board->writes(BoardIoEmulator::kInputId).empty());
}

TEST_F(BoardTest, GetValueFailsOnAShortReadOrAPinMissingFromTheRecords)
{
    BoardIoEmulator::Options options;
    options.readLimit = 8; // two of the three records
    useBoard(options);
    auto input = pin(BoardIoEmulator::kInputName);
    EXPECT_FALSE(input->getValue());
    EXPECT_TRUE(log.has("cORXIOout", log4cpp::Priority::ERROR, "pin 40 not found"));

    auto absent = pin("LED_WIFI");
    log.clear();
    EXPECT_FALSE(absent->getValue());
    EXPECT_TRUE(log.has("cORXIOout", log4cpp::Priority::ERROR, "pin -1 not found"));
}

TEST_F(BoardTest, TableWalkTakesTheLastOfDuplicateNamesAndComparesWholeNames)
{
    BoardIoEmulator::Options options;
    options.pins = {
        {5, true, 0, "LED_GPS_GREEN", 0},
        {6, false, 1, "LED_GPS_GREEN", 0},
        {7, true, 1, "LED_GPS_GREEN_X", 0},
        {8, true, 1, "SIXTEEN_BYTES_XX", 0}, // fills the name field: no terminator
        {9, true, 0, "LED", 0},
    };
    useBoard(options);

    auto dup = pin("LED_GPS_GREEN");
    EXPECT_EQ(dup->id(), 6);
    EXPECT_FALSE(dup->output());
    EXPECT_TRUE(dup->level());
    EXPECT_EQ(log.count("pin LED_GPS_GREEN initialized"), 2u);

    auto full = pin("SIXTEEN_BYTES_XX");
    EXPECT_EQ(full->id(), 8);
    EXPECT_EQ(pin("LED_GPS")->id(), -1);
    EXPECT_EQ(pin("SIXTEEN_BYTES_XXY")->id(), -1);
}

TEST_F(BoardTest, DriverFailuresAreLoggedAndLeaveAPinThatRefusesWrites)
{
    struct Case {
        const char* what;
        BoardIoEmulator::Options options;
        std::string error;        // the construction failure line
        std::string writeRefusal; // what setValue says afterwards
        std::string cause;        // the line after it, with the system's reason ("": none)
    };
    BoardIoEmulator::Options noNode, countZero, countFails, countTooLarge, tableFails;
    noNode.refuseOpen = true;
    countZero.pinCount = 0;
    countFails.pinCount = -1;
    countTooLarge.pinCount = 70000; // more pins than 16-bit ids can tell apart
    tableFails.tableErrno = EIO;
    const Case cases[] = {
        {"no device node", noNode, "Could not open device /dev/orxio0", "pin not initialized",
         "open /dev/orxio0: No such file or directory"},
        {"pin count 0", countZero, "Could not map device /dev/orxio0", "can not set input",
         "ioctl pin count on /dev/orxio0: 0 pins (1 to 65536 expected)"},
        {"pin count fails", countFails, "Could not map device /dev/orxio0", "can not set input",
         "ioctl pin count on /dev/orxio0: Input/output error"},
        {"pin count too large", countTooLarge, "Could not map device /dev/orxio0", "can not set input",
         "ioctl pin count on /dev/orxio0: 70000 pins (1 to 65536 expected)"},
        {"pin table fails", tableFails, "Could not map pin LED_GPS_RED", "can not set input",
         "ioctl pin table: Input/output error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        useBoard(c.options);
        log.clear();
        auto red = pin(BoardIoEmulator::kRedName);
        EXPECT_TRUE(log.has("cORXIOout", log4cpp::Priority::ERROR, c.error));
        if (!c.cause.empty()) {
            EXPECT_TRUE(log.has("cORXIOout", log4cpp::Priority::ERROR, c.cause));
        }
        EXPECT_TRUE(log.has("cORXIOout", log4cpp::Priority::ERROR, "Could not find pin LED_GPS_RED"));
        EXPECT_EQ(red->id(), -1);
        red->setValue(1);
        red->setOppositeLevel();
        EXPECT_EQ(countExact("cORXIOout", log4cpp::Priority::ERROR, c.writeRefusal), 2u);
        EXPECT_FALSE(red->getValue());
        EXPECT_TRUE(board->writes().empty());
    }
}

TEST_F(BoardTest, AChildProgramReachesTheEmulatedDriver)
{
    testsupport::ChildProcess probe({BOARD_PROBE, board->devnode(), BoardIoEmulator::kGreenName, "1"},
                                    testbed.childEnvironment());
    ASSERT_EQ(probe.waitExitCode(20s), 0) << probe.stderrText();
    EXPECT_EQ(probe.stdoutText(), "pin 17 value 1\n");
    ASSERT_EQ(board->writes().size(), 1u);
    EXPECT_EQ(board->writes()[0].pin, BoardIoEmulator::kGreenId);
    EXPECT_EQ(board->value(BoardIoEmulator::kGreenId), 1);
    EXPECT_TRUE(board->waitForOpenNow(0, 10s));
}

TEST_F(BoardTest, APermissionErrorIsLoggedWithItsCause)
{
#if defined(VEK_TESTS_UNDER_EMULATOR)
    GTEST_SKIP() << "the probe runs under the emulator, which setpriv does not start";
#endif
    // File modes do not stop root, as whom the tests run: the probe runs as nobody instead.
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to start the probe as another user";
    auto asNobody = [&](std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", BOARD_PROBE});
        return std::make_unique<testsupport::ChildProcess>(args, testbed.childEnvironment());
    };
    // A checkout under a directory closed to others (root's home) keeps nobody from the probe.
    auto usage = asNobody({});
    if (usage->waitExitCode(20s) != 2)
        GTEST_SKIP() << "nobody cannot run the probe in this build directory: " << usage->stderrText();
    auto probe = asNobody({board->devnode(), BoardIoEmulator::kGreenName, "1"});
    EXPECT_EQ(probe->waitExitCode(20s), 3) << probe->stderrText();
    EXPECT_NE(probe->stderrText().find("open " + board->devnode() + ": Permission denied"), std::string::npos)
        << probe->stderrText();
    EXPECT_TRUE(board->writes().empty());
}
