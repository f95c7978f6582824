#pragma once
// The keysmith binary end to end: it runs as a child under the umockdev preload library against
// the emulated key and board, with a real broker, a test "server" client, and a stand-in `sv`
// first on PATH that records its arguments and fails while a flag file exists. Each test writes
// the daemon's configuration into its own directory; the daemon logs to a file there, one record
// per line as "category|priority|message", which the tests read back.

#include "tests/emulators/board_io_emulator.h"
#include "tests/support/broker.h"
#include "tests/support/child_process.h"
#include "keysmith/key_binary.h"
#include "tests/emulators/key_emulator.h"
#include "tests/support/mqtt_test_client.h"
#include "tests/support/retained.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_data.h"
#include "tests/support/wait.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace keysmithtest {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using emulators::BoardIoEmulator;
using emulators::KeyEmulator;
using emulators::KeyFault;
using emulators::KeyOp;
using testsupport::MqttTestClient;
using namespace std::chrono_literals;
using testsupport::bytes;
using testsupport::firmwareBytes;
using testsupport::hex;

constexpr uint32_t kSerial = 0x00A1B2C3; // the emulated key's default serial
const std::string kNotificationTopic = "out/key/00A1B2C3/notification";
const std::string kResultTopic = "out/key/00A1B2C3/result";
const std::string kRequestTopic = "in/key/00A1B2C3/request";

inline uint32_t packedVersion(unsigned major, unsigned minor, unsigned patch)
{
    return major << 16 | minor << 8 | patch;
}

/// MessagePack of a 32-bit unsigned integer in its smallest encoding.
inline std::string msgpackUint(uint32_t v)
{
    if (v < 128)
        return bytes({int(v)});
    if (v < 256)
        return bytes({0xcc, int(v)});
    if (v < 65536)
        return bytes({0xcd, int(v >> 8), int(v & 0xff)});
    return bytes({0xce, int(v >> 24), int((v >> 16) & 0xff), int((v >> 8) & 0xff), int(v & 0xff)});
}

/// [doUpgrade, version]: the server's request, and the daemon's result record.
inline std::string boolAndVersion(bool flag, uint32_t version)
{
    return bytes({0x92, flag ? 0xc3 : 0xc2}) + msgpackUint(version);
}

struct LogRecord {
    std::string category;
    std::string priority;
    std::string message;
};

class DaemonTest : public ::testing::Test {
protected:
    // Declared in order of need: the daemon goes first, the testbed last.
    emulators::Testbed testbed;
    std::unique_ptr<BoardIoEmulator> board = std::make_unique<BoardIoEmulator>(testbed);
    std::unique_ptr<KeyEmulator> key;
    std::unique_ptr<testsupport::Broker> broker;
    std::unique_ptr<MqttTestClient> server;
    testsupport::TempDir dir;
    Bytes firmware;
    std::map<std::string, std::string> settings;
    Clock::time_point startedAt;
    std::unique_ptr<testsupport::ChildProcess> daemon;
    size_t notificationsAnswered = 0; // by answerNotification

    void SetUp() override
    {
        settings = {
            {"ConnectionTime", "0"},
            {"vek.broker", "127.0.0.1"},
            // Nothing listens there unless the test starts a broker (never the default 1883).
            {"vek.broker.port", std::to_string(testsupport::freeLoopbackPort())},
            {"KeyBinary", dir.file("store")},
            {"vek.orxio.dev", board->devnode()},
            {"log4cpp.rootCategory", "DEBUG, file"},
            {"log4cpp.appender.file", "FileAppender"},
            {"log4cpp.appender.file.fileName", logPath()},
            {"log4cpp.appender.file.layout", "PatternLayout"},
            {"log4cpp.appender.file.layout.ConversionPattern", "%c|%p|%m%n"},
        };
        ::mkdir(dir.file("store").c_str(), 0755);
        ::mkdir(dir.file("bin").c_str(), 0755);
        // The stand-in for runit's sv: records its arguments, waits while the hold file exists,
        // fails while the flag file exists.
        const std::string sv =
            dir.write("bin/sv",
                      "#!/bin/sh\necho \"$*\" >> '" + dir.file("sv.calls") + "'\nwhile [ -e '" + dir.file("sv.hold") +
                          "' ]; do sleep 0.05; done\n[ -e '" + dir.file("sv.fail") + "' ] && exit 1\nexit 0\n");
        ::chmod(sv.c_str(), 0755);
    }

    void TearDown() override
    {
        if (daemon) {
            const std::string err = daemon->stderrText();
            EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
            EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
            daemon.reset(); // killed, unless it has ended; before the key and the board go
        }
        // Let the emulators see the daemon's descriptors close before they go.
        board->waitForOpenNow(0, 10s);
        if (key)
            testsupport::waitUntil([&] { return key->usbStats().openNow == 0; });
    }

    std::string logPath() const { return dir.file("keysmith.log"); }

    /// Plugs the emulated key in, reporting this firmware version.
    void plugKey(const std::string& version = "8.9.1", KeyEmulator::Options options = {})
    {
        if (version.empty())
            options.identity.texts.erase(8);
        else
            options.identity.texts[8] = version;
        key = std::make_unique<KeyEmulator>(testbed, options);
    }

    /// Puts a firmware file of that version into the store, with its MANIFEST.
    void makeStore(const std::string& version, size_t size = 3000)
    {
        firmware = firmwareBytes(size);
        const std::string path = dir.write("store/fw.bin", std::string(firmware.begin(), firmware.end()));
        std::string md5;
        for (unsigned char d : cKeyBinary::md5OfFile(path.c_str())) {
            char two[3];
            std::snprintf(two, sizeof two, "%02x", d);
            md5 += two;
        }
        dir.write("store/MANIFEST", "Filename: fw.bin\nVersion: " + version + "\nMD5: " + md5 + "\n");
    }

    /// A broker for the daemon and the test's server, subscribed to everything under in/key and
    /// out/key.
    void startBroker()
    {
        broker = std::make_unique<testsupport::Broker>();
        broker->start();
        settings["vek.broker.port"] = std::to_string(broker->port());
        server = std::make_unique<MqttTestClient>(broker->port(), "server");
        server->connect();
        server->subscribe("out/key/#", 2);
        server->subscribe("in/key/#", 2);
    }

    void setSvFailing(bool failing)
    {
        if (failing)
            dir.write("sv.fail", "");
        else
            std::remove(dir.file("sv.fail").c_str());
    }

    std::string writeConfig()
    {
        std::string text;
        for (const auto& [k, v] : settings)
            text += k + "=" + v + "\n";
        return dir.write("keysmith.conf", text);
    }

    void startDaemon()
    {
        auto env = testbed.childEnvironment();
        const char* path = std::getenv("PATH");
        env["PATH"] = dir.file("bin") + ":" + (path ? path : "/usr/bin:/bin");
        startedAt = Clock::now();
        daemon = std::make_unique<testsupport::ChildProcess>(std::vector<std::string>{KEYSMITH, writeConfig()}, env,
                                                             dir.path());
    }

    /// The daemon's log so far.
    std::vector<LogRecord> records() const
    {
        std::vector<LogRecord> out;
        std::istringstream in(testsupport::readFile(logPath()));
        std::string line;
        while (std::getline(in, line)) {
            const auto a = line.find('|');
            const auto b = a == std::string::npos ? a : line.find('|', a + 1);
            if (b == std::string::npos)
                continue; // the rest of a message that holds a newline
            out.push_back({line.substr(0, a), line.substr(a + 1, b - a - 1), line.substr(b + 1)});
        }
        return out;
    }

    /// Records whose message contains the text.
    size_t count(const std::string& text) const
    {
        size_t n = 0;
        for (const auto& r : records())
            n += r.message.find(text) != std::string::npos;
        return n;
    }

    /// A record of this category and priority with exactly this message.
    bool has(const std::string& category, const std::string& priority, const std::string& message) const
    {
        for (const auto& r : records())
            if (r.category == category && r.priority == priority && r.message == message)
                return true;
        return false;
    }

    /// Waits until at least n records contain the text.
    bool waitForLog(const std::string& text, size_t n = 1, std::chrono::milliseconds timeout = 20s) const
    {
        const auto deadline = Clock::now() + timeout;
        do {
            if (count(text) >= n)
                return true;
            std::this_thread::sleep_for(20ms);
        } while (Clock::now() < deadline);
        return false;
    }

    /// Position of the first record containing the text; records().size() when none.
    size_t indexOf(const std::string& text, size_t from = 0) const
    {
        const auto all = records();
        for (size_t i = from; i < all.size(); ++i)
            if (all[i].message.find(text) != std::string::npos)
                return i;
        return all.size();
    }

    /// The stand-in sv's calls so far, one argument string each.
    std::vector<std::string> svCalls() const
    {
        std::vector<std::string> out;
        std::istringstream in(testsupport::readFile(dir.file("sv.calls")));
        std::string line;
        while (std::getline(in, line))
            out.push_back(line);
        return out;
    }

    /// Waits until sv has been called at least n times; its calls, one argument string each.
    std::vector<std::string> svCallsAfter(size_t n, std::chrono::milliseconds timeout = 5s) const
    {
        const auto deadline = Clock::now() + timeout;
        while (svCalls().size() < n && Clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        return svCalls();
    }

    /// Waits for the key's notification and answers it with a retained request.
    std::optional<MqttTestClient::Message> answerNotification(uint32_t version, std::chrono::milliseconds timeout = 20s)
    {
        auto note = server->waitFor(kNotificationTopic, timeout);
        if (note)
            requestOnceNotified([&] { server->publish(kRequestTopic, boolAndVersion(true, version), 2, true); },
                                timeout);
        return note;
    }

    /// Sends a request with `publish` once the daemon has logged its next notification, and again
    /// as long as it is dropped. The link keeps a request only while it waits for one, which it
    /// starts right after it has logged the notification; a request that comes before is dropped
    /// ("but who cares?").
    void requestOnceNotified(const std::function<void()>& publish, std::chrono::milliseconds timeout = 20s)
    {
        ++notificationsAnswered;
        waitForLog("Notified that key ", notificationsAnswered, timeout);
        const size_t taken = count("Request for key: ");
        const auto deadline = Clock::now() + timeout;
        do {
            const size_t dropped = count("but who cares?");
            publish();
            testsupport::waitUntil(
                [&] { return count("Request for key: ") > taken || count("but who cares?") > dropped; }, 20s);
            if (count("but who cares?") == dropped)
                break;
        } while (Clock::now() < deadline);
    }

    /// Listener lines written right before it waits for a request.
    size_t listenerWaits() const { return count("Key Connected for ") + count("key was claimed "); }

    /// Publishes a retained request while the listener waits for one, and waits until the
    /// listener reports it; a request that misses the wait is dropped by the daemon, so it is
    /// sent again at the next wait.
    bool deliverRequest(const std::string& topicLevel, const std::string& payload)
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            const auto deadline = Clock::now() + 15s;
            while ((listenerWaits() <= waitsUsed || count("subscribed (msg:") == 0) && Clock::now() < deadline)
                std::this_thread::sleep_for(10ms);
            waitsUsed = listenerWaits();
            const size_t before = count("Server sent upgrade request");
            server->publish("in/key/" + topicLevel + "/request", payload, 2, true);
            if (waitForLog("Server sent upgrade request", before + 1, 6s))
                return true;
        }
        return false;
    }

    /// What the broker holds retained under the filter, once at least `count` messages are.
    testsupport::RetainedMessages retained(const std::string& filter, size_t count = 0)
    {
        return testsupport::retained(broker->port(), filter, count);
    }

    /// What the broker holds retained under the filter, once it is what the test expects
    /// (e.g. nothing, after the daemon's removal), or what is there after 10 s.
    testsupport::RetainedMessages retained(const std::string& filter,
                                           const std::function<bool(const testsupport::RetainedMessages&)>& expected)
    {
        return testsupport::retained(broker->port(), filter, expected);
    }

    /// Both LEDs took both levels in turn and came back to their reference level (0 on the emulated board).
    void expectBlinkedAndRested()
    {
        for (uint16_t pin : {BoardIoEmulator::kGreenId, BoardIoEmulator::kRedId}) {
            const auto w = board->writes(pin);
            size_t lit = 0;
            for (const auto& x : w)
                lit += x.value == 1;
            EXPECT_GE(lit, 1u) << "pin " << pin << " blinked";
            ASSERT_FALSE(w.empty());
            EXPECT_EQ(w.back().value, 0) << "pin " << pin << " back at its reference level";
        }
        EXPECT_TRUE(board->waitForOpenNow(0, 10s)) << "both pins closed";
    }

private:
    size_t waitsUsed = 0;
};

} // namespace keysmithtest
