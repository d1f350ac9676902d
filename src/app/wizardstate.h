// State the wizard's pages share.
#pragma once

#include "io/partition.h"

// The partition of the drive row selected on the drive page, or null. The
// disk source owns it; every refill of the drive list resets this first.
// User-interface thread only.
extern IPartition* g_pSelectedPartition;
