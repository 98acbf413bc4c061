#include "pictures.h"

#include <QFile>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

cv::Mat photographLike(int width, int height, unsigned seed)
{
    cv::RNG random(seed);
    cv::Mat coarse(6, 8, CV_8UC3);
    random.fill(coarse, cv::RNG::UNIFORM, 0, 256);
    cv::Mat picture;
    cv::resize(coarse, picture, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
    cv::Mat noise(picture.size(), CV_8UC3);
    random.fill(noise, cv::RNG::UNIFORM, 0, 24);
    picture += noise;
    const int thickness = std::max(1, std::min(width, height) / 40);
    cv::rectangle(picture, cv::Point(width / 5, height / 4), cv::Point(width / 2, height * 3 / 4),
                  cv::Scalar(250, 250, 250), thickness);
    cv::line(picture, cv::Point(0, height - 1), cv::Point(width - 1, 0), cv::Scalar(10, 40, 200), thickness);
    return picture;
}

std::vector<unsigned char> jpegWithOrientation(const cv::Mat &picture, int orientation)
{
    std::vector<unsigned char> jpeg;
    cv::imencode(".jpg", picture, jpeg, {cv::IMWRITE_JPEG_QUALITY, 95});
    // APP1 "Exif": a big-endian TIFF header and one IFD entry, tag 0x0112 (orientation), SHORT.
    const unsigned char exif[] = {
        0xFF, 0xE1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0, 0,
        'M', 'M', 0x00, 0x2A, 0x00, 0x00, 0x00, 0x08,
        0x00, 0x01,
        0x01, 0x12, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00, static_cast<unsigned char>(orientation), 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00,
    };
    jpeg.insert(jpeg.begin() + 2, std::begin(exif), std::end(exif));
    return jpeg;
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

bool writeBytes(const QString &path, const std::vector<unsigned char> &bytes)
{
    return writeBytes(path, QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size())));
}

bool writePicture(const QString &path, const cv::Mat &picture)
{
    const QString extension = QLatin1Char('.') + path.section(QLatin1Char('.'), -1);
    std::vector<unsigned char> bytes;
    return cv::imencode(extension.toStdString(), picture, bytes) && writeBytes(path, bytes);
}
