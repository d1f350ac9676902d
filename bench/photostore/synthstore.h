// A photo store of any size made up without a scan: the kinds of photos a
// big phone backup or camera disk gives (named photos in dated folders found
// by a walk, numbered ones found by the raw scan), for benchmarks and for
// trying the result page on a million photos.
#pragma once

#include <cstddef>
#include <cstdint>

#include "volphotorev/photoitems.h"

// Adds `count` photos to `store`, the same ones for the same seed: about
// seven in ten walk photos ("IMG_20190714_153012.jpg" in "DCIM/2019-07"),
// the rest raw-scan photos ("0000012345.jpg"); mostly JPEG, then HEIC, PNG,
// RAW and the rest; 1 to 3 runs; 200 KB to 8 MB.
void MakeSyntheticPhotos(IPhotoItmesMgr& store, size_t count, uint64_t seed = 1);
