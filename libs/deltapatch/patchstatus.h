// Result codes of the patch engine and the kinds of executable it recognises.
#pragma once

#include <cstdint>

namespace deltapatch {

// Numeric results of applying a patch; the values are stable, callers map them to messages.
enum PatchStatus : int32_t {
    STATUS_OK = 1,
    STATUS_GENERAL_ERROR = 2,
    STATUS_PATCH_OPEN_FAILED = 3,
    STATUS_FILE_IO_FAILED = 4,
    STATUS_BAD_MAGIC = 5,
    STATUS_BAD_VERSION = 6,
    STATUS_BAD_HEADER = 7,
    STATUS_BAD_CRC = 8,
    STATUS_BAD_TRANSFORM = 12,
    STATUS_STREAM_ERROR = 20,
    STATUS_STREAM_NOT_CONSUMED = 21,
    STATUS_DESERIALIZATION_FAILED = 23,
    STATUS_INPUT_NOT_RECOGNIZED = 24,
    STATUS_DISASSEMBLY_FAILED = 25,
    STATUS_ASSEMBLY_FAILED = 26,
    STATUS_TRIM_FAILED = 28,
};

// Executable image kinds; the values appear in patch files.
enum ExecutableKind : int32_t {
    UNKNOWN = 0,
    WIN_32_X86 = 1,
    EXE_ELF_32_X86 = 2,
    ELF_32_ARM = 3,
    WIN_32_X64 = 4,
    ELF_64_X64 = 5,
    MACHO_X86 = 6,
    MACHO_X64 = 7,
};

// The enumerator's name, e.g. "STATUS_BAD_CRC"; "STATUS_UNKNOWN" for a value that is not a status.
const char* PatchStatusName(int32_t status);

// The kind's name, e.g. "WIN_32_X86"; "UNKNOWN" for 0 and for any value outside 0..7.
const char* ExecutableKindName(int32_t kind);

} // namespace deltapatch
