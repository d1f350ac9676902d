// Makes the result page's 120 x 90 thumbnails of a folder of photos twice:
// with the decoder that scales while decoding (what the page does) and with a
// full decode followed by the same scale, and reports both times, their
// ratio and how far the two pictures differ.
// Usage: thumbnail_bench DIR
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/thumbnail.h"

namespace {

// Mean and largest difference of the colour channels, 0..255.
void Compare(const QImage& a, const QImage& b, double& mean, int& worst)
{
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    long long sum = 0;
    worst = 0;
    for (int row = 0; row < x.height(); ++row) {
        const auto* p = reinterpret_cast<const QRgb*>(x.constScanLine(row));
        const auto* q = reinterpret_cast<const QRgb*>(y.constScanLine(row));
        for (int col = 0; col < x.width(); ++col) {
            for (int d : {qRed(p[col]) - qRed(q[col]), qGreen(p[col]) - qGreen(q[col]), qBlue(p[col]) - qBlue(q[col])}) {
                sum += std::abs(d);
                worst = std::max(worst, std::abs(d));
            }
        }
    }
    mean = static_cast<double>(sum) / (3.0 * x.width() * x.height());
}

}  // namespace

int main(int argc, char** argv)
{
    QGuiApplication application(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: thumbnail_bench DIR\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    std::vector<QByteArray> photos;
    qint64 bytes = 0;
    for (const QString& name : dir.entryList({QStringLiteral("*.jpg"), QStringLiteral("*.JPG")}, QDir::Files, QDir::Name)) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::ReadOnly)) continue;
        photos.push_back(file.readAll());
        bytes += photos.back().size();
    }
    if (photos.empty()) {
        std::fprintf(stderr, "no JPEG files in %s\n", argv[1]);
        return 1;
    }

    std::vector<QImage> scaled;
    QSize firstSize;
    QElapsedTimer timer;
    timer.start();
    for (const QByteArray& photo : photos) {
        QSize full;
        const QImage picture = DecodeForThumbnail(photo.constData(), static_cast<uint32_t>(photo.size()), &full);
        if (firstSize.isEmpty()) firstSize = full;
        scaled.push_back(FitIntoThumbnail(picture, full));
    }
    const qint64 scaledNs = timer.nsecsElapsed();

    // The full decode alone, to show where the time of the plain way goes.
    timer.restart();
    for (const QByteArray& photo : photos) {
        QImage picture;
        picture.loadFromData(photo);
    }
    const qint64 decodeNs = timer.nsecsElapsed();

    std::vector<QImage> plain;
    timer.restart();
    for (const QByteArray& photo : photos) {
        QImage picture;
        picture.loadFromData(photo);
        plain.push_back(FitIntoThumbnail(picture, picture.size()));
    }
    const qint64 fullNs = timer.nsecsElapsed();

    double meanSum = 0;
    int worst = 0;
    for (size_t i = 0; i < photos.size(); ++i) {
        double mean = 0;
        int most = 0;
        Compare(scaled[i], plain[i], mean, most);
        meanSum += mean;
        worst = std::max(worst, most);
    }

    std::printf("photos:                 %zu JPEG, %.1f MB, %dx%d first\n", photos.size(), bytes / 1e6,
                firstSize.width(), firstSize.height());
    std::printf("scaled decode + fit:    %8.1f ms  (%.1f ms a photo)\n", scaledNs / 1e6, scaledNs / 1e6 / photos.size());
    std::printf("full decode + fit:      %8.1f ms  (%.1f ms a photo)\n", fullNs / 1e6, fullNs / 1e6 / photos.size());
    std::printf("  of which the decode:  %8.1f ms\n", decodeNs / 1e6);
    std::printf("speed-up:               %8.2f x\n", static_cast<double>(fullNs) / static_cast<double>(scaledNs));
    std::printf("thumbnail difference:   mean %.2f, largest %d (of 255)\n", meanSum / photos.size(), worst);
    return 0;
}
