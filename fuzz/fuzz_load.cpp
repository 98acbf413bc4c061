// The road a file's bytes take: decoded in colour, turned into the six display frames (the
// weighted gray among them), then re-blurred at a kernel size taken from the input. A JPEG's
// rows decoded alone are compared with the plain decode's.
#include <QCoreApplication>
#include <QString>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

#include "display_frames.h"
#include "jpeg_rows.h"

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
        // The JPEG row decoder must agree with the plain decode on every row it keeps.
        if (const std::optional<DecodedPicture> rows = decodeJpegRows(path, rowsReadByShrink)) {
            cv::Mat plain;
            try {
                plain = cv::imread(path.toStdString(), cv::IMREAD_COLOR);
            } catch (const cv::Exception &) {
            }
            if (plain.size() != rows->pixels.size())
                std::abort();
            for (const int row : rows->rows)
                if (cv::norm(plain.row(row), rows->pixels.row(row), cv::NORM_INF) != 0)
                    std::abort();
        }
    }
    close(descriptor);
    return 0;
}
