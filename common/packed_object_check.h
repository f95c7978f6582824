#pragma once

#include <cstddef>

namespace vek {

/// Deepest nesting of arrays and maps accepted in a MessagePack payload from the network: a bound
/// for the decoders' own bookkeeping, well above what any request of either daemon needs.
constexpr unsigned packed_object_max_depth = 1000;

/// Walks the first MessagePack object of data[0, size) and returns its length in bytes; bytes
/// after it are not looked at. Nothing is built, and nothing is allocated for the element counts
/// and lengths the headers declare.
///
/// Its verdict is the one msgpack::unpack gives for the same bytes with the default limits except
/// a depth limit of max_depth, thrown as the same exception type with the same text:
/// - msgpack::parse_error ("parse error"): the byte 0xc1 where an object starts;
/// - msgpack::insufficient_bytes ("insufficient bytes"): the bytes end before the object does;
/// - msgpack::depth_size_overflow ("depth size overflow"): a container more than max_depth levels
///   deep (empty containers count);
/// - on targets with a 32-bit size_t only, msgpack::array_size_overflow, map_size_overflow and
///   ext_size_overflow for counts and lengths whose allocation size cannot be represented.
/// The first of these met in byte order decides, as it does for the unpacker.
///
/// Run before msgpack::unpack, it lets through only objects whose every declared element is
/// present, so the unpacker then allocates at most a small multiple of size. With `elements`,
/// it also tells how many objects the first object holds in its arrays and maps (keys and values
/// both count, the object itself does not): the unpacker's object tree takes that many
/// msgpack::object slots.
size_t check_packed_object(const char* data, size_t size, unsigned max_depth = packed_object_max_depth,
                           size_t* elements = nullptr);

/// Chunk size of the zone a checked request is unpacked into.
constexpr size_t packed_zone_chunk = 8192;

/// Memory a decoded request holds at most: its payload of `size` bytes, which the strings of the
/// tree point into, and a zone of chunk packed_zone_chunk holding the tree of `elements` objects
/// that check_packed_object counted. SIZE_MAX when that does not fit in a size_t.
size_t decoded_request_bytes(size_t size, size_t elements);

} // namespace vek
