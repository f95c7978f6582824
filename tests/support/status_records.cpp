#include "status_records.h"

#include <msgpack.hpp>

namespace testsupport {

namespace {

void flatten(const msgpack::object& map, const std::string& prefix, Record& record)
{
    for (uint32_t i = 0; i < map.via.map.size; ++i) {
        const msgpack::object& k = map.via.map.ptr[i].key;
        const msgpack::object& v = map.via.map.ptr[i].val;
        if (k.type != msgpack::type::STR)
            continue;
        const std::string key = prefix + std::string(k.via.str.ptr, k.via.str.size);
        if (v.type == msgpack::type::STR)
            record.text[key] = std::string(v.via.str.ptr, v.via.str.size);
        else if (v.type == msgpack::type::POSITIVE_INTEGER)
            record.number[key] = v.via.u64;
        else if (v.type == msgpack::type::MAP && prefix.empty())
            flatten(v, key + ".", record);
    }
}

} // namespace

std::string Record::get(const std::string& key) const
{
    const auto it = text.find(key);
    return it == text.end() ? std::string() : it->second;
}

std::optional<uint64_t> Record::num(const std::string& key) const
{
    const auto it = number.find(key);
    if (it == number.end())
        return std::nullopt;
    return it->second;
}

std::optional<Record> decodeRecord(const std::string& payload)
{
    try {
        const msgpack::object_handle handle = msgpack::unpack(payload.data(), payload.size());
        if (handle.get().type != msgpack::type::MAP)
            return std::nullopt;
        Record record;
        flatten(handle.get(), "", record);
        return record;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace testsupport
