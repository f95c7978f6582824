#include "keysmith/key_records.h"
#include "keysmith/server_in_nuller.h"
#include "keysmith/server_request.h"
#include "test_bytes.h"

#include "tests/support/log_capture.h"

#include <gtest/gtest.h>
#include <log4cpp/Priority.hh>
#include <sstream>

namespace {

using log4cpp::Priority;

struct DecodeCase {
    const char* name;
    std::string payload;
    bool valid;
    bool doUpgrade;
    uint32_t version;
};

TEST(ServerRequestDecode, AcceptsArraysOfBooleanAndUnsignedVersion)
{
    const DecodeCase cases[] = {
        {"empty array", bytes({0x90}), true, false, 0},
        {"boolean only", bytes({0x91, 0xc3}), true, true, 0},
        {"fixint version", bytes({0x92, 0xc2, 0x05}), true, false, 5},
        {"uint16 version", bytes({0x92, 0xc3, 0xcd, 0x12, 0x34}), true, true, 0x1234},
        {"largest version", bytes({0x92, 0xc3, 0xce, 0xff, 0xff, 0xff, 0xff}), true, true, 0xFFFFFFFF},
        {"uint64 that fits", bytes({0x92, 0xc3, 0xcf, 0, 0, 0, 0, 0, 0x08, 0x09, 0x02}), true, true, 0x080902},
        {"further elements", bytes({0x93, 0xc3, 0x07, 0xa1, 'x'}), true, true, 7},
        {"trailing bytes", bytes({0x92, 0xc3, 0x07, 0xc1, 0xff}), true, true, 7},
        {"not an array", bytes({0x05}), false, false, 0},
        {"a map", bytes({0x81, 0xa1, 'v', 0x05}), false, false, 0},
        {"first not boolean", bytes({0x92, 0x01, 0x05}), false, false, 0},
        {"version a string", bytes({0x92, 0xc3, 0xa1, '5'}), false, false, 0},
        {"version negative", bytes({0x92, 0xc3, 0xff}), false, false, 0},
        {"version a float", bytes({0x92, 0xc3, 0xca, 0x3f, 0x80, 0, 0}), false, false, 0},
        {"version above 32 bits", bytes({0x92, 0xc3, 0xcf, 0, 0, 0, 0x01, 0, 0, 0, 0}), false, false, 0},
        {"not MessagePack", bytes({0xc1}), false, false, 0},
        {"truncated", bytes({0x92, 0xc3}), false, false, 0},
        {"empty", "", false, false, 0},
        // Size headers far beyond the payload must fail before anything is allocated for them.
        {"forged array size", bytes({0xdd, 0xff, 0xff, 0xff, 0xff}), false, false, 0},
        {"forged map size", bytes({0x91, 0xdf, 0xff, 0xff, 0xff, 0xff}), false, false, 0},
        {"forged string size", bytes({0x91, 0xdb, 0xff, 0xff, 0xff, 0xff}), false, false, 0},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        ServerRequest request;
        if (!c.valid) {
            request.doUpgrade = true;
            request.version = 99;
            EXPECT_THROW(request.decode(c.payload.data(), c.payload.size()), std::exception);
            EXPECT_TRUE(request.doUpgrade); // a failed decode changes nothing
            EXPECT_EQ(request.version, 99u);
            continue;
        }
        EXPECT_NO_THROW(request.decode(c.payload.data(), c.payload.size()));
        EXPECT_EQ(request.doUpgrade, c.doUpgrade);
        EXPECT_EQ(request.version, c.version);
    }
}

TEST(ServerRequestSerial, ReadsTheTopicLevelAsHexadecimal)
{
    const std::pair<const char*, uint32_t> cases[] = {
        {"0000ABCD", 0xABCD},
        {"1a2b", 0x1A2B},
        {"0x1A2B", 0x1A2B},
        {"0X1a2B", 0x1A2B},
        {"FFFFFFFF", 0xFFFFFFFF},
        {"00000000FFFFFFFF", 0xFFFFFFFF},
        {"12zz", 0x12},
        {"zz", 0},
        {"", 0},
        {"100000000", 0},
        {"1000000000000ABCD", 0},
        {"-1", 0},
        {" -ABCD", 0},
        {"+ab", 0xAB},
    };
    for (const auto& [level, serial] : cases)
        EXPECT_EQ(ServerRequest::parseSerial(level), serial) << '"' << level << '"';
}

TEST(ServerRequestText, ShowsSerialDecisionAndVersion)
{
    testsupport::LogCapture capture;
    {
        ServerRequest request;
        request.serial = 0xABCD;
        request.version = 0x080902;
        request.doUpgrade = true;
        std::ostringstream text;
        text << request;
        EXPECT_EQ(text.str(), "Request for key: 0000ABCD Upgrade to version: 00080902");
        request.doUpgrade = false;
        request.serial = 0xFFFFFFFF;
        text.str("");
        text << request;
        EXPECT_EQ(text.str(), "Request for key: FFFFFFFF Leave at version: 00080902");
    }
    EXPECT_EQ(capture.messages("ServerRequest"), (std::vector<std::string>{"created", "deleted"}));
    EXPECT_TRUE(capture.has("ServerRequest", Priority::DEBUG, "created"));
}

TEST(KeyRecords, PackUnsignedIntegersInTheirSmallestEncoding)
{
    const std::pair<uint32_t, std::string> versions[] = {
        {0, bytes({0x00})},
        {127, bytes({0x7f})},
        {128, bytes({0xcc, 0x80})},
        {255, bytes({0xcc, 0xff})},
        {256, bytes({0xcd, 0x01, 0x00})},
        {65535, bytes({0xcd, 0xff, 0xff})},
        {65536, bytes({0xce, 0x00, 0x01, 0x00, 0x00})},
        {0x080902, bytes({0xce, 0x00, 0x08, 0x09, 0x02})},
        {0xFFFFFFFF, bytes({0xce, 0xff, 0xff, 0xff, 0xff})},
    };
    for (const auto& [version, encoded] : versions) {
        msgpack::sbuffer notification;
        msgpack::pack(notification, keysmith::Notification{version});
        EXPECT_EQ(hex({notification.data(), notification.size()}), hex(bytes({0x91}) + encoded)) << version;

        msgpack::sbuffer result;
        msgpack::pack(result, keysmith::Result{version % 2 == 0, version});
        EXPECT_EQ(hex({result.data(), result.size()}), hex(bytes({0x92, version % 2 == 0 ? 0xc3 : 0xc2}) + encoded))
            << version;
    }
}

/// The nuller called directly, with a client that never connects.
class ServerInNullerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { mosqpp::lib_init(); }
    static void TearDownTestSuite() { mosqpp::lib_cleanup(); }

    void deliver(tavlo::Handler& handler, const std::string& topic, const std::string& payload)
    {
        mosquitto_message message{};
        message.topic = const_cast<char*>(topic.c_str());
        message.payload = payload.empty() ? nullptr : const_cast<char*>(payload.data());
        message.payloadlen = static_cast<int>(payload.size());
        message.qos = 2;
        message.retain = true;
        tavlo::Filter filter(handler.topicFilter());
        handler.onMessage(filter.captureFilterVariables(topic.c_str()), &message, client);
    }

    tavlo::Client client{tavlo::ClientSessionOptions{"handler-test", true, true}, nullptr};
    testsupport::LogCapture capture;
};

TEST_F(ServerInNullerTest, LogsNonEmptyMessagesOnly)
{
    ServerInNuller nuller("nuller", "in/#", 1);
    capture.clear();
    deliver(nuller, "in/x", "");
    EXPECT_TRUE(capture.entries().empty());
    deliver(nuller, "in/x", "payload");
    const auto entries = capture.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].category, "nuller");
    EXPECT_EQ(entries[0].priority, Priority::DEBUG);
    EXPECT_NE(entries[0].message.find("topic: in/x"), std::string::npos);
    EXPECT_TRUE(capture.has("nuller", Priority::INFO, "received message in/x"));
}

} // namespace
