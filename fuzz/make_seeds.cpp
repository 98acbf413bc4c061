// Writes a small picture in every format the decoder reads into the given folder: the fuzzer's
// starting corpus, made here rather than copied from anywhere.
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <gif_lib.h>
#include <jpeglib.h>
#include <libheif/heif.h>

namespace {

void save(const std::string &folder, const std::string &name, const std::vector<unsigned char> &bytes, unsigned char kernelByte)
{
    std::ofstream file(folder + "/" + name, std::ios::binary);
    file.put(static_cast<char>(kernelByte)); // the fuzz target reads its kernel size from the first byte
    file.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The picture as a JPEG with these sampling factors (one horizontal, vertical pair per component:
// one for gray, three for YCbCr, four for CMYK), which OpenCV's encoder cannot be asked for.
std::vector<unsigned char> sampledJpeg(const cv::Mat &bgr, const std::vector<std::pair<int, int>> &factors, bool progressive)
{
    const int components = static_cast<int>(factors.size());
    cv::Mat samples;
    if (components == 1) {
        cv::cvtColor(bgr, samples, cv::COLOR_BGR2GRAY);
    } else if (components == 3) {
        cv::cvtColor(bgr, samples, cv::COLOR_BGR2RGB);
    } else {
        cv::cvtColor(bgr, samples, cv::COLOR_BGR2RGBA);
        samples = cv::Scalar::all(255) - samples; // inks of a sort; any four channels will do
    }
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors); // the factors below are all valid: libjpeg has no cause to fail
    jpeg_create_compress(&info);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(bgr.cols);
    info.image_height = static_cast<JDIMENSION>(bgr.rows);
    info.input_components = components;
    info.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 80, TRUE);
    for (int i = 0; i < components; ++i) {
        info.comp_info[i].h_samp_factor = factors[static_cast<std::size_t>(i)].first;
        info.comp_info[i].v_samp_factor = factors[static_cast<std::size_t>(i)].second;
    }
    if (progressive)
        jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    for (int y = 0; y < bgr.rows; ++y) {
        JSAMPROW row = samples.ptr(y);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::vector<unsigned char> jpeg(buffer, buffer + size);
    std::free(buffer);
    return jpeg;
}

// The picture (8-bit RGB) as libheif's encoder writes it, HEVC or AV1; empty if it cannot.
std::vector<unsigned char> heifSeed(const cv::Mat &bgr, bool av1)
{
    cv::Mat rgb;
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    std::vector<unsigned char> bytes;
    heif_image *image = nullptr;
    heif_image_create(rgb.cols, rgb.rows, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, rgb.cols, rgb.rows, 8);
    int stride = 0;
    unsigned char *plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < rgb.rows; ++y)
        std::copy(rgb.ptr(y), rgb.ptr(y) + rgb.cols * 3, plane + y * stride);
    heif_context *context = heif_context_alloc();
    heif_encoder *encoder = nullptr;
    heif_writer writer = {1, [](heif_context *, const void *data, size_t size, void *user) {
        auto *out = static_cast<std::vector<unsigned char> *>(user);
        out->insert(out->end(), static_cast<const unsigned char *>(data), static_cast<const unsigned char *>(data) + size);
        return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
    }};
    if (heif_context_get_encoder_for_format(context, av1 ? heif_compression_AV1 : heif_compression_HEVC, &encoder).code == heif_error_Ok) {
        heif_encoder_set_lossy_quality(encoder, 60);
        if (heif_context_encode_image(context, image, encoder, nullptr, nullptr).code == heif_error_Ok)
            heif_context_write(context, &writer, &bytes);
        heif_encoder_release(encoder);
    }
    heif_image_release(image);
    heif_context_free(context);
    return bytes;
}

// A two-frame GIF: the first image interlaced, off the corner, with a transparent index and a
// local colour table of 16 colours for indices up to 255; the second covering the screen.
std::vector<unsigned char> gifSeed(const cv::Mat &gray)
{
    std::vector<unsigned char> bytes;
    GifFileType *gif = EGifOpen(&bytes, [](GifFileType *gif, const GifByteType *data, int size) {
        auto *out = static_cast<std::vector<unsigned char> *>(gif->UserData);
        out->insert(out->end(), data, data + size);
        return size;
    }, nullptr);
    if (!gif)
        return {};
    GifColorType colours[256];
    for (int i = 0; i < 256; ++i)
        colours[i] = {GifByteType(i), GifByteType(255 - i), GifByteType(i * 5)};
    ColorMapObject *global = GifMakeMapObject(256, colours), *local = GifMakeMapObject(16, colours + 100);
    EGifSetGifVersion(gif, true);
    EGifPutScreenDesc(gif, gray.cols, gray.rows, 8, 2, global);
    for (const bool first : {true, false}) {
        GraphicsControlBlock control = {DISPOSAL_UNSPECIFIED, false, 5, first ? 9 : NO_TRANSPARENT_COLOR};
        GifByteType extension[4];
        EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(EGifGCBToExtension(&control, extension)), extension);
        const cv::Rect place = first ? cv::Rect(3, 2, gray.cols - 6, gray.rows - 4) : cv::Rect(0, 0, gray.cols, gray.rows);
        EGifPutImageDesc(gif, place.x, place.y, place.width, place.height, first, first ? local : nullptr);
        for (const auto &pass : first ? std::vector<std::pair<int, int>>{{0, 8}, {4, 8}, {2, 4}, {1, 2}} : std::vector<std::pair<int, int>>{{0, 1}})
            for (int row = pass.first; row < place.height; row += pass.second)
                EGifPutLine(gif, const_cast<GifPixelType *>(gray.ptr(row)), place.width);
        // giflib 5.2 keeps its copy of an image's local map and, of all of them, frees only the last.
        GifFreeMapObject(std::exchange(gif->Image.ColorMap, nullptr));
    }
    EGifCloseFile(gif, nullptr);
    GifFreeMapObject(global);
    GifFreeMapObject(local);
    return bytes;
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
        // Taller than the views, for the PNG row route, compressed two ways.
        {"tall.png", ".png", tall, {cv::IMWRITE_PNG_STRATEGY, cv::IMWRITE_PNG_STRATEGY_DEFAULT}},
        {"tall gray.png", ".png", wideGray, {cv::IMWRITE_PNG_STRATEGY, cv::IMWRITE_PNG_STRATEGY_HUFFMAN_ONLY}},
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
    // Taller than the views, with sampling factors whose row groups are 2 to 4 rows: the rows the
    // views read start at every offset in a group.
    const struct { const char *name; std::vector<std::pair<int, int>> factors; bool progressive; } samplings[] = {
        {"tall 4x2.jpg", {{4, 2}, {1, 1}, {1, 1}}, false},
        {"tall 1x3.jpg", {{1, 3}, {1, 1}, {1, 1}}, false},
        {"tall 3x2 progressive.jpg", {{3, 2}, {1, 1}, {1, 1}}, true},
        {"tall 2x4,1x1,1x1.jpg", {{2, 4}, {1, 1}, {1, 1}}, false},
        {"tall 1x4,1x2,1x4 progressive.jpg", {{1, 4}, {1, 2}, {1, 4}}, true},
        {"tall gray 2x3.jpg", {{2, 3}}, false},
        {"tall cmyk 2x2,1x1,1x1,2x2.jpg", {{2, 2}, {1, 1}, {1, 1}, {2, 2}}, false},
    };
    for (const auto &sampling : samplings) {
        save(folder, sampling.name, sampledJpeg(tall, sampling.factors, sampling.progressive), static_cast<unsigned char>(7 + 2 * written));
        ++written;
    }
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
    // A tall JPEG whose EXIF block holds what photos carry before the orientation, so that mutation
    // explores the orientation reader: Motorola order, IFD0 at 8 with six entries, the values apart at 86.
    const unsigned char exif[] = {
        0xFF, 0xE1, 0x00, 0x76, 'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0x00, 0x2A, 0x00, 0x00, 0x00, 0x08, 0x00, 0x06,
        0x01, 0x1A, 0x00, 0x05, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 86,   // x resolution
        0x01, 0x1B, 0x00, 0x05, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 94,   // y resolution
        0x01, 0x28, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, // unit
        0x01, 0x31, 0x00, 0x02, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 102,  // software
        0x02, 0x13, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, // YCbCr positioning
        0x01, 0x12, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00, 0x06, 0x00, 0x00, // orientation
        0x00, 0x00, 0x00, 0x00, 0, 0, 0, 72, 0, 0, 0, 1, 0, 0, 0, 72, 0, 0, 0, 1, 'S', 'e', 'e', 'd', ' ', '1', '.', 0};
    std::vector<unsigned char> turned;
    if (cv::imencode(".jpg", tall, turned, {cv::IMWRITE_JPEG_QUALITY, 80})) {
        turned.insert(turned.begin() + 2, std::begin(exif), std::end(exif));
        save(folder, "tall turned.jpg", turned, 9);
        ++written;
    }
    const struct { const char *name; std::vector<unsigned char> bytes; } others[] = {
        {"colour.heic", heifSeed(colour, false)},
        {"odd.heic", heifSeed(colour(cv::Rect(0, 0, 31, 23)), false)}, // cropped from a grid of one tile
        {"colour.avif", heifSeed(colour, true)},
        {"animated.gif", gifSeed(gray)},
    };
    for (const auto &other : others)
        if (!other.bytes.empty()) {
            save(folder, other.name, other.bytes, static_cast<unsigned char>(7 + 2 * written));
            ++written;
        }
    std::printf("%d seeds written to %s\n", written, folder.c_str());
    return written > 0 ? 0 : 1;
}
