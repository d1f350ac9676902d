// Structure readers of the formats in the table, one source file each.
#pragma once

#include "photoformats/photoformat.h"

StructureResult ReadJpegStructure(IByteSource& src);
StructureResult ReadPngStructure(IByteSource& src);
StructureResult ReadGifStructure(IByteSource& src);
StructureResult ReadBmpStructure(IByteSource& src);
