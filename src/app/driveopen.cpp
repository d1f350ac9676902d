#include "app/driveopen.h"

QString DiskOpenFailureText(const DiskOpenResult& result)
{
    const QString otherWays = QStringLiteral(
        "You can also open a disk image of the drive with \"Open Image...\", or start Lumivista as administrator "
        "(sudo lumivista).");
    switch (result.status) {
    case DiskOpenResult::NoAgent:
        return QStringLiteral("Reading this drive needs the administrator's password, but nothing in this session can "
                              "ask for it: no authentication agent is running (as over SSH, or in a bare window "
                              "manager).\n\n") +
               otherWays;
    case DiskOpenResult::Dismissed:
        return QStringLiteral("The password dialog was cancelled, so the drive was not opened. Press Next to be asked "
                              "again.\n\n") +
               otherWays;
    case DiskOpenResult::NotAuthorized:
        return QStringLiteral("The system did not allow Lumivista to read this drive: the password was not accepted, "
                              "or this account may not read drives. Press Next to try again.\n\n") +
               otherWays;
    case DiskOpenResult::NoService:
        return QStringLiteral("The system's disk service did not answer, so the drive was not opened. Press Next to "
                              "try again.\n\n") +
               otherWays;
    case DiskOpenResult::Opened:
    case DiskOpenResult::Failed:
        break;
    }
    const QString reason = result.detail.empty() ? QStringLiteral("the system gave no reason")
                                                 : QString::fromStdString(result.detail);
    return QStringLiteral("The drive could not be opened (%1). Make sure it is still attached and press Next to try "
                          "again.\n\n")
               .arg(reason) +
           otherWays;
}
