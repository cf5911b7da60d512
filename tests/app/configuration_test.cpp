// Configuration: command lines, argument file, channel selection, version answers, directories.
#include "appshelltestenv.h"
#include "configuration.h"
#include "versionquery.h"

#include <QFileInfo>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTimer>

#include <sys/stat.h>

namespace
{

const QString defaultUrl = "http://updates.orvane.example/updater-images/client/";

// Stands in for the version service; the test answers by hand.
class FakeQuery : public VersionQuery
{
public:
    using VersionQuery::VersionQuery;
    void start() override { ++started; }
    void answer(const UpdateVersions& versions) { emit update_available(versions); }
    int started = 0;
};

class ConfigurationTest : public AppShellTest
{
protected:
    void SetUp() override
    {
        AppShellTest::SetUp();
        VersionQuery::setFactory([this](QObject* parent) {
            m_Query = new FakeQuery(parent);
            return m_Query;
        });
    }
    void TearDown() override
    {
        VersionQuery::setFactory(nullptr);
        AppShellTest::TearDown();
    }

    QString argsFile() const { return m_Tmp + "/ov3clientupdateargs"; }

    Configuration m_Config;
    QSignalSpy m_Fatal{&m_Config, &Configuration::fatalError};
    QSignalSpy m_Ready{&m_Config, &Configuration::ready};
    FakeQuery* m_Query = nullptr;
};

QString fatalText(const QSignalSpy& spy)
{
    return spy.isEmpty() ? QString() : spy.last().at(0).toString();
}

struct CommandLineRow {
    const char* name;
    QStringList args;      // program path first
    QByteArray argsFile;   // null: no argument file
    QByteArray configIni;  // null: no update.ini in the config directory
    QByteArray installIni; // null: no update.ini next to the updater
    bool ok;
    int clientUpdate;
    QString type;
    int version;
    QString versionString;
    int channel;
    QString baseUrl;
    bool queried; // a version query was started; ready only after its answer
    QString fatal;
};

template <size_t N> QByteArray bytes(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

const QByteArray alpha77 = "[Channel]\nalpha=http://alpha.example/files\nalphaRevno=77\n";

// clang-format off
const CommandLineRow commandLineRows[] = {
    {"TypeAndVersion", {"update", "client_macosx", "1234"}, {}, {}, {},
     true, 0, "client_macosx", 1234, "", 0, defaultUrl, false, ""},
    {"ClientUpdateWithDisplayVersion", {"update", "--clientupdate", "client_macosx", "1234", "3.1.4"},
     {}, {}, {}, true, 1, "client_macosx", 1234, "3.1.4", 0, defaultUrl, false, ""},
    {"HashLeavesDisplayVersionEmpty", {"update", "--clientupdate", "client_macosx", "1234", "#"},
     {}, {}, {}, true, 1, "client_macosx", 1234, "", 0, defaultUrl, false, ""},
    {"NoUserIsStepOne", {"update", "--nouser", "update_macosx", "55", "2.0"}, {}, {}, {},
     true, 0, "update_macosx", 55, "2.0", 0, defaultUrl, false, ""},
    {"ClientUpdateWithoutVersionQueries", {"update", "--clientupdate", "client_macosx"}, {}, {}, {},
     true, 1, "client_macosx", 0, "", 0, defaultUrl, true, ""},
    {"NoArgumentsNoFile", {"update"}, {}, {}, {},
     true, 0, "update_macosx", 0, "", 0, defaultUrl, true, ""},
    {"TwoArgumentsAreEmptyParams", {"update", "client_macosx"}, {}, {}, {},
     true, 0, "update_macosx", 0, "", 0, defaultUrl, true, ""},
    {"ArgumentFile", {"update"}, "--clientupdate\nclient_macosx\n1234\n#\n", {}, {},
     true, 1, "client_macosx", 1234, "", 0, defaultUrl, false, ""},
    // Empty lines are dropped, the text is Latin-1, and a zero byte ends the file.
    {"ArgumentFileIsLatin1", {"/x/update"},
     bytes("--nouser\n\nclient_macosx\n3.1\xe9\n99\0 junk\n"), {}, {},
     false, 0, "client_macosx", 0, "", 0, defaultUrl, false, "Invalid version nr (3.1\u00e9)"},
    {"ArgumentFileZeroByteCutsLastLine", {"/x/update"},
     bytes("--nouser\nclient_macosx\n99\0 junk\n"), {}, {},
     true, 0, "client_macosx", 99, "", 0, defaultUrl, false, ""},
    {"CommandLineWinsOverArgumentFile", {"update", "client_macosx", "5"}, "--clientupdate\nx\n7\n",
     {}, {}, true, 0, "client_macosx", 5, "", 0, defaultUrl, false, ""},
    {"InvalidVersion", {"update", "client_macosx", "12x"}, {}, {}, {},
     false, 0, "client_macosx", 0, "", 0, defaultUrl, false, "Invalid version nr (12x)"},
    {"InvalidVersionStepTwo", {"update", "--clientupdate", "client_macosx", ""}, {}, {}, {},
     false, 1, "client_macosx", 0, "", 0, defaultUrl, false, "Invalid version nr ()"},
    {"AlphaRevnoWinsFromConfig", {"update", "client_macosx", "1234"}, {}, alpha77, {},
     true, 0, "client_macosx", 77, "", 2, "http://alpha.example/files/", false, ""},
    {"AlphaRevnoWinsOverInvalidVersion", {"update", "client_macosx", "abc"}, {}, {}, alpha77,
     true, 0, "client_macosx", 77, "", 2, "http://alpha.example/files/", false, ""},
    {"AlphaWithoutRevnoQueries", {"update"}, {}, "[Channel]\nalpha=http://a.example/x/\n", {},
     true, 0, "update_macosx", 0, "", 2, "http://a.example/x/", true, ""},
    {"BetaFromInstall", {"update", "client_macosx", "3"}, {}, {}, "[Channel]\nbeta=true\n",
     true, 0, "client_macosx", 3, "", 1, defaultUrl, false, ""},
    {"CapitalBetaFromConfig", {"update", "client_macosx", "3"}, {}, "[Channel]\nBeta=true\n", {},
     true, 0, "client_macosx", 3, "", 1, defaultUrl, false, ""},
    {"ConfigTakesPlaceOfInstall", {"update", "client_macosx", "3"}, {}, "[Channel]\nbeta=false\n",
     alpha77, true, 0, "client_macosx", 3, "", 0, defaultUrl, false, ""},
};
// clang-format on

class CommandLine : public ConfigurationTest, public ::testing::WithParamInterface<CommandLineRow>
{
};

TEST_P(CommandLine, ParsesAsExpected)
{
    const CommandLineRow& row = GetParam();
    if (!row.argsFile.isNull()) {
        ASSERT_TRUE(writeBytes(argsFile(), row.argsFile));
    }
    if (!row.configIni.isNull()) {
        ASSERT_TRUE(writeBytes(configIni(), row.configIni));
    }
    if (!row.installIni.isNull()) {
        ASSERT_TRUE(writeBytes(installIni(), row.installIni));
    }

    EXPECT_EQ(m_Config.parseCommandLineOptions(row.args), row.ok);
    EXPECT_EQ(m_Config.m_ClientUpdate, row.clientUpdate);
    EXPECT_EQ(m_Config.m_ClientType, row.type);
    EXPECT_EQ(m_Config.m_Version, row.version);
    EXPECT_EQ(m_Config.m_VersionString, row.versionString);
    EXPECT_EQ(m_Config.m_Channel, row.channel);
    EXPECT_EQ(updateBaseUrl(), row.baseUrl);
    EXPECT_EQ(m_Config.m_Ready, row.ok && !row.queried);
    EXPECT_EQ(m_Query != nullptr, row.queried);
    if (m_Query) {
        EXPECT_EQ(m_Query->started, 1);
    }
    EXPECT_EQ(fatalText(m_Fatal), row.fatal);
    EXPECT_TRUE(m_Ready.isEmpty());
    // The argument file is left for the end of the second step to remove.
    EXPECT_EQ(QFile::exists(argsFile()), !row.argsFile.isNull());
}

INSTANTIATE_TEST_SUITE_P(Rows, CommandLine, ::testing::ValuesIn(commandLineRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConfigurationTest, ArgumentFileBehindALinkIsIgnored)
{
    // A link planted at the name must not feed us another file's lines.
    const QString elsewhere = m_Root->path() + "/planted";
    ASSERT_TRUE(writeBytes(elsewhere, "--clientupdate\nclient_macosx\n666\n"));
    ASSERT_TRUE(QFile::link(elsewhere, argsFile()));
    EXPECT_TRUE(readArgsFile().isEmpty());
    ASSERT_TRUE(m_Config.parseCommandLineOptions({"update"}));
    EXPECT_EQ(m_Config.m_Version, 0);
    EXPECT_EQ(m_Config.m_ClientType, "update_macosx");
}

struct AnswerRow {
    const char* name;
    QByteArray configIni;
    UpdateVersions answer;
    int version;
    QString versionString;
    QString fatal;
};

// clang-format off
const AnswerRow answerRows[] = {
    {"Stable", {}, {{"stable", {"1234", "3.1.4"}}, {"beta", {"1240", "3.1.5-beta"}}},
     1234, "3.1.4", ""},
    {"Beta", "[Channel]\nbeta=true\n", {{"stable", {"1234", "3.1.4"}}, {"beta", {"1240", "3.1.5-beta"}}},
     1240, "3.1.5-beta", ""},
    {"Alpha", "[Channel]\nalpha=http://a.example\n", {{"alpha", {"9", "α"}}}, 9, "α", ""},
    {"ChannelMissing", {}, {{"beta", {"1240", "3.1.5-beta"}}}, 0, "",
     "Update server returned no version"},
    {"EmptyNumber", {}, {{"stable", {"", "3.1.4"}}}, 0, "", "Update server returned no version"},
    {"NegativeNumberFromService", {}, {{"stable", {"4294967295", "x"}}}, 0, "",
     "Update server returned invalid version nr (4294967295)"},
};
// clang-format on

class VersionAnswer : public ConfigurationTest, public ::testing::WithParamInterface<AnswerRow>
{
};

TEST_P(VersionAnswer, CompletesOrFails)
{
    const AnswerRow& row = GetParam();
    if (!row.configIni.isNull()) {
        ASSERT_TRUE(writeBytes(configIni(), row.configIni));
    }
    ASSERT_TRUE(m_Config.parseCommandLineOptions({"update", "--clientupdate"}));
    ASSERT_NE(m_Query, nullptr);
    ASSERT_FALSE(m_Config.m_Ready);

    m_Query->answer(row.answer);
    const bool success = row.fatal.isEmpty();
    EXPECT_EQ(m_Config.m_Ready, success);
    EXPECT_EQ(m_Ready.size(), success ? 1 : 0);
    EXPECT_EQ(m_Config.m_Version, row.version);
    EXPECT_EQ(m_Config.m_VersionString, row.versionString);
    EXPECT_EQ(fatalText(m_Fatal), row.fatal);
}

INSTANTIATE_TEST_SUITE_P(Rows, VersionAnswer, ::testing::ValuesIn(answerRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConfigurationTest, WithoutVersionServiceTheErrorBoxEndsTheSession)
{
    VersionQuery::setFactory(nullptr); // the built-in query answers "no versions"
    QString title, text;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            title = box->windowTitle();
            text = box->text();
            EXPECT_EQ(box->standardButtons(), QMessageBox::Abort);
            box->reject();
        }
    });
    closer.start(10);

    ASSERT_TRUE(m_Config.parseCommandLineOptions({"update"}));
    EXPECT_FALSE(m_Config.m_Ready);
    QCoreApplication::processEvents(); // the answer comes from the event loop, not from start()
    EXPECT_EQ(title, "Error");
    EXPECT_EQ(text, "Failed to query latest client\nversion from update server.");
    EXPECT_FALSE(m_Config.m_Ready);
    EXPECT_TRUE(m_Ready.isEmpty());
    EXPECT_TRUE(m_Fatal.isEmpty());
}

TEST_F(ConfigurationTest, MissingTypeOrVersionIsFatal)
{
    EXPECT_FALSE(m_Config.parseTypeAndVersion({"update"}, 1));
    EXPECT_EQ(fatalText(m_Fatal), "No client type specified");
    EXPECT_FALSE(m_Config.parseTypeAndVersion({"update", "client_macosx"}, 1));
    EXPECT_EQ(fatalText(m_Fatal), "No client version specified");
    EXPECT_EQ(m_Config.m_ClientType, "client_macosx");
}

struct TempDirRow {
    const char* name;
    QStringList planted; // "dir:N", "file:N", "link:N" (to a directory of ours), "dangling:N"
    QString expected;
};

bool plant(const QString& plan, const QString& tmp, const QString& elsewhere)
{
    const QString kind = plan.section(':', 0, 0);
    const QString path = tmp + "/orvane_temp_" + plan.section(':', 1);
    if (kind == "dir")
        return QDir().mkdir(path);
    if (kind == "file")
        return writeBytes(path, "x");
    return QFile::link(kind == "link" ? elsewhere : elsewhere + "/missing", path);
}

TEST_F(ConfigurationTest, CreateTempDirSkipsEveryTakenName)
{
    const TempDirRow rows[] = {
        {"free", {}, "orvane_temp_0"},
        {"twoDirsTaken", {"dir:0", "dir:1"}, "orvane_temp_2"},
        {"fileTaken", {"file:0"}, "orvane_temp_1"},
        {"linkToDirTaken", {"link:0"}, "orvane_temp_1"},
        {"danglingLinkTaken", {"dangling:0", "dir:1"}, "orvane_temp_2"},
    };
    for (const TempDirRow& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir tmp(m_Tmp + "/row XXXXXX");
        QTemporaryDir elsewhere(m_Root->path() + "/elsewhere XXXXXX");
        qputenv("TMPDIR", QFile::encodeName(tmp.path()));
        for (const QString& plan : row.planted) {
            ASSERT_TRUE(plant(plan, tmp.path(), elsewhere.path()));
        }

        Configuration config;
        ASSERT_TRUE(config.createTempDir());
        EXPECT_EQ(config.m_TempDir, tmp.path() + "/" + row.expected);
        struct stat st;
        ASSERT_EQ(::lstat(QFile::encodeName(config.m_TempDir).constData(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        EXPECT_TRUE(QDir(elsewhere.path()).isEmpty());
    }
}

TEST_F(ConfigurationTest, CreateTempDirFailsWithoutAUsableTempDir)
{
    const QString file = m_Root->path() + "/plain file";
    ASSERT_TRUE(writeBytes(file, "x"));
    const struct {
        QString tmpdir;
        QString fatal;
    } rows[] = {
        {m_Root->path() + "/does not exist", "Unable to get temp directory."},
        {file, "Unable to create temp directory."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fatal.toStdString());
        qputenv("TMPDIR", QFile::encodeName(row.tmpdir));
        Configuration config;
        QSignalSpy fatal(&config, &Configuration::fatalError);
        EXPECT_FALSE(config.initalizeStart(QString(), QString()));
        EXPECT_EQ(fatalText(fatal), row.fatal);
        EXPECT_TRUE(config.m_TempDir.isEmpty());
    }
}

TEST_F(ConfigurationTest, InitalizeStartKeepsGivenDirectoriesOrMakesNewOnes)
{
    ASSERT_TRUE(m_Config.initalizeStart("/recorded temp", "/Apps/X.app/Contents/"));
    EXPECT_EQ(m_Config.m_TempDir, "/recorded temp");
    EXPECT_EQ(m_Config.m_InstallDir, "/Apps/X.app/Contents/");

    ASSERT_TRUE(m_Config.initalizeStart(QString(), QString()));
    EXPECT_EQ(m_Config.m_TempDir, m_Tmp + "/orvane_temp_0");
    EXPECT_EQ(m_Config.m_InstallDir, QCoreApplication::applicationDirPath() + "/../../../../");
}

TEST_F(ConfigurationTest, ReadNetworkSettings)
{
    const struct {
        QByteArray ini;
        QString proxy;
        int streams;
    } rows[] = {
        {{}, "", 6},
        {"[update]\nstreams=0\n", "", 6},
        {"[update]\nstreams=-2\n", "", 6},
        {"[update]\nstreams=abc\n", "", 6},
        {"[update]\nstreams=3\nproxy=http://proxy.example:8080\n", "http://proxy.example:8080", 3},
        {"[Channel]\nstreams=3\nproxy=p\n", "", 6},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.ini.constData());
        QFile::remove(installIni());
        if (!row.ini.isNull()) {
            ASSERT_TRUE(writeBytes(installIni(), row.ini));
        }
        Configuration config;
        config.readNetworkSettings();
        EXPECT_EQ(config.m_Proxy, row.proxy);
        EXPECT_EQ(config.m_Streams, row.streams);
    }
}

TEST_F(ConfigurationTest, ConfigDirFromEnvironmentOrDataLocation)
{
    const struct {
        QByteArray env;
        QString expected;
    } rows[] = {
        {"/etc/ov3 cfg", "/etc/ov3 cfg/"},
        {"/etc/ov3 cfg/", "/etc/ov3 cfg/"},
        {"", m_Root->path() + "/data/Orvane 3/"},
        {{}, m_Root->path() + "/data/Orvane 3/"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.env.constData());
        if (row.env.isNull())
            qunsetenv("OV3_CONFIG_DIR");
        else
            qputenv("OV3_CONFIG_DIR", row.env);
        EXPECT_EQ(configDir(), row.expected);
    }
}

} // namespace
