#include "common/packed_object_check.h"

#include <cstdint>
#include <vector>

#include <msgpack.hpp>

namespace vek {

namespace {

// Where size_t is 32 bits wide, the unpacker refuses counts whose allocation it cannot express.
constexpr bool kNarrowSize = sizeof(size_t) == 4;

[[noreturn]] void truncated() { throw msgpack::insufficient_bytes("insufficient bytes"); }

// Big-endian unsigned integer of `width` bytes at data[pos]; moves pos past it.
uint64_t read_be(const unsigned char* data, size_t size, size_t& pos, unsigned width)
{
    if (size - pos < width)
        truncated();
    uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i)
        value = value << 8 | data[pos + i];
    pos += width;
    return value;
}

} // namespace

size_t check_packed_object(const char* data, size_t size, unsigned max_depth, size_t* elements)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    // Items still to read at each open level; level 0 holds the one top-level object. A count may
    // exceed the bytes left: it is only counted down, and the walk ends when the bytes do, so a
    // forged count costs nothing. Only the levels themselves are stored, at most max_depth + 1.
    std::vector<uint64_t> open{1};
    size_t pos = 0;
    // Every element read is at least one byte, so the count cannot overflow.
    size_t items = 0;
    for (;;) {
        while (!open.empty() && open.back() == 0)
            open.pop_back();
        if (open.empty()) {
            if (elements)
                *elements = items - 1;
            return pos;
        }
        --open.back();
        if (pos >= size)
            truncated();
        const unsigned char type = bytes[pos++];
        ++items;
        uint64_t skip = 0;     // bytes of a value, string, binary or extension body
        uint64_t children = 0; // elements of an array, keys and values of a map
        bool container = false;
        bool map = false;
        if (type <= 0x7f || type >= 0xe0 || type == 0xc0 || type == 0xc2 || type == 0xc3) {
            // fixint, nil, booleans: the type byte is all
        } else if (type <= 0x8f) {
            container = map = true;
            children = 2u * (type & 0x0fu);
        } else if (type <= 0x9f) {
            container = true;
            children = type & 0x0fu;
        } else if (type <= 0xbf) {
            skip = type & 0x1fu;
        } else if (type == 0xc1) {
            throw msgpack::parse_error("parse error");
        } else if (type <= 0xc6) { // bin 8, 16, 32
            skip = read_be(bytes, size, pos, 1u << (type - 0xc4));
        } else if (type <= 0xc9) { // ext 8, 16, 32: length, then the type byte and the body
            skip = read_be(bytes, size, pos, 1u << (type - 0xc7));
            if (kNarrowSize && type == 0xc9 && skip == 0xffffffffu)
                throw msgpack::ext_size_overflow("ext size overflow");
            skip += 1;
        } else if (type <= 0xcb) { // float 32, 64
            skip = type == 0xca ? 4 : 8;
        } else if (type <= 0xd3) { // uint and int 8 to 64
            skip = 1u << ((type - 0xcc) & 3);
        } else if (type <= 0xd8) { // fixext 1 to 16: the type byte and the body
            skip = 1 + (1u << (type - 0xd4));
        } else if (type <= 0xdb) { // str 8, 16, 32
            skip = read_be(bytes, size, pos, 1u << (type - 0xd9));
        } else if (type <= 0xdd) { // array 16, 32
            container = true;
            children = read_be(bytes, size, pos, type == 0xdc ? 2 : 4);
        } else { // map 16, 32
            container = map = true;
            children = 2 * read_be(bytes, size, pos, type == 0xde ? 2 : 4);
        }
        if (container) {
            // The unpacker's own order: depth first (levels open around this one, the top level
            // included), then whether the count can be allocated at all.
            if (open.size() > max_depth)
                throw msgpack::depth_size_overflow("depth size overflow");
            if (kNarrowSize) {
                if (!map && children > SIZE_MAX / sizeof(msgpack::object))
                    throw msgpack::array_size_overflow("array size overflow");
                if (map && children / 2 > SIZE_MAX / sizeof(msgpack::object_kv))
                    throw msgpack::map_size_overflow("map size overflow");
            }
            if (children > 0)
                open.push_back(children);
        } else if (skip > size - pos) {
            truncated();
        } else {
            pos += skip;
        }
    }
}

size_t decoded_request_bytes(size_t size, size_t elements)
{
    auto add = [](size_t a, size_t b) { return a > SIZE_MAX - b ? SIZE_MAX : a + b; };
    const size_t object = sizeof(msgpack::object);
    if (elements > SIZE_MAX / (3 * object))
        return SIZE_MAX;
    // The zone grows by chunks of at least twice the block that did not fit and leaves the rest
    // of the old chunk unused, so it holds at most about twice the tree; an eighth more covers
    // the chunk headers and the allocator's overhead, two chunks the first and a last one.
    const size_t tree = elements * object;
    return add(size, add(2 * tree + tree / 8, 2 * packed_zone_chunk));
}

} // namespace vek
