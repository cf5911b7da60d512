// Decoding of the version service's answer into plain values.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace updateserver {

enum ParseVersionsStatus {
    PARSE_VERSIONS_OK = 0,
    PARSE_VERSIONS_NULL = 1,       // no data pointer at all
    PARSE_VERSIONS_UNDECODABLE = 2 // not a complete Versions message
};

struct ChannelVersion {
    int32_t versionNumber = 0;
    std::string versionString;
};

struct VersionsInfo {
    int32_t licenseAgreementId = 0;
    // Channel names in message order, each name once.
    std::vector<std::string> channelNames;
    // Name -> values; when a name repeats, the first channel of that name wins.
    std::map<std::string, ChannelVersion> channels;
};

// Decodes size bytes at data as one serialized Versions message into result (which is cleared
// first). Returns a ParseVersionsStatus; on failure result is left empty.
int parseVersions(const char *data, unsigned size, VersionsInfo &result);

} // namespace updateserver
