// Shared by the FAT32 and NTFS readers.
#include "io/deviceio.h"
