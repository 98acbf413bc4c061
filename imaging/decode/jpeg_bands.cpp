#include "jpeg_bands.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <system_error>
#include <thread>

namespace {

// A band decodes at least this many MCU rows of its own, or its thread does not pay.
constexpr int minimumRowsPerBand = 8;
// The headers are copied into every band; a file whose headers are larger is decoded as one.
constexpr std::size_t largestHeaders = 1 << 20;

// Reads a file in large pieces for a parser that mostly looks for 0xFF bytes.
class Reader
{
public:
    explicit Reader(const PictureFile &file)
        : file(file)
        , buffer(1 << 16)
    {}

    // The next byte, or -1 at the end of the file or on a read error.
    int next()
    {
        if (at == end && !refill())
            return -1;
        return *at++;
    }

    // Reads past the next 0xFF byte; false if there is none.
    bool passNextFF()
    {
        for (;;) {
            if (const void *found = std::memchr(at, 0xFF, std::size_t(end - at))) {
                at = static_cast<const unsigned char *>(found) + 1;
                return true;
            }
            at = end;
            if (!refill())
                return false;
        }
    }

    // The offset in the file of the next byte.
    long long position() const { return bufferStart + (at - buffer.data()); }

private:
    bool refill()
    {
        bufferStart += end - buffer.data();
        const long long got = file.read(buffer.data(), buffer.size(), bufferStart);
        at = buffer.data();
        end = at + std::max<long long>(got, 0);
        return got > 0;
    }

    const PictureFile &file;
    std::vector<unsigned char> buffer;
    const unsigned char *at = buffer.data();
    const unsigned char *end = buffer.data();
    long long bufferStart = 0;
};

// What the headers say about the scan, and the headers themselves.
struct Layout
{
    std::vector<unsigned char> headers; // the file up to the end of its SOS segment
    std::size_t heightAt = 0;           // where the frame's height is in them
    int width = 0;
    int height = 0;
    long long restartInterval = 0;      // in MCUs
    int rowHeight = 0;                  // picture rows in one MCU row
    int rows = 0;                       // MCU rows
    long long mcusPerRow = 0;
    long long mcus = 0;                 // in the whole scan
    bool verticalContext = false;       // colours subsampled vertically: upsampling blends rows
};

bool isRestartMarker(int code)
{
    return code >= 0xD0 && code <= 0xD7;
}

// Reads the headers up to the scan; nothing unless they describe one sequential Huffman scan of
// every component, 8 bits deep, with a restart interval.
std::optional<Layout> readHeaders(Reader &in)
{
    Layout layout;
    std::vector<unsigned char> &headers = layout.headers;
    const auto take = [&]() {
        const int byte = in.next();
        if (byte >= 0)
            headers.push_back(static_cast<unsigned char>(byte));
        return byte;
    };
    if (take() != 0xFF || take() != 0xD8)
        return std::nullopt;
    int components = 0, maxH = 0, maxV = 0, minV = 4;
    for (;;) {
        if (take() != 0xFF)
            return std::nullopt;
        int code;
        do
            code = take();
        while (code == 0xFF);
        // Only segments with a length: no second SOI, no EOI, no restart marker before the scan.
        if (code < 0xC0 || code == 0xD8 || code == 0xD9 || isRestartMarker(code))
            return std::nullopt;
        const int high = take(), low = take();
        if (low < 0)
            return std::nullopt;
        const int length = high << 8 | low;
        if (length < 2 || headers.size() + std::size_t(length) > largestHeaders)
            return std::nullopt;
        const std::size_t body = headers.size();
        for (int i = 2; i < length; ++i)
            if (take() < 0)
                return std::nullopt;
        const unsigned char *b = headers.data() + body;
        const int size = length - 2;
        switch (code) {
        case 0xC0: // baseline
        case 0xC1: // extended sequential, Huffman
            if (components || size < 6 || b[0] != 8)
                return std::nullopt;
            layout.height = b[1] << 8 | b[2];
            layout.width = b[3] << 8 | b[4];
            components = b[5];
            if (components < 1 || components > 4 || size != 6 + 3 * components)
                return std::nullopt;
            layout.heightAt = body + 1;
            for (int c = 0; c < components; ++c) {
                const int h = b[7 + 3 * c] >> 4, v = b[7 + 3 * c] & 15;
                if (h < 1 || h > 4 || v < 1 || v > 4)
                    return std::nullopt;
                maxH = std::max(maxH, h);
                maxV = std::max(maxV, v);
                minV = std::min(minV, v);
            }
            break;
        case 0xDD: // restart interval
            if (size != 2)
                return std::nullopt;
            layout.restartInterval = b[0] << 8 | b[1];
            break;
        case 0xDA: { // the scan: every component in it
            if (!components || size != 4 + 2 * components || b[0] != components || layout.width == 0
                || layout.height == 0 || layout.restartInterval == 0)
                return std::nullopt;
            layout.rowHeight = 8 * maxV;
            layout.rows = (layout.height + layout.rowHeight - 1) / layout.rowHeight;
            const long long blocksPerRow = (layout.width + 7) / 8;
            if (components == 1) { // one block an MCU; an MCU row is maxV rows of blocks
                layout.mcusPerRow = maxV * blocksPerRow;
                layout.mcus = blocksPerRow * ((layout.height + 7) / 8);
            } else {
                layout.mcusPerRow = (layout.width + 8 * maxH - 1) / (8 * maxH);
                layout.mcus = layout.mcusPerRow * layout.rows;
            }
            layout.verticalContext = minV < maxV;
            return layout;
        }
        default: // other coding processes, arithmetic conditioning, DNL and the like
            if ((code >= 0xC2 && code <= 0xCF && code != 0xC4) || (code >= 0xDC && code <= 0xDF))
                return std::nullopt;
            break;
        }
    }
}

// Where an MCU row starts with a restart interval.
struct RowStart
{
    int row;
    long long begin; // the interval's first byte
    long long end;   // the end of the data before it: its marker's first byte
};

struct Scan
{
    std::vector<RowStart> rowStarts; // ascending, from row 0
    long long end = 0;                  // where the end marker starts
};

// Reads the scan to its end marker, checking that its restart markers count up as the picture
// needs them; nothing if they do not, or any other marker ends it.
std::optional<Scan> readScan(Reader &in, const Layout &layout)
{
    const long long expected = (layout.mcus + layout.restartInterval - 1) / layout.restartInterval - 1;
    Scan scan;
    scan.rowStarts.push_back({0, in.position(), in.position()});
    long long restarts = 0;
    for (;;) {
        if (!in.passNextFF())
            return std::nullopt;
        const long long markerAt = in.position() - 1;
        int code;
        do // fill bytes, as libjpeg skips them; 0xFF 0x00 is a data byte
            code = in.next();
        while (code == 0xFF);
        if (code == 0x00)
            continue;
        if (isRestartMarker(code)) {
            if (code != 0xD0 + (restarts & 7) || ++restarts > expected)
                return std::nullopt;
            const long long mcu = restarts * layout.restartInterval;
            if (mcu % layout.mcusPerRow == 0)
                scan.rowStarts.push_back({int(mcu / layout.mcusPerRow), in.position(), markerAt});
            continue;
        }
        if (code != 0xD9 || restarts != expected)
            return std::nullopt;
        scan.end = markerAt;
        return scan;
    }
}

struct Band
{
    int keepFirst, keepEnd; // the MCU rows whose rows it keeps
    int first, end;         // the MCU rows it decodes, from one row start to another
    long long begin, stop;     // its bytes of the scan
};

// Cuts the scan at row starts into bands of about equal compressed size. Where upsampling blends
// rows, a band begins one MCU row above the first it keeps: so the cut is made one row below a
// row start, and the band before it ends at the next row start below the cut.
std::vector<Band> planBands(const Layout &layout, const Scan &scan, int bands)
{
    const int rows = layout.rows;
    const std::vector<RowStart> &starts = scan.rowStarts;
    const int overlap = layout.verticalContext ? 1 : 0;
    bands = std::min(bands, rows / minimumRowsPerBand);
    std::vector<int> cuts = {0};
    const long long scanBegin = starts.front().begin, scanBytes = scan.end - scanBegin;
    for (int i = 1; i < bands; ++i) {
        const long long target = scanBegin + scanBytes * i / bands;
        auto nearest = std::lower_bound(starts.begin(), starts.end(), target,
                                        [](const RowStart &start, long long at) { return start.begin < at; });
        if (nearest == starts.end() || (nearest != starts.begin() && target - std::prev(nearest)->begin < nearest->begin - target))
            --nearest;
        const int cut = nearest->row + overlap;
        if (cut - cuts.back() >= minimumRowsPerBand && rows - cut >= minimumRowsPerBand)
            cuts.push_back(cut);
    }
    cuts.push_back(rows);

    const auto byRow = [](const RowStart &start, int row) { return start.row < row; };
    std::vector<Band> plan;
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
        Band band;
        band.keepFirst = cuts[i];
        band.keepEnd = cuts[i + 1];
        // The last row start at or above the row before the first kept one...
        auto first = std::lower_bound(starts.begin(), starts.end(), std::max(band.keepFirst - overlap, 0) + 1, byRow);
        --first; // row 0 always starts
        band.first = first->row;
        band.begin = first->begin;
        // ...and the first one at or below the row after the last kept one, or the scan's end.
        auto end = std::lower_bound(starts.begin(), starts.end(), band.keepEnd + overlap, byRow);
        if (band.keepEnd == rows || end == starts.end()) {
            band.end = rows;
            band.stop = scan.end;
        } else {
            band.end = end->row;
            band.stop = end->end;
        }
        plan.push_back(band);
    }
    return plan;
}

// Reads a band's bytes: the headers, its part of the scan with the restart markers numbered
// from RST0 as libjpeg checks them, an end marker.
class BandBytes
{
public:
    BandBytes(const PictureFile &file, const Layout &layout, const Band &band, int height)
        : file(file)
        , headers(layout.headers)
        , at(band.begin)
        , left(band.stop - band.begin)
    {
        headers[layout.heightAt] = static_cast<unsigned char>(height >> 8);
        headers[layout.heightAt + 1] = static_cast<unsigned char>(height & 0xFF);
    }

    std::size_t read(unsigned char *buffer, std::size_t size)
    {
        if (headersSent < headers.size()) {
            const std::size_t count = std::min(size, headers.size() - headersSent);
            std::memcpy(buffer, headers.data() + headersSent, count);
            headersSent += count;
            return count;
        }
        if (left > 0) {
            const long long got = file.read(buffer, std::size_t(std::min<long long>(static_cast<long long>(size), left)), at);
            if (got <= 0) {
                left = -1;
                return 0;
            }
            at += got;
            left -= got;
            renumberRestarts(buffer, std::size_t(got));
            return std::size_t(got);
        }
        if (left < 0 || endSent)
            return 0;
        endSent = true;
        const unsigned char end[] = {0xFF, 0xD9};
        const std::size_t count = std::min(size, sizeof end);
        std::memcpy(buffer, end, count);
        return count;
    }

private:
    void renumberRestarts(unsigned char *data, std::size_t size)
    {
        for (std::size_t at = 0;;) {
            if (!inMarker) {
                const void *found = std::memchr(data + at, 0xFF, size - at);
                if (!found)
                    return;
                at = std::size_t(static_cast<const unsigned char *>(found) - data) + 1;
                inMarker = true;
            }
            while (at < size && data[at] == 0xFF)
                ++at;
            if (at == size)
                return; // the marker goes on in the next piece
            inMarker = false;
            if (isRestartMarker(data[at]))
                data[at] = static_cast<unsigned char>(0xD0 + (restarts++ & 7));
        }
    }

    const PictureFile &file;
    std::vector<unsigned char> headers;
    std::size_t headersSent = 0;
    long long at;             // the next byte of the scan to read
    long long left;              // bytes of the scan still to read; negative after a read error
    bool endSent = false;
    bool inMarker = false;    // the last byte read was 0xFF
    int restarts = 0;
};

int bandHeight(const Layout &layout, const Band &band)
{
    return std::min(band.end * layout.rowHeight, layout.height) - band.first * layout.rowHeight;
}

// Decodes a band, its bytes read from the file.
bool decodeOneBand(const PictureFile &file, const Layout &layout, const Band &band, const std::vector<char> &keepRow,
                   const BandDecoder &decodeBand)
{
    const int firstRow = band.first * layout.rowHeight;
    const int height = bandHeight(layout, band);
    std::vector<char> keepBandRow(static_cast<std::size_t>(height), false);
    const int keepEnd = std::min(band.keepEnd * layout.rowHeight, layout.height);
    for (int row = band.keepFirst * layout.rowHeight; row < keepEnd; ++row)
        keepBandRow[std::size_t(row - firstRow)] = keepRow[std::size_t(row)];

    BandBytes bytes(file, layout, band, height);
    return decodeBand([&bytes](unsigned char *buffer, std::size_t size) { return bytes.read(buffer, size); }, firstRow,
                      keepBandRow);
}

} // namespace

int decodeInBands(const PictureFile &file, cv::Size pictureSize, const std::vector<char> &keepRow, int bands,
                  const BandDecoder &decodeBand, LoadProgress *progress)
{
    if (bands < 2 || keepRow.size() != std::size_t(pictureSize.height))
        return 0;
    Reader in(file);
    const std::optional<Layout> layout = readHeaders(in);
    if (!layout || cv::Size(layout->width, layout->height) != pictureSize || layout->rows < 2 * minimumRowsPerBand)
        return 0;
    const std::optional<Scan> scan = readScan(in, *layout);
    if (!scan)
        return 0;
    // Where row starts are few, bands reach far into their neighbours: fewer bands then, or
    // none where every plan decodes much of the picture twice.
    std::vector<Band> plan;
    for (; bands >= 2; --bands) {
        plan = planBands(*layout, *scan, bands);
        int decodedRows = 0;
        for (const Band &band : plan)
            decodedRows += band.end - band.first;
        if (plan.size() >= 2 && decodedRows <= layout->rows + layout->rows / 4)
            break;
    }
    if (bands < 2)
        return 0;

    if (progress) {
        int rowsToGo = 0;
        for (const Band &band : plan)
            rowsToGo += bandHeight(*layout, band);
        progress->rowsDone = 0;
        progress->rowsToGo = rowsToGo;
    }
    std::vector<char> decoded(plan.size(), false);
    const auto decodeAt = [&](std::size_t i) {
        try {
            decoded[i] = decodeOneBand(file, *layout, plan[i], keepRow, decodeBand);
        } catch (...) { // memory or the library failing: the single decode reports it
            decoded[i] = false;
        }
    };
    std::vector<std::thread> threads;
    try {
        threads.reserve(plan.size());
        for (std::size_t i = 1; i < plan.size(); ++i)
            threads.emplace_back(decodeAt, i);
    } catch (...) { // no more threads, or no memory for one: the rest are decoded here
    }
    for (std::size_t i = threads.size() + 1; i < plan.size(); ++i)
        decodeAt(i);
    decodeAt(0);
    for (std::thread &thread : threads)
        thread.join();
    return std::all_of(decoded.begin(), decoded.end(), [](char ok) { return ok; }) ? int(plan.size()) : 0;
}
