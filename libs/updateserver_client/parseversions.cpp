// Decoding of the version service's answer into plain values.
#include "updateserver_client/parseversions.h"

#include "UpdateMessage.pb.h"

#include <climits>

namespace updateserver {

int parseVersions(const char *data, unsigned size, VersionsInfo &result)
{
    result = VersionsInfo();
    if (!data)
        return PARSE_VERSIONS_NULL;
    // The protobuf runtime takes an int length; anything larger cannot be a valid answer anyway.
    if (size > static_cast<unsigned>(INT_MAX))
        return PARSE_VERSIONS_UNDECODABLE;

    com::orvane::update::Versions message;
    // The partial parse plus our own completeness check keeps the runtime from logging to stderr.
    if (!message.ParsePartialFromArray(data, static_cast<int>(size)) || !message.IsInitialized())
        return PARSE_VERSIONS_UNDECODABLE;

    result.licenseAgreementId = message.licenseagreementid();
    for (const auto &channel : message.channels()) {
        ChannelVersion value{channel.version_number(), channel.version_string()};
        if (result.channels.emplace(channel.name(), value).second)
            result.channelNames.push_back(channel.name());
    }
    return PARSE_VERSIONS_OK;
}

} // namespace updateserver
