#include <QBuffer>
#include <QFile>
#include <QPainter>

#include "apptest.h"
#include "app/thumbnail.h"
#include "../photoformats/raw_samples.h"
#include "testutil.h"

namespace {

QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Mean difference of the colour channels, 0..255.
double MeanDifference(const QImage& a, const QImage& b)
{
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    if (x.size() != y.size()) return 255;
    double sum = 0;
    for (int row = 0; row < x.height(); ++row)
        for (int col = 0; col < x.width(); ++col) {
            const QRgb p = x.pixel(col, row);
            const QRgb q = y.pixel(col, row);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q));
        }
    return sum / (3.0 * x.width() * x.height());
}

// The thumbnail as ImageMagick's bicubic (Catmull-Rom) scale of the whole
// picture makes it, placed on white where the thumbnail puts it.
QImage ReferenceThumbnail(const QString& photo, QSize fullSize, const QString& work)
{
    const QRect place = ThumbnailPlacement(fullSize);
    const QString out = work + QStringLiteral("/reference.png");
    const std::string command = QStringLiteral("convert '%1[0]' -background white -alpha remove -alpha off "
                                               "-filter Catrom -resize %2x%3! '%4'")
                                    .arg(photo)
                                    .arg(place.width())
                                    .arg(place.height())
                                    .arg(out)
                                    .toStdString();
    if (testutil::Run(command) != 0) return QImage();
    QImage canvas(kThumbnailWidth, kThumbnailHeight, QImage::Format_RGB32);
    canvas.fill(Qt::white);
    QPainter painter(&canvas);
    painter.drawImage(place.topLeft(), QImage(out));
    return canvas;
}

}  // namespace

class TestThumbnail : public QObject {
    Q_OBJECT
private slots:
    void placementKeepsProportionsAndCentres()
    {
        // Wider than 4:3: full width, centred vertically.
        QCOMPARE(ThumbnailPlacement(QSize(3840, 2400)), QRect(0, 7, 120, 75));
        // Taller: full height, centred horizontally.
        QCOMPARE(ThumbnailPlacement(QSize(2400, 3600)), QRect(30, 0, 60, 90));
        // Exactly 4:3 fills the canvas; small pictures are enlarged.
        QCOMPARE(ThumbnailPlacement(QSize(160, 120)), QRect(0, 0, 120, 90));
        QCOMPARE(ThumbnailPlacement(QSize(40, 30)), QRect(0, 0, 120, 90));
        // A sliver keeps a width of 0 and so draws nothing.
        QCOMPARE(ThumbnailPlacement(QSize(1, 5000)).width(), 0);
        QVERIFY(ThumbnailPlacement(QSize(0, 10)).isNull());
    }

    void fitDrawsOnWhite()
    {
        QImage red(300, 100, QImage::Format_ARGB32);
        red.fill(QColor(255, 0, 0));
        const QImage thumb = FitIntoThumbnail(red, red.size());
        QCOMPARE(thumb.size(), QSize(120, 90));
        QCOMPARE(thumb.pixelColor(60, 5), QColor(Qt::white));   // above the picture
        QCOMPARE(thumb.pixelColor(60, 45), QColor(255, 0, 0));   // inside
        QCOMPARE(thumb.pixelColor(60, 84), QColor(Qt::white));  // below

        // Transparent parts show the white beneath, not black.
        QImage clear(120, 90, QImage::Format_ARGB32);
        clear.fill(Qt::transparent);
        QCOMPARE(FitIntoThumbnail(clear, clear.size()).pixelColor(10, 10), QColor(Qt::white));
        // No picture: a blank canvas.
        QCOMPARE(FitIntoThumbnail(QImage(), QSize(100, 100)).pixelColor(50, 50), QColor(Qt::white));
    }

    // A camera JPEG is decoded at a reduced size, its full width comes from
    // the header, and the thumbnail looks like the bicubic scale of the
    // whole picture.
    void jpegDecodesReducedAndLooksLikeTheFullScale()
    {
        const std::string photos = testutil::PhotosDir();
        if (photos.empty()) QSKIP("no photos");
        const QString path = QString::fromStdString(photos + "/IMG_0002.JPG");  // 3640 x 2400
        const QByteArray bytes = ReadFile(path);
        QSize full;
        const QImage reduced = DecodeForThumbnail(bytes.constData(), static_cast<uint32_t>(bytes.size()), &full);
        QCOMPARE(full, QSize(3640, 2400));
        QVERIFY2(reduced.width() <= 3640 / 8 + 1, qPrintable(QString::number(reduced.width())));
        QVERIFY(reduced.width() >= 120);

        const QImage thumb = FitIntoThumbnail(reduced, full);
        testutil::TempDir work;
        const QImage reference = ReferenceThumbnail(path, full, QString::fromStdString(work.path()));
        if (reference.isNull()) QSKIP("ImageMagick is missing");
        const double difference = MeanDifference(thumb, reference);
        QVERIFY2(difference < 1.5, qPrintable(QString::number(difference)));

        // The picture decoded in full gives the same thumbnail within a
        // rounding step.
        QImage whole;
        QVERIFY(whole.loadFromData(bytes));
        QVERIFY(MeanDifference(thumb, FitIntoThumbnail(whole, whole.size())) < 1.0);
    }

    // The other formats are decoded whole, and a picture smaller than the
    // thumbnail is enlarged; every one looks like the reference.
    void otherFormatsLookLikeTheReference()
    {
        const std::string photos = testutil::PhotosDir();
        if (photos.empty()) QSKIP("no photos");
        testutil::TempDir work;
        for (const char* name : {"SCAN0004.PNG", "ANIM0002.GIF", "PAINT002.BMP", "IMG_0105.JPG"}) {
            const QString path = QString::fromStdString(photos + "/" + name);
            const QByteArray bytes = ReadFile(path);
            QSize full;
            const QImage picture = DecodeForThumbnail(bytes.constData(), static_cast<uint32_t>(bytes.size()), &full);
            QVERIFY2(!picture.isNull(), name);
            QCOMPARE(full, QImage(path).size());
            const QImage reference = ReferenceThumbnail(path, full, QString::fromStdString(work.path()));
            if (reference.isNull()) QSKIP("ImageMagick is missing");
            const double difference = MeanDifference(FitIntoThumbnail(picture, full), reference);
            QVERIFY2(difference < 1.5, qPrintable(QStringLiteral("%1: %2").arg(name).arg(difference)));
        }
    }

    // On a screen of two device pixels per logical one the thumbnail has
    // twice the pixels each way, drawn from the photo (not enlarged from
    // the 120 x 90 one), and the same logical size.
    void sharpOnHighDensityScreens()
    {
        const std::string photos = testutil::PhotosDir();
        if (photos.empty()) QSKIP("no photos");
        const QString path = QString::fromStdString(photos + "/IMG_0002.JPG");
        const QByteArray bytes = ReadFile(path);
        QSize full;
        const QImage reduced = DecodeForThumbnail(bytes.constData(), static_cast<uint32_t>(bytes.size()), &full, 2.0);
        QVERIFY(reduced.width() >= 2 * ThumbnailPlacement(full).width());
        const QImage thumb = FitIntoThumbnail(reduced, full, 2.0);
        QCOMPARE(thumb.size(), QSize(240, 180));
        QCOMPARE(thumb.devicePixelRatio(), 2.0);
        QCOMPARE(thumb.deviceIndependentSize().toSize(), QSize(120, 90));
        // It matches the whole photo scaled to 240 wide, and holds detail
        // that the 120 x 90 thumbnail enlarged does not.
        QImage whole;
        QVERIFY(whole.loadFromData(bytes));
        const QRect place = ThumbnailPlacement(full);
        const QImage reference = whole.scaled(place.size() * 2, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        QImage flat = thumb;
        flat.setDevicePixelRatio(1.0);
        const QImage picture = flat.copy(QRect(place.topLeft() * 2, place.size() * 2));
        const double sharp = MeanDifference(picture, reference);
        const QImage blurred = FitIntoThumbnail(reduced, full).copy(place).scaled(place.size() * 2);
        QVERIFY2(sharp < 2.0, qPrintable(QString::number(sharp)));
        QVERIFY2(MeanDifference(blurred, reference) > sharp, qPrintable(QString::number(sharp)));
    }

    // TIFF and WebP through Qt's plugins, HEIC and AVIF through libheif,
    // each against ImageMagick's scale of the photo it was made from (the
    // lossy ones from a lossy encode, hence the wider margin).
    void newFormatsLookLikeTheirSource()
    {
        const std::string formats = fmtest::FormatsDir();
        if (formats.empty()) QSKIP("no photos or tools");
        const QString photos = QString::fromStdString(testutil::PhotosDir());
        testutil::TempDir work;
        struct Case {
            const char* name;
            const char* source;
            double margin;
        };
        const Case cases[] = {{"strips-be.tif", "IMG_0103.JPG", 1.5}, {"tiles-le.tif", "IMG_0103.JPG", 1.5},
                              {"lossless.webp", "IMG_0104.JPG", 1.5}, {"lossy.webp", "IMG_0103.JPG", 4},
                              {"photo.heic", "IMG_0104.JPG", 6},      {"photo.avif", "IMG_0104.JPG", 6}};
        for (const Case& c : cases) {
            const QByteArray bytes = ReadFile(QString::fromStdString(formats + "/" + c.name));
            QVERIFY2(!bytes.isEmpty(), c.name);
            QSize full;
            const QImage picture = DecodeForThumbnail(bytes.constData(), static_cast<uint32_t>(bytes.size()), &full);
            QVERIFY2(!picture.isNull(), c.name);
            const QString source = photos + "/" + c.source;
            QCOMPARE(full, QImage(source).size());
            const QImage reference = ReferenceThumbnail(source, full, QString::fromStdString(work.path()));
            const double difference = MeanDifference(FitIntoThumbnail(picture, full), reference);
            QVERIFY2(difference < c.margin, qPrintable(QStringLiteral("%1: %2").arg(c.name).arg(difference)));
        }
    }

    // A camera RAW file shows its largest embedded preview; one whose
    // previews do not decode shows nothing (the page then shows its type).
    void rawShowsItsLargestPreview()
    {
        const std::vector<uint8_t> jpeg = fmtest::SmallJpeg(320, 240);
        QVERIFY(!jpeg.empty());
        const std::vector<std::vector<uint8_t>> files = {
            rawsample::TiffEp({"nef", "NIKON CORPORATION", "NIKON D750"}, jpeg), rawsample::Cr2(jpeg),
            rawsample::Orf(jpeg), rawsample::Rw2(jpeg)};
        QSize previewSize;
        const QImage expected = DecodeForThumbnail(jpeg.data(), static_cast<uint32_t>(jpeg.size()), &previewSize);
        QCOMPARE(previewSize, QSize(320, 240));
        for (const std::vector<uint8_t>& f : files) {
            QSize full;
            const QImage picture = DecodeForThumbnail(f.data(), static_cast<uint32_t>(f.size()), &full);
            QCOMPARE(full, previewSize);
            QCOMPARE(picture, expected);
        }
        std::vector<uint8_t> broken = rawsample::TiffEp({"nef", "NIKON CORPORATION", "NIKON D750"}, jpeg);
        auto soi = std::search(broken.begin(), broken.end(), jpeg.begin(), jpeg.begin() + 16);
        QVERIFY(soi != broken.end());
        std::fill(soi + 3, soi + static_cast<long>(jpeg.size()), 0);  // the preview's data gone
        QSize full;
        const QImage picture = DecodeForThumbnail(broken.data(), static_cast<uint32_t>(broken.size()), &full);
        QVERIFY(picture.isNull() || !full.isValid() || full.width() <= 24);
        const QImage icon = TypeIcon(QImage(160, 120, QImage::Format_RGB32), QStringLiteral("RAW"));
        QCOMPARE(icon.size(), QSize(160, 120));
    }

    void bytesThatAreNoPictureDoNotDecode()
    {
        QSize full(1, 1);
        QVERIFY(DecodeForThumbnail(nullptr, 100, &full).isNull());
        QVERIFY(!full.isValid());
        const QByteArray noise(5000, '\x5a');
        QVERIFY(DecodeForThumbnail(noise.constData(), static_cast<uint32_t>(noise.size()), &full).isNull());
        QVERIFY(!full.isValid());
        // A JPEG header with nothing after it.
        const QByteArray header("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 20);
        QVERIFY(DecodeForThumbnail(header.constData(), static_cast<uint32_t>(header.size()), &full).isNull());
    }
};

LUMIVISTA_TEST_MAIN(TestThumbnail)
#include "test_thumbnail.moc"
