// cLED against the emulated board I/O driver: what the two pins are written, and when.
#include "board_fixture.h"
#include "keysmith/led.h"
#include "tests/support/wait.h"

#include <algorithm>
#include <dirent.h>
#include <thread>

using namespace boardtest;

namespace {

constexpr uint16_t kGreen = BoardIoEmulator::kGreenId;
constexpr uint16_t kRed = BoardIoEmulator::kRedId;

/// The values written to one pin, in order.
std::vector<uint16_t> values(const std::vector<PinWrite>& writes)
{
    std::vector<uint16_t> out;
    for (const auto& w : writes)
        out.push_back(w.value);
    return out;
}

int threadCount()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

} // namespace

class LedTest : public BoardTest {
protected:
    std::unique_ptr<cLED> makeLed(const std::string& greenName = BoardIoEmulator::kGreenName,
                                  const std::string& redName = BoardIoEmulator::kRedName)
    {
        return std::make_unique<cLED>(pin(greenName), pin(redName));
    }

    /// No write arrives for a while: nothing is left running that touches the pins. A window, as
    /// nothing marks the end of "never": a busy machine can only make it miss a late write, not
    /// fail a sound LED.
    void expectQuiet()
    {
        const size_t before = board->writes().size();
        std::this_thread::sleep_for(250ms);
        EXPECT_EQ(board->writes().size(), before) << "the pins were written after the call returned";
    }
};

TEST_F(LedTest, BlinksFromConstructionAlternatingBothPinsEvery100ms)
{
    auto led = makeLed();
    ASSERT_TRUE(board->waitForWrites(2 + 2 * 12, 5s));
    led.reset();

    // State 0 first, then blink phases: green at reference with red opposite, then the reverse.
    const auto green = values(board->writes(kGreen));
    const auto red = values(board->writes(kRed));
    ASSERT_GE(green.size(), 12u);
    EXPECT_EQ(green[0], 0);
    EXPECT_EQ(red[0], 0);
    for (size_t i = 1; i + 1 < green.size(); ++i) {
        SCOPED_TRACE("phase " + std::to_string(i));
        EXPECT_EQ(green[i], (i % 2 == 1) ? 0 : 1);
        EXPECT_EQ(red[i], (i % 2 == 1) ? 1 : 0);
    }

    // Phases start about 100 ms apart: never sooner, and the median resists the hiccups of a
    // busy machine (a period of 200 ms would fail).
    const auto writes = board->writes(kGreen);
    std::vector<double> gaps;
    for (size_t i = 2; i + 1 < writes.size(); ++i)
        gaps.push_back(std::chrono::duration<double, std::milli>(writes[i].at - writes[i - 1].at).count());
    std::sort(gaps.begin(), gaps.end());
    const double median = gaps[gaps.size() / 2];
    EXPECT_GE(median, 95.0);
    // The writes' way to the emulated board is slower in a sanitizer or emulator build.
    EXPECT_LT(median, 100.0 + 90.0 * testsupport::kBuildSlowdown);
}

TEST_F(LedTest, BlinkingTwiceKeepsOneThread)
{
    auto led = makeLed();
    ASSERT_TRUE(board->waitForWrites(4, 10s));
    const int threads = threadCount();
    led->set(3);
    led->set(3);
    EXPECT_EQ(threadCount(), threads);

    // One thread writes one pair per phase, 100 ms apart, never two alike in a row; a second
    // thread would double the rate and break the alternation.
    board->clearWrites();
    ASSERT_TRUE(board->waitForWrites(2 * 11, 10s));
    const auto writes = board->writes(kGreen);
    const auto green = values(writes);
    ASSERT_GE(green.size(), 11u);
    EXPECT_GE(writes[10].at - writes[0].at, 10 * 95ms);
    for (size_t i = 1; i < green.size(); ++i)
        EXPECT_NE(green[i], green[i - 1]) << "phase " << i;
}

TEST_F(LedTest, SteadyStatesStopBlinkingAndWriteTheirLevels)
{
    struct Case {
        int state;
        uint8_t greenRef, redRef;
        int green, red; // expected last values; -1: state writes nothing
    };
    const Case cases[] = {
        {0, 0, 0, 0, 0}, {1, 0, 0, 0, 1}, {2, 0, 0, 1, 0},   {0, 1, 1, 1, 1},    {1, 1, 1, 1, 0},
        {2, 1, 1, 0, 1}, {1, 1, 0, 1, 1}, {4, 0, 0, -1, -1}, {-1, 1, 1, -1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("state " + std::to_string(c.state) + " reference levels " + std::to_string(c.greenRef) + "/" +
                     std::to_string(c.redRef));
        BoardIoEmulator::Options options;
        options.pins[0].referenceLevel = c.greenRef;
        options.pins[1].referenceLevel = c.redRef;
        useBoard(options);
        auto led = makeLed();
        ASSERT_TRUE(board->waitForWrites(6, 10s)); // state 0 and two blink phases
        led->set(c.state);
        const auto green = values(board->writes(kGreen));
        const auto red = values(board->writes(kRed));
        ASSERT_EQ(green.size(), red.size());
        if (c.green >= 0) {
            EXPECT_EQ(green.back(), c.green);
            EXPECT_EQ(red.back(), c.red);
        } else {
            // Nothing but the blink phases was written: the pins still differ as in a phase.
            EXPECT_NE(green.back() != 0, red.back() != 0);
        }
        expectQuiet();
        led.reset();
        // Destruction rests both pins, whatever came before.
        EXPECT_EQ(values(board->writes(kGreen)).back(), c.greenRef);
        EXPECT_EQ(values(board->writes(kRed)).back(), c.redRef);
    }
}

TEST_F(LedTest, DestructionStopsBlinkingRestsThePinsAndClosesTheDevice)
{
    auto led = makeLed();
    ASSERT_TRUE(board->waitForWrites(5, 10s));
    led->set(1);
    led->set(3); // blinking again
    ASSERT_TRUE(board->waitForWrites(board->writes().size() + 4, 10s));
    led.reset();
    const auto writes = board->writes();
    ASSERT_GE(writes.size(), 2u);
    // The last two writes are the resting state, one per pin.
    EXPECT_EQ(std::min(writes.rbegin()[0].pin, writes.rbegin()[1].pin), kGreen);
    EXPECT_EQ(std::max(writes.rbegin()[0].pin, writes.rbegin()[1].pin), kRed);
    EXPECT_EQ(writes.rbegin()[0].value, 0);
    EXPECT_EQ(writes.rbegin()[1].value, 0);
    expectQuiet();
    EXPECT_EQ(board->opens(), 2u) << "one descriptor per pin";
    EXPECT_TRUE(board->waitForOpenNow(0, 10s)) << "descriptors left open: " << board->openNow();
}

TEST_F(LedTest, PinsMissingFromTheDriverAreRefusedOnEveryPhase)
{
    BoardIoEmulator::Options options;
    options.pins = {{3, true, 0, "LED_WIFI", 0}};
    useBoard(options);
    auto led = makeLed();
    EXPECT_TRUE(log.has("cORXIOout", log4cpp::Priority::ERROR, "Could not find pin LED_GPS_GREEN"));
    EXPECT_TRUE(log.has("cORXIOout", log4cpp::Priority::ERROR, "Could not find pin LED_GPS_RED"));
    // Two refusals per state change: state 0, at least three blink phases, state 0 again.
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return countExact("cORXIOout", log4cpp::Priority::ERROR, "can not set input") >= 2u * 4; }));
    led.reset();
    const size_t refusals = countExact("cORXIOout", log4cpp::Priority::ERROR, "can not set input");
    EXPECT_EQ(refusals % 2, 0u);
    EXPECT_GE(refusals, 2u * 5);
    EXPECT_TRUE(board->writes().empty());
}

TEST_F(LedTest, AnInputPinIsNeverWritten)
{
    auto led = makeLed(BoardIoEmulator::kInputName, BoardIoEmulator::kRedName);
    ASSERT_TRUE(board->waitForWrites(3, 10s));
    led.reset();
    EXPECT_TRUE(board->writes(BoardIoEmulator::kInputId).empty());
    EXPECT_EQ(board->writes().size(), board->writes(kRed).size());
    EXPECT_GE(countExact("cORXIOout", log4cpp::Priority::ERROR, "can not set input"), 3u);
}
