#include "request_options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>

#include "common/secret_file.h"

namespace vek::request {

const char* const kPasswordVariable = "VEK_REQUEST_PASSWORD";

const char* const kUsage =
    "usage: vek-request [options] SCRIPT [ARGS-AS-JSON]\n"
    "       vek-request [options] --status [--json] [--all]\n"
    "  -H, --host HOST       broker host (default localhost)\n"
    "  -p, --port PORT       broker port (default 1883, 8883 with --cafile)\n"
    "  -t, --timeout SECONDS how long to wait for the answers (default 10)\n"
    "  -q, --qos 1|2         QoS of requests, ends and the result subscription (default 2)\n"
    "  -d, --dock ID         send to the dock ID: docks/ID/ before every topic; repeatable\n"
    "      --prefix TEXT     send to the dock whose topics start with TEXT; repeatable\n"
    "      --cafile FILE     connect with TLS, trusting the CA certificates in FILE\n"
    "      --cert FILE       client certificate for TLS (with --key)\n"
    "      --key FILE        private key of the client certificate\n"
    "  -u, --username NAME   user name at the broker\n"
    "      --password-file FILE  the password at the broker, read from FILE (with --username);\n"
    "                        otherwise taken from VEK_REQUEST_PASSWORD when that is set\n"
    "  -s, --status          show the daemons and keys of the docks (default: the local one)\n"
    "      --all             with --status: every dock under docks/\n"
    "      --json            with --status: one JSON document instead of the table\n"
    "  -h, --help            this text\n"
    "  SCRIPT                job script name, without \".lua\"\n"
    "  ARGS                  the job's arguments as JSON (default: none, nil in Lua)\n"
    "With docks, one line per dock: \"<dock> ok <answer>\" or \"<dock> failed <reason>\".\n"
    "--status exits 0 when every daemon listed is online, 1 when one is not or a dock is out of\n"
    "reach, 2 on a usage or connection error.\n";

namespace {

bool parseNumber(const char* text, double& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return errno == 0 && end != text && *end == '\0';
}

bool hasWildcard(const std::string& text) { return text.find_first_of("+#") != std::string::npos; }

// The password of the login, from --password-file or else the environment; false after a message.
// Never from the command line, where every user of the machine can read it.
bool readPassword(Options& options, std::ostream& err)
{
    if (!options.password_file.empty()) {
        try {
            options.password = vek::readSecretFile(options.password_file);
        } catch (const std::exception& e) {
            err << "vek-request: " << e.what() << "\n";
            return false;
        }
    } else if (const char* env = std::getenv(kPasswordVariable)) {
        options.password = env;
    }
    return true;
}

} // namespace

ParseOutcome parseArguments(int argc, char** argv, Options& options, std::ostream& err)
{
    enum { kPrefix = 1000, kCafile, kCert, kKey, kAll, kJson, kPasswordFile };
    static const option kLong[] = {
        {"host", required_argument, nullptr, 'H'},
        {"port", required_argument, nullptr, 'p'},
        {"timeout", required_argument, nullptr, 't'},
        {"dock", required_argument, nullptr, 'd'},
        {"qos", required_argument, nullptr, 'q'},
        {"prefix", required_argument, nullptr, kPrefix},
        {"cafile", required_argument, nullptr, kCafile},
        {"cert", required_argument, nullptr, kCert},
        {"key", required_argument, nullptr, kKey},
        {"username", required_argument, nullptr, 'u'},
        {"password-file", required_argument, nullptr, kPasswordFile},
        {"status", no_argument, nullptr, 's'},
        {"all", no_argument, nullptr, kAll},
        {"json", no_argument, nullptr, kJson},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int opt;
    double number;
    std::set<std::string> prefixes;
    opterr = 0;
    optind = 0; // a full restart of GNU getopt
    while ((opt = getopt_long(argc, argv, "+H:p:t:q:d:u:sh", kLong, nullptr)) != -1) {
        switch (opt) {
        case 'H': options.host = optarg; break;
        case 'p':
            // In range before the conversion, which is undefined for NaN and out-of-range values.
            if (!parseNumber(optarg, number) || !(number >= 1 && number <= 65535) ||
                number != static_cast<int>(number)) {
                err << "vek-request: invalid port \"" << optarg << "\"\n";
                return ParseOutcome::Usage;
            }
            options.port = static_cast<int>(number);
            break;
        case 't':
            if (!parseNumber(optarg, number) || !(number > 0) || number > 86400) {
                err << "vek-request: invalid time-out \"" << optarg << "\"\n";
                return ParseOutcome::Usage;
            }
            options.timeout_s = number;
            break;
        case 'q':
            // QoS 0 could lose the request or its end without anybody noticing.
            if (std::strcmp(optarg, "1") != 0 && std::strcmp(optarg, "2") != 0) {
                err << "vek-request: invalid QoS \"" << optarg << "\" (1 or 2)\n";
                return ParseOutcome::Usage;
            }
            options.qos = optarg[0] - '0';
            break;
        case 'd':
        case kPrefix: {
            const std::string text = optarg;
            // A dock id is one topic level; a wildcard would make the topics those of other docks.
            const bool bad = opt == 'd' ? text.empty() || text.find('/') != std::string::npos || hasWildcard(text)
                                        : text.empty() || hasWildcard(text);
            if (bad) {
                err << "vek-request: invalid " << (opt == 'd' ? "dock id" : "prefix") << " \"" << text << "\"\n";
                return ParseOutcome::Usage;
            }
            Target target{text, opt == 'd' ? "docks/" + text + "/" : text};
            if (!prefixes.insert(target.prefix).second) {
                err << "vek-request: dock \"" << text << "\" given twice\n";
                return ParseOutcome::Usage;
            }
            options.targets.push_back(std::move(target));
            break;
        }
        case kCafile: options.cafile = optarg; break;
        case kCert: options.cert = optarg; break;
        case kKey: options.key = optarg; break;
        case 'u': options.username = optarg; break;
        case kPasswordFile: options.password_file = optarg; break;
        case 's': options.status = true; break;
        case kAll: options.all_docks = true; break;
        case kJson: options.json = true; break;
        case 'h': return ParseOutcome::Help;
        default: return ParseOutcome::Usage;
        }
    }
    if (options.cert.empty() != options.key.empty()) {
        err << "vek-request: --cert and --key go together\n";
        return ParseOutcome::Usage;
    }
    if (!options.cert.empty() && options.cafile.empty()) {
        err << "vek-request: a client certificate needs --cafile\n";
        return ParseOutcome::Usage;
    }
    if (!options.password_file.empty() && !options.username) {
        err << "vek-request: --password-file needs --username\n";
        return ParseOutcome::Usage;
    }
    if (options.port < 0)
        options.port = options.cafile.empty() ? 1883 : 8883;
    if (options.username && !readPassword(options, err))
        return ParseOutcome::Usage;
    const int left = argc - optind;

    if (options.status) {
        if (left != 0) {
            err << "vek-request: --status takes no script\n";
            return ParseOutcome::Usage;
        }
        if (options.all_docks && !options.targets.empty()) {
            err << "vek-request: --all and --dock or --prefix exclude each other\n";
            return ParseOutcome::Usage;
        }
        return ParseOutcome::Run;
    }
    if (options.all_docks || options.json) {
        err << "vek-request: --all and --json go with --status\n";
        return ParseOutcome::Usage;
    }
    if (left < 1 || left > 2)
        return ParseOutcome::Usage;
    options.script = argv[optind];
    if (options.script.empty()) {
        err << "vek-request: empty script name\n";
        return ParseOutcome::Usage;
    }
    if (left == 2) {
        try {
            options.args = nlohmann::json::parse(argv[optind + 1]);
        } catch (const nlohmann::json::exception& e) {
            err << "vek-request: arguments are not valid JSON: " << e.what() << "\n";
            return ParseOutcome::Usage;
        }
    }
    return ParseOutcome::Run;
}

} // namespace vek::request
