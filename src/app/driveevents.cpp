#include "app/driveevents.h"

CDriveEvents& DriveEvents()
{
    static CDriveEvents events;
    return events;
}
