// Writing found photos as files: safe names, the recovery folder, and the
// clash rule. Shared by the command line and the wizard.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "volphotorev/photoitems.h"

class IPartition;
class ITaskMgr;

// A photo's name as one safe path element (UTF-8). The name comes from the
// disk: a "/", a NUL or another control character becomes "_", unpaired
// UTF-16 surrogates become U+FFFD, "." and ".." and the empty name get a
// "_" in front, and overlong names are cut (keeping the extension) so that a
// clash prefix still fits in a file name.
std::string SafeFileName(const std::u16string& name);

// UTF-16 to UTF-8, unpaired surrogates as U+FFFD.
std::string Utf16ToUtf8(const std::u16string& s);

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

// Reads the photo through the task manager and writes its `size` bytes into
// `folder` with WriteRecoveredFile. 0 (and the file's path in *written) or -1.
int SavePhotoItem(ITaskMgr* taskMgr, PhotoItem* item, IPartition* partition, const std::string& folder,
                  std::string* written = nullptr);
