// Assembly of an encoded program back into image bytes, with regenerated relocation tables and
// re-encoded ARM branches.
#include "deltapatch/encodedprogram.h"
#include "deltapatch/encodedprogram_inplace.h"

#include <algorithm>

namespace deltapatch {

namespace {

constexpr uint32_t kPeEntryType32 = 3;
constexpr uint32_t kPeEntryType64 = 10;
constexpr uint32_t kElfRelocationType = 8;
constexpr uint32_t kElfArmRelocationType = 23;
constexpr size_t kMaxPeBlockEntries = 4092;
constexpr uint32_t kPageMask = ~0xFFFu;

void putU16(uint8_t* at, uint32_t value)
{
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void putU32(uint8_t* at, uint32_t value)
{
    putU16(at, value);
    putU16(at + 2, value >> 16);
}

bool writeU32(ByteSink* sink, uint32_t value)
{
    uint8_t bytes[4];
    putU32(bytes, value);
    return sink->write(bytes, sizeof bytes);
}

// The encoder side leaves the last relocation where it was; assembly must match it byte for
// byte, so only the entries before it are sorted.
void sortAllButLast(GrowableArray<uint32_t>* rvas)
{
    if (rvas->size() > 1)
        std::sort(rvas->data(), rvas->data() + rvas->size() - 1);
}

// One block per run of entries on the same 4 KiB page; odd entry counts get a zero entry so the
// block size stays a multiple of four.
bool writePeRelocationTable(GrowableArray<uint32_t>* rvas, uint32_t entryType, ByteSink* sink)
{
    sortAllButLast(rvas);
    uint8_t block[8 + 2 * (kMaxPeBlockEntries + 1)];
    for (size_t first = 0, end = 0; first < rvas->size(); first = end) {
        const uint32_t page = (*rvas)[first] & kPageMask;
        end = first + 1;
        while (end < rvas->size() && ((*rvas)[end] & kPageMask) == page)
            ++end;
        const size_t entries = end - first;
        if (entries > kMaxPeBlockEntries)
            return false;
        const size_t padded = entries + (entries & 1);
        const uint32_t size = static_cast<uint32_t>(8 + 2 * padded);
        putU32(block, page);
        putU32(block + 4, size);
        for (size_t i = 0; i < entries; ++i)
            putU16(block + 8 + 2 * i, (entryType << 12) | ((*rvas)[first + i] & 0xFFF));
        if (padded != entries)
            putU16(block + 8 + 2 * entries, 0);
        if (!sink->write(block, size))
            return false;
    }
    return true;
}

bool writeElfRelocationTable(GrowableArray<uint32_t>* rvas, uint32_t type, ByteSink* sink)
{
    sortAllButLast(rvas);
    for (size_t i = 0; i < rvas->size(); ++i) {
        if (!writeU32(sink, (*rvas)[i]) || !writeU32(sink, type))
            return false;
    }
    return true;
}

uint32_t encodeThumb2Branch(uint32_t op, uint32_t distance)
{
    const uint32_t e = distance - ((op >> 8) & 0xF);
    const uint32_t s = (e >> 24) & 1;
    uint32_t v = ((op >> 3) & 0x1F) << 27;
    v |= (op & 1) << 12;
    v |= ((op >> 1) & 1) << 14;
    v |= ((op >> 2) & 1) << 15;
    v |= (e >> 1) & 0x7FF;
    v |= ((e >> 12) & 0x3FF) << 16;
    v |= s << 26;
    v |= ((((e >> 23) & 1) ^ s) ^ 1) << 13;
    v |= ((((e >> 22) & 1) ^ s) ^ 1) << 11;
    return v;
}

uint32_t encodeThumb2CondBranch(uint32_t op, uint32_t distance)
{
    const uint32_t c = distance + 0x1FFFFC;
    return 0xF0008000 | ((op & 0xF) << 22) | ((c << 6) & 0x4000000) | ((c >> 7) & 0x800) |
           ((c >> 6) & 0x2000) | ((c >> 1) & 0x7FF) | ((c << 4) & 0x3F0000);
}

// Operands taken in order, from a decoded array or from varints already checked to be readable.
class Operands {
public:
    explicit Operands(const GrowableArray<uint32_t>& values)
        : m_Array(values.data()), m_Left(values.size())
    {
    }
    explicit Operands(const SerialisedVector& vector)
        : m_Varints(vector.varints), m_Left(vector.count)
    {
    }

    bool next(uint32_t* value)
    {
        if (m_Left == 0)
            return false;
        --m_Left;
        if (m_Array == nullptr)
            return m_Varints.readVarint32(value);
        *value = *m_Array++;
        return true;
    }
    bool usedUp() const { return m_Left == 0; }

private:
    const uint32_t* m_Array = nullptr;
    ByteSource m_Varints;
    size_t m_Left;
};

// What assembly reads: the label RVA tables by index, everything else once and in order.
struct AssemblyInput {
    uint32_t imageBase; // only the low 32 bits take part
    const GrowableArray<uint32_t>& rel32Rvas;
    const GrowableArray<uint32_t>& abs32Rvas;
    Operands ops;
    Operands origins;
    Operands copyCounts;
    Operands rel32Indexes;
    Operands abs32Indexes;
    ByteSource copyBytes;
};

class Assembler {
public:
    Assembler(const AssemblyInput& input, ByteSink* output)
        : m_In(input), m_Output(output), m_Target(output)
    {
    }
    bool run();

private:
    bool step(uint32_t op);
    bool copy(size_t n);
    bool rel32();
    bool abs32();
    bool armBranch(uint32_t op);
    bool startTable(uint32_t op);
    bool allOperandsUsed() const;
    bool writeTables();

    AssemblyInput m_In;
    ByteSink* m_Output;
    ByteSink* m_Target;
    // Everything after a table marker; the table goes before it.
    ByteSink m_Tail;
    uint32_t m_Rva = 0;
    bool m_PeTable = false;
    uint32_t m_PeEntryType = kPeEntryType32;
    uint32_t m_ElfType = 0;
    GrowableArray<uint32_t> m_RelocationRvas;
};

bool Assembler::run()
{
    uint32_t op = 0;
    while (m_In.ops.next(&op)) {
        if (!step(op))
            return false;
    }
    return allOperandsUsed() && writeTables();
}

bool Assembler::step(uint32_t op)
{
    uint32_t count = 0;
    switch (op) {
    case OP_ORIGIN:
        return m_In.origins.next(&m_Rva);
    case OP_COPY:
        return m_In.copyCounts.next(&count) && copy(count);
    case OP_COPY1:
        return copy(1);
    case OP_REL32:
        return rel32();
    case OP_ABS32:
        return abs32();
    }
    if (op >= OP_ARM_FIRST && op <= OP_ARM_LAST)
        return armBranch(op);
    return startTable(op);
}

bool Assembler::copy(size_t n)
{
    if (n > m_In.copyBytes.remaining())
        return false;
    if (!m_Target->write(m_In.copyBytes.current(), n) || !m_In.copyBytes.skip(n))
        return false;
    m_Rva += static_cast<uint32_t>(n);
    return true;
}

bool Assembler::rel32()
{
    uint32_t index = 0;
    if (!m_In.rel32Indexes.next(&index) || index >= m_In.rel32Rvas.size() ||
        !writeU32(m_Target, m_In.rel32Rvas[index] - m_Rva - 4))
        return false;
    m_Rva += 4;
    return true;
}

bool Assembler::abs32()
{
    uint32_t index = 0;
    if (!m_In.abs32Indexes.next(&index) || index >= m_In.abs32Rvas.size())
        return false;
    const uint32_t value = m_In.abs32Rvas[index] + m_In.imageBase;
    if (!writeU32(m_Target, value) || !m_RelocationRvas.push_back(m_Rva))
        return false;
    m_Rva += 4;
    return true;
}

bool Assembler::armBranch(uint32_t op)
{
    uint32_t index = 0;
    if (!m_In.rel32Indexes.next(&index) || index >= m_In.rel32Rvas.size())
        return false;
    const uint32_t form = op >> 12;
    const uint32_t v = EncodeArmBranch(op, m_In.rel32Rvas[index] - m_Rva);
    uint8_t bytes[4];
    size_t length = 4;
    if (form <= 2) {
        putU16(bytes, v);
        length = 2;
    } else if (form == 3) {
        putU32(bytes, v);
    } else {
        putU16(bytes, v >> 16);
        putU16(bytes + 2, v);
    }
    if (!m_Target->write(bytes, length))
        return false;
    m_Rva += static_cast<uint32_t>(length);
    return true;
}

bool Assembler::startTable(uint32_t op)
{
    if (op == OP_MAKE_PE_RELOCATION_TABLE || op == OP_MAKE_PE64_RELOCATION_TABLE) {
        if (m_PeTable)
            return false;
        m_PeTable = true;
        m_PeEntryType = op == OP_MAKE_PE_RELOCATION_TABLE ? kPeEntryType32 : kPeEntryType64;
    } else if (op == OP_MAKE_ELF_RELOCATION_TABLE || op == OP_MAKE_ELF_ARM_RELOCATION_TABLE) {
        if (m_ElfType != 0)
            return false;
        m_ElfType = op == OP_MAKE_ELF_RELOCATION_TABLE ? kElfRelocationType : kElfArmRelocationType;
    } else {
        return false;
    }
    m_Target = &m_Tail;
    return true;
}

bool Assembler::allOperandsUsed() const
{
    return m_In.copyCounts.usedUp() && m_In.copyBytes.empty() && m_In.abs32Indexes.usedUp() &&
           m_In.rel32Indexes.usedUp();
}

// With both kinds of marker the PE table and the tail come first and the ELF table follows
// them; the tail is appended only once.
bool Assembler::writeTables()
{
    if (m_PeTable) {
        if (!writePeRelocationTable(&m_RelocationRvas, m_PeEntryType, m_Output) ||
            !m_Output->append(&m_Tail))
            return false;
    }
    if (m_ElfType != 0) {
        if (!writeElfRelocationTable(&m_RelocationRvas, m_ElfType, m_Output) ||
            !m_Output->append(&m_Tail))
            return false;
    }
    return true;
}

} // namespace

uint32_t EncodeArmBranch(uint32_t op, uint32_t distance)
{
    switch (op >> 12) {
    case 1:
        return ((op << 8) & 0xFFF00) | (((distance + 0x1FC) >> 1) & 0xFF);
    case 2:
        return ((op << 11) & 0x7FF800) | (((distance + 0xFFC) >> 1) & 0x7FF);
    case 3:
        return (op << 24) | (((distance + 0x3FFFFF8) >> 2) & 0xFFFFFF);
    case 4:
        return encodeThumb2Branch(op, distance);
    case 5:
        return encodeThumb2CondBranch(op, distance);
    }
    return 0;
}

namespace {

// Both program forms name their vectors alike; only where the copy bytes lie differs.
template <class Program>
PatchStatus Assemble(const Program& program, ByteSource copyBytes, ByteSink* output)
{
    const AssemblyInput input{static_cast<uint32_t>(program.imageBase),
                              program.rel32Rvas,
                              program.abs32Rvas,
                              Operands(program.ops),
                              Operands(program.origins),
                              Operands(program.copyCounts),
                              Operands(program.rel32Indexes),
                              Operands(program.abs32Indexes),
                              copyBytes};
    Assembler assembler(input, output);
    return assembler.run() ? STATUS_OK : STATUS_ASSEMBLY_FAILED;
}

} // namespace

PatchStatus AssembleProgram(const EncodedProgram& program, ByteSink* output)
{
    return Assemble(program, ByteSource(program.copyBytes.data(), program.copyBytes.size()),
                    output);
}

PatchStatus AssembleSerialisedProgram(const SerialisedProgram& program, ByteSink* output)
{
    return Assemble(program, program.copyBytes, output);
}

} // namespace deltapatch
