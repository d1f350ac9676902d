// The client against the real disk service, where one runs: a loop device of
// an image opened read-only through udisksd. Skips cleanly where there is no
// system bus with udisksd on it, or no loop device can be made (not root).
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include <cerrno>
#include <unistd.h>

#include "apptest.h"
#include "app/udisks.h"
#include "io/platform/frontend_checks.h"
#include "io/platform/platform.h"
#include "testutil.h"

class TestUDisks : public QObject {
    Q_OBJECT
private slots:
    void realServiceOpensALoopDeviceReadOnly()
    {
        QDBusConnection bus = QDBusConnection::systemBus();
        if (!bus.isConnected() || !bus.interface()->isServiceRegistered(QLatin1String(CUDisksClient::kService)).value())
            QSKIP("no udisksd on a system bus here");
        if (!HasDiskRights() || !testutil::HaveTool("losetup")) QSKIP("loop devices need root");
        testutil::TempDir dir;
        const std::string image = dir / "card.img";
        QCOMPARE(testutil::Run("truncate -s 16M '" + image + "' && echo 'start=2048, type=c' | sfdisk -q '" + image +
                               "' && mkfs.fat -F 32 -n SMOKE --offset 2048 '" + image + "' >/dev/null"),
                 0);
        int status = 0;
        const QString loop = QString::fromStdString(testutil::Capture("losetup -fP --show '" + image + "'", &status)).trimmed();
        if (status != 0 || loop.isEmpty()) QSKIP("no loop device could be made here");
        struct Detach {
            QString loop;
            ~Detach() { testutil::Run("losetup -d '" + loop.toStdString() + "'"); }
        } detach{loop};

        // udisksd learns of the loop device from udev: wait for its object.
        const QString blockPath = QStringLiteral("/org/freedesktop/UDisks2/block_devices/") + loop.mid(5);
        CUDisksClient client(bus);
        bool seen = false;
        for (int i = 0; i < 50 && !seen; ++i) {
            QDBusMessage get = QDBusMessage::createMethodCall(QLatin1String(CUDisksClient::kService), blockPath,
                                                              QStringLiteral("org.freedesktop.DBus.Properties"),
                                                              QStringLiteral("Get"));
            get << QStringLiteral("org.freedesktop.UDisks2.Block") << QStringLiteral("Size");
            seen = bus.call(get, QDBus::Block, 2000).type() == QDBusMessage::ReplyMessage;
            if (!seen) QTest::qWait(100);
        }
        if (!seen) QSKIP("udisksd does not see loop devices here (no udev)");
        // A loop device has no drive: it is no disk the wizard lists.
        QVERIFY(client.Reload());
        for (const UDisksDisk& disk : client.Disks()) QVERIFY(disk.device != loop);

        bool answered = false;
        UDisksOpenReply reply;
        client.OpenForReading(blockPath, [&](const UDisksOpenReply& r) {
            reply = r;
            answered = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(answered, 30000);
        QCOMPARE(reply.result, UDisksOpenReply::Opened);
        const int fd = reply.fd.fileDescriptor();
        std::vector<uint8_t> got(512), want = testutil::ReadFileBytes(image);
        QCOMPARE(pread(fd, got.data(), got.size(), 2048 * 512), ssize_t{512});
        QVERIFY(std::equal(got.begin(), got.end(), want.begin() + 2048 * 512));
        QCOMPARE(pwrite(fd, got.data(), got.size(), 0), ssize_t{-1});
        QCOMPARE(errno, EBADF);
        int err = 0;
        QCOMPARE(Platform().AdoptReadOnlyDescriptor(loop.toStdString(), fd, &err), 0);
        Platform().ReleaseAdoptedDescriptor(loop.toStdString());
    }
};

LUMIVISTA_TEST_MAIN(TestUDisks)
#include "test_udisks.moc"
