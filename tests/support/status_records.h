#pragma once
// Reading back the daemons' status records and keysmith's progress records in tests: the
// MessagePack maps flattened into text and numbers.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace testsupport {

/// One record's top-level map: text entries and unsigned entries; nested maps and other types are
/// left out, except "limits", whose entries come as "limits.<name>".
struct Record {
    std::map<std::string, std::string> text;
    std::map<std::string, uint64_t> number;

    std::string get(const std::string& key) const;
    std::optional<uint64_t> num(const std::string& key) const;
};

/// The record, or nothing when the payload is not a MessagePack map with str keys.
std::optional<Record> decodeRecord(const std::string& payload);

} // namespace testsupport
