#include "app/wizardstate.h"

IPartition* g_pSelectedPartition = nullptr;
