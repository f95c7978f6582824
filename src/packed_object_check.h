#pragma once

#include <cstddef>

namespace vek {

/// Walks the first MessagePack object of data without building anything and returns its length
/// in bytes. Throws msgpack::insufficient_bytes ("insufficient bytes") when the object does not
/// end within size, also when a header declares more elements or bytes than remain, and
/// msgpack::depth_size_overflow when arrays and maps nest deeper than max_depth.
///
/// Run before msgpack::unpack, it makes sure every element count the unpacker allocates for is
/// backed by bytes actually received. A byte that is never valid (0xc1) ends the walk early: the
/// unpacker reports it as a parse error.
size_t check_packed_object(const char* data, size_t size, unsigned max_depth);

} // namespace vek
