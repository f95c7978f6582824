#include "service_client.h"

namespace vek {

ServiceClient::ServiceClient(const tavlo::ClientSessionOptions& options, const char* logCategory)
    : tavlo::Client(options, logCategory)
{
    // Without it a small answer can wait for a delayed ACK before it leaves the host.
    if (int_option(MOSQ_OPT_TCP_NODELAY, 1) != MOSQ_ERR_SUCCESS)
        log().warn("cannot set TCP_NODELAY on the MQTT client");
}

void ServiceClient::on_connect(int flags, int rc)
{
    _session_up = rc == 0;
    tavlo::Client::on_connect(flags, rc);
}

void ServiceClient::on_disconnect(int rc)
{
    _session_up = false;
    tavlo::Client::on_disconnect(rc);
}

void ServiceClient::on_publish(int mid)
{
    // Counted first: the base only logs, and it never throws into the C library.
    ++_completed;
    tavlo::Client::on_publish(mid);
}

} // namespace vek
