// What the wizard tells the user when a chosen drive could not be opened.
#pragma once

#include <QString>

#include "app/backend.h"

// The message for a failed DiskOpenResult: what happened and what the user
// can do instead (another try, a disk image, running as administrator).
QString DiskOpenFailureText(const DiskOpenResult& result);
