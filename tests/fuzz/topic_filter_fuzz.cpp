// Topic filters. Input: the filter, a newline, the topic.
//
// tavlo::Filter must give mosquitto's own verdict (mosquitto_topic_matches_sub) for every pair,
// throwing tavlo::Error with its four-line text where mosquitto refuses the pair; on a match of a
// valid filter, the captured values are the topic's levels at the filter's '+' levels and the
// rest of the topic at its '#'. A client with a handler on the filter and one on "in/cmd/+",
// given a message on the topic, calls exactly the handlers whose filters match and logs a refused
// pair verbatim, whatever characters the topic holds.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <mosquitto.h>

#include "fuzz_support.h"
#include "tavlo/client.h"

namespace {

using fuzz::check;

std::vector<std::string> levelsOf(const std::string& s)
{
    std::vector<std::string> levels{""};
    for (char c : s) {
        if (c == '/')
            levels.emplace_back();
        else
            levels.back() += c;
    }
    return levels;
}

// The wildcards of a valid filter as they must come out of a topic it matches.
std::vector<tavlo::Wildcard> expectedCapture(const std::string& filter, const std::string& topic)
{
    const std::vector<std::string> f = levelsOf(filter);
    const std::vector<std::string> t = levelsOf(topic);
    std::vector<tavlo::Wildcard> want;
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] == "+") {
            want.emplace_back(static_cast<int>(i), false);
            if (i < t.size())
                want.back().value = t[i];
        } else if (f[i] == "#") {
            want.emplace_back(static_cast<int>(i), true);
            for (size_t j = i; j < t.size(); ++j)
                want.back().value += (j > i ? "/" : "") + t[j];
        }
    }
    return want;
}

std::string refusal(const std::string& filter, const std::string& topic, int rc)
{
    return "Filter::compareWithTopic topic comparison with filter failed.\ntopic = " + topic + "\nfilter = " + filter +
        "\nerror msg = " + mosquitto_strerror(rc);
}

class Recorder : public tavlo::Handler {
public:
    explicit Recorder(const std::string& filter) : tavlo::Handler("fuzzHandler", filter, 1) {}
    void onMessage(const tavlo::FilterVariables& vars, const mosquitto_message* message, tavlo::Client&) override
    {
        ++calls;
        tavlo::log_message(log4cpp::Priority::DEBUG, _log, vars.getWildcards(), message);
    }
    int calls = 0;
};

bool matches(const std::string& filter, const std::string& topic)
{
    bool result = false;
    return mosquitto_topic_matches_sub(filter.c_str(), topic.c_str(), &result) == MOSQ_ERR_SUCCESS && result;
}

void checkDispatch(const std::string& filter, const std::string& topic, int rc)
{
    tavlo::Client client(tavlo::ClientSessionOptions{}, nullptr);
    Recorder fuzzed(filter), commands("in/cmd/+");
    client.registerHandler(&fuzzed);
    client.registerHandler(&commands);

    std::vector<char> topicText(topic.c_str(), topic.c_str() + topic.size() + 1);
    mosquitto_message message{};
    message.topic = topicText.data();
    fuzz::LogSink::instance().clear();
    client.on_message(&message);

    // A filter equal to "in/cmd/+" shares its subscription: both handlers are called once.
    check(fuzzed.calls == (matches(filter, topic) ? 1 : 0),
          "the handler on the filter was called " + std::to_string(fuzzed.calls) + " times");
    check(commands.calls == (matches("in/cmd/+", topic) ? 1 : 0),
          "the handler on in/cmd/+ was called " + std::to_string(commands.calls) + " times");
    if (rc != MOSQ_ERR_SUCCESS)
        check(fuzz::LogSink::instance().has("tavloClient", log4cpp::Priority::ERROR, refusal(filter, topic, rc)),
              "the refused pair was not logged verbatim");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    mosquitto_lib_init();
    fuzz::LogSink::instance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::setInput(data, size);
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t newline = input.find('\n');
    // What a C string holds of each: topics and filters never carry a NUL byte.
    std::string filter = input.substr(0, newline);
    std::string topic = newline == std::string::npos ? "" : input.substr(newline + 1);
    filter = filter.substr(0, filter.find('\0'));
    topic = topic.substr(0, topic.find('\0'));

    bool want = false;
    const int rc = mosquitto_topic_matches_sub(filter.c_str(), topic.c_str(), &want);
    tavlo::Filter f(filter);
    try {
        const bool got = f.compareWithTopic(topic.c_str());
        check(rc == MOSQ_ERR_SUCCESS, "a pair mosquitto refuses was compared");
        check(got == want,
              std::string("match ") + (got ? "true" : "false") + " where mosquitto says " + (want ? "true" : "false"));
    } catch (const tavlo::Error& e) {
        check(rc != MOSQ_ERR_SUCCESS, std::string("a pair mosquitto compares was refused: ") + e.what());
        check(e.what() == refusal(filter, topic, rc), std::string("refusal text: ") + e.what());
    }

    if (rc == MOSQ_ERR_SUCCESS && want && mosquitto_sub_topic_check(filter.c_str()) == MOSQ_ERR_SUCCESS) {
        const tavlo::FilterVariables vars = f.captureFilterVariables(topic.c_str());
        const std::vector<tavlo::Wildcard> expected = expectedCapture(filter, topic);
        const std::vector<tavlo::Wildcard>& got = vars.getWildcards();
        check(got.size() == expected.size(),
              std::to_string(got.size()) + " wildcards captured of " + std::to_string(expected.size()));
        for (size_t i = 0; i < got.size(); ++i)
            check(got[i].pos == expected[i].pos && got[i].multilevel == expected[i].multilevel &&
                      got[i].value == expected[i].value,
                  "wildcard " + std::to_string(i) + " captured \"" + got[i].value + "\", expected \"" +
                      expected[i].value + "\"");
    }

    checkDispatch(filter, topic, rc);
    return 0;
}
