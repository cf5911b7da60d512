// Two versions of a synthetic x86 program as thin Mach-O images: functions of filler bytes that
// call each other (E8 rel32) and, in 64-bit images, load data RIP-relative (48 8D 05 disp32).
// Version 2 inserts functions and edits others, so that every displacement across an insertion
// changes while the program stays the same otherwise.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "machobuilder.h"

namespace deltapatch {
namespace testing {

struct SyntheticProgram {
    bool is64 = true;
    int functions = 400;
    int inserted = 0; // new functions, spread evenly; each is called by the function before it
    int edited = 0;   // functions, spread evenly, whose filler bytes change
    uint32_t seed = 1;
};

namespace synthetic {

constexpr uint32_t kCodeOffset = 0x400;
constexpr int kDataItems = 64;
constexpr int kCallsPerFunction = 3;

inline uint32_t hash(uint32_t a, uint32_t b)
{
    uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u);
    h ^= h >> 15;
    h *= 0x85EBCA77u;
    return h ^ (h >> 13);
}

// Bytes 0x10..0x3F: no parser rule starts an instruction with one of them.
inline void filler(MachoBytes* out, uint32_t seed, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i)
        out->push_back(static_cast<uint8_t>(0x10 + hash(seed, i) % 0x30));
}

struct Function {
    uint32_t id;     // original functions 0..n-1, inserted ones after
    uint32_t callee; // id of the extra callee (an inserted function), or UINT32_MAX
    bool edited;
};

inline std::vector<Function> layout(const SyntheticProgram& p)
{
    std::vector<Function> functions;
    const int n = p.functions;
    for (int i = 0; i < n; ++i) {
        const int every = p.edited > 0 ? std::max(1, n / p.edited) : 0;
        const bool edited = every > 0 && i % every == every / 2;
        functions.push_back({uint32_t(i), UINT32_MAX, edited});
        for (int j = 0; j < p.inserted; ++j) {
            if (i == (j + 1) * n / (p.inserted + 1)) {
                functions.back().callee = uint32_t(n + j);
                functions.push_back({uint32_t(n + j), UINT32_MAX, false});
            }
        }
    }
    return functions;
}

inline uint32_t size(const SyntheticProgram& p, const Function& f)
{
    const uint32_t head = 8 + hash(p.seed, f.id) % 24;
    const uint32_t tail = 4 + hash(p.seed + 1, f.id) % 12;
    const uint32_t calls = (kCallsPerFunction + (f.callee != UINT32_MAX)) * 5;
    return head + calls + (p.is64 ? 7 : 0) + tail + 1;
}

inline void put32(MachoBytes* out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

} // namespace synthetic

// The image of one version: __TEXT with __text (the functions) and __data (the data items).
inline std::string BuildSyntheticProgram(const SyntheticProgram& p)
{
    using namespace synthetic;
    const std::vector<Function> functions = layout(p);
    std::vector<uint32_t> start(p.functions + p.inserted, 0);
    uint32_t at = kCodeOffset;
    for (const Function& f : functions) {
        start[f.id] = at;
        at += size(p, f);
    }
    const uint32_t dataOffset = (at + 15) & ~15u;
    const uint32_t length = (dataOffset + kDataItems * 8 + 0xFFF) & ~0xFFFu;
    MachoBytes code;
    for (const Function& f : functions) {
        filler(&code, hash(p.seed, f.id) + (f.edited ? 7 : 0), 8 + hash(p.seed, f.id) % 24);
        for (int k = 0; k <= kCallsPerFunction; ++k) {
            const bool extra = k == kCallsPerFunction;
            if (extra && f.callee == UINT32_MAX)
                break;
            const uint32_t target = extra ? f.callee : hash(f.id, k) % uint32_t(p.functions);
            code.push_back(0xE8);
            put32(&code, start[target] - (kCodeOffset + uint32_t(code.size()) + 4));
        }
        if (p.is64) {
            code.insert(code.end(), {0x48, 0x8D, 0x05});
            const uint32_t item = dataOffset + (f.id % kDataItems) * 8;
            put32(&code, item - (kCodeOffset + uint32_t(code.size()) + 4));
        }
        filler(&code, hash(p.seed + 1, f.id), 4 + hash(p.seed + 1, f.id) % 12);
        code.push_back(0xC3);
    }
    MachoBytes data;
    for (int i = 0; i < kDataItems * 8; ++i)
        data.push_back(static_cast<uint8_t>(hash(p.seed + 2, i)));
    const uint64_t base = p.is64 ? 0x100000000ull : 0x1000;
    MachoImageSpec plan;
    plan.is64 = p.is64;
    plan.length = length;
    plan.segments.push_back({"__PAGEZERO", 0, base, 0, 0, {}});
    MachoSegmentSpec text{"__TEXT", base, length, 0, length, {}};
    text.sections.push_back({base + kCodeOffset, code.size(), kCodeOffset});
    text.sections.push_back({base + dataOffset, data.size(), dataOffset, 0, "__data"});
    plan.segments.push_back(text);
    plan.content.push_back({kCodeOffset, code});
    plan.content.push_back({dataOffset, data});
    const MachoBytes image = BuildMacho(plan);
    return std::string(image.begin(), image.end());
}

// A universal file: the slices at page-aligned offsets after the big-endian header.
inline std::string BuildUniversal(const std::vector<std::string>& slices)
{
    auto big = [](std::string* out, uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8)
            out->push_back(static_cast<char>(value >> shift));
    };
    std::string header;
    big(&header, 0xCAFEBABE);
    big(&header, uint32_t(slices.size()));
    std::string body;
    uint32_t offset = 0x1000;
    for (const std::string& slice : slices) {
        big(&header, 7);      // CPU type; detection reads the slice itself
        big(&header, 3);
        big(&header, offset);
        big(&header, uint32_t(slice.size()));
        big(&header, 12);
        body.resize(offset - 0x1000, '\0');
        body += slice;
        offset = 0x1000 + ((uint32_t(body.size()) + 0xFFF) & ~0xFFFu);
    }
    header.resize(0x1000, '\0');
    return header + body;
}

} // namespace testing
} // namespace deltapatch
