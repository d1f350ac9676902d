// Marks the system partition (the one holding the running system's root) and
// the boot partition (the active one holding a Windows boot loader).
#pragma once

#include <string>

#include "io/dpt.h"

class CWinBoot {
public:
    // Sets State bit 4 on the partition whose volume is mounted at "/", and
    // bit 8 on the active partition (the last one flagged in the list) when
    // its mount point holds "bootmgr" and "Boot/BCD", or "ntldr" and
    // "boot.ini". An active partition that is not mounted gets no boot bit.
    static void DetectBootAndSystem(PartitionList& list);
    // Device node of the volume mounted at "/", empty (logged) when unknown.
    static std::string Win_GetOSDrive();
};
