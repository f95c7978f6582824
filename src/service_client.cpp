#include "service_client.h"

namespace vek {

namespace {

constexpr int kStatusQos = 2;

} // namespace

ServiceClient::ServiceClient(const tavlo::ClientSessionOptions& options, const char* logCategory)
    : tavlo::Client(options, logCategory), _mosq_log(log4cpp::Category::getInstance("mosq"))
{
    // Without it a small answer can wait for a delayed ACK before it leaves the host.
    if (int_option(MOSQ_OPT_TCP_NODELAY, 1) != MOSQ_ERR_SUCCESS)
        log().warn("cannot set TCP_NODELAY on the MQTT client");
}

bool ServiceClient::setStatus(const DaemonStatus& status)
{
    _status = status;
    _online = status.online();
    const std::string lost = status.lost();
    const int rc = will_set(kCommandStatusTopic, static_cast<int>(lost.size()), lost.data(), kStatusQos, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        log().error("cannot set the last will on %s: %s", kCommandStatusTopic, mosqpp::strerror(rc));
        return false;
    }
    return true;
}

bool ServiceClient::publishStatus(const std::string& record)
{
    const int rc =
        publish(nullptr, kCommandStatusTopic, static_cast<int>(record.size()), record.data(), kStatusQos, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        log().error("cannot publish the status on %s: %s", kCommandStatusTopic, mosqpp::strerror(rc));
        return false;
    }
    ++_status_published;
    return true;
}

bool ServiceClient::publishStopped() { return _status && publishStatus(_status->stopped(secondsNow())); }

void ServiceClient::on_connect(int flags, int rc)
{
    _session_up = rc == 0;
    // mosquitto formats a line for every packet whether it is logged or not, a tenth of a job's
    // instructions; on an established connection they are all DEBUG lines.
    if (_session_up && !_mosq_log.isDebugEnabled())
        library_log(false);
    tavlo::Client::on_connect(flags, rc);
    // Also after a reconnection: the broker may have published the will meanwhile.
    if (rc == 0 && _status && publishStatus(_online))
        log().info("status online on %s", kCommandStatusTopic);
}

void ServiceClient::on_disconnect(int rc)
{
    _session_up = false;
    library_log(true);
    tavlo::Client::on_disconnect(rc);
}

void ServiceClient::on_publish(int mid)
{
    // Counted first: the base only logs, and it never throws into the C library.
    ++_completed;
    tavlo::Client::on_publish(mid);
}

} // namespace vek
