// Version query against a local version service: decoding, failures, and the configuration.
#include "networktestenv.h"
#include "updatechecker.h"

#include "UpdateMessage.pb.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>

namespace {

using Response = TestHttpServer::Response;
using Pair = QPair<QString, QString>;

const QString SERVICE_PATH = "/ov3-client-2";

QByteArray versions(std::initializer_list<std::tuple<const char *, int, const char *>> channels)
{
    com::orvane::update::Versions message;
    message.set_licenseagreementid(1);
    for (const auto &[name, number, display] : channels) {
        auto *channel = message.add_channels();
        channel->set_name(name);
        channel->set_version_number(number);
        channel->set_version_string(display);
    }
    return QByteArray::fromStdString(message.SerializeAsString());
}

// A free port with nothing listening on it.
quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

class UpdateCheckerTest : public NetworkTest
{
protected:
    void SetUp() override
    {
        NetworkTest::SetUp();
        m_SavedVersionUrl = qgetenv(VERSION_URL_VARIABLE);
        qputenv(VERSION_URL_VARIABLE, m_Server.baseUrl().toUtf8());
    }
    void TearDown() override
    {
        restore(VERSION_URL_VARIABLE, m_SavedVersionUrl);
        VersionQuery::setFactory(nullptr);
        NetworkTest::TearDown();
    }

    // Runs one query to its end; the checker must answer once and then be gone.
    UpdateVersions query()
    {
        QPointer<UpdateChecker> checker = new UpdateChecker(&m_Parent);
        QSignalSpy answers(checker.data(), &VersionQuery::update_available);
        checker->start();
        EXPECT_TRUE(answers.isEmpty()) << "the answer never comes from inside start()";
        EXPECT_TRUE(waitUntil([&]() { return checker.isNull(); }));
        EXPECT_EQ(answers.size(), 1);
        return answers.isEmpty() ? UpdateVersions() : answers.first().at(0).value<UpdateVersions>();
    }

    QObject m_Parent;
    QByteArray m_SavedVersionUrl;
};

} // namespace

TEST_F(UpdateCheckerTest, AnswersBecomeAChannelMapOrAnEmptyOne)
{
    // One channel lacking version_string, written by hand: the generated code refuses it.
    const QByteArray noDisplay = QByteArray::fromHex("08011206" "0a02" "6161" "1001");
    const struct {
        const char *what;
        Response response;
        UpdateVersions expected;
    } rows[] = {
        {"two channels",
         Response::ok(versions({{"stable", 1234, "3.1.4"}, {"beta", 1240, "3.1.5-beta"}})),
         {{"stable", Pair("1234", "3.1.4")}, {"beta", Pair("1240", "3.1.5-beta")}}},
        {"negative number", Response::ok(versions({{"alpha", -1, "x"}})),
         {{"alpha", Pair("4294967295", "x")}}},
        {"channel without version_string", Response::ok(noDisplay), {}},
        {"empty body", Response::ok(QByteArray()), {}},
        {"undecodable body", Response::ok("<html>busy</html>"), {}},
        {"HTTP 500 with a valid body", Response::withStatus(500, versions({{"stable", 1, "1"}})),
         {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        m_Server.setResponse(SERVICE_PATH, row.response);
        EXPECT_EQ(query(), row.expected);
    }
    EXPECT_EQ(m_Server.requestCount(SERVICE_PATH), int(std::size(rows)));
}

TEST_F(UpdateCheckerTest, RefusedConnectionGivesAnEmptyMap)
{
    qputenv(VERSION_URL_VARIABLE, QByteArray("http://127.0.0.1:") + QByteArray::number(closedPort()));
    EXPECT_TRUE(query().isEmpty());
}

TEST_F(UpdateCheckerTest, ServiceUrlIsTheDefaultHostOrTheOverride)
{
    const struct {
        const char *variable; // null: unset
        const char *url;
    } rows[] = {
        {nullptr, "http://versions.orvane.example/ov3-client-2"},
        {"", "http://versions.orvane.example/ov3-client-2"},
        {"http://127.0.0.1:8080", "http://127.0.0.1:8080/ov3-client-2"},
        {"http://127.0.0.1:8080/", "http://127.0.0.1:8080/ov3-client-2"},
        {"http://demo.example/prefix/", "http://demo.example/prefix/ov3-client-2"},
    };
    for (const auto &row : rows) {
        restore(VERSION_URL_VARIABLE, row.variable ? QByteArray(row.variable) : QByteArray());
        EXPECT_EQ(UpdateChecker::versionServiceUrl(), QString::fromLatin1(row.url));
    }
}

TEST_F(UpdateCheckerTest, ConfigurationTakesItsChannelFromTheAnswer)
{
    // NetworkTest selected the alpha channel without a revision number, so the version is asked.
    m_Server.setResponse(SERVICE_PATH,
                         Response::ok(versions({{"stable", 1234, "3.1.4"}, {"alpha", 1300, "3.2a"}})));
    UpdateChecker::registerAsVersionQuery();
    Configuration config;
    QSignalSpy ready(&config, &Configuration::ready);
    QSignalSpy fatal(&config, &Configuration::fatalError);
    ASSERT_TRUE(config.parseCommandLineOptions({"update"}));
    EXPECT_FALSE(config.m_Ready);
    ASSERT_TRUE(waitUntil([&]() { return !ready.isEmpty() || !fatal.isEmpty(); }));
    EXPECT_TRUE(fatal.isEmpty());
    EXPECT_TRUE(config.m_Ready);
    EXPECT_EQ(config.m_Channel, 2);
    EXPECT_EQ(config.m_Version, 1300);
    EXPECT_EQ(config.m_VersionString, "3.2a");
}
