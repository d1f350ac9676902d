// News of drives coming and going, from whichever drive source follows them,
// to the pages that show or read drives.
#pragma once

#include <QObject>
#include <QString>

class CDriveEvents : public QObject {
    Q_OBJECT
signals:
    // The drive list changed: a drive or a medium came or went.
    void drivesChanged();
    // A disk that was listed (a device path such as /dev/sdb) is gone, or
    // its medium was taken out or changed.
    void driveGone(const QString& devicePath);
};

CDriveEvents& DriveEvents();
