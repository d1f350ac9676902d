// Writing found photos as files: safe names, the recovery folder, and the
// clash rule. Shared by the command line and the wizard.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "io/utf.h"
#include "volphotorev/photoitems.h"

class IPartition;
class ITaskMgr;

// A photo's name as one safe path element (UTF-8). The name comes from the
// disk: a "/", a NUL or another control character becomes "_", unpaired
// UTF-16 surrogates become U+FFFD, "." and ".." and the empty name get a
// "_" in front, and overlong names are cut (keeping the extension) so that a
// clash prefix still fits in a file name.
std::string SafeFileName(const std::u16string& name);


// "Recovered Photos(hh-mm-ss)" for that local time; the hour counts 1 to 12
// past noon, as the wizard always named it.
std::string RecoveryFolderName(const std::tm& local);

// Creates (or reuses, when it already is a plain folder) the recovery folder
// named for `now` inside `dir`. 0 and its path, or -1 with a one-line reason.
int CreateRecoveryFolder(const std::string& dir, std::time_t now, std::string& folder, std::string& error);

// Bytes a photo's buffer needs: the larger of its size rounded up to whole
// sectors and the end of its last run. 0 when the runs are malformed.
uint64_t PhotoBufferSize(const PhotoItem& item);

// Largest photo SavePhotoItem will take (a claimed size beyond this is a
// damaged record, not a photo).
constexpr uint64_t kMaxRecoveredPhotoBytes = 1ull << 30;

// Writes `size` bytes as a new file in `folder` under the safe form of
// `name`; when that name is taken, under "%d_%s" with the process-wide name
// counter, counting on until the name is free. Never replaces an existing
// file and never writes outside `folder`; a file that cannot be written whole
// (a full disk) is removed again. 0 (and the file's path in *written) or -1.
int WriteRecoveredFile(const std::string& folder, const std::u16string& name, const void* bytes, uint32_t size,
                       std::string* written = nullptr);

// How photos are written.
struct RecoveryOptions {
    // Recreate each photo's folder path on the volume inside the recovery
    // folder ("DCIM/100CANON/IMG_0001.JPG"); off: every photo in the
    // recovery folder itself.
    bool keepFolders = false;
};

// Longest folder path, in bytes, that keepFolders recreates; the folders
// past it are left out (a corrupt tree can name folders without end).
constexpr size_t kMaxKeptFolderBytes = 2048;

// Writes the photo's `size` bytes (from `bytes`) with WriteRecoveredFile,
// inside its folder path when options.keepFolders asks for it, and gives
// the file the photo's modification time when it is known. A folder of the
// path that cannot be made (a file of that name is in the way) leaves the
// photo in the last folder made. 0 (and the file's path in *written) or -1.
int WriteRecoveredPhoto(const std::string& folder, const PhotoItem& item, const void* bytes,
                        const RecoveryOptions& options, std::string* written = nullptr);

// Reads the photo through the task manager and writes it into `folder` with
// WriteRecoveredPhoto. 0 (and the file's path in *written) or -1.
int SavePhotoItem(ITaskMgr* taskMgr, PhotoItem* item, IPartition* partition, const std::string& folder,
                  std::string* written = nullptr, const RecoveryOptions& options = {});

// The photo's folder path and name as one UTF-8 path ("DCIM/100CANON/IMG_0001.JPG").
std::string PhotoPathText(const PhotoItem& item);
