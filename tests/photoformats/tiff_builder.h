// Writes TIFF-structured files for the tests: a header of the caller's
// bytes, then each directory followed by its values, then the data blocks
// in the order they were added (so the last block added ends the file, as a
// camera puts its sensor data last). Offsets count from the first header
// byte, so a maker note whose offsets count from its own start (Nikon's,
// Olympus's) is built as a file of its own and added as a value.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tiffbuild {

enum Type : uint16_t { Byte = 1, Ascii = 2, Short = 3, Long = 4, Rational = 5, Undefined = 7, IfdType = 13 };

class Builder {
public:
    Builder(bool big, std::vector<uint8_t> header) : m_big(big), m_header(std::move(header)) {}

    int AddIfd() {
        m_ifds.emplace_back();
        return static_cast<int>(m_ifds.size()) - 1;
    }
    int AddBlock(std::vector<uint8_t> bytes) {
        m_blocks.push_back(std::move(bytes));
        return static_cast<int>(m_blocks.size()) - 1;
    }
    void AsciiTag(int ifd, uint16_t tag, const std::string& s) {
        Add(ifd, tag, Ascii, static_cast<uint32_t>(s.size() + 1), std::vector<uint8_t>(s.begin(), s.end()), {});
        m_ifds[ifd].back().data.push_back(0);
    }
    void ShortTag(int ifd, uint16_t tag, std::vector<uint32_t> v) { Numbers(ifd, tag, Short, v); }
    void LongTag(int ifd, uint16_t tag, std::vector<uint32_t> v) { Numbers(ifd, tag, Long, v); }
    void BytesTag(int ifd, uint16_t tag, uint16_t type, std::vector<uint8_t> data) {
        uint32_t n = static_cast<uint32_t>(data.size());
        Add(ifd, tag, type, n, std::move(data), {});
    }
    // A LONG (or IFD) value that is the offset of a block or of a directory.
    void OffsetTag(int ifd, uint16_t tag, int target, bool toIfd, uint16_t type = Long) {
        OffsetsTag(ifd, tag, {target}, toIfd, type);
    }
    // Several such offsets (SubIFDs).
    void OffsetsTag(int ifd, uint16_t tag, const std::vector<int>& targets, bool toIfd, uint16_t type = Long) {
        std::vector<Ref> refs;
        for (int t : targets) refs.push_back(Ref{toIfd, t});
        Add(ifd, tag, type, static_cast<uint32_t>(targets.size()), std::vector<uint8_t>(4 * targets.size()), refs);
    }
    // StripOffsets/StripByteCounts (or tiles, or JPEGInterchangeFormat and its
    // length) for one block.
    void DataTags(int ifd, uint16_t offsetTag, uint16_t lengthTag, int block) {
        OffsetTag(ifd, offsetTag, block, false);
        LongTag(ifd, lengthTag, {static_cast<uint32_t>(m_blocks[block].size())});
    }
    // A value that is a whole block (a maker note holding the raw data):
    // count = the block's size, offset = the block's place.
    void BlockValueTag(int ifd, uint16_t tag, uint16_t type, int block) {
        Add(ifd, tag, type, static_cast<uint32_t>(m_blocks[block].size()), {}, {Ref{false, block}});
        m_ifds[ifd].back().whole = true;
    }
    void Next(int from, int to) { m_next[from] = to; }
    // The file offset of IFD0 goes here in the header (4 bytes); -1: nowhere.
    void Ifd0OffsetAt(int at) { m_ifd0At = at; }
    // Another header field holding a directory's offset (CR2's raw IFD).
    void IfdOffsetAt(int at, int ifd) { m_extraIfdRefs.emplace_back(at, ifd); }

    std::vector<uint8_t> Build() {
        // Pass 1: positions.
        std::vector<uint64_t> ifdPos(m_ifds.size()), blockPos(m_blocks.size());
        uint64_t pos = m_header.size();
        for (size_t i = 0; i < m_ifds.size(); ++i) {
            pos += pos & 1;
            ifdPos[i] = pos;
            pos += 2 + 12 * m_ifds[i].size() + 4;
            for (const Entry& e : m_ifds[i])
                if (e.data.size() > 4) pos += e.data.size() + (e.data.size() & 1);
        }
        for (size_t b = 0; b < m_blocks.size(); ++b) {
            pos += pos & 1;
            blockPos[b] = pos;
            pos += m_blocks[b].size();
        }
        // Pass 2: bytes.
        std::vector<uint8_t> out = m_header;
        out.resize(pos, 0);
        if (m_ifd0At >= 0 && !m_ifds.empty()) Put32(out, m_ifd0At, static_cast<uint32_t>(ifdPos[0]));
        for (auto [at, ifd] : m_extraIfdRefs) Put32(out, at, static_cast<uint32_t>(ifdPos[ifd]));
        for (size_t i = 0; i < m_ifds.size(); ++i) {
            std::vector<Entry> entries = m_ifds[i];
            std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
            uint64_t p = ifdPos[i];
            uint64_t values = p + 2 + 12 * entries.size() + 4;
            Put16(out, p, static_cast<uint16_t>(entries.size()));
            for (size_t k = 0; k < entries.size(); ++k) {
                Entry& e = entries[k];
                uint64_t at = p + 2 + 12 * k;
                Put16(out, at, e.tag);
                Put16(out, at + 2, e.type);
                Put32(out, at + 4, e.count);
                if (e.whole) {
                    Put32(out, at + 8, static_cast<uint32_t>(blockPos[e.refs[0].target]));
                    continue;
                }
                for (size_t r = 0; r < e.refs.size(); ++r)
                    Put32(e.data, 4 * r, static_cast<uint32_t>(e.refs[r].ifd ? ifdPos[e.refs[r].target]
                                                                              : blockPos[e.refs[r].target]));
                if (e.data.size() <= 4) {
                    std::copy(e.data.begin(), e.data.end(), out.begin() + static_cast<long>(at + 8));
                } else {
                    Put32(out, at + 8, static_cast<uint32_t>(values));
                    std::copy(e.data.begin(), e.data.end(), out.begin() + static_cast<long>(values));
                    values += e.data.size() + (e.data.size() & 1);
                }
            }
            auto next = m_next.find(static_cast<int>(i));
            Put32(out, p + 2 + 12 * entries.size(), next == m_next.end() ? 0 : static_cast<uint32_t>(ifdPos[next->second]));
        }
        for (size_t b = 0; b < m_blocks.size(); ++b)
            std::copy(m_blocks[b].begin(), m_blocks[b].end(), out.begin() + static_cast<long>(blockPos[b]));
        return out;
    }

private:
    struct Ref {
        bool ifd = false;
        int target = 0;
    };
    struct Entry {
        uint16_t tag = 0, type = 0;
        uint32_t count = 0;
        std::vector<uint8_t> data;  // in the file's byte order
        std::vector<Ref> refs;  // offsets resolved into `data` when built
        bool whole = false;     // the value is the whole block refs[0]
    };

    void Add(int ifd, uint16_t tag, uint16_t type, uint32_t count, std::vector<uint8_t> data, std::vector<Ref> refs) {
        m_ifds[ifd].push_back(Entry{tag, type, count, std::move(data), std::move(refs)});
    }
    void Numbers(int ifd, uint16_t tag, uint16_t type, const std::vector<uint32_t>& v) {
        std::vector<uint8_t> d;
        unsigned w = type == Short ? 2 : 4;
        for (uint32_t x : v)
            for (unsigned i = 0; i < w; ++i) d.push_back(static_cast<uint8_t>(x >> (8 * (m_big ? w - 1 - i : i))));
        Add(ifd, tag, type, static_cast<uint32_t>(v.size()), std::move(d), {});
    }
    void Put16(std::vector<uint8_t>& o, uint64_t at, uint16_t v) const {
        o[at] = static_cast<uint8_t>(m_big ? v >> 8 : v);
        o[at + 1] = static_cast<uint8_t>(m_big ? v : v >> 8);
    }
    void Put32(std::vector<uint8_t>& o, uint64_t at, uint32_t v) const {
        for (unsigned i = 0; i < 4; ++i) o[at + i] = static_cast<uint8_t>(v >> (8 * (m_big ? 3 - i : i)));
    }

    bool m_big;
    std::vector<uint8_t> m_header;
    int m_ifd0At = 4;
    std::vector<std::pair<int, int>> m_extraIfdRefs;
    std::vector<std::vector<Entry>> m_ifds;
    std::vector<std::vector<uint8_t>> m_blocks;
    std::map<int, int> m_next;
};

}  // namespace tiffbuild
