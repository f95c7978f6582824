#include "request_output.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "common/log_text.h"

namespace vek::request {

std::optional<std::string> failureReason(const std::string& answer)
{
    if (answer.empty() || static_cast<unsigned char>(answer[0]) != 0x82)
        return std::nullopt;
    try {
        const nlohmann::json map = nlohmann::json::from_msgpack(answer);
        if (map.size() == 2 && map.contains("status") && map["status"] == false && map.contains("reason") &&
            map["reason"].is_string())
            return map["reason"].get<std::string>();
    } catch (const nlohmann::json::exception&) {
    }
    return std::nullopt;
}

std::string oneLine(const std::string& text) { return vek::escaped(text, 0); }

std::string forTerminal(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

int report(const Options& options, const std::vector<Transaction>& transactions, bool lost, bool interrupted,
           std::ostream& out, std::ostream& err, Terminals terminals)
{
    if (options.targets.empty()) {
        const Transaction& t = transactions.front();
        if (!t.answer) {
            if (lost)
                err << "vek-request: the connection was lost before the answer came\n";
            else
                err << "vek-request: no answer on " << t.result_topic << " within " << options.timeout_s << " s\n";
            return kExitNoAnswer;
        }
        if (const auto reason = failureReason(*t.answer)) {
            err << "failed: " << (terminals.err ? forTerminal(*reason) : *reason) << "\n";
            return kExitJobFailed;
        }
        // As it came when it goes to a file or a pipe, where the exact bytes are wanted.
        const std::string shown = terminals.out ? forTerminal(*t.answer) : *t.answer;
        out.write(shown.data(), static_cast<std::streamsize>(shown.size()));
        out << "\n" << std::flush;
        return out ? kExitAnswer : kExitNoAnswer;
    }

    int status = kExitAnswer;
    for (const Transaction& t : transactions) {
        out << t.target.label << " ";
        if (!t.answer) {
            if (interrupted)
                out << "failed interrupted\n";
            else if (lost)
                out << "failed connection to the broker lost\n";
            else
                out << "failed no answer within " << options.timeout_s << " s\n";
            status = kExitNoAnswer;
        } else if (const auto reason = failureReason(*t.answer)) {
            out << "failed " << oneLine(*reason) << "\n";
            if (status == kExitAnswer)
                status = kExitJobFailed;
        } else {
            out << "ok " << oneLine(*t.answer) << "\n";
        }
    }
    out << std::flush;
    return out ? status : kExitNoAnswer;
}

} // namespace vek::request
