#include <QBuffer>

#include <filesystem>

#include "apptest.h"
#include "app/imageload.h"
#include "testutil.h"

namespace {

QByteArray Encode(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

}  // namespace

class TestImageLoad : public QObject {
    Q_OBJECT
private slots:
    void pngResourcesHaveTheirSizes_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<QSize>("size");
        QTest::newRow("logo") << 141 << QSize(48, 48);
        QTest::newRow("recover now") << 142 << QSize(290, 70);
        QTest::newRow("help") << 144 << QSize(16, 16);
        QTest::newRow("no preview") << 150 << QSize(160, 120);
    }
    void pngResourcesHaveTheirSizes()
    {
        QFETCH(int, id);
        QFETCH(QSize, size);
        const std::unique_ptr<QImage> image = LoadPngResource(id);
        QVERIFY(image);
        QCOMPARE(image->size(), size);
    }

    void missingResourceIsNull()
    {
        QVERIFY(!LoadPngResource(131));  // a bitmap, not a PNG
        QVERIFY(!LoadPngResource(999));
        QVERIFY(LoadBitmapResource(141, Qt::black).isNull());
    }

    // The drive pictures are 32 x 32 with black as the see-through colour.
    void bitmapsAreMaskedOnBlack()
    {
        for (int id : {131, 139}) {
            const QPixmap pixmap = LoadBitmapResource(id, QColor(0, 0, 0));
            QCOMPARE(pixmap.size(), QSize(32, 32));
            const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
            QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
            QCOMPARE(qAlpha(image.pixel(31, 31)), 0);
            QCOMPARE(qAlpha(image.pixel(16, 16)), 255);
        }
    }

    void decodesEveryPhotoFormat()
    {
        // Qt writes no GIF: a 1 x 1 one by hand.
        const unsigned char gif[] = {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01, 0x00, 0x80, 0x00,
                                     0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x21, 0xF9, 0x04, 0x01, 0x00,
                                     0x00, 0x00, 0x00, 0x2C, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00,
                                     0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3B};
        const std::unique_ptr<QImage> fromGif = LoadImageFromMemory(sizeof gif, gif);
        QVERIFY(fromGif);
        QCOMPARE(fromGif->size(), QSize(1, 1));

        QImage picture = SolidImage(37, 23, QColor(200, 40, 90));
        for (const char* format : {"JPEG", "PNG", "BMP"}) {
            const QByteArray bytes = Encode(picture, format);
            QVERIFY2(!bytes.isEmpty(), format);
            const std::unique_ptr<QImage> image =
                LoadImageFromMemory(static_cast<uint32_t>(bytes.size()), bytes.constData());
            QVERIFY(image);
            QCOMPARE(image->size(), QSize(37, 23));
        }
    }

    void undecodableDataGivesEmptyPicture()
    {
        QVERIFY(!LoadImageFromMemory(10, nullptr));
        const char junk[] = "this is no picture at all";
        for (uint32_t count : {0u, static_cast<uint32_t>(sizeof junk)}) {
            const std::unique_ptr<QImage> image = LoadImageFromMemory(count, junk);
            QVERIFY(image);
            QCOMPARE(image->width(), 0);
            QCOMPARE(image->height(), 0);
        }
        // A JPEG cut after its header does not decode to a picture of any size
        // it does not have.
        const QByteArray jpeg = Encode(SolidImage(64, 48, Qt::blue), "JPEG");
        const std::unique_ptr<QImage> cut = LoadImageFromMemory(40, jpeg.constData());
        QVERIFY(cut);
        QVERIFY(cut->isNull() || cut->size() == QSize(64, 48));
    }

    void decodesRealCameraPhoto()
    {
        const std::string dir = testutil::PhotosDir();
        if (dir.empty()) QSKIP("no photo fixtures");
        const std::vector<uint8_t> bytes = testutil::ReadFileBytes(dir + "/IMG_0105.JPG");
        QVERIFY(!bytes.empty());
        const std::unique_ptr<QImage> image = LoadImageFromMemory(static_cast<uint32_t>(bytes.size()), bytes.data());
        QVERIFY(image);
        QVERIFY(image->width() > 0 && image->height() > 0);
    }
};

LUMIVISTA_TEST_MAIN(TestImageLoad)
#include "test_imageload.moc"
