// The hand-computed gray: exact against the formula on every input, whatever the instruction set.
#include <QtTest>

#include <opencv2/core.hpp>

#include "weighted_gray.h"
#include "weighted_gray_kernels.h"

Q_DECLARE_METATYPE(cv::Vec3b)

namespace {

// The formula exactly as defined, written out again here so that the library is checked
// against this text and not against itself.
unsigned char formula(int blue, int green, int red)
{
    double value = red * 0.3;
    value = value + green * 0.59;
    value = value + blue * 0.11;
    return static_cast<unsigned char>(static_cast<int>(value));
}

// Where the converted frame first differs from the formula applied to the input, or an empty
// string if it never does.
QString firstWrongPixel(const cv::Mat &input, const cv::Mat &converted)
{
    for (int i = 0; i < input.rows; ++i) {
        for (int k = 0; k < input.cols; ++k) {
            const cv::Vec3b in = input.at<cv::Vec3b>(i, k);
            const unsigned char g = formula(in[0], in[1], in[2]);
            if (converted.at<cv::Vec3b>(i, k) != cv::Vec3b(g, g, g))
                return QStringLiteral("input %1 %2 %3 at %4,%5").arg(in[0]).arg(in[1]).arg(in[2]).arg(k).arg(i);
        }
    }
    return {};
}

using Conversion = std::function<void(cv::Mat &)>;

// Every (b0, b1, b2) triple once: 4096 x 4096 pixels.
cv::Mat allTriples()
{
    cv::Mat frame(4096, 4096, CV_8UC3);
    for (int i = 0; i < frame.rows; ++i) {
        auto *row = frame.ptr<cv::Vec3b>(i);
        for (int k = 0; k < frame.cols; ++k) {
            const int n = i * frame.cols + k;
            row[k] = cv::Vec3b(n & 0xff, (n >> 8) & 0xff, n >> 16);
        }
    }
    return frame;
}

// Every triple whose 30 R + 59 G + 11 B is a whole hundred: the only ones where the formula's
// rounding can decide the result, in a shuffled order.
std::vector<cv::Vec3b> triplesAtWholeHundreds()
{
    std::vector<cv::Vec3b> triples;
    for (int red = 0; red < 256; ++red)
        for (int green = 0; green < 256; ++green)
            for (int blue = 0; blue < 256; ++blue)
                if ((30 * red + 59 * green + 11 * blue) % 100 == 0)
                    triples.emplace_back(blue, green, red);
    cv::RNG random(7);
    cv::randShuffle(triples, 1.0, &random);
    return triples;
}

void useKernel(cv::Mat &frame, decltype(&weighted_gray_detail::baseline::convertRows) convertRows)
{
    convertRows(frame.data, frame.step[0], frame.rows, frame.cols);
}

} // namespace

Q_DECLARE_METATYPE(Conversion)

class TestWeightedGray : public QObject
{
    Q_OBJECT

private slots:
    void knownColours_data();
    void knownColours();
    void neutralGraysComeOutOneLowerSometimes();
    void everyInputMatchesTheFormula_data();
    void everyInputMatchesTheFormula();
    void crowdedHardPixels_data();
    void crowdedHardPixels();
    void grayPictures_data();
    void grayPictures();
    void stridedAndOddSizedFrames_data();
    void stridedAndOddSizedFrames();
    void framesEndingAtTheirBufferEnd_data();
    void framesEndingAtTheirBufferEnd();
    void framesItCannotConvertStayAsTheyWere_data();
    void framesItCannotConvertStayAsTheyWere();

private:
    void addConversions();
};

void TestWeightedGray::knownColours_data()
{
    QTest::addColumn<cv::Vec3b>("bgr");
    QTest::addColumn<int>("gray");
    QTest::newRow("white") << cv::Vec3b(255, 255, 255) << 255;
    QTest::newRow("254") << cv::Vec3b(254, 254, 254) << 254;
    QTest::newRow("128") << cv::Vec3b(128, 128, 128) << 127;
    QTest::newRow("2") << cv::Vec3b(2, 2, 2) << 1;
    QTest::newRow("1") << cv::Vec3b(1, 1, 1) << 0;
    QTest::newRow("black") << cv::Vec3b(0, 0, 0) << 0;
    QTest::newRow("pure red") << cv::Vec3b(0, 0, 255) << 76;
    QTest::newRow("pure green") << cv::Vec3b(0, 255, 0) << 150;
    QTest::newRow("pure blue") << cv::Vec3b(255, 0, 0) << 28;
}

void TestWeightedGray::knownColours()
{
    QFETCH(cv::Vec3b, bgr);
    QFETCH(int, gray);
    // Wide enough for the vector path and an odd tail.
    cv::Mat frame(3, 77, CV_8UC3, cv::Scalar(bgr[0], bgr[1], bgr[2]));
    weightedGray(frame);
    const cv::Mat expected(3, 77, CV_8UC3, cv::Scalar::all(gray));
    QCOMPARE(cv::norm(frame, expected, cv::NORM_INF), 0.0);
}

void TestWeightedGray::neutralGraysComeOutOneLowerSometimes()
{
    cv::Mat grays(1, 256, CV_8UC3);
    for (int v = 0; v < 256; ++v)
        grays.at<cv::Vec3b>(0, v) = cv::Vec3b(v, v, v);
    weightedGray(grays);
    QList<int> lower;
    for (int v = 0; v < 256; ++v) {
        const cv::Vec3b out = grays.at<cv::Vec3b>(0, v);
        QCOMPARE(out[0], out[1]);
        QCOMPARE(out[1], out[2]);
        QVERIFY(out[0] == v || out[0] == v - 1);
        if (out[0] == v - 1)
            lower << v;
    }
    QCOMPARE(lower.size(), 67);
    QCOMPARE(lower.mid(0, 8), (QList<int>{1, 2, 4, 5, 8, 10, 16, 20}));
}

void TestWeightedGray::addConversions()
{
    QTest::addColumn<Conversion>("convert");
    QTest::newRow("chosen for this processor") << Conversion(weightedGray);
    QTest::newRow("plain loop") << Conversion(weightedGrayReference);
    QTest::newRow("baseline kernel")
        << Conversion([](cv::Mat &f) { useKernel(f, weighted_gray_detail::baseline::convertRows); });
    if (weighted_gray_detail::processorHasAvx2())
        QTest::newRow("AVX2 kernel")
            << Conversion([](cv::Mat &f) { useKernel(f, weighted_gray_detail::avx2::convertRows); });
}

void TestWeightedGray::everyInputMatchesTheFormula_data()
{
    addConversions();
}

void TestWeightedGray::everyInputMatchesTheFormula()
{
    QFETCH(Conversion, convert);
    static const cv::Mat input = allTriples();
    cv::Mat frame = input.clone();
    convert(frame);

    long long wrong = 0;
    for (int i = 0; i < frame.rows; ++i) {
        const auto *in = input.ptr<cv::Vec3b>(i);
        const auto *out = frame.ptr<cv::Vec3b>(i);
        for (int k = 0; k < frame.cols; ++k) {
            const unsigned char expected = formula(in[k][0], in[k][1], in[k][2]);
            if (out[k] != cv::Vec3b(expected, expected, expected) && ++wrong <= 5)
                qWarning() << "input" << in[k][0] << in[k][1] << in[k][2] << "gave" << out[k][0] << out[k][1]
                           << out[k][2] << "expected" << expected;
        }
    }
    QCOMPARE(wrong, 0LL);
}

void TestWeightedGray::crowdedHardPixels_data()
{
    addConversions();
}

// The hard triples, spaced so that vectors of any width hold none, one, a few or nothing else,
// with ordinary random pixels between them, in rows that do not end on a vector boundary.
void TestWeightedGray::crowdedHardPixels()
{
    QFETCH(Conversion, convert);
    static const std::vector<cv::Vec3b> hard = triplesAtWholeHundreds();
    QCOMPARE(hard.size(), std::size_t(167832));
    cv::RNG random(11);
    for (const int spacing : {1, 2, 3, 5, 9, 16, 17, 31, 33}) {
        const int cols = 2500;
        const int rows = int((hard.size() * spacing + cols - 1) / cols);
        cv::Mat input(rows, cols, CV_8UC3);
        random.fill(input, cv::RNG::UNIFORM, 0, 256);
        auto *pixels = input.ptr<cv::Vec3b>();
        for (std::size_t i = 0; i < hard.size(); ++i)
            pixels[i * spacing + random.uniform(0, spacing)] = hard[i];
        cv::Mat frame = input.clone();
        convert(frame);
        const QString wrong = firstWrongPixel(input, frame);
        QVERIFY2(wrong.isEmpty(), qPrintable(QStringLiteral("spacing %1: %2").arg(spacing).arg(wrong)));
    }
}

void TestWeightedGray::grayPictures_data()
{
    addConversions();
}

// Pictures of neutral grays, every pixel a hard one, with every gray in every lane of a vector;
// some rows hold other hard pixels too, or pixels that are gray in only two channels.
void TestWeightedGray::grayPictures()
{
    QFETCH(Conversion, convert);
    const std::vector<cv::Vec3b> hard = triplesAtWholeHundreds();
    const int cols = 256 + 37;
    cv::Mat input(3 * 64, cols, CV_8UC3);
    for (int i = 0; i < input.rows; ++i) {
        for (int k = 0; k < cols; ++k) {
            const int v = (k + i) % 256;
            cv::Vec3b pixel(v, v, v);
            if (i >= 64 && i < 128 && k % 7 == 3)
                pixel = hard[(i * cols + k) % hard.size()];
            if (i >= 128 && k % 5 == 2)
                pixel[k % 3] = (v + 1) % 256;
            input.at<cv::Vec3b>(i, k) = pixel;
        }
    }
    cv::Mat frame = input.clone();
    convert(frame);
    const QString wrong = firstWrongPixel(input, frame);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
}

void TestWeightedGray::stridedAndOddSizedFrames_data()
{
    addConversions();
}

void TestWeightedGray::stridedAndOddSizedFrames()
{
    QFETCH(Conversion, convert);
    const cv::Size sizes[] = {{1, 1}, {1, 9}, {7, 3}, {31, 2}, {33, 5}, {65, 4}, {100, 7}, {257, 3}};
    for (const cv::Size size : sizes) {
        // A region inside a larger frame: its rows are padded on both sides.
        cv::Mat whole(size.height + 4, size.width + 13, CV_8UC3);
        cv::randu(whole, cv::Scalar::all(0), cv::Scalar::all(256));
        const cv::Mat before = whole.clone();
        const cv::Rect region(5, 2, size.width, size.height);
        cv::Mat part = whole(region);
        QVERIFY(!part.isContinuous() || size.height == 1);
        convert(part);

        for (int i = 0; i < whole.rows; ++i) {
            for (int k = 0; k < whole.cols; ++k) {
                const cv::Vec3b in = before.at<cv::Vec3b>(i, k);
                const cv::Vec3b out = whole.at<cv::Vec3b>(i, k);
                if (region.contains(cv::Point(k, i))) {
                    const unsigned char g = formula(in[0], in[1], in[2]);
                    QVERIFY2(out == cv::Vec3b(g, g, g), qPrintable(QStringLiteral("%1x%2 at %3,%4")
                                                                       .arg(size.width).arg(size.height).arg(k).arg(i)));
                } else {
                    QVERIFY2(out == in, "a byte outside the region changed");
                }
            }
        }
    }
}

void TestWeightedGray::framesEndingAtTheirBufferEnd_data()
{
    addConversions();
}

// The pixels sit at the very end of their allocation, so a read or write past the last pixel
// is caught by the address sanitizer in that build.
void TestWeightedGray::framesEndingAtTheirBufferEnd()
{
    QFETCH(Conversion, convert);
    cv::RNG random(3);
    for (int cols = 1; cols <= 70; ++cols) {
        const int rows = 3;
        std::vector<unsigned char> buffer(std::size_t(rows) * cols * 3);
        random.fill(buffer, cv::RNG::UNIFORM, 0, 256);
        const std::vector<unsigned char> before = buffer;
        cv::Mat frame(rows, cols, CV_8UC3, buffer.data());
        convert(frame);
        for (std::size_t i = 0; i < buffer.size(); i += 3) {
            const unsigned char g = formula(before[i], before[i + 1], before[i + 2]);
            QVERIFY(buffer[i] == g && buffer[i + 1] == g && buffer[i + 2] == g);
        }
    }
}

void TestWeightedGray::framesItCannotConvertStayAsTheyWere_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("cols");
    QTest::newRow("one channel") << CV_8UC1 << 4 << 40;
    QTest::newRow("four channels") << CV_8UC4 << 4 << 40;
    QTest::newRow("16-bit colour") << CV_16UC3 << 4 << 40;
    QTest::newRow("no rows") << CV_8UC3 << 0 << 40;
    QTest::newRow("no columns") << CV_8UC3 << 4 << 0;
}

void TestWeightedGray::framesItCannotConvertStayAsTheyWere()
{
    QFETCH(int, type);
    QFETCH(int, rows);
    QFETCH(int, cols);
    cv::Mat frame(rows, cols, type);
    if (!frame.empty())
        cv::randu(frame, cv::Scalar::all(0), cv::Scalar::all(255));
    const cv::Mat before = frame.clone();
    weightedGray(frame);
    QCOMPARE(frame.type(), type);
    QCOMPARE(frame.size(), cv::Size(cols, rows));
    if (!frame.empty())
        QCOMPARE(cv::norm(frame, before, cv::NORM_INF), 0.0);
}

QTEST_APPLESS_MAIN(TestWeightedGray)
#include "tst_weighted_gray.moc"
