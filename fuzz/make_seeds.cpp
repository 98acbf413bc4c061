// Writes a small picture in every format the decoder reads into the given folder: the fuzzer's
// starting corpus, made here rather than copied from anywhere.
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

void save(const std::string &folder, const std::string &name, const std::vector<unsigned char> &bytes, unsigned char kernelByte)
{
    std::ofstream file(folder + "/" + name, std::ios::binary);
    file.put(static_cast<char>(kernelByte)); // the fuzz target reads its kernel size from the first byte
    file.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    cv::Mat colour(24, 32, CV_8UC3);
    cv::randu(colour, cv::Scalar::all(0), cv::Scalar::all(256));
    cv::rectangle(colour, cv::Rect(4, 4, 10, 12), cv::Scalar(255, 255, 255), cv::FILLED);
    cv::Mat gray, withAlpha, deep, radiance;
    cv::cvtColor(colour, gray, cv::COLOR_BGR2GRAY);
    cv::cvtColor(colour, withAlpha, cv::COLOR_BGR2BGRA);
    colour.convertTo(deep, CV_16UC3, 257.0);
    colour.convertTo(radiance, CV_32FC3, 1 / 255.0);
    // Taller than the views, so that only some of its rows are decoded.
    cv::Mat tall;
    cv::resize(colour, tall, cv::Size(16, 600), 0, 0, cv::INTER_LINEAR);
    // Restart markers let tall pictures decode in bands: every MCU row, and out of step with the
    // rows (three MCUs a row, a marker every two), in colour and in gray.
    cv::Mat wide, wideGray;
    cv::resize(colour, wide, cv::Size(40, 600), 0, 0, cv::INTER_LINEAR);
    cv::cvtColor(wide, wideGray, cv::COLOR_BGR2GRAY);

    const struct { const char *name; const char *extension; const cv::Mat &picture; std::vector<int> parameters; } seeds[] = {
        {"colour.jpg", ".jpg", colour, {cv::IMWRITE_JPEG_QUALITY, 80}},
        {"progressive.jpg", ".jpg", colour, {cv::IMWRITE_JPEG_PROGRESSIVE, 1}},
        {"gray.jpg", ".jpg", gray, {}},
        {"tall.jpg", ".jpg", tall, {cv::IMWRITE_JPEG_QUALITY, 80}},
        {"tall progressive.jpg", ".jpg", tall, {cv::IMWRITE_JPEG_PROGRESSIVE, 1}},
        {"tall restart.jpg", ".jpg", tall, {cv::IMWRITE_JPEG_QUALITY, 80, cv::IMWRITE_JPEG_RST_INTERVAL, 1}},
        {"tall restart unaligned.jpg", ".jpg", wide, {cv::IMWRITE_JPEG_QUALITY, 80, cv::IMWRITE_JPEG_RST_INTERVAL, 2}},
        {"tall gray restart.jpg", ".jpg", wideGray, {cv::IMWRITE_JPEG_RST_INTERVAL, 3}},
        {"colour.png", ".png", colour, {}},
        {"gray.png", ".png", gray, {}},
        {"alpha.png", ".png", withAlpha, {}},
        {"deep.png", ".png", deep, {}},
        {"colour.bmp", ".bmp", colour, {}},
        {"gray.bmp", ".bmp", gray, {}},
        {"colour.tiff", ".tiff", colour, {}},
        {"deep.tiff", ".tiff", deep, {}},
        {"colour.webp", ".webp", colour, {}},
        {"lossless.webp", ".webp", colour, {cv::IMWRITE_WEBP_QUALITY, 101}},
        {"colour.ppm", ".ppm", colour, {}},
        {"gray.pgm", ".pgm", gray, {}},
        {"bits.pbm", ".pbm", gray, {}},
        {"colour.pam", ".pam", colour, {}},
        {"colour.ras", ".ras", colour, {}},
        {"colour.jp2", ".jp2", colour, {}},
        {"radiance.hdr", ".hdr", radiance, {}},
        {"radiance.exr", ".exr", radiance, {}},
        {"radiance.pfm", ".pfm", radiance, {}},
    };
    int written = 0;
    for (const auto &seed : seeds) {
        std::vector<unsigned char> bytes;
        try {
            if (!cv::imencode(seed.extension, seed.picture, bytes, seed.parameters))
                continue;
        } catch (const cv::Exception &) {
            continue; // an encoder this build of the library lacks
        }
        save(folder, seed.name, bytes, static_cast<unsigned char>(7 + 2 * written));
        ++written;
    }
    std::printf("%d seeds written to %s\n", written, folder.c_str());
    return written > 0 ? 0 : 1;
}
