#pragma once

#include <cstddef>
#include <cstdint>

class TagMsg;

/// The key's identity record, filled from its reply to the identity read. Text fields hold
/// terminated strings; each array's size is its capacity, terminator included, and longer
/// texts are cut to fit. Only serial, boxName and version are used by the daemon; the other
/// fields are kept as received and named after the tag that carries them.
struct KeyInfo {
    uint32_t serial = 0;   ///< tag 0
    char text5[64] = {};   ///< tag 5
    char text7[24] = {};   ///< tag 7
    char text6[24] = {};   ///< tag 6
    char text2[11] = {};   ///< tag 2
    char text3[6] = {};    ///< tag 3
    char text4[10] = {};   ///< tag 4
    char text35[65] = {};  ///< tag 35
    uint16_t value36 = 0;  ///< tag 36
    char text43[64] = {};  ///< tag 43
    uint16_t value44 = 0;  ///< tag 44
    char boxName[24] = {}; ///< tag 1
    uint32_t version = 0;  ///< tag 8, sent as "major.minor.patch", packed major << 16 | minor << 8 | patch
    char text9[24] = {};   ///< tag 9

    /// Room for the version text as read from tag 8: at most 23 characters are decoded.
    static constexpr size_t kVersionTextSize = 24;

    /// Fills a record from every identity tag of the reply (tags 0-9, 35, 36, 43, 44), in
    /// order; other tags, and identity tags of an unexpected kind, are ignored. Moves the
    /// reply's cursor.
    static KeyInfo fromReply(TagMsg& reply);

    /// major << 16 | minor << 8 | patch from "major.minor.patch": each piece read as a decimal
    /// number the way atoi reads it (wrapping rather than overflowing), empty pieces skipped,
    /// pieces after the third ignored; no piece is limited to a byte. Empty text gives 0.
    static uint32_t versionFromText(const char* text);
};
