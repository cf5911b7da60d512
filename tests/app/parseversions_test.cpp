// Decoding of version service answers: accepted messages, rejected ones, duplicate channels.
#include "updateserver_client/parseversions.h"

#include "UpdateMessage.pb.h"

#include <gtest/gtest.h>

#include <string>

using updateserver::parseVersions;
using updateserver::VersionsInfo;

namespace {

struct ChannelRow {
    const char *name;
    int32_t number;
    const char *display;
};

std::string encode(std::initializer_list<ChannelRow> channels)
{
    com::orvane::update::Versions message;
    message.set_licenseagreementid(7);
    for (const ChannelRow &row : channels) {
        auto *channel = message.add_channels();
        channel->set_name(row.name);
        channel->set_version_number(row.number);
        channel->set_version_string(row.display);
    }
    return message.SerializeAsString();
}

struct Case {
    const char *what;
    std::string body;
    int status;
    std::vector<std::string> names;                  // expected names in order
    std::vector<std::pair<int32_t, std::string>> values; // expected values, same order
};

// A Versions message whose one channel lacks version_string, written byte by byte because the
// generated code refuses to serialize an incomplete message.
std::string channelWithoutDisplay()
{
    const std::string channel = std::string("\x0A\x06stable\x10\x01", 10);
    return std::string("\x08\x07\x12", 3) + char(channel.size()) + channel;
}

} // namespace

TEST(ParseVersions, DecodesOrRejectsAnswers)
{
    const Case cases[] = {
        {"two channels", encode({{"stable", 1234, "3.1.4"}, {"beta", 1240, "3.1.5-beta"}}), 0,
         {"stable", "beta"}, {{1234, "3.1.4"}, {1240, "3.1.5-beta"}}},
        {"no channels", encode({}), 0, {}, {}},
        {"negative number", encode({{"alpha", -1, "x"}}), 0, {"alpha"}, {{-1, "x"}}},
        {"duplicate name keeps the first", encode({{"beta", 1, "a"}, {"stable", 2, "b"}, {"beta", 3, "c"}}),
         0, {"beta", "stable"}, {{1, "a"}, {2, "b"}}},
        {"missing version_string", channelWithoutDisplay(), 2, {}, {}},
        {"empty body", std::string(), 2, {}, {}},
        {"garbage", std::string("\xff\xff\xff\xff", 4), 2, {}, {}},
        {"truncated", encode({{"stable", 1234, "3.1.4"}}).substr(0, 9), 2, {}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        VersionsInfo info;
        info.channelNames.push_back("left over");
        ASSERT_EQ(parseVersions(c.body.data(), unsigned(c.body.size()), info), c.status);
        ASSERT_EQ(info.channelNames, c.names);
        ASSERT_EQ(info.channels.size(), c.values.size());
        for (size_t i = 0; i < c.names.size(); ++i) {
            const auto &value = info.channels.at(c.names[i]);
            EXPECT_EQ(value.versionNumber, c.values[i].first);
            EXPECT_EQ(value.versionString, c.values[i].second);
        }
        if (c.status == 0) {
            EXPECT_EQ(info.licenseAgreementId, 7);
        }
    }
}

TEST(ParseVersions, NullDataIsItsOwnStatus)
{
    VersionsInfo info;
    EXPECT_EQ(parseVersions(nullptr, 0, info), 1);
    EXPECT_EQ(parseVersions(nullptr, 10, info), 1);
}
