// The key update daemon's upgrade request: the MessagePack payload through ServerRequest::decode
// and the serial level of the request topic through ServerRequest::parseSerial.
//
// Input: one byte n, then n bytes of topic level, then the payload.
//
// decode must accept exactly the arrays whose first element is a boolean and whose second is an
// unsigned number of at most 32 bits (either may be missing), take those two values, leave the
// request as it was when it refuses, and never allocate more than a small multiple of the
// payload. parseSerial must read the level as strtoul reads hexadecimal text, with 0 for a minus
// sign, for no digits and for anything above 32 bits.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>

#include <msgpack.hpp>

#include "fuzz_support.h"
#include "keysmith/server_request.h"

namespace {

using fuzz::check;

size_t heapBound(size_t size) { return 64 * size + 64 * 1024; }

// What a request array's first two elements are, read with a visitor that builds nothing.
class RequestShape : public msgpack::null_visitor {
public:
    enum Kind { Missing, Boolean, Unsigned, Other };
    struct Element {
        Kind kind = Missing;
        uint64_t value = 0;
    };

    bool topIsArray = false;
    Element element[2];
    unsigned deepest = 0;

    bool visit_nil() { return scalar(Other, 0); }
    bool visit_boolean(bool v) { return scalar(Boolean, v); }
    bool visit_positive_integer(uint64_t v) { return scalar(Unsigned, v); }
    // The parser reports every signed format here, also a value >= 0, which the unpacker's
    // object is a positive integer for.
    bool visit_negative_integer(int64_t v)
    {
        return v >= 0 ? scalar(Unsigned, static_cast<uint64_t>(v)) : scalar(Other, 0);
    }
    bool visit_float32(float) { return scalar(Other, 0); }
    bool visit_float64(double) { return scalar(Other, 0); }
    bool visit_str(const char*, uint32_t) { return scalar(Other, 0); }
    bool visit_bin(const char*, uint32_t) { return scalar(Other, 0); }
    bool visit_ext(const char*, uint32_t) { return scalar(Other, 0); }
    bool start_array(uint32_t)
    {
        if (_depth == 0)
            topIsArray = true;
        return open();
    }
    bool end_array_item()
    {
        if (_depth == 1)
            ++_index;
        return true;
    }
    bool end_array() { return close(); }
    bool start_map(uint32_t) { return open(); }
    bool end_map() { return close(); }
    void parse_error(size_t, size_t) { _bad = true; }
    void insufficient_bytes(size_t, size_t) { _bad = true; }
    bool bad() const { return _bad; }

private:
    bool scalar(Kind kind, uint64_t value)
    {
        if (_depth == 1 && _index < 2)
            element[_index] = {kind, value};
        return true;
    }
    bool open()
    {
        scalar(Other, 0);
        deepest = std::max(deepest, ++_depth);
        return true;
    }
    bool close()
    {
        --_depth;
        return true;
    }
    unsigned _depth = 0;
    uint32_t _index = 0;
    bool _bad = false;
};

// strtoul's reading of hexadecimal text, cut to 32 bits as the daemon wants it.
uint32_t expectedSerial(const std::string& level)
{
    const char* p = level.c_str();
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    if (*p == '-')
        return 0;
    if (*p == '+')
        ++p;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && std::isxdigit(static_cast<unsigned char>(p[2])))
        p += 2;
    uint64_t value = 0;
    for (; std::isxdigit(static_cast<unsigned char>(*p)); ++p) {
        const int digit = std::isdigit(static_cast<unsigned char>(*p)) ? *p - '0' : std::tolower(*p) - 'a' + 10;
        value = value * 16 + static_cast<uint64_t>(digit);
        if (value > 0xFFFFFFFFu)
            return 0;
    }
    return static_cast<uint32_t>(value);
}

void checkSerial(const std::string& level)
{
    const uint32_t got = ServerRequest::parseSerial(level);
    const uint32_t want = expectedSerial(level);
    check(got == want,
          "serial level \"" + level + "\" read as " + std::to_string(got) + ", expected " + std::to_string(want));
}

void checkDecode(const uint8_t* payload, size_t length)
{
    RequestShape shape;
    size_t offset = 0;
    msgpack::parse(reinterpret_cast<const char*>(payload), length, offset, shape);
    const RequestShape::Element& first = shape.element[0];
    const RequestShape::Element& second = shape.element[1];
    const bool valid = !shape.bad() && shape.topIsArray &&
        (first.kind == RequestShape::Missing || first.kind == RequestShape::Boolean) &&
        (second.kind == RequestShape::Missing ||
         (second.kind == RequestShape::Unsigned && second.value <= 0xFFFFFFFFu));

    // Values no decode would produce, to see that a refused payload changes nothing.
    ServerRequest request;
    request.doUpgrade = true;
    request.version = 0xA5A5A5A5u;
    bool accepted = false;
    {
        fuzz::HeapBound bound(heapBound(length), "ServerRequest::decode");
        try {
            request.decode(payload, length);
            accepted = true;
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception&) {
        }
    }
    if (accepted) {
        check(valid, "decode accepted a payload that is not a request");
        check(request.doUpgrade == (first.kind == RequestShape::Boolean ? first.value != 0 : true),
              "doUpgrade is not the first element");
        check(request.version == (second.kind == RequestShape::Unsigned ? second.value : 0xA5A5A5A5u),
              "version is not the second element");
    } else {
        // A depth limit may refuse a well-formed request, but none at the depths requests have.
        check(!valid || shape.deepest > 8, "decode refused a well-formed request");
        check(request.doUpgrade && request.version == 0xA5A5A5A5u, "a refused payload changed the request");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::setInput(data, size);
    fuzz::LogSink::instance().clear();
    if (size == 0)
        return 0;
    const size_t levelSize = std::min<size_t>(data[0], size - 1);
    const std::string level(reinterpret_cast<const char*>(data) + 1, levelSize);
    checkSerial(level);

    // Every serial the daemon writes in its topics reads back as itself, in either case.
    uint32_t serial = 0;
    for (size_t i = 0; i < levelSize && i < 4; ++i)
        serial = serial << 8 | static_cast<uint8_t>(level[i]);
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    check(ServerRequest::parseSerial(text) == serial, std::string("serial ") + text + " does not read back");
    std::snprintf(text, sizeof text, "%x", serial);
    check(ServerRequest::parseSerial(text) == serial, std::string("serial ") + text + " does not read back");

    checkDecode(data + 1 + levelSize, size - 1 - levelSize);
    return 0;
}
