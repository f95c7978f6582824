#include "key_mqtt_client.h"

namespace keysmith {

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
