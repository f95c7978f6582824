#pragma once

#include "tests/support/broker.h"
#include "tests/support/child_process.h"
#include "tests/support/mqtt_test_client.h"
#include "tests/support/retained.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace commandtest {

using namespace std::chrono_literals;

// MessagePack pieces for hand-built requests.
inline std::string fixmap(int entries) { return std::string(1, static_cast<char>(0x80 | entries)); }
inline std::string str(const std::string& text)
{
    if (text.size() < 32)
        return std::string(1, static_cast<char>(0xa0 | text.size())) + text;
    return std::string("\xd9", 1) + static_cast<char>(text.size()) + text;
}
const std::string nil("\xc0", 1);

/// A request map with "lua_script" and "args" (already packed).
inline std::string request(const std::string& script, const std::string& args = nil)
{
    return fixmap(2) + str("lua_script") + str(script) + str("args") + args;
}

/// The failure result the service publishes: {"status": false, "reason": reason}, written out
/// byte by byte rather than through msgpack-c.
inline std::string failure(const std::string& reason)
{
    std::string header;
    if (reason.size() < 32)
        header = std::string(1, static_cast<char>(0xa0 | reason.size()));
    else if (reason.size() < 256)
        header = std::string("\xd9", 1) + static_cast<char>(reason.size());
    else
        header =
            std::string("\xda", 1) + static_cast<char>(reason.size() >> 8) + static_cast<char>(reason.size() & 0xff);
    return std::string("\x82\xa6status\xc2\xa6reason", 16) + header + reason;
}

/// A test broker, a directory with job scripts, a staging directory and a configuration, and the
/// real vek-command run as a child process against them, logging to its standard output (through
/// a file appender on /dev/stdout: the console appender does not flush, so a test would not see
/// the lines while the service runs).
class ServiceTest : public testsupport::BrokerTest {
protected:
    void SetUp() override
    {
        BrokerTest::SetUp();
        ::mkdir(scripts().c_str(), 0755);
        ::mkdir(staging().c_str(), 0755);
    }

    std::string scripts() const { return dir.file("scripts"); }
    std::string staging() const { return dir.file("staging"); }
    void script(const std::string& name, const std::string& body) const { dir.write("scripts/" + name + ".lua", body); }

    /// Broker, directories and console logging (DEBUG for the client, so that the SUBACK shows),
    /// followed by `extra` lines.
    std::string config(const std::string& extra = "", int port = -1) const
    {
        return dir.write("vek-command.conf",
                         "server_comms.host=127.0.0.1\n"
                         "server_comms.port=" +
                             std::to_string(port < 0 ? broker->port() : port) +
                             "\n"
                             "script.search_dirs=" +
                             scripts() +
                             "\n"
                             "script.staging_dir=" +
                             staging() +
                             "\n"
                             "log4cpp.rootCategory=INFO, out\n"
                             "log4cpp.category.server_comms=DEBUG\n"
                             "log4cpp.category.script=DEBUG\n"
                             "log4cpp.appender.out=FileAppender\n"
                             "log4cpp.appender.out.fileName=/dev/stdout\n"
                             "log4cpp.appender.out.layout=PatternLayout\n"
                             "log4cpp.appender.out.layout.ConversionPattern=%p [%c] %m%n\n" +
                             extra);
    }

    /// Starts the service; with `subscribed`, waits until the broker has acknowledged its
    /// subscription (the n-th acknowledgement for a later connection).
    std::unique_ptr<testsupport::ChildProcess> startService(const std::string& configPath, bool subscribed = true)
    {
        auto service = std::make_unique<testsupport::ChildProcess>(std::vector<std::string>{VEK_COMMAND, configPath});
        if (subscribed && !service->waitForOutput("subscribed (msg:", 10s))
            ADD_FAILURE() << "service did not subscribe:\n" << service->stdoutText() << service->stderrText();
        return service;
    }

    std::unique_ptr<testsupport::MqttTestClient> client(const std::string& filter = "out/cmd/#")
    {
        auto c = std::make_unique<testsupport::MqttTestClient>(broker->port());
        c->connect();
        if (!filter.empty())
            c->subscribe(filter);
        return c;
    }

    /// Sends a request on in/cmd/<id> and returns the payload of the result on out/cmd/<id>.
    std::string ask(testsupport::MqttTestClient& c, const std::string& id, const std::string& payload)
    {
        c.publish("in/cmd/" + id, payload);
        auto result = c.waitFor("out/cmd/" + id, 10s);
        if (!result) {
            ADD_FAILURE() << "no result for " << id;
            return "<no result>";
        }
        return result->payload;
    }

    /// The message the broker holds retained on `topic`, if any. Exact once the broker has what
    /// the test is about, e.g. after the test's client saw the result (or the removal) live.
    std::optional<testsupport::MqttTestClient::Message> retained(const std::string& topic)
    {
        return testsupport::retainedOn(broker->port(), topic);
    }

    testsupport::TempDir dir;
};

} // namespace commandtest
