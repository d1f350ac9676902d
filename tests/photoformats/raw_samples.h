// Synthetic camera RAW files. No real camera sample can be had here, so
// each is built to its maker's documented layout: the header, the IFD chain
// with the tags the maker writes (Make, Model, SubIFDs, Exif IFD, the maker
// note in its own layout), a real JPEG as the preview, and the sensor data
// strip last, where cameras put it. Pixel values are noise: only the
// structure is the camera's.
#pragma once

#include <string>
#include <vector>

#include "formats_testsupport.h"
#include "tiff_builder.h"

namespace rawsample {

using tiffbuild::Builder;

enum : uint16_t {
    NewSubfileType = 254, ImageWidth = 256, ImageLength = 257, BitsPerSample = 258, Compression = 259,
    Photometric = 262, Make = 271, Model = 272, StripOffsets = 273, SamplesPerPixel = 277, RowsPerStrip = 278,
    StripByteCounts = 279, SubIfds = 330, JpegOffset = 513, JpegLength = 514, CfaRepeatPatternDim = 33421,
    CfaPattern = 33422, ExifIfd = 34665, ExposureTime = 33434, MakerNote = 37500, DngVersion = 50706,
    DngBackwardVersion = 50707, UniqueCameraModel = 50708, DngPrivateData = 50740,
};

inline std::vector<uint8_t> Header(bool big, uint16_t magic = 42) {
    std::vector<uint8_t> h = big ? std::vector<uint8_t>{'M', 'M', 0, 0, 0, 0, 0, 0}
                                 : std::vector<uint8_t>{'I', 'I', 0, 0, 0, 0, 0, 0};
    h[2] = static_cast<uint8_t>(big ? magic >> 8 : magic);
    h[3] = static_cast<uint8_t>(big ? magic : magic >> 8);
    return h;
}

// The sensor data: 12-bit samples packed, as many cameras store them uncompressed.
inline std::vector<uint8_t> Sensor(int width, int height) { return fmtest::Junk(size_t(width) * height * 3 / 2, 99); }

inline void RawIfdTags(Builder& b, int ifd, int width, int height, int sensorBlock, uint32_t compression = 1) {
    b.LongTag(ifd, NewSubfileType, {0});
    b.LongTag(ifd, ImageWidth, {uint32_t(width)});
    b.LongTag(ifd, ImageLength, {uint32_t(height)});
    b.ShortTag(ifd, BitsPerSample, {12});
    b.ShortTag(ifd, Compression, {compression});
    b.ShortTag(ifd, Photometric, {32803});  // CFA
    b.ShortTag(ifd, SamplesPerPixel, {1});
    b.LongTag(ifd, RowsPerStrip, {uint32_t(height)});
    b.ShortTag(ifd, CfaRepeatPatternDim, {2, 2});
    b.BytesTag(ifd, CfaPattern, tiffbuild::Byte, {0, 1, 1, 2});
    b.DataTags(ifd, StripOffsets, StripByteCounts, sensorBlock);
}

struct Camera {
    std::string ext;    // what the reader should name it
    std::string make, model;
    bool big = false;
};

// The TIFF/EP layout most makers follow (NEF, ARW, SR2, PEF, SRW, ERF, 3FR,
// DNG): IFD0 a small RGB thumbnail with Make and Model, SubIFD 1 the
// full-size JPEG preview, SubIFD 2 the sensor data, the Exif IFD with the
// maker note. `dng` adds DNGVersion; Nikon gets its maker note with its own
// TIFF header and a preview directory; Sony its SR2Private directory;
// Coolpix NRW a JPEG-compressed IFD0.
inline std::vector<uint8_t> TiffEp(const Camera& cam, const std::vector<uint8_t>& jpeg) {
    const int w = 96, h = 64;
    Builder b(cam.big, Header(cam.big));
    int ifd0 = b.AddIfd(), preview = b.AddIfd(), raw = b.AddIfd(), exif = b.AddIfd();
    int thumb = b.AddBlock(fmtest::Junk(24 * 16 * 3, 5));
    int jpegBlock = b.AddBlock(jpeg);
    bool nrw = cam.ext == "nrw";
    b.LongTag(ifd0, NewSubfileType, {1});
    if (nrw) {
        b.ShortTag(ifd0, Compression, {6});
        b.DataTags(ifd0, JpegOffset, JpegLength, jpegBlock);
    } else {
        b.LongTag(ifd0, ImageWidth, {24});
        b.LongTag(ifd0, ImageLength, {16});
        b.ShortTag(ifd0, BitsPerSample, {8, 8, 8});
        b.ShortTag(ifd0, Compression, {1});
        b.ShortTag(ifd0, Photometric, {2});
        b.ShortTag(ifd0, SamplesPerPixel, {3});
        b.LongTag(ifd0, RowsPerStrip, {16});
        b.DataTags(ifd0, StripOffsets, StripByteCounts, thumb);
    }
    b.AsciiTag(ifd0, Make, cam.make);
    b.AsciiTag(ifd0, Model, cam.model);
    b.OffsetTag(ifd0, ExifIfd, exif, true);
    if (cam.ext == "dng") {
        b.BytesTag(ifd0, DngVersion, tiffbuild::Byte, {1, 4, 0, 0});
        b.BytesTag(ifd0, DngBackwardVersion, tiffbuild::Byte, {1, 1, 0, 0});
        b.AsciiTag(ifd0, UniqueCameraModel, cam.make + " " + cam.model);
    }
    // SubIFDs: two offsets, written as one LONG array by hand below.
    b.LongTag(preview, NewSubfileType, {1});
    b.ShortTag(preview, Compression, {6});
    b.DataTags(preview, JpegOffset, JpegLength, jpegBlock);
    b.LongTag(exif, ExposureTime, {1});

    if (cam.ext == "nef" || cam.ext == "nrw") {
        // Nikon type 3 maker note: "Nikon\0", version 2.10, then a TIFF
        // header of its own; offsets count from that header. Its preview
        // directory (tag 0x11) holds JpgFromRaw-style start and length.
        Builder note(true, Header(true));
        int n0 = note.AddIfd(), nprev = note.AddIfd();
        note.BytesTag(n0, 0x0001, tiffbuild::Undefined, {'0', '2', '1', '0'});
        note.OffsetTag(n0, 0x0011, nprev, true);
        int small = note.AddBlock(fmtest::Junk(40, 3));
        note.DataTags(nprev, JpegOffset, JpegLength, small);
        std::vector<uint8_t> bytes = {'N', 'i', 'k', 'o', 'n', 0, 2, 0x10, 0, 0};
        std::vector<uint8_t> inner = note.Build();
        bytes.insert(bytes.end(), inner.begin(), inner.end());
        b.BytesTag(exif, MakerNote, tiffbuild::Undefined, bytes);
    } else if (cam.ext == "arw" || cam.ext == "sr2") {
        // Sony: "SONY DSC " maker note, and DNGPrivateData as a LONG holding
        // the SR2Private directory's offset, which locates the encrypted
        // SR2SubIFD block (tags 0x7200 offset, 0x7201 length).
        // Its FileFormat tag (0xB000) says SR2 (1 0 0 0) or ARW 2.3 (3 3 0 0).
        std::vector<uint8_t> note = {'S', 'O', 'N', 'Y', ' ', 'D', 'S', 'C', ' ', 0, 0, 0, 1, 0,
                                     0x00, 0xB0, 1, 0, 4, 0, 0, 0, 3, 3, 0, 0, 0, 0, 0, 0};
        if (cam.ext == "sr2") note[22] = 1, note[23] = 0;
        b.BytesTag(exif, MakerNote, tiffbuild::Undefined, note);
        int sr2 = b.AddIfd();
        int enc = b.AddBlock(fmtest::Junk(256, 11));
        b.OffsetTag(ifd0, DngPrivateData, sr2, true);
        b.OffsetTag(sr2, 0x7200, enc, false);
        b.LongTag(sr2, 0x7201, {256});
    } else if (cam.ext == "pef") {
        // Pentax: "AOC\0" and the byte order, then a directory of values.
        std::vector<uint8_t> note = {'A', 'O', 'C', 0, 'M', 'M', 0, 1, 0, 0x01, 0, 3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
        b.BytesTag(exif, MakerNote, tiffbuild::Undefined, note);
    }
    int sensor = b.AddBlock(Sensor(w, h));
    RawIfdTags(b, raw, w, h, sensor, cam.ext == "arw" || cam.ext == "sr2" ? 32767 : 1);
    b.OffsetsTag(ifd0, SubIfds, {preview, raw}, true);
    return b.Build();
}

// Canon CR2: "II*\0", IFD0 at 16, "CR" 2 0 and the raw directory's offset
// at 12. Four directories in one chain: IFD0 the full-size JPEG (as a
// strip), IFD1 the Exif thumbnail, IFD2 a small uncompressed RGB image,
// IFD3 the sensor data (lossless JPEG, compression 6, with its slice tag).
inline std::vector<uint8_t> Cr2(const std::vector<uint8_t>& jpeg) {
    std::vector<uint8_t> h = Header(false);
    h.insert(h.end(), {'C', 'R', 2, 0, 0, 0, 0, 0});
    Builder b(false, h);
    int ifd0 = b.AddIfd(), ifd1 = b.AddIfd(), ifd2 = b.AddIfd(), ifd3 = b.AddIfd(), exif = b.AddIfd();
    b.IfdOffsetAt(12, ifd3);
    int big = b.AddBlock(jpeg), small = b.AddBlock(jpeg), rgb = b.AddBlock(fmtest::Junk(32 * 24 * 6, 4));
    b.LongTag(ifd0, ImageWidth, {160});
    b.LongTag(ifd0, ImageLength, {120});
    b.ShortTag(ifd0, Compression, {6});
    b.AsciiTag(ifd0, Make, "Canon");
    b.AsciiTag(ifd0, Model, "Canon EOS 5D Mark IV");
    b.DataTags(ifd0, StripOffsets, StripByteCounts, big);
    b.OffsetTag(ifd0, ExifIfd, exif, true);
    // Canon's maker note: a bare directory whose offsets count from the TIFF header.
    std::vector<uint8_t> note = {1, 0, 0x06, 0, 2, 0, 4, 0, 0, 0, 'E', 'O', 'S', 0, 0, 0, 0, 0};
    b.BytesTag(exif, MakerNote, tiffbuild::Undefined, note);
    b.ShortTag(ifd1, Compression, {6});
    b.DataTags(ifd1, JpegOffset, JpegLength, small);
    b.LongTag(ifd2, ImageWidth, {32});
    b.LongTag(ifd2, ImageLength, {24});
    b.ShortTag(ifd2, BitsPerSample, {16, 16, 16});
    b.ShortTag(ifd2, Compression, {1});
    b.ShortTag(ifd2, Photometric, {2});
    b.DataTags(ifd2, StripOffsets, StripByteCounts, rgb);
    int sensor = b.AddBlock(Sensor(96, 64));
    b.ShortTag(ifd3, Compression, {6});
    b.DataTags(ifd3, StripOffsets, StripByteCounts, sensor);
    b.ShortTag(ifd3, 0xC5D8, {1});
    b.ShortTag(ifd3, 0xC640, {1, 48, 48});  // CR2Slice
    b.Next(ifd0, ifd1);
    b.Next(ifd1, ifd2);
    b.Next(ifd2, ifd3);
    return b.Build();
}

// Olympus ORF: "IIRO", IFD0 the sensor data, the Exif IFD's maker note in
// Olympus's new layout ("OLYMPUS\0II" 3 0, a directory at 12 whose offsets
// count from the maker note's start), whose CameraSettings directory
// (0x2020) gives the preview JPEG's start (0x101) and length (0x102).
inline std::vector<uint8_t> Orf(const std::vector<uint8_t>& jpeg) {
    std::vector<uint8_t> h = {'I', 'I', 'R', 'O', 0, 0, 0, 0};
    Builder b(false, h);
    int ifd0 = b.AddIfd(), exif = b.AddIfd();
    std::vector<uint8_t> noteHeader = {'O', 'L', 'Y', 'M', 'P', 'U', 'S', 0, 'I', 'I', 3, 0};
    Builder note(false, noteHeader);
    note.Ifd0OffsetAt(-1);
    int main = note.AddIfd(), settings = note.AddIfd();
    note.BytesTag(main, 0x0000, tiffbuild::Undefined, {'0', '1', '0', '0'});
    note.OffsetTag(main, 0x2020, settings, true, tiffbuild::IfdType);
    int prev = note.AddBlock(jpeg);
    note.OffsetTag(settings, 0x0101, prev, false);
    note.LongTag(settings, 0x0102, {uint32_t(jpeg.size())});
    b.AsciiTag(ifd0, Make, "OLYMPUS CORPORATION");
    b.AsciiTag(ifd0, Model, "E-M1MarkII");
    b.OffsetTag(ifd0, ExifIfd, exif, true);
    b.BytesTag(exif, MakerNote, tiffbuild::Undefined, note.Build());
    int sensor = b.AddBlock(Sensor(96, 64));
    RawIfdTags(b, ifd0, 96, 64, sensor);
    return b.Build();
}

// Panasonic RW2: "IIU\0", IFD0 at 0x18 after Panasonic's 16-byte magic, IFD0 with Panasonic's own tags (raw version,
// sensor size), the JPEG preview as JpgFromRaw (0x2E), the sensor data
// through StripOffsets (0x111), StripByteCounts (0x117) and RawDataOffset (0x118).
inline std::vector<uint8_t> Rw2(const std::vector<uint8_t>& jpeg) {
    std::vector<uint8_t> h = {'I', 'I', 'U', 0, 0x18, 0, 0, 0, 0x88, 0xe7, 0x74, 0xd8, 0xf8, 0x25, 0x1d, 0x4d,
                              0x94, 0x7a, 0x6e, 0x77, 0x82, 0x2b, 0x5d, 0x6a};
    Builder b(false, h);
    int ifd0 = b.AddIfd();
    b.BytesTag(ifd0, 0x0001, tiffbuild::Undefined, {'0', '3', '1', '0'});
    b.ShortTag(ifd0, 0x0002, {96});
    b.ShortTag(ifd0, 0x0003, {64});
    b.AsciiTag(ifd0, Make, "Panasonic");
    b.AsciiTag(ifd0, Model, "DC-GH5");
    int prev = b.AddBlock(jpeg);
    b.BlockValueTag(ifd0, 0x002E, tiffbuild::Undefined, prev);
    int sensor = b.AddBlock(Sensor(96, 64));
    b.DataTags(ifd0, StripOffsets, StripByteCounts, sensor);
    b.LongTag(ifd0, RowsPerStrip, {64});
    b.OffsetTag(ifd0, 0x0118, sensor, false);
    return b.Build();
}

// Phase One IIQ: a TIFF whose image is a small preview; the raw data is the
// maker note ("IIIITwaR" then Phase One's own block of over a megabyte),
// which ends the file.
inline std::vector<uint8_t> Iiq() {
    Builder b(false, Header(false));
    int ifd0 = b.AddIfd(), exif = b.AddIfd();
    int thumb = b.AddBlock(fmtest::Junk(24 * 16 * 3, 5));
    b.LongTag(ifd0, ImageWidth, {24});
    b.LongTag(ifd0, ImageLength, {16});
    b.ShortTag(ifd0, BitsPerSample, {8, 8, 8});
    b.ShortTag(ifd0, Compression, {1});
    b.ShortTag(ifd0, Photometric, {2});
    b.AsciiTag(ifd0, Make, "Phase One");
    b.AsciiTag(ifd0, Model, "IQ4 150MP");
    b.DataTags(ifd0, StripOffsets, StripByteCounts, thumb);
    b.OffsetTag(ifd0, ExifIfd, exif, true);
    std::vector<uint8_t> raw = {'I', 'I', 'I', 'I', 'T', 'w', 'a', 'R'};
    std::vector<uint8_t> data = Sensor(1024, 700);
    raw.insert(raw.end(), data.begin(), data.end());
    int block = b.AddBlock(raw);
    b.BlockValueTag(exif, MakerNote, tiffbuild::Undefined, block);
    return b.Build();
}

}  // namespace rawsample
