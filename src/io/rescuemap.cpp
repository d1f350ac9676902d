#include "io/rescuemap.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <iterator>
#include <vector>

namespace {

// An integer as a C++ literal writes it: 0x hexadecimal, a leading 0 octal,
// otherwise decimal; no sign, at most INT64_MAX.
bool ParseNumber(const std::string& t, uint64_t& value) {
    if (t.empty()) return false;
    unsigned base = 10;
    size_t i = 0;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        i = 2;
    } else if (t.size() > 1 && t[0] == '0') {
        base = 8;
        i = 1;
    }
    uint64_t v = 0;
    for (; i < t.size(); ++i) {
        const char c = t[i];
        unsigned d;
        if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
        else return false;
        if (d >= base) return false;
        if (v > (CRescueMap::kMaxPosition - d) / base) return false;
        v = v * base + d;
    }
    value = v;
    return true;
}

// The words of a line, up to a '#' that starts the line or follows a blank.
std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        if (i >= line.size() || line[i] == '#') break;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
        words.push_back(line.substr(start, i - start));
    }
    return words;
}

}  // namespace

bool CRescueMap::IsBlockStatus(char c) {
    return c == MAP_NON_TRIED || c == MAP_NON_TRIMMED || c == MAP_NON_SCRAPED || c == MAP_BAD_SECTOR ||
           c == MAP_FINISHED;
}

bool CRescueMap::IsPhase(char c) { return IsBlockStatus(c) || c == MAP_PHASE_FILLING || c == MAP_PHASE_GENERATING; }

const char* CRescueMap::PhaseText(char phase) {
    switch (phase) {
    case MAP_NON_TRIED: return "Copying non-tried blocks...";
    case MAP_NON_TRIMMED: return "Trimming failed blocks...";
    case MAP_NON_SCRAPED: return "Scraping failed blocks...";
    case MAP_BAD_SECTOR: return "Retrying bad sectors...";
    case MAP_PHASE_FILLING: return "Filling specified blocks...";
    case MAP_PHASE_GENERATING: return "Generating approximate mapfile...";
    case MAP_FINISHED: return "Finished";
    default: return "";
    }
}

void CRescueMap::Reset(uint64_t size) {
    m_extent = std::min(size, kMaxPosition);
    m_blocks.clear();
    if (m_extent > 0) m_blocks[0] = Entry{m_extent, MAP_NON_TRIED};
    currentPos = 0;
    currentStatus = MAP_NON_TRIED;
    currentPass = 1;
}

int CRescueMap::Parse(const std::string& text, std::string& error) {
    Reset(0);
    bool haveStatus = false;
    size_t lineNo = 0, start = 0;
    uint64_t end = 0;  // where the next block must start
    bool anyBlock = false;
    auto fail = [&](const std::string& why) {
        error = "line " + std::to_string(lineNo) + ": " + why;
        Reset(0);
        return -1;
    };
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        const std::vector<std::string> w = Words(text.substr(start, nl - start));
        start = nl + 1;
        ++lineNo;
        if (w.empty()) continue;
        if (!haveStatus) {
            uint64_t pos = 0;
            if (w.size() < 2 || w.size() > 3 || !ParseNumber(w[0], pos) || w[1].size() != 1 || !IsPhase(w[1][0]))
                return fail("the status line must be a position, a status character and a pass number");
            int pass = 1;
            if (w.size() == 3) {
                const std::string& p = w[2];
                if (p.empty() || p.size() > 9 || p.find_first_not_of("0123456789") != std::string::npos)
                    return fail("the pass must be a decimal number");
                pass = std::stoi(p);
                if (pass < 1) return fail("the pass must be 1 or more");
            }
            currentPos = pos;
            currentStatus = w[1][0];
            currentPass = pass;
            haveStatus = true;
            continue;
        }
        uint64_t pos = 0, size = 0;
        if (w.size() != 3 || !ParseNumber(w[0], pos) || !ParseNumber(w[1], size) || w[2].size() != 1 ||
            !IsBlockStatus(w[2][0]))
            return fail("a block must be a position, a size and a status character");
        if (size > kMaxPosition - pos) return fail("the block ends past the largest position");
        if (!anyBlock) {
            // Whatever lies before the first block was never tried.
            if (pos > 0) m_blocks[0] = Entry{pos, MAP_NON_TRIED};
            end = pos;
            anyBlock = true;
        }
        if (pos != end) return fail(pos < end ? "the block overlaps the one before" : "a gap before the block");
        if (size == 0) continue;
        auto last = m_blocks.empty() ? m_blocks.end() : std::prev(m_blocks.end());
        if (last != m_blocks.end() && last->second.status == w[2][0]) last->second.size += size;
        else m_blocks[pos] = Entry{size, w[2][0]};
        end = pos + size;
    }
    m_extent = end;
    return 0;
}

std::string CRescueMap::Format(const std::string& header) const {
    std::string out;
    size_t start = 0;
    while (start < header.size()) {
        size_t nl = header.find('\n', start);
        if (nl == std::string::npos) nl = header.size();
        out += "# " + header.substr(start, nl - start) + "\n";
        start = nl + 1;
    }
    char line[96];
    out += "# current_pos  current_status  current_pass\n";
    std::snprintf(line, sizeof line, "0x%08" PRIX64 "     %c               %d\n", currentPos, currentStatus,
                  currentPass);
    out += line;
    out += "#      pos        size  status\n";
    for (const auto& [pos, b] : m_blocks) {
        std::snprintf(line, sizeof line, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", pos, b.size, b.status);
        out += line;
    }
    return out;
}

void CRescueMap::SplitAt(uint64_t pos) {
    if (pos == 0 || pos >= m_extent) return;
    auto it = m_blocks.upper_bound(pos);
    --it;  // the block holding pos: blocks cover [0, extent)
    if (it->first == pos) return;
    const uint64_t tail = it->first + it->second.size - pos;
    it->second.size = pos - it->first;
    m_blocks.emplace_hint(std::next(it), pos, Entry{tail, it->second.status});
}

void CRescueMap::JoinAround(uint64_t pos) {
    auto it = m_blocks.find(pos);
    if (it == m_blocks.end()) return;
    auto next = std::next(it);
    if (next != m_blocks.end() && next->second.status == it->second.status) {
        it->second.size += next->second.size;
        m_blocks.erase(next);
    }
    if (it != m_blocks.begin()) {
        auto prev = std::prev(it);
        if (prev->second.status == it->second.status) {
            prev->second.size += it->second.size;
            m_blocks.erase(it);
        }
    }
}

void CRescueMap::Mark(uint64_t pos, uint64_t size, char status) {
    if (pos >= m_extent || size == 0 || !IsBlockStatus(status)) return;
    const uint64_t end = size > m_extent - pos ? m_extent : pos + size;
    SplitAt(pos);
    SplitAt(end);
    auto first = m_blocks.find(pos);
    auto stop = end >= m_extent ? m_blocks.end() : m_blocks.find(end);
    m_blocks.erase(first, stop);
    m_blocks[pos] = Entry{end - pos, status};
    JoinAround(pos);
}

void CRescueMap::Resize(uint64_t size) {
    size = std::min(size, kMaxPosition);
    if (size > m_extent) {
        const uint64_t old = m_extent;
        m_blocks[old] = Entry{size - old, MAP_NON_TRIED};
        m_extent = size;
        JoinAround(old);
    } else if (size < m_extent) {
        SplitAt(size);
        m_blocks.erase(m_blocks.lower_bound(size), m_blocks.end());
        m_extent = size;
    }
    if (currentPos > m_extent) currentPos = m_extent;
}

char CRescueMap::StatusAt(uint64_t pos) const {
    if (pos >= m_extent) return MAP_NON_TRIED;
    auto it = m_blocks.upper_bound(pos);
    return std::prev(it)->second.status;
}

bool CRescueMap::FindFrom(uint64_t pos, char status, MapBlock& out) const {
    if (pos >= m_extent) return false;
    auto it = std::prev(m_blocks.upper_bound(pos));
    for (; it != m_blocks.end(); ++it) {
        if (it->second.status != status) continue;
        const uint64_t b = std::max(it->first, pos);
        out = MapBlock{b, it->first + it->second.size - b, status};
        return true;
    }
    return false;
}

bool CRescueMap::FindBefore(uint64_t end, char status, MapBlock& out) const {
    if (end == 0 || m_blocks.empty()) return false;
    end = std::min(end, m_extent);
    auto it = m_blocks.lower_bound(end);  // first block starting at or after end
    while (it != m_blocks.begin()) {
        --it;
        if (it->second.status != status) continue;
        const uint64_t e = std::min(it->first + it->second.size, end);
        out = MapBlock{it->first, e - it->first, status};
        return true;
    }
    return false;
}

uint64_t CRescueMap::Bytes(char status) const {
    uint64_t n = 0;
    for (const auto& [pos, b] : m_blocks)
        if (b.status == status) n += b.size;
    return n;
}

uint64_t CRescueMap::Blocks(char status) const {
    uint64_t n = 0;
    for (const auto& [pos, b] : m_blocks)
        if (b.status == status) ++n;
    return n;
}

uint64_t CRescueMap::FailedAreas() const {
    uint64_t n = 0;
    bool inFailed = false;
    for (const auto& [pos, b] : m_blocks) {
        const bool failed =
            b.status == MAP_NON_TRIMMED || b.status == MAP_NON_SCRAPED || b.status == MAP_BAD_SECTOR;
        if (failed && !inFailed) ++n;
        inFailed = failed;
    }
    return n;
}
