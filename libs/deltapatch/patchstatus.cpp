// Name texts of the engine's statuses and executable kinds.
#include "deltapatch/patchstatus.h"

namespace deltapatch {

const char* PatchStatusName(int32_t status)
{
    switch (status) {
    case STATUS_OK: return "STATUS_OK";
    case STATUS_GENERAL_ERROR: return "STATUS_GENERAL_ERROR";
    case STATUS_PATCH_OPEN_FAILED: return "STATUS_PATCH_OPEN_FAILED";
    case STATUS_FILE_IO_FAILED: return "STATUS_FILE_IO_FAILED";
    case STATUS_BAD_MAGIC: return "STATUS_BAD_MAGIC";
    case STATUS_BAD_VERSION: return "STATUS_BAD_VERSION";
    case STATUS_BAD_HEADER: return "STATUS_BAD_HEADER";
    case STATUS_BAD_CRC: return "STATUS_BAD_CRC";
    case STATUS_BAD_TRANSFORM: return "STATUS_BAD_TRANSFORM";
    case STATUS_STREAM_ERROR: return "STATUS_STREAM_ERROR";
    case STATUS_STREAM_NOT_CONSUMED: return "STATUS_STREAM_NOT_CONSUMED";
    case STATUS_DESERIALIZATION_FAILED: return "STATUS_DESERIALIZATION_FAILED";
    case STATUS_INPUT_NOT_RECOGNIZED: return "STATUS_INPUT_NOT_RECOGNIZED";
    case STATUS_DISASSEMBLY_FAILED: return "STATUS_DISASSEMBLY_FAILED";
    case STATUS_ASSEMBLY_FAILED: return "STATUS_ASSEMBLY_FAILED";
    case STATUS_TRIM_FAILED: return "STATUS_TRIM_FAILED";
    }
    return "STATUS_UNKNOWN";
}

const char* ExecutableKindName(int32_t kind)
{
    switch (kind) {
    case WIN_32_X86: return "WIN_32_X86";
    case EXE_ELF_32_X86: return "EXE_ELF_32_X86";
    case ELF_32_ARM: return "ELF_32_ARM";
    case WIN_32_X64: return "WIN_32_X64";
    case ELF_64_X64: return "ELF_64_X64";
    case MACHO_X86: return "MACHO_X86";
    case MACHO_X64: return "MACHO_X64";
    }
    return "UNKNOWN";
}

} // namespace deltapatch
