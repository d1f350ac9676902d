#include "app/udisks.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <algorithm>
#include <set>

#include "io/log.h"

namespace {

const QString kRoot = QStringLiteral("/org/freedesktop/UDisks2");
const QString kBlock = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString kDrive = QStringLiteral("org.freedesktop.UDisks2.Drive");
const QString kPartition = QStringLiteral("org.freedesktop.UDisks2.Partition");
const QString kTable = QStringLiteral("org.freedesktop.UDisks2.PartitionTable");
const QString kFilesystem = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
const QString kObjectManager = QStringLiteral("org.freedesktop.DBus.ObjectManager");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
// Reading the object list is quick; a service that takes longer is stuck.
constexpr int kListTimeoutMs = 5000;

QString Str(const QVariantMap& p, const char* key) { return p.value(QLatin1String(key)).toString(); }
bool Bool(const QVariantMap& p, const char* key) { return p.value(QLatin1String(key)).toBool(); }
uint64_t U64(const QVariantMap& p, const char* key) { return p.value(QLatin1String(key)).toULongLong(); }

QString ObjectPath(const QVariantMap& p, const char* key)
{
    const QVariant v = p.value(QLatin1String(key));
    return v.canConvert<QDBusObjectPath>() ? v.value<QDBusObjectPath>().path() : v.toString();
}

// A byte string property ("ay"), NUL-terminated on the wire.
QString Bytes(const QByteArray& bytes)
{
    const qsizetype nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

QString BytesProperty(const QVariantMap& p, const char* key) { return Bytes(p.value(QLatin1String(key)).toByteArray()); }

// The first of a list of byte strings ("aay"), such as MountPoints.
QString FirstOfByteStrings(const QVariantMap& p, const char* key)
{
    const QVariant v = p.value(QLatin1String(key));
    QList<QByteArray> list;
    if (v.canConvert<QDBusArgument>()) list = qdbus_cast<QList<QByteArray>>(v.value<QDBusArgument>());
    else list = v.value<QList<QByteArray>>();
    return list.isEmpty() ? QString() : Bytes(list.first());
}

// sda < sdb < sdz < sdaa (the kernel's lettering); digits by value
// (nvme2n1 < nvme10n1); families by name.
bool DeviceNameLess(const QString& a, const QString& b)
{
    auto runs = [](const QString& s) {
        QStringList out;
        for (qsizetype i = 0; i < s.size();) {
            qsizetype j = i;
            const bool digit = s[i].isDigit();
            while (j < s.size() && s[j].isDigit() == digit) ++j;
            out << s.mid(i, j - i);
            i = j;
        }
        return out;
    };
    auto family = [](QString& run) {
        for (const char* f : {"xvd", "sd", "vd", "hd"})
            if (run.startsWith(QLatin1String(f)) && run.size() > static_cast<qsizetype>(strlen(f))) {
                QString rest = run.mid(static_cast<qsizetype>(strlen(f)));
                run = QLatin1String(f);
                return rest;
            }
        return QString();
    };
    QStringList ra = runs(a), rb = runs(b);
    if (!ra.isEmpty() && !rb.isEmpty()) {
        const QString la = family(ra[0]), lb = family(rb[0]);
        if (ra[0] != rb[0]) return ra[0] < rb[0];
        if (la.size() != lb.size()) return la.size() < lb.size();
        if (la != lb) return la < lb;
    }
    for (qsizetype i = 1; i < ra.size() && i < rb.size(); ++i) {
        if (ra[i] == rb[i]) continue;
        if (ra[i][0].isDigit() && rb[i][0].isDigit()) return ra[i].toULongLong() < rb[i].toULongLong();
        return ra[i] < rb[i];
    }
    return ra.size() < rb.size();
}

UDisksObjects ParseManagedObjects(const QDBusArgument& arg)
{
    UDisksObjects objects;
    arg.beginMap();
    while (!arg.atEnd()) {
        QDBusObjectPath path;
        arg.beginMapEntry();
        arg >> path;
        auto& interfaces = objects[path.path()];
        arg.beginMap();
        while (!arg.atEnd()) {
            QString name;
            QVariantMap properties;
            arg.beginMapEntry();
            arg >> name >> properties;
            arg.endMapEntry();
            interfaces[name] = properties;
        }
        arg.endMap();
        arg.endMapEntry();
    }
    arg.endMap();
    return objects;
}

}  // namespace

std::vector<UDisksDisk> DisksFromObjects(const UDisksObjects& objects)
{
    std::vector<UDisksDisk> disks;
    std::map<QString, size_t> byBlock;  // Block object path -> index in disks
    for (const auto& [path, interfaces] : objects) {
        auto block = interfaces.find(kBlock);
        if (block == interfaces.end() || interfaces.count(kPartition)) continue;
        const QVariantMap& b = block->second;
        const QString drivePath = ObjectPath(b, "Drive");
        auto drive = objects.find(drivePath);
        // Loop devices, RAID and mapper devices have no drive; they are no
        // disk a photo is rescued from.
        if (drivePath.isEmpty() || drivePath == QLatin1String("/") || drive == objects.end()) continue;
        auto d = drive->second.find(kDrive);
        if (d == drive->second.end()) continue;
        const QVariantMap& dr = d->second;
        if (Bool(b, "HintIgnore") || U64(b, "Size") == 0) continue;
        const QString media = Str(dr, "Media");
        if (media.startsWith(QLatin1String("optical"))) continue;

        UDisksDisk disk;
        disk.blockPath = path;
        disk.drivePath = drivePath;
        disk.device = BytesProperty(b, "PreferredDevice");
        if (disk.device.isEmpty()) disk.device = BytesProperty(b, "Device");
        if (disk.device.isEmpty()) continue;
        disk.vendor = Str(dr, "Vendor").trimmed();
        disk.model = Str(dr, "Model").trimmed();
        disk.serial = Str(dr, "Serial").trimmed();
        disk.connectionBus = Str(dr, "ConnectionBus");
        disk.removable = Bool(dr, "Removable") || Bool(dr, "MediaRemovable");
        disk.size = U64(b, "Size");
        if (auto t = interfaces.find(kTable); t != interfaces.end()) disk.tableType = Str(t->second, "Type");
        disk.idType = Str(b, "IdType");
        disk.idVersion = Str(b, "IdVersion");
        disk.idLabel = Str(b, "IdLabel");
        if (auto f = interfaces.find(kFilesystem); f != interfaces.end())
            disk.mountPoint = FirstOfByteStrings(f->second, "MountPoints");
        byBlock[path] = disks.size();
        disks.push_back(std::move(disk));
    }

    for (const auto& [path, interfaces] : objects) {
        auto part = interfaces.find(kPartition);
        auto block = interfaces.find(kBlock);
        if (part == interfaces.end() || block == interfaces.end()) continue;
        auto owner = byBlock.find(ObjectPath(part->second, "Table"));
        if (owner == byBlock.end()) continue;
        const QVariantMap& p = part->second;
        const QVariantMap& b = block->second;
        UDisksPartition entry;
        entry.objectPath = path;
        entry.device = BytesProperty(b, "PreferredDevice");
        if (entry.device.isEmpty()) entry.device = BytesProperty(b, "Device");
        entry.number = p.value(QStringLiteral("Number")).toUInt();
        entry.type = Str(p, "Type");
        entry.offset = U64(p, "Offset");
        entry.size = U64(p, "Size");
        entry.bootable = (U64(p, "Flags") & 0x80) != 0 && disks[owner->second].tableType == QLatin1String("dos");
        entry.container = Bool(p, "IsContainer");
        entry.contained = Bool(p, "IsContained");
        entry.idType = Str(b, "IdType");
        entry.idVersion = Str(b, "IdVersion");
        entry.idLabel = Str(b, "IdLabel");
        if (auto f = interfaces.find(kFilesystem); f != interfaces.end())
            entry.mountPoint = FirstOfByteStrings(f->second, "MountPoints");
        disks[owner->second].partitions.push_back(std::move(entry));
    }

    for (UDisksDisk& disk : disks)
        std::sort(disk.partitions.begin(), disk.partitions.end(),
                  [](const UDisksPartition& a, const UDisksPartition& b) { return a.offset < b.offset; });
    std::sort(disks.begin(), disks.end(), [](const UDisksDisk& a, const UDisksDisk& b) {
        return DeviceNameLess(a.device.mid(a.device.lastIndexOf(QLatin1Char('/')) + 1),
                              b.device.mid(b.device.lastIndexOf(QLatin1Char('/')) + 1));
    });
    return disks;
}

CUDisksClient::CUDisksClient(QDBusConnection bus, QObject* parent) : QObject(parent), m_bus(std::move(bus))
{
    // String-based connections to signals that carry object paths fail
    // quietly in Qt 6.4 unless the type is known by then.
    qRegisterMetaType<QDBusObjectPath>();
    m_settle.setSingleShot(true);
    m_settle.setInterval(kSettleMs);
    connect(&m_settle, &QTimer::timeout, this, &CUDisksClient::OnSettled);

    const QString service = QLatin1String(kService);
    bool ok = m_bus.connect(service, kRoot, kObjectManager, QStringLiteral("InterfacesAdded"), this, SLOT(OnSignal()));
    ok = m_bus.connect(service, kRoot, kObjectManager, QStringLiteral("InterfacesRemoved"), this, SLOT(OnSignal())) &&
         ok;
    // Every object's property changes: an empty path matches them all.
    ok = m_bus.connect(service, QString(), kProperties, QStringLiteral("PropertiesChanged"), this,
                       SLOT(OnPropertiesChanged(QString, QVariantMap, QStringList))) &&
         ok;
    if (!ok) LOG_E("cannot watch the disk service for drives coming and going\n");
}

bool CUDisksClient::ServiceAvailable(QDBusConnection bus)
{
    if (!bus.isConnected()) return false;
    QDBusConnectionInterface* daemon = bus.interface();
    if (!daemon) return false;
    const QString service = QLatin1String(kService);
    if (daemon->isServiceRegistered(service).value()) return true;
    return daemon->activatableServiceNames().value().contains(service);
}

bool CUDisksClient::Reload()
{
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kService), kRoot, kObjectManager,
                                                       QStringLiteral("GetManagedObjects"));
    const QDBusMessage reply = m_bus.call(call, QDBus::Block, kListTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        LOG_E("the disk service gave no list of drives: %s\n", reply.errorMessage().toUtf8().constData());
        return false;
    }
    const QDBusArgument arg = reply.arguments().first().value<QDBusArgument>();
    m_disks = DisksFromObjects(ParseManagedObjects(arg));
    LOG_T("the disk service lists %zu disks\n", m_disks.size());
    return true;
}

void CUDisksClient::OpenForReading(const QString& blockPath, std::function<void(const UDisksOpenReply&)> done)
{
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kService), blockPath, kBlock,
                                                       QStringLiteral("OpenDevice"));
    // "r" and nothing more: the permission asked for is the permission given.
    call << QStringLiteral("r") << QVariantMap();
    call.setInteractiveAuthorizationAllowed(true);
    LOG_T("asking the disk service to open %s for reading\n", blockPath.toUtf8().constData());
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kOpenTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [watcher, done = std::move(done)] {
        watcher->deleteLater();
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
        UDisksOpenReply result;
        if (!reply.isError()) {
            result.fd = reply.value();
            result.result = result.fd.isValid() ? UDisksOpenReply::Opened : UDisksOpenReply::Failed;
            if (!result.fd.isValid()) result.message = QStringLiteral("no descriptor came with the answer");
        } else {
            const QDBusError error = reply.error();
            result.errorName = error.name();
            result.message = error.message();
            const QString& n = result.errorName;
            if (n == QLatin1String("org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain"))
                result.result = UDisksOpenReply::NoAgent;
            else if (n == QLatin1String("org.freedesktop.UDisks2.Error.NotAuthorizedDismissed"))
                result.result = UDisksOpenReply::Dismissed;
            else if (n == QLatin1String("org.freedesktop.UDisks2.Error.NotAuthorized"))
                result.result = UDisksOpenReply::NotAuthorized;
            else if (error.type() == QDBusError::ServiceUnknown || error.type() == QDBusError::NoReply ||
                     error.type() == QDBusError::Timeout || error.type() == QDBusError::TimedOut ||
                     error.type() == QDBusError::Disconnected || error.type() == QDBusError::NoServer)
                result.result = UDisksOpenReply::NoService;
            else
                result.result = UDisksOpenReply::Failed;
            LOG_E("the disk service did not open the disk: %s: %s\n", n.toUtf8().constData(),
                  result.message.toUtf8().constData());
        }
        done(result);
    });
}

void CUDisksClient::OnSignal()
{
    m_settle.start();
}

void CUDisksClient::OnPropertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList&)
{
    // Only what changes the list: a medium in or out, a new file system or
    // label, a mount.
    static const std::set<QString> kWatched = {QStringLiteral("Size"),    QStringLiteral("MediaAvailable"),
                                               QStringLiteral("IdType"),  QStringLiteral("IdLabel"),
                                               QStringLiteral("IdUsage"), QStringLiteral("MountPoints")};
    if (interface != kBlock && interface != kDrive && interface != kFilesystem) return;
    for (auto it = changed.keyBegin(); it != changed.keyEnd(); ++it)
        if (kWatched.count(*it)) {
            m_settle.start();
            return;
        }
}

void CUDisksClient::OnSettled()
{
    std::map<QString, uint64_t> before;
    for (const UDisksDisk& d : m_disks) before[d.device] = d.size;
    if (!Reload()) return;
    std::map<QString, uint64_t> after;
    for (const UDisksDisk& d : m_disks) after[d.device] = d.size;
    for (const auto& [device, size] : before) {
        auto now = after.find(device);
        if (now == after.end() || now->second != size) {
            LOG_T("%s is gone or its medium changed\n", device.toUtf8().constData());
            emit diskGone(device);
        }
    }
    emit disksChanged();
}
