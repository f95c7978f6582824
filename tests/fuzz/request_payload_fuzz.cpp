// A command request payload goes through the size pre-check and then msgpack::unpack. Whatever
// the bytes, the pair must answer what the unpacker alone would answer (the same "parse error" or
// "insufficient bytes" at the same byte, the same length for a good object), and must never
// allocate more than a small multiple of the payload while doing so.

#include <cstdint>
#include <string>

#include <msgpack.hpp>

#include "common/packed_object_check.h"
#include "fuzz_support.h"

namespace {

// Nesting allowed in a whole payload, as both daemons check it.
constexpr unsigned kDepth = vek::packed_object_max_depth;

// Object tree of n items: at most two objects' room per byte, the zone's doubling and its first
// chunk, the parser's stacks.
size_t heapBound(size_t size) { return 64 * size + 64 * 1024; }

struct Verdict {
    bool ok = false;
    size_t length = 0;
    std::string reason;
};

std::string describe(const Verdict& v)
{
    return v.ok ? "object of " + std::to_string(v.length) + " bytes" : "\"" + v.reason + "\"";
}

// msgpack::unpack is the library's parser driven by its object-building visitor. This visitor
// drives the same parser and throws what that one throws, with the same depth rule, but builds
// nothing, so a forged element count costs it nothing.
class UnpackVerdict : public msgpack::null_visitor {
public:
    explicit UnpackVerdict(unsigned depth) : _limit(depth) {}
    bool start_array(uint32_t) { return open(); }
    bool end_array() { return close(); }
    bool start_map(uint32_t) { return open(); }
    bool end_map() { return close(); }
    void parse_error(size_t, size_t) { throw msgpack::parse_error("parse error"); }
    void insufficient_bytes(size_t, size_t) { throw msgpack::insufficient_bytes("insufficient bytes"); }

private:
    // The object visitor counts the slot of the object being built: one more than the open
    // containers.
    bool open()
    {
        if (_stack > _limit)
            throw msgpack::depth_size_overflow("depth size overflow");
        ++_stack;
        return true;
    }
    bool close()
    {
        --_stack;
        return true;
    }
    size_t _limit;
    size_t _stack = 1;
};

Verdict unpackerAlone(const char* data, size_t size)
{
    Verdict v;
    try {
        UnpackVerdict visitor(kDepth);
        size_t offset = 0;
        v.ok = msgpack::parse(data, size, offset, visitor);
        v.length = offset;
        fuzz::check(v.ok, "the parser stopped without a verdict");
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        v.reason = e.what();
    }
    return v;
}

bool referToPayload(msgpack::type::object_type, std::size_t, void*) { return true; }

// What the service does with the payload: the pre-check, then the unpacker on what it let pass.
Verdict checkThenUnpack(const char* data, size_t size)
{
    Verdict v;
    try {
        const size_t checked = vek::check_packed_object(data, size); // as the service calls it
        msgpack::zone zone;
        size_t offset = 0;
        // With the unpacker's default limits, as the service calls it: a depth the pre-check lets
        // through shows as a different verdict.
        msgpack::unpack(zone, data, size, offset, &referToPayload);
        fuzz::check(offset == checked,
                    "the pre-check measured " + std::to_string(checked) + " bytes, the unpacker took " +
                        std::to_string(offset));
        v.ok = true;
        v.length = offset;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        v.reason = e.what();
    }
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::setInput(data, size);
    const char* bytes = reinterpret_cast<const char*>(data);
    fuzz::HeapBound bound(heapBound(size), "request payload");
    const Verdict service = checkThenUnpack(bytes, size);
    const Verdict alone = unpackerAlone(bytes, size);
    fuzz::check(service.ok == alone.ok &&
                    (service.ok ? service.length == alone.length : service.reason == alone.reason),
                "pre-check and unpacker answer " + describe(service) + ", the unpacker alone " + describe(alone));
    return 0;
}
