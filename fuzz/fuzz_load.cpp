// The road a file's bytes take: decoded in colour, turned into the six display frames (the
// weighted gray among them), then re-blurred at a kernel size taken from the input. A JPEG's or
// a PNG's rows decoded alone, the shrink's and a set drawn from the input, are compared with the
// plain decode's, and so are a PNG's rows shrunk as they come.
#include <QCoreApplication>
#include <QString>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstdint>
#include <cstdlib>
#include <vector>
#include <sys/mman.h>
#include <unistd.h>

#include "display_frames.h"
#include "image_file.h"
#include "jpeg_rows.h"
#include "png_rows.h"

namespace {

// Which rows the second row decode keeps: runs of one to three rows between gaps of random
// length, drawn from a seed taken from the input, so that mutation moves the route's skips to
// every offset and length. The seed's low bits choose how long the gaps may be.
std::uint32_t rowSeed = 0;

std::vector<int> rowsFromSeed(cv::Size pictureSize)
{
    cv::RNG random(rowSeed);
    const int longestGap = (2 << (rowSeed % 8)) + 1; // 3 to 257 rows
    std::vector<int> rows;
    for (int row = int(random.uniform(0, longestGap)); row < pictureSize.height;) {
        for (int run = random.uniform(1, 4); run > 0 && row < pictureSize.height; --run)
            rows.push_back(row++);
        row += random.uniform(1, longestGap + 1);
    }
    return rows;
}

void readPlainly(const QString &path, cv::Mat &plain)
{
    if (plain.empty()) {
        try {
            plain = cv::imread(path.toStdString(), cv::IMREAD_COLOR);
        } catch (const cv::Exception &) {
        }
    }
}

// The rows decoded alone must be the plain decode's, row for row.
void compareWithPlainDecode(const QString &path, const DecodedPicture &rows, cv::Mat &plain)
{
    readPlainly(path, plain);
    if (plain.size() != rows.pixels.size())
        std::abort();
    for (const int row : rows.rows)
        if (cv::norm(plain.row(row), rows.pixels.row(row), cv::NORM_INF) != 0)
            std::abort();
}

// Rows shrunk as they came must give the frames of the plain decode.
void compareShrunkWithPlainDecode(const QString &path, const ShrunkPicture &shrunk, cv::Mat &plain)
{
    readPlainly(path, plain);
    if (plain.size() != shrunk.pictureSize)
        std::abort();
    const DisplayFrames expected = deriveDisplayFrames(plain.clone()), actual = deriveDisplayFrames(shrunk);
    if (cv::norm(expected.rgb, actual.rgb, cv::NORM_INF) != 0 || cv::norm(expected.average, actual.average, cv::NORM_INF) != 0)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // The decoder module is looked for beside the executable, which the application knows.
    static QCoreApplication application(*argc, *argv);
    // The decoders' complaints about broken input would drown the fuzzer's own report.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const int kernelSize = data[0] % 40 - 2; // a few out of range on purpose
    rowSeed = std::uint32_t(data[0]) * 2654435761u ^ std::uint32_t(size);
    ++data;
    --size;

    // An anonymous file, so the bytes take the same road as a file on disk, without the disk.
    const int descriptor = memfd_create("fuzz-input", 0);
    if (descriptor < 0)
        return 0;
    const bool written = size == 0 || write(descriptor, data, size) == static_cast<ssize_t>(size);
    if (written) {
        const QString path = QStringLiteral("/proc/self/fd/%1").arg(descriptor);
        if (const std::optional<DisplayFrames> frames = loadDisplayFrames(path))
            reblurredFrame(frames->rgb, kernelSize);
        // The JPEG and PNG row decoders must agree with the plain decode on every row they keep, both
        // for the shrink's rows and for rows chosen by the input's first byte and length.
        cv::Mat plain;
        if (const std::optional<DecodedPicture> rows = decodeJpegRows(path, rowsReadByShrink))
            compareWithPlainDecode(path, *rows, plain);
        if (const std::optional<DecodedPicture> rows = decodeJpegRows(path, rowsFromSeed))
            compareWithPlainDecode(path, *rows, plain);
        if (const std::optional<PictureFile> file = PictureFile::open(path)) {
            if (const std::optional<DecodedPicture> rows = decodePngRows(*file, rowsReadByShrink))
                compareWithPlainDecode(path, *rows, plain);
            if (const std::optional<DecodedPicture> rows = decodePngRows(*file, rowsFromSeed))
                compareWithPlainDecode(path, *rows, plain);
            const std::optional<DecodedPicture> shrunk = decodePngRows(*file, rowsReadByShrink, nullptr, true);
            if (shrunk && !shrunk->shrunk.picture.empty())
                compareShrunkWithPlainDecode(path, shrunk->shrunk, plain);
        }
    }
    close(descriptor);
    return 0;
}
