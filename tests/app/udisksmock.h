// The system's disk service played by python3-dbusmock (the template in
// tests/app/udisks) on a private bus of its own: drives whose media are image
// files, cards that go in and out, and answers to OpenDevice chosen by the
// test. Needs dbus-daemon and Debian's python3-dbusmock; no root, no hardware.
#pragma once

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusArgument>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <atomic>

class UDisksMock {
public:
    static bool Available()
    {
        return QFile::exists(QStringLiteral("/usr/bin/dbus-daemon")) &&
               QProcess::execute(QStringLiteral("/usr/bin/python3"),
                                 {QStringLiteral("-c"), QStringLiteral("import dbusmock, dbus")}) == 0;
    }

    // `drives`: the template's drive list (see udisks2_mock.py).
    explicit UDisksMock(const QJsonArray& drives)
    {
        static std::atomic<int> serial{0};
        m_name = QStringLiteral("udisks-mock-%1").arg(++serial);
        m_daemon.start(QStringLiteral("/usr/bin/dbus-daemon"),
                       {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (!m_daemon.waitForStarted(5000) || !m_daemon.waitForReadyRead(5000)) return;
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_address);
        m_mock.setProcessEnvironment(env);
        m_mock.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_mock.setStandardOutputFile(QProcess::nullDevice());
        const QString params = QString::fromUtf8(
            QJsonDocument(QJsonObject{{QStringLiteral("drives"), drives}}).toJson(QJsonDocument::Compact));
        m_mock.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--system"), QStringLiteral("-t"),
                      QStringLiteral(LUMIVISTA_SOURCE_DIR "/tests/app/udisks/udisks2_mock.py"), QStringLiteral("-p"),
                      params});
        m_bus = QDBusConnection::connectToBus(m_address, m_name);
        for (int i = 0; i < 100 && m_bus.isConnected(); ++i) {
            if (m_bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.UDisks2")).value()) {
                m_ready = true;
                break;
            }
            QTest::qWait(100);
        }
    }

    ~UDisksMock()
    {
        QDBusConnection::disconnectFromBus(m_name);
        for (QProcess* p : {&m_mock, &m_daemon}) {
            p->terminate();
            if (!p->waitForFinished(3000)) p->kill();
            p->waitForFinished(3000);
        }
    }

    bool Ready() const { return m_ready; }
    QDBusConnection Bus() const { return m_bus; }

    // Calls one of the template's mock methods on /org/freedesktop/UDisks2.
    bool Call(const QString& method, const QVariantList& args = {})
    {
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.UDisks2"),
                                                           QStringLiteral("/org/freedesktop/UDisks2"),
                                                           QStringLiteral("org.freedesktop.DBus.Mock"), method);
        call.setArguments(args);
        const QDBusMessage reply = m_bus.call(call, QDBus::Block, 10000);
        if (reply.type() == QDBusMessage::ErrorMessage) qWarning() << method << reply.errorMessage();
        return reply.type() == QDBusMessage::ReplyMessage;
    }

    // Every OpenDevice and OpenForBackup call the disk's Block object got,
    // as "OpenDevice r" or "OpenForBackup".
    QStringList OpenCalls(const QString& disk)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.UDisks2"), QStringLiteral("/org/freedesktop/UDisks2/block_devices/") + disk,
            QStringLiteral("org.freedesktop.DBus.Mock"), QStringLiteral("GetCalls"));
        const QDBusMessage reply = m_bus.call(call, QDBus::Block, 10000);
        QStringList calls;
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            calls << QStringLiteral("(no call log: %1)").arg(reply.errorMessage());
            return calls;
        }
        const QDBusArgument log = reply.arguments().first().value<QDBusArgument>();
        log.beginArray();
        while (!log.atEnd()) {
            qulonglong when = 0;
            QString method;
            QVariantList args;
            log.beginStructure();
            log >> when >> method >> args;
            log.endStructure();
            QString text = method;
            if (method == QLatin1String("OpenDevice") && !args.isEmpty()) {
                QVariant mode = args.first();
                if (mode.canConvert<QDBusArgument>()) mode = qdbus_cast<QDBusVariant>(mode.value<QDBusArgument>()).variant();
                if (mode.canConvert<QDBusVariant>()) mode = mode.value<QDBusVariant>().variant();
                text += QLatin1Char(' ') + mode.toString();
            }
            calls << text;
        }
        log.endArray();
        return calls;
    }

private:
    QString m_name;
    QString m_address;
    QProcess m_daemon;
    QProcess m_mock;
    QDBusConnection m_bus{QString()};
    bool m_ready = false;
};
