// The subcommands of the deltapatch tool: each reads its inputs, calls the engine and writes its
// output through a temporary file. They return the exit status: 0 on success, 1 on failure after
// printing one line "deltapatch: COMMAND: what failed" on stderr.
#pragma once

#include "options.h"

namespace cli {

// pack [--plain] IN OUT: compressed file container of IN.
int runPack(const ParsedArgs& args);
// unpack IN OUT: the file decoded from the container IN.
int runUnpack(const ParsedArgs& args);
// diff [--method none|sections|body] OLD NEW PATCH: block diff with header from OLD to NEW.
int runDiff(const ParsedArgs& args);
// bpatch OLD PATCH OUT: NEW rebuilt from OLD and a patch made by diff. The patch must be
// consumed exactly: bytes after it are refused.
int runBpatch(const ParsedArgs& args);

} // namespace cli
