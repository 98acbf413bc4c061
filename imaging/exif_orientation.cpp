#include "exif_orientation.h"

#include <cstddef>
#include <cstdint>

int exifOrientation(jpeg_saved_marker_ptr markers)
{
    while (markers && markers->marker != JPEG_APP0 + 1)
        markers = markers->next;
    const std::size_t tiffHeaderOffset = 6; // "Exif\0\0"; the library does not check it
    if (!markers || markers->data_length <= tiffHeaderOffset)
        return noTurn;
    const unsigned char *data = markers->data + tiffHeaderOffset;
    const std::size_t size = markers->data_length - tiffHeaderOffset;

    const bool littleEndian = data[0] == 'I' && (size == 1 || data[1] == 'I');
    const auto u16 = [&](std::size_t at, std::uint32_t &value) {
        if (at + 1 >= size)
            return false;
        value = littleEndian ? data[at] | data[at + 1] << 8 : data[at] << 8 | data[at + 1];
        return true;
    };
    const auto u32 = [&](std::size_t at, std::uint32_t &value) {
        if (at + 3 >= size)
            return false;
        value = littleEndian ? std::uint32_t(data[at]) | data[at + 1] << 8 | data[at + 2] << 16 | std::uint32_t(data[at + 3]) << 24
                             : std::uint32_t(data[at]) << 24 | data[at + 1] << 16 | data[at + 2] << 8 | data[at + 3];
        return true;
    };

    std::uint32_t tagMark, entries, offset;
    if (!u16(2, tagMark) || tagMark != 0x2A || !u32(4, offset) || !u16(offset, entries))
        return noTurn;
    offset += 2;
    for (std::uint32_t entry = 0; entry < entries; ++entry, offset += 12) {
        std::uint32_t tag;
        if (!u16(offset, tag))
            return noTurn;
        switch (tag) {
        case 0x0112: { // orientation
            std::uint32_t orientation;
            return u16(offset + 8, orientation) ? int(orientation) : noTurn;
        }
        case 0x010E: case 0x010F: case 0x0110: case 0x0131: case 0x0132: case 0x8298: { // strings
            std::uint32_t length, dataOffset = 8; // the library's quirk: short strings "at" offset 8
            if (!u32(offset + 4, length) || (length > 4 && !u32(offset + 8, dataOffset)))
                return noTurn;
            if (dataOffset > size || std::size_t(dataOffset) + length > size)
                return noTurn;
            break;
        }
        case 0x8769: // the EXIF sub-IFD's offset, not read
            break;
        case 0x011A: case 0x011B: case 0x0128: case 0x013E: case 0x013F: case 0x0211: case 0x0213: case 0x0214:
            return unknownOrientation;
        default: // not read at all
            break;
        }
    }
    return noTurn;
}
