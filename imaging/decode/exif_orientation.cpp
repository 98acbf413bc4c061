#include "exif_orientation.h"

#include <cstddef>
#include <cstdint>
#include <limits>

namespace {

// The block after "Exif\0\0", read as the library reads it: Intel order only where it begins
// "II" (or is one "I"), Motorola order otherwise; a read that does not fit ends the reading.
class ExifBlock
{
public:
    ExifBlock(const unsigned char *data, std::size_t size)
        : data(data), size(size), intel(data[0] == 'I' && (size == 1 || data[1] == 'I'))
    {
    }

    bool u16(std::uint64_t at, std::uint32_t &value)
    {
        if (!fits(at, 2))
            return false;
        value = intel ? data[at] | data[at + 1] << 8 : data[at] << 8 | data[at + 1];
        return true;
    }

    bool u32(std::uint64_t at, std::uint32_t &value)
    {
        if (!fits(at, 4))
            return false;
        value = intel ? std::uint32_t(data[at]) | data[at + 1] << 8 | data[at + 2] << 16 | std::uint32_t(data[at + 3]) << 24
                      : std::uint32_t(data[at]) << 24 | data[at + 1] << 16 | data[at + 2] << 8 | data[at + 3];
        return true;
    }

    // A text: up to four characters the library takes "at" position 8 of the block, not in the
    // entry; longer ones where the entry points.
    bool text(std::uint64_t entry)
    {
        std::uint32_t length, at = 8;
        if (!u32(entry + 4, length) || (length > 4 && !u32(entry + 8, at)))
            return false;
        if (at <= size && std::uint64_t(at) + length > std::numeric_limits<std::size_t>::max())
            unsure = true; // the library's own sum would wrap
        return !unsure && at <= size && std::uint64_t(at) + length <= size;
    }

    // Rationals, two numbers each, one after the other where the entry points.
    bool rationals(std::uint64_t entry, int count)
    {
        std::uint32_t at, number;
        if (!u32(entry + 8, at))
            return false;
        for (std::uint64_t next = at; count > 0; --count, next += 8)
            if (!u32(next, number) || !u32(next + 4, number))
                return false;
        return true;
    }

    // What a stop means: no turn, as the library then keeps no orientation, unless its own
    // bounds checks wrapped (a size_t of 32 bits), when nothing can say what it read.
    int stopped() const { return unsure ? unknownOrientation : noTurn; }

private:
    bool fits(std::uint64_t at, unsigned bytes)
    {
        if (at + bytes - 1 > std::numeric_limits<std::size_t>::max())
            unsure = true;
        return !unsure && at + bytes - 1 < size;
    }

    const unsigned char *data;
    std::size_t size;
    bool intel;
    bool unsure = false;
};

} // namespace

int exifOrientation(jpeg_saved_marker_ptr markers)
{
    while (markers && markers->marker != JPEG_APP0 + 1)
        markers = markers->next;
    const std::size_t tiffHeaderOffset = 6; // "Exif\0\0"; the library does not check it
    if (!markers || markers->data_length <= tiffHeaderOffset)
        return noTurn;
    ExifBlock block(markers->data + tiffHeaderOffset, markers->data_length - tiffHeaderOffset);

    std::uint32_t tagMark, start, entries;
    if (!block.u16(2, tagMark) || tagMark != 0x2A || !block.u32(4, start) || !block.u16(start, entries))
        return block.stopped();
    std::uint64_t entry = std::uint64_t(start) + 2;
    for (std::uint32_t left = entries; left > 0; --left, entry += 12) {
        std::uint32_t tag, value;
        if (!block.u16(entry, tag))
            return block.stopped();
        bool read = true;
        switch (tag) {
        case 0x0112: // the orientation: the first one read is kept, whatever follows
            return block.u16(entry + 8, value) ? int(value) : block.stopped();
        case 0x010E: case 0x010F: case 0x0110: case 0x0131: case 0x0132: case 0x8298:
            read = block.text(entry);
            break;
        case 0x011A: case 0x011B: // resolutions
            read = block.rationals(entry, 1);
            break;
        case 0x013E: // white point
            read = block.rationals(entry, 2);
            break;
        case 0x0211: // YCbCr coefficients
            read = block.rationals(entry, 3);
            break;
        case 0x013F: case 0x0214: // primary chromaticities, reference black and white
            read = block.rationals(entry, 6);
            break;
        case 0x0128: case 0x0213: // resolution unit, YCbCr positioning
            read = block.u16(entry + 8, value);
            break;
        default: // the EXIF sub-directory's offset and every other tag: nothing read
            break;
        }
        if (!read)
            return block.stopped();
    }
    return noTurn;
}
