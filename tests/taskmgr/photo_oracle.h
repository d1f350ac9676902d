// What a scan must bring back from an image, judged from the image's own
// bytes: a photo counts as recoverable by the raw scan when its whole content
// lies in the partition contiguously from a sector boundary, it is at most
// 10 MiB, and none of its later sectors begins with a photo signature (where
// a scan rightly starts a new photo or ends one).
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <algorithm>
#include <vector>

#include "testutil.h"
#include "volphotorev/photoparser.h"

namespace oracle {

constexpr uint64_t kMaxRawPhotoBytes = 10ull << 20;

// A sector start where the raw scan begins a new photo or ends one.
inline bool BeginsWithSignature(std::span<const uint8_t> s) {
    return MatchPhotoHeader(s) >= 0 || IsOtherFileHeader(s);
}

// Byte offset in `image` where `photo` lies whole, from a sector boundary of
// [partOff, partOff + partLen) (bytes), or -1.
inline int64_t FindContiguous(const std::vector<uint8_t>& image, uint64_t partOff, uint64_t partLen,
                              const std::vector<uint8_t>& photo) {
    if (photo.size() < 512) return -1;
    const uint64_t end = std::min<uint64_t>(image.size(), partOff + partLen);
    for (uint64_t off = partOff; off + photo.size() <= end; off += 512) {
        if (std::memcmp(&image[off], photo.data(), 512) != 0) continue;
        if (std::memcmp(&image[off], photo.data(), photo.size()) == 0) return static_cast<int64_t>(off);
    }
    return -1;
}

// The photos (file paths) a raw scan must bring back, by the rule above.
inline std::vector<std::string> RawRecoverable(const std::vector<uint8_t>& image, uint64_t partOff, uint64_t partLen,
                                               const std::vector<std::string>& photos) {
    std::vector<std::string> out;
    for (const std::string& path : photos) {
        const std::vector<uint8_t> bytes = testutil::ReadFileBytes(path);
        if (bytes.empty() || bytes.size() > kMaxRawPhotoBytes) continue;
        if (FindContiguous(image, partOff, partLen, bytes) < 0) continue;
        bool inner = false;
        for (size_t s = 512; s < bytes.size() && !inner; s += 512)
            inner = BeginsWithSignature(std::span<const uint8_t>(&bytes[s], std::min<size_t>(512, bytes.size() - s)));
        if (!inner) out.push_back(path);
    }
    return out;
}

// True when some file among `recovered` starts with exactly the bytes of `photo`.
inline bool CameBack(const std::vector<uint8_t>& photo, const std::vector<std::vector<uint8_t>>& recovered) {
    for (const auto& r : recovered)
        if (r.size() >= photo.size() && std::memcmp(r.data(), photo.data(), photo.size()) == 0) return true;
    return false;
}

}  // namespace oracle
