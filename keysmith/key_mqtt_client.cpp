#include "key_mqtt_client.h"

namespace keysmith {

namespace {

constexpr int kStatusQos = 2;

} // namespace

bool KeyMqttClient::setStatus(const vek::DaemonStatus& daemon)
{
    status = daemon;
    onlineRecord = daemon.online();
    const std::string lost = daemon.lost();
    const int rc = will_set(vek::kKeysmithStatusTopic, static_cast<int>(lost.size()), lost.data(), kStatusQos, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        log().error("cannot set the last will on %s: %s", vek::kKeysmithStatusTopic, mosqpp::strerror(rc));
        return false;
    }
    return true;
}

bool KeyMqttClient::publishStatus(const std::string& record)
{
    const int rc =
        publishTracked(vek::kKeysmithStatusTopic, static_cast<int>(record.size()), record.data(), kStatusQos, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        log().error("cannot publish the status on %s: %s", vek::kKeysmithStatusTopic, mosqpp::strerror(rc));
        return false;
    }
    return true;
}

bool KeyMqttClient::publishStopped() { return status && publishStatus(status->stopped(vek::secondsNow())); }

void KeyMqttClient::on_connect(int flags, int rc)
{
    tavlo::Client::on_connect(flags, rc);
    // Also after a reconnection: the broker may have published the will meanwhile.
    if (rc == 0 && status && publishStatus(onlineRecord))
        log().info("status online on %s", vek::kKeysmithStatusTopic);
}

int KeyMqttClient::publishTracked(const char* topic, int payloadLength, const void* payload, int qos, bool retain)
{
    std::lock_guard<std::mutex> lock(mutex);
    int mid = 0;
    const int rc = publish(&mid, topic, payloadLength, payload, qos, retain);
    if (rc == MOSQ_ERR_SUCCESS)
        inFlight.insert(mid);
    return rc;
}

size_t KeyMqttClient::unconfirmed() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return inFlight.size();
}

void KeyMqttClient::on_publish(int mid)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        inFlight.erase(mid);
    }
    tavlo::Client::on_publish(mid);
}

} // namespace keysmith
