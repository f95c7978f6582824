// A minimal program against the installed libtavlo: matches a topic against a filter and prints
// the captured wildcard values, one per line as "<n>: <value>".
//
//   tavlo_consumer [filter topic]     (default: in/key/+/request in/key/00A1B2C3/request)

#include <tavlo/client.h>
#include <tavlo/filter_vars.h>
#include <tavlo/wildcard.h>

#include <cstdio>
#include <exception>

int main(int argc, char** argv)
{
    const char* filterText = argc == 3 ? argv[1] : "in/key/+/request";
    const char* topic = argc == 3 ? argv[2] : "in/key/00A1B2C3/request";
    try {
        // A client as the programs build one, to show the library and its dependencies link.
        mosqpp::lib_init();
        {
            tavlo::ClientSessionOptions options;
            options.client_id = "tavlo_consumer";
            tavlo::Client client(options, nullptr);
        }
        mosqpp::lib_cleanup();

        tavlo::Filter filter(filterText);
        if (!filter.compareWithTopic(topic)) {
            std::printf("no match\n");
            return 1;
        }
        const tavlo::FilterVariables variables = filter.captureFilterVariables(topic);
        int n = 0;
        for (const tavlo::Wildcard& w : variables.getWildcards())
            std::printf("%d: %s\n", ++n, w.value.c_str());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tavlo_consumer: %s\n", e.what());
        return 2;
    }
}
