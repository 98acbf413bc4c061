#include "jpeg_rows.h"
#include "jpeg_bands.h"
#include "load_progress.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

#include "exif_orientation.h"
#include "untouched_frame.h"

namespace {

// Where a pixel of the turned picture comes from: cv::imread transposes first for 5 to 8,
// then flips columns (2, 3, 6, 7) and rows (3, 4, 7, 8).
struct Turn
{
    bool transposed = false;
    bool columnsReversed = false;
    bool rowsReversed = false;
};

Turn turnFor(int orientation)
{
    switch (orientation) {
    case 2: return {false, true, false};
    case 3: return {false, true, true};
    case 4: return {false, false, true};
    case 5: return {true, false, false};
    case 6: return {true, true, false};
    case 7: return {true, true, true};
    case 8: return {true, false, true};
    default: return {};
    }
}

// One decode, with libjpeg's errors turned into false returns.
struct Decoder
{
    jpeg_decompress_struct info;
    struct Errors
    {
        jpeg_error_mgr manager;
        std::jmp_buf jump;
    } errors;
    std::FILE *file = nullptr;          // read from a file...
    const BandReader *pieces = nullptr; // ...or a piece at a time
    bool created = false;

    ~Decoder()
    {
        if (created)
            jpeg_destroy_decompress(&info);
        if (file)
            std::fclose(file);
    }
};

void jumpOnError(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<Decoder::Errors *>(info->err)->jump, 1);
}

// Runs one step of libjpeg calls; false if libjpeg reported an error. An error jumps straight
// back here, so a step must hold nothing that needs destroying.
template<typename Step>
bool guarded(Decoder &decoder, Step step)
{
    if (setjmp(decoder.errors.jump))
        return false;
    step(&decoder.info);
    return true;
}

// A source that reads its bytes a piece at a time, as the stdio source reads a file; a source
// that runs dry ends the picture with a warning, as that one does.
struct PieceSource
{
    jpeg_source_mgr manager;
    const BandReader *read;
    unsigned char buffer[65536];
};

boolean fillFromPieces(j_decompress_ptr info)
{
    auto *source = reinterpret_cast<PieceSource *>(info->src);
    std::size_t count = (*source->read)(source->buffer, sizeof source->buffer);
    if (count == 0) {
        WARNMS(info, JWRN_JPEG_EOF);
        source->buffer[0] = 0xFF;
        source->buffer[1] = JPEG_EOI;
        count = 2;
    }
    source->manager.next_input_byte = source->buffer;
    source->manager.bytes_in_buffer = count;
    return TRUE;
}

void skipPieces(j_decompress_ptr info, long count)
{
    jpeg_source_mgr *source = info->src;
    if (count <= 0)
        return;
    while (std::size_t(count) > source->bytes_in_buffer) {
        count -= long(source->bytes_in_buffer);
        fillFromPieces(info);
    }
    source->next_input_byte += count;
    source->bytes_in_buffer -= std::size_t(count);
}

void readPieces(j_decompress_ptr info, const BandReader &read)
{
    void *memory = (*info->mem->alloc_small)(reinterpret_cast<j_common_ptr>(info), JPOOL_PERMANENT, sizeof(PieceSource));
    auto *source = static_cast<PieceSource *>(memory);
    source->read = &read;
    source->manager.init_source = [](j_decompress_ptr) {};
    source->manager.fill_input_buffer = fillFromPieces;
    source->manager.skip_input_data = skipPieces;
    source->manager.resync_to_restart = jpeg_resync_to_restart;
    source->manager.term_source = [](j_decompress_ptr) {};
    source->manager.next_input_byte = nullptr;
    source->manager.bytes_in_buffer = 0;
    info->src = &source->manager;
}

// Everything cv::imread does up to the first row: the stdio source (or a band's bytes),
// the APP1 blocks kept, the header read at full scale, and RGB (CMYK for four components) asked for.
bool startDecoding(Decoder &decoder)
{
    decoder.info.err = jpeg_std_error(&decoder.errors.manager);
    decoder.errors.manager.error_exit = jumpOnError;
    return guarded(decoder, [&decoder](j_decompress_ptr info) {
        jpeg_create_decompress(info);
        decoder.created = true;
        if (decoder.file)
            jpeg_stdio_src(info, decoder.file);
        else
            readPieces(info, *decoder.pieces);
        jpeg_save_markers(info, JPEG_APP0 + 1, 0xffff);
        jpeg_read_header(info, TRUE);
        info->scale_num = 1;
        info->scale_denom = 1;
        jpeg_calc_output_dimensions(info);
        const bool cmyk = info->num_components == 4;
        info->out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
        info->out_color_components = cmyk ? 4 : 3;
    });
}

// A decoded row in BGR, converted as cv::imread converts it: RGB swapped, CMYK by its formula.
void toBgr(const unsigned char *decoded, bool cmyk, unsigned char *bgr, int pixels)
{
    if (!cmyk) {
        cv::cvtColor(cv::Mat(1, pixels, CV_8UC3, const_cast<unsigned char *>(decoded)),
                     cv::Mat(1, pixels, CV_8UC3, bgr), cv::COLOR_RGB2BGR);
        return;
    }
    for (int i = 0; i < pixels; ++i, decoded += 4, bgr += 3) {
        const int c = decoded[0], m = decoded[1], y = decoded[2], k = decoded[3];
        bgr[2] = static_cast<unsigned char>(k - ((255 - c) * k >> 8));
        bgr[1] = static_cast<unsigned char>(k - ((255 - m) * k >> 8));
        bgr[0] = static_cast<unsigned char>(k - ((255 - y) * k >> 8));
    }
}

// Where decoded rows go: the turned picture, and which of its rows and columns are kept.
struct RowTarget
{
    cv::Mat turned;
    Turn turn;
    int pictureHeight; // decoded rows of the whole picture
    const std::vector<int> &turnedRows;
    const std::vector<int> &keptColumns;
};

// Reads the rows of a started decoder, the picture's or a band's whose first row is the
// picture's row `firstRow`, into the target; only those `keepRow` marks are converted. False
// on a decoder error or when the load is cancelled.
bool readKeptRows(Decoder &decoder, const std::vector<char> &keepRow, const RowTarget &target, int firstRow,
                  LoadProgress *progress);

bool decodeBandRows(const BandReader &read, int firstRow, const std::vector<char> &keepRow, const RowTarget &target,
                    LoadProgress *progress);

} // namespace

int coresForBands()
{
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

bool jpegRowsDecodedDirectly()
{
    return VIREOSCOPE_JPEG_ROWS;
}

std::optional<DecodedPicture> decodeJpegRows(const QString &path, RowsToRead rowsToRead, LoadProgress *progress, int bands)
{
    const std::optional<PictureFile> file = PictureFile::open(path);
    return file ? decodeJpegRows(*file, rowsToRead, progress, bands) : std::nullopt;
}

std::optional<DecodedPicture> decodeJpegRows(const PictureFile &file, RowsToRead rowsToRead, LoadProgress *progress,
                                             int bands)
{
    // Pixel for pixel the plain decode's only if both run the same libjpeg.
    if (!jpegRowsDecodedDirectly())
        return std::nullopt;
    unsigned char signature[3] = {};
    if (file.read(signature, 3, 0) != 3 || std::memcmp(signature, "\xFF\xD8\xFF", 3) != 0)
        return std::nullopt;
    Decoder decoder;
    decoder.file = file.stream();
    if (!decoder.file)
        return std::nullopt;

    if (!startDecoding(decoder))
        return std::nullopt;
    const int width = static_cast<int>(decoder.info.output_width);
    const int height = static_cast<int>(decoder.info.output_height);
    const int orientation = exifOrientation(decoder.info.marker_list);
    if (!withinLibraryLimits(decoder.info.output_width, decoder.info.output_height) || orientation == unknownOrientation)
        return std::nullopt;

    const Turn turn = turnFor(orientation);
    const cv::Size turnedSize = turn.transposed ? cv::Size(height, width) : cv::Size(width, height);
    const std::vector<int> turnedRows = rowsToRead(turnedSize);
    if (turnedRows.size() >= static_cast<std::size_t>(turnedSize.height))
        return std::nullopt; // every row is read: nothing to leave out

    // Which decoded rows to keep, and, where rows and columns swap, which decoded columns.
    std::vector<char> keepRow(static_cast<std::size_t>(height), turn.transposed);
    std::vector<int> keptColumns;
    for (const int row : turnedRows) {
        if (turn.transposed)
            keptColumns.push_back(turn.rowsReversed ? width - 1 - row : row);
        else
            keepRow[static_cast<std::size_t>(turn.rowsReversed ? height - 1 - row : row)] = true;
    }

    cv::Mat turned = untouchedFrame(turnedSize.height, turnedSize.width);
    const RowTarget target{turned, turn, height, turnedRows, keptColumns};
    if (bands > 1 && !decoder.info.progressive_mode && !decoder.info.arith_code && decoder.info.restart_interval > 0) {
        const auto decodeBand = [&target, progress](const BandReader &read, int firstRow, const std::vector<char> &keepBandRow) {
            return decodeBandRows(read, firstRow, keepBandRow, target, progress);
        };
        const int decodedBands = decodeInBands(file, cv::Size(width, height), keepRow, bands, decodeBand, progress);
        if (decodedBands > 1)
            return DecodedPicture{turned, turnedRows, decodedBands};
        if (progress && progress->cancelled)
            return std::nullopt;
        // Otherwise the single-threaded decode below rewrites every kept row.
    }

    if (!guarded(decoder, jpeg_start_decompress))
        return std::nullopt;
    if (progress) {
        progress->rowsDone = 0;
        progress->rowsToGo = height;
    }
    if (!readKeptRows(decoder, keepRow, target, 0, progress))
        return std::nullopt;
    // The plain decode has its picture before it finishes, and keeps it whatever finishing says.
    guarded(decoder, jpeg_finish_decompress);
    return DecodedPicture{turned, turnedRows};
}

namespace {

bool readKeptRows(Decoder &decoder, const std::vector<char> &keepRow, const RowTarget &target, int firstRow,
                  LoadProgress *progress)
{
    const Turn turn = target.turn;
    cv::Mat turned = target.turned;
    const std::vector<int> &turnedRows = target.turnedRows;
    const std::vector<int> &keptColumns = target.keptColumns;
    // The rows this decoder gives, the picture's or a band's; where each lands in the picture.
    const int width = static_cast<int>(decoder.info.output_width);
    const int height = static_cast<int>(decoder.info.output_height);
    const auto fromEnd = [&target, firstRow](bool reversed, int row) {
        return reversed ? target.pictureHeight - 1 - (firstRow + row) : firstRow + row;
    };
    const bool cmyk = decoder.info.out_color_components == 4;
    std::vector<unsigned char> decodedRow(static_cast<std::size_t>(width) * 4);
    std::vector<unsigned char> bgrRow(static_cast<std::size_t>(width) * 3);
    const auto readRowInto = [row = decodedRow.data()](j_decompress_ptr info) mutable { jpeg_read_scanlines(info, &row, 1); };

    // libjpeg-turbo's skip (2.1.5 and later; its issue 915) goes wrong when it starts inside a row
    // group and the upsampler reads no context rows: it hands back rows from before the skip and
    // loses count of the rows to go, which can even stall the decode. So a skip starts only on a
    // group's first row; the rows before it are read and dropped, at most three. A group is
    // max_v_samp_factor output rows, whatever the upsampler. Each call must move the decoder on by
    // exactly its rows, or the file goes to the plain decode.
    const int rowGroup = decoder.info.max_v_samp_factor;
    const auto readRows = [&decoder, &readRowInto](int from, int count) {
        for (int i = 0; i < count; ++i)
            if (!guarded(decoder, readRowInto) || decoder.info.output_scanline != JDIMENSION(from + i + 1))
                return false;
        return true;
    };
    const auto skipRows = [&decoder](int from, int count) {
        return guarded(decoder, [count](j_decompress_ptr info) { jpeg_skip_scanlines(info, JDIMENSION(count)); })
               && decoder.info.output_scanline == JDIMENSION(from + count);
    };
    if (rowGroup < 1)
        return false;

    int reported = 0;
    for (int row = 0; row < height;) {
        if (progress) {
            progress->rowsDone += row - reported;
            reported = row;
            if (progress->cancelled)
                return false;
        }
        if (!keepRow[static_cast<std::size_t>(row)]) {
            int skipped = 1;
            while (row + skipped < height && !keepRow[static_cast<std::size_t>(row + skipped)])
                ++skipped;
            // Never skip to the end, where libjpeg would stop reading: the plain decode reads
            // every row's data, and so does this, whatever that data holds.
            const int toSkip = row + skipped == height ? skipped - 1 : skipped;
            const int toGroup = std::min(toSkip, (rowGroup - row % rowGroup) % rowGroup);
            if (!readRows(row, toGroup) || (toSkip > toGroup && !skipRows(row + toGroup, toSkip - toGroup)))
                return false;
            row += toSkip;
            if (row == height - 1 && !keepRow[static_cast<std::size_t>(row)]) {
                if (!readRows(row, 1))
                    return false;
                ++row;
            }
            continue;
        }
        if (!readRows(row, 1))
            return false;
        if (!turn.transposed && !turn.columnsReversed) {
            toBgr(decodedRow.data(), cmyk, turned.ptr(fromEnd(turn.rowsReversed, row)), width);
            ++row;
            continue;
        }
        toBgr(decodedRow.data(), cmyk, bgrRow.data(), width);
        const cv::Mat bgr(1, width, CV_8UC3, bgrRow.data());
        if (turn.transposed) {
            // This decoded row is one column of the turned picture.
            const int column = fromEnd(turn.columnsReversed, row);
            for (std::size_t i = 0; i < turnedRows.size(); ++i)
                turned.at<cv::Vec3b>(turnedRows[i], column) = bgr.at<cv::Vec3b>(0, keptColumns[i]);
        } else {
            cv::Mat into = turned.row(fromEnd(turn.rowsReversed, row));
            cv::flip(bgr, into, 1);
        }
        ++row;
    }
    if (progress)
        progress->rowsDone += height - reported;
    return true;
}

bool decodeBandRows(const BandReader &read, int firstRow, const std::vector<char> &keepRow, const RowTarget &target,
                    LoadProgress *progress)
{
    Decoder band;
    band.pieces = &read;
    if (!startDecoding(band))
        return false;
    // The headers are the file's own, and so are their warnings, which the plain decode meets
    // too. A warning in the band's data means damage that the plain decode meets with its own
    // state, not the band's.
    const long headerWarnings = band.errors.manager.num_warnings;
    if (band.info.output_height != keepRow.size()
        || int(band.info.output_width) != (target.turn.transposed ? target.turned.rows : target.turned.cols)
        || !guarded(band, jpeg_start_decompress) || !readKeptRows(band, keepRow, target, firstRow, progress)
        || !guarded(band, jpeg_finish_decompress))
        return false;
    return band.errors.manager.num_warnings == headerWarnings;
}

} // namespace
