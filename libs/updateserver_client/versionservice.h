// Where the version service answers, relative to its host.
#pragma once

namespace updateserver {

// Path of the version query on the version service host; the query is a plain GET of it.
inline constexpr char VERSION_SERVICE_PATH[] = "/ov3-client-2";

} // namespace updateserver
