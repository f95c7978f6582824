#include "keysmith/key_mqtt.h"

#include "tests/support/log_capture.h"
#include "tests/support/wait.h"

#include <atomic>
#include <chrono>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <log4cpp/Priority.hh>
#include <mosquitto.h>

namespace {

std::atomic<bool> failLibraryInit{false};

} // namespace

// Stands in for the library's initialisation in this test program (the dynamic linker resolves
// the link's call to it here), so that its failure can be simulated; otherwise passes through.
extern "C" int mosquitto_lib_init(void)
{
    if (failLibraryInit)
        return MOSQ_ERR_NOMEM;
    using Init = int (*)();
    static const Init real = reinterpret_cast<Init>(::dlsym(RTLD_NEXT, "mosquitto_lib_init"));
    return real ? real() : MOSQ_ERR_UNKNOWN;
}

namespace {

using log4cpp::Priority;
using namespace std::chrono_literals;

TEST(KeyMqttWithoutLibrary, OperationsFailQuietlyWithoutClientOrThread)
{
    testsupport::LogCapture capture;
    failLibraryInit = true;
    cKeyMQTT* mqtt = cKeyMQTT::getInstance("Vondra", "127.0.0.1", 1);
    failLibraryInit = false;
    ASSERT_NE(mqtt, nullptr);
    EXPECT_TRUE(capture.has("cKeyMQTT", Priority::ERROR,
                            std::string("Couldn't init mosquitto. ") + mosqpp::strerror(MOSQ_ERR_NOMEM)));

    const std::string notSent = "Could not notify. the MQTT library is not initialised";
    mqtt->publishNotification(1, 2);
    mqtt->publishResult(true, 1, 2);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(mqtt->announceKey(1, 2), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, testsupport::kSchedulingSlack)
        << "no 15 s wait for an answer that cannot come";
    EXPECT_EQ(capture.count(notSent), 3u);
    EXPECT_FALSE(capture.contains("Notified that key"));
    EXPECT_FALSE(capture.contains("Sent result"));

    cKeyMQTT::destroyInstance();
    EXPECT_FALSE(capture.contains("Couldn't cleanup"));
}

} // namespace
