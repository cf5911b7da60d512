// The ensemble-patch subcommands of the deltapatch tool and the executable inspection. Like the
// others they return 0 on success and 1 after printing one line "deltapatch: COMMAND: ..." on
// stderr, and never leave a partial output behind.
#pragma once

#include "options.h"

namespace cli {

// gen OLD NEW PATCH: an ensemble patch from OLD to NEW, executable-aware where both hold
// executables, checked by applying it before it is written.
int runGen(const ParsedArgs& args);
// apply OLD PATCH NEW: NEW rebuilt from OLD and an ensemble patch; a failure names the engine's
// status, e.g. "status 8 (STATUS_BAD_CRC)".
int runApply(const ParsedArgs& args);
// info FILE: one line per executable element (kind, image length, offset), or "UNKNOWN".
int runInfo(const ParsedArgs& args);

} // namespace cli
