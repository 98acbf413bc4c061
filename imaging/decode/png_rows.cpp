#include "png_rows.h"
#include "row_shrink.h"
#include "untouched_frame.h"
#include "weighted_gray.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// libpng's own limits as the library's decoder leaves them: larger pictures, and larger
// ancillary chunks, take paths of libpng's that this does not follow.
constexpr std::uint32_t libpngMaxSide = 1000000;
constexpr std::uint32_t libpngMaxChunk = 8000000;
// What libpng hands inflate at a time (PNG_IDAT_READ_SIZE), counted from each IDAT chunk's start.
constexpr std::size_t libpngIdatReadSize = 8192;

constexpr std::uint32_t chunkName(const char (&name)[5])
{
    return std::uint32_t(std::uint8_t(name[0])) << 24 | std::uint32_t(std::uint8_t(name[1])) << 16
           | std::uint32_t(std::uint8_t(name[2])) << 8 | std::uint32_t(std::uint8_t(name[3]));
}

std::uint32_t bigEndian(const unsigned char *bytes)
{
    return std::uint32_t(bytes[0]) << 24 | std::uint32_t(bytes[1]) << 16 | std::uint32_t(bytes[2]) << 8 | bytes[3];
}

// The file read front to back through a buffer of its own.
class Bytes
{
public:
    explicit Bytes(const PictureFile &file) : file(file), buffer(1 << 16) {}

    bool read(unsigned char *into, std::size_t count)
    {
        while (count > 0) {
            if (at == end && !refill())
                return false;
            const std::size_t part = std::min(count, end - at);
            std::memcpy(into, buffer.data() + at, part);
            at += part;
            into += part;
            count -= part;
        }
        return true;
    }

private:
    bool refill()
    {
        const long long got = file.read(buffer.data(), buffer.size(), offset);
        if (got <= 0)
            return false;
        offset += got;
        at = 0;
        end = std::size_t(got);
        return true;
    }

    const PictureFile &file;
    std::vector<unsigned char> buffer;
    long long offset = 0;
    std::size_t at = 0, end = 0;
};

// One chunk at a time, its checksum verified as its data is read.
class Chunks
{
public:
    explicit Chunks(const PictureFile &file) : bytes(file) {}

    bool signature()
    {
        unsigned char start[8];
        return bytes.read(start, 8) && std::memcmp(start, "\x89PNG\r\n\x1A\n", 8) == 0;
    }

    // The next chunk's header; false where libpng would refuse it outright.
    bool next()
    {
        unsigned char header[8];
        if (!bytes.read(header, 8))
            return false;
        length = left = bigEndian(header);
        name = bigEndian(header + 4);
        for (int i = 4; i < 8; ++i) {
            const unsigned char c = header[i];
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')))
                return false;
        }
        crc = crc32(crc32(0, nullptr, 0), header + 4, 4);
        return length <= 0x7FFFFFFFu;
    }

    bool critical() const { return (name & 0x20000000u) == 0; }

    // Up to `count` bytes of this chunk's data.
    bool data(unsigned char *into, std::size_t count)
    {
        if (count > left || !bytes.read(into, count))
            return false;
        crc = crc32(crc, into, uInt(count));
        left -= std::uint32_t(count);
        return true;
    }

    // The rest of the chunk's data passed over, and its checksum compared.
    bool finish()
    {
        unsigned char skipped[4096];
        while (left > 0)
            if (!data(skipped, std::min<std::size_t>(left, sizeof skipped)))
                return false;
        unsigned char stored[4];
        return bytes.read(stored, 4) && bigEndian(stored) == std::uint32_t(crc);
    }

    std::uint32_t length = 0, left = 0, name = 0;

private:
    Bytes bytes;
    uLong crc = 0;
};

// An ancillary chunk libpng reads without consequence for the pixels or the outcome, whatever it
// holds: warnings at most. eXIf turns the picture in the library's decoder, so it is not one.
bool harmlessAncillary(const Chunks &chunks)
{
    return !chunks.critical() && chunks.name != chunkName("eXIf") && chunks.length <= libpngMaxChunk;
}

struct Header
{
    std::uint32_t width = 0, height = 0;
    int depth = 0, colorType = 0;
    int channels() const { return colorType == 2 ? 3 : colorType == 4 ? 2 : colorType == 6 ? 4 : 1; }
    std::size_t rowBytes() const { return (std::size_t(width) * channels() * depth + 7) / 8; }
    int filterStep() const { return std::max(1, channels() * depth / 8); } // bytes of a whole pixel, at least one
};

bool readHeader(Chunks &chunks, Header &header)
{
    unsigned char fields[13];
    if (!chunks.signature() || !chunks.next() || chunks.name != chunkName("IHDR") || chunks.length != 13
        || !chunks.data(fields, 13) || !chunks.finish())
        return false;
    header.width = bigEndian(fields);
    header.height = bigEndian(fields + 4);
    header.depth = fields[8];
    header.colorType = fields[9];
    const int d = header.depth;
    bool depthFits = false;
    switch (header.colorType) {
    case 0: depthFits = d == 1 || d == 2 || d == 4 || d == 8 || d == 16; break;
    case 3: depthFits = d == 1 || d == 2 || d == 4 || d == 8; break;
    case 2: case 4: case 6: depthFits = d == 8 || d == 16; break;
    default: break;
    }
    // Compression and filter method 0 only; interlaced pictures are left to the library.
    return depthFits && fields[10] == 0 && fields[11] == 0 && fields[12] == 0 && header.width >= 1
           && header.height >= 1 && header.width <= libpngMaxSide && header.height <= libpngMaxSide;
}

// Where the picture data starts: the chunks before it read and checked, the palette kept, 256
// entries as libpng keeps it, those past the file's (or the depth's) count black.
bool readUpToPictureData(Chunks &chunks, const Header &header, std::array<unsigned char, 768> &palette)
{
    bool havePalette = false;
    for (;;) {
        if (!chunks.next())
            return false;
        if (chunks.name == chunkName("IDAT"))
            return header.colorType != 3 || havePalette;
        if (chunks.name == chunkName("PLTE")) {
            // A suggested palette of a true-colour picture is not worth the rules that come with it.
            if (header.colorType != 3 || havePalette || chunks.length == 0 || chunks.length > 768 || chunks.length % 3)
                return false;
            const std::size_t used = std::min<std::size_t>(chunks.length, 3u << header.depth);
            if (!chunks.data(palette.data(), used) || !chunks.finish())
                return false;
            havePalette = true;
        } else if (!harmlessAncillary(chunks) || !chunks.finish()) {
            return false;
        }
    }
}

// The filtered rows, inflated on a thread of their own into a ring that the unfiltering side
// empties; both wait only when the other is a batch behind.
class RowRing
{
public:
    // About a megabyte of rows, three at the least, however wide.
    RowRing(std::size_t stride, int height)
        : stride(stride), height(height),
          slotCount(int(std::min<std::size_t>(std::size_t(height) + 1, std::max<std::size_t>(3, (1u << 20) / stride + 1)))),
          batch(std::max(1, std::min(16, slotCount / 3))), memory(stride * std::size_t(slotCount))
    {
    }

    unsigned char *slot(int row) { return memory.data() + stride * std::size_t(row % slotCount); }

    // The producer's side: wait for room for `row`; then tell a row is done, or that no more come.
    bool waitForRoom(int row)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (row - released < slotCount || stopped)
            return !stopped;
        producerNeeds = row - slotCount + batch;
        producerWaits = true;
        changed.wait(lock, [&] { return released >= producerNeeds || stopped; });
        producerWaits = false;
        return !stopped;
    }
    void produced(int rows, bool finished)
    {
        std::unique_lock<std::mutex> lock(mutex);
        made = rows;
        done = finished;
        const bool wake = consumerWaits && (made >= consumerNeeds || done);
        lock.unlock();
        if (wake)
            changed.notify_all();
    }

    // The consumer's side: wait for `row`; false if it will never come. Rows before `row` may be
    // overwritten once released.
    bool waitForRow(int row)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (made <= row && !done) {
            consumerNeeds = std::min(height, row + batch);
            consumerWaits = true;
            changed.wait(lock, [&] { return made >= consumerNeeds || done; });
            consumerWaits = false;
        }
        return made > row;
    }
    void release(int rows)
    {
        std::unique_lock<std::mutex> lock(mutex);
        released = rows;
        const bool wake = producerWaits && released >= producerNeeds;
        lock.unlock();
        if (wake)
            changed.notify_all();
    }
    void stop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopped = true;
        }
        changed.notify_all();
    }

private:
    const std::size_t stride;
    const int height;
    const int slotCount;
    const int batch; // rows a waiting side lets pass before it is woken
    std::vector<unsigned char> memory;
    std::mutex mutex;
    std::condition_variable changed;
    int made = 0, released = 0, producerNeeds = 0, consumerNeeds = 0;
    bool done = false, stopped = false, producerWaits = false, consumerWaits = false;
};

// Inflates the picture data, which starts at the current IDAT chunk, into the ring, then reads
// the file on to its end chunk. True only where libpng would meet nothing to complain of, not
// even what it merely warns of.
bool inflateRows(Chunks &chunks, RowRing &ring, std::size_t stride, int height)
{
    z_stream stream{};
    // As libpng: the window the stream's header names, which libpng checks more strictly than zlib.
    if (inflateInit2(&stream, 0) != Z_OK)
        return false;
    struct End { z_stream &stream; ~End() { inflateEnd(&stream); } } end{stream};
    // Fed as libpng feeds it: its input in libpng's pieces, its output a row at a time. Where a
    // back-reference reaches past the window the stream's header declares, inflate refuses it or not
    // by how much of the row the same call has made, so other pieces could pass what libpng refuses.
    unsigned char input[libpngIdatReadSize];
    bool first = true, ended = false;
    const auto feed = [&]() {
        while (chunks.left == 0) {
            if (!chunks.finish() || !chunks.next() || chunks.name != chunkName("IDAT"))
                return false;
        }
        const std::size_t count = std::min<std::size_t>(chunks.left, sizeof input);
        if (!chunks.data(input, count))
            return false;
        stream.next_in = input;
        stream.avail_in = uInt(count);
        if (first && (input[0] >> 4) > 7)
            return false;
        first = false;
        return true;
    };
    const auto inflateInto = [&](unsigned char *out, std::size_t size) {
        stream.next_out = out;
        stream.avail_out = uInt(size);
        while (stream.avail_out > 0) {
            if (stream.avail_in == 0 && !feed())
                return false;
            const int result = inflate(&stream, Z_NO_FLUSH);
            if (result == Z_STREAM_END) {
                ended = true;
                return stream.avail_out == 0;
            }
            if (result != Z_OK)
                return false;
        }
        return true;
    };
    for (int row = 0; row < height; ++row) {
        if (!ring.waitForRoom(row) || ended || !inflateInto(ring.slot(row), stride))
            return false;
        ring.produced(row + 1, false);
    }
    // The stream must end right after the last row, with the chunk that holds its end. Read a byte
    // at a time, inflate takes no back-reference that libpng's larger calls would refuse.
    while (!ended) {
        unsigned char extra;
        stream.next_out = &extra;
        stream.avail_out = 1;
        if (stream.avail_in == 0 && !feed())
            return false;
        const int result = inflate(&stream, Z_NO_FLUSH);
        if (result == Z_STREAM_END)
            ended = stream.avail_out == 1;
        if (stream.avail_out == 0 || (result != Z_OK && result != Z_STREAM_END) || (result == Z_STREAM_END && !ended))
            return false;
    }
    if (stream.avail_in > 0 || chunks.left > 0 || !chunks.finish())
        return false;
    // Then empty IDAT chunks at most, harmless chunks, and the end chunk, whatever follows it.
    bool otherChunks = false;
    for (;;) {
        if (!chunks.next())
            return false;
        if (chunks.name == chunkName("IEND"))
            return chunks.length == 0 && chunks.finish();
        if (chunks.name == chunkName("IDAT") ? (chunks.length > 0 || otherChunks) : !harmlessAncillary(chunks))
            return false;
        otherChunks = otherChunks || chunks.name != chunkName("IDAT");
        if (!chunks.finish())
            return false;
    }
}

// Undoes a row's filter in place, against the unfiltered row above it; false for an unknown filter.
bool unfilter(unsigned char *row, const unsigned char *above, std::size_t size, int step)
{
    const int filter = row[0];
    ++row;
    ++above;
    switch (filter) {
    case 0:
        return true;
    case 1:
        for (std::size_t i = std::size_t(step); i < size; ++i)
            row[i] = static_cast<unsigned char>(row[i] + row[i - std::size_t(step)]);
        return true;
    case 2:
        for (std::size_t i = 0; i < size; ++i)
            row[i] = static_cast<unsigned char>(row[i] + above[i]);
        return true;
    case 3:
        for (std::size_t i = 0; i < size; ++i) {
            const int left = i >= std::size_t(step) ? row[i - std::size_t(step)] : 0;
            row[i] = static_cast<unsigned char>(row[i] + ((left + above[i]) >> 1));
        }
        return true;
    case 4:
        for (std::size_t i = 0; i < size; ++i) {
            const bool first = i < std::size_t(step);
            const int a = first ? 0 : row[i - std::size_t(step)], b = above[i], c = first ? 0 : above[i - std::size_t(step)];
            const int p = b - c, q = a - c;
            const int pa = std::abs(p), pb = std::abs(q), pc = std::abs(p + q);
            const int predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
            row[i] = static_cast<unsigned char>(row[i] + predicted);
        }
        return true;
    default:
        return false;
    }
}

// An unfiltered row in BGR, as libpng gives it to the library's decoder: 16-bit samples cut to
// their high byte, low gray depths scaled up, the palette looked up, alpha and transparency dropped.
void toBgr(const unsigned char *row, const Header &header, const std::array<unsigned char, 768> &palette,
           unsigned char *bgr)
{
    const int depth = header.depth;
    const std::size_t sample = depth == 16 ? 2 : 1, pixel = sample * std::size_t(header.channels());
    const auto packed = [row, depth](std::uint32_t x) {
        const std::uint32_t bit = x * std::uint32_t(depth);
        return (row[bit / 8] >> (8 - depth - int(bit % 8))) & ((1 << depth) - 1);
    };
    const int grayScale = depth == 1 ? 255 : depth == 2 ? 85 : depth == 4 ? 17 : 1;
    for (std::uint32_t x = 0; x < header.width; ++x, bgr += 3) {
        const unsigned char *p = row + x * pixel;
        if (header.colorType == 3) {
            const unsigned char *colour = palette.data() + 3 * (depth == 8 ? *p : packed(x));
            bgr[0] = colour[2];
            bgr[1] = colour[1];
            bgr[2] = colour[0];
        } else if (header.colorType == 0 || header.colorType == 4) {
            bgr[0] = bgr[1] = bgr[2] = static_cast<unsigned char>(depth < 8 ? packed(x) * grayScale : *p);
        } else {
            bgr[0] = p[2 * sample];
            bgr[1] = p[sample];
            bgr[2] = p[0];
        }
    }
}

} // namespace

std::optional<DecodedPicture> decodePngRows(const PictureFile &file, RowsToRead rowsToRead, LoadProgress *progress,
                                            bool shrinkRows)
{
    Chunks chunks(file);
    Header header;
    std::array<unsigned char, 768> palette{};
    if (!readHeader(chunks, header) || !withinLibraryLimits(header.width, header.height)
        || !readUpToPictureData(chunks, header, palette))
        return std::nullopt;
    const int width = int(header.width), height = int(header.height);
    const std::vector<int> rows = rowsToRead(cv::Size(width, height));
    if (rows.size() >= std::size_t(height))
        return std::nullopt; // every row is read: nothing to leave out
    std::vector<char> keep(std::size_t(height), false);
    for (const int row : rows)
        keep[std::size_t(row)] = true;

    // Either each kept row is shrunk as it comes, the picture and its weighted gray, through one
    // row of BGR; or kept in a frame of the picture's size.
    shrinkRows = shrinkRows && RowShrink::applies(cv::Size(width, height));
    std::optional<RowShrink> shrinkPicture, shrinkWeightedGray;
    cv::Mat frame;
    if (shrinkRows) {
        shrinkPicture.emplace(cv::Size(width, height));
        shrinkWeightedGray.emplace(cv::Size(width, height));
        frame.create(1, width, CV_8UC3);
    } else {
        frame = untouchedFrame(height, width);
    }
    const std::size_t size = header.rowBytes(), stride = size + 1;
    RowRing ring(stride, height);
    bool inflated = false;
    std::thread inflating;
    try {
        inflating = std::thread([&] {
            try {
                inflated = inflateRows(chunks, ring, stride, height);
            } catch (...) {
            }
            ring.produced(height, true); // whatever was not made never will be
        });
    } catch (...) { // no thread, or no memory for one: the plain decode still works
        return std::nullopt;
    }
    // The row above the first is all zeros.
    std::vector<unsigned char> zeros(stride, 0);
    const unsigned char *above = zeros.data();
    bool unfiltered = true;
    if (progress) {
        progress->rowsDone = 0;
        progress->rowsToGo = height;
    }
    for (int row = 0; row < height; ++row) {
        if ((progress && progress->cancelled) || !ring.waitForRow(row)) {
            unfiltered = false;
            break;
        }
        unsigned char *filtered = ring.slot(row);
        if (!unfilter(filtered, above, size, header.filterStep())) {
            unfiltered = false;
            break;
        }
        if (keep[std::size_t(row)] && shrinkRows) {
            toBgr(filtered + 1, header, palette, frame.data);
            shrinkPicture->add(row, frame.data);
            weightedGray(frame);
            shrinkWeightedGray->add(row, frame.data);
        } else if (keep[std::size_t(row)]) {
            toBgr(filtered + 1, header, palette, frame.ptr(row));
        }
        above = filtered;
        ring.release(row); // the row above is done with
        if (progress)
            ++progress->rowsDone;
    }
    ring.stop();
    inflating.join();
    if (!inflated || !unfiltered || (progress && progress->cancelled))
        return std::nullopt;
    if (shrinkRows) {
        ShrunkPicture shrunk = {shrinkPicture->result(), shrinkWeightedGray->result(), cv::Size(width, height)};
        if (shrunk.picture.empty() || shrunk.weightedGray.empty())
            return std::nullopt;
        return DecodedPicture{cv::Mat(), rows, 1, shrunk};
    }
    return DecodedPicture{frame, rows};
}
