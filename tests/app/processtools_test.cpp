// ProcessTools and the bundle launcher: the files left for the next process, and real launches.
#include "appshelltestenv.h"
#include "processtools.h"

#include <QFileInfo>
#include <QProcess>

#include <sys/stat.h>

namespace
{

class ProcessToolsTest : public AppShellTest
{
protected:
    // A fake bundle whose executable records its argument count in marker.
    void makeBundle(const QString& bundle, const QString& executable, const QByteArray& plist,
                    const QString& marker)
    {
        ASSERT_TRUE(QDir().mkpath(bundle + "/Contents/MacOS"));
        if (!plist.isNull()) {
            ASSERT_TRUE(writeBytes(bundle + "/Contents/Info.plist", plist));
        }
        const QString program = bundle + "/Contents/MacOS/" + executable;
        // Written aside and renamed, so the marker never appears half written.
        const QByteArray name = QFile::encodeName(marker);
        ASSERT_TRUE(writeBytes(program, "#!/bin/sh\nprintf '%s' \"$#\" > '" + name +
                                            ".part' && mv '" + name + ".part' '" + name + "'\n"));
        ASSERT_TRUE(
            QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }

    static QByteArray plistNaming(const QByteArray& executable)
    {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
               "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
               "<plist version=\"1.0\"><dict>\n"
               "<key>CFBundleName</key><string>Fake</string>\n"
               "<key>Nested</key><dict><key>CFBundleExecutable</key><string>nested</string></"
               "dict>\n"
               "<key>CFBundleExecutable</key><string>" +
               executable + "</string>\n</dict></plist>\n";
    }

    static mode_t modeOf(const QString& path)
    {
        struct stat st;
        return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode : 0;
    }
};

TEST_F(ProcessToolsTest, StarterFilesReplaceWhateverLiesAtTheirNames)
{
    const QString bundle = m_Tmp + "/orvane temp ä/SharedSupport/update.app";
    const QStringList args = {"--clientupdate", "client_macosx", "1234", "#"};
    const QByteArray expectedArgs = "--clientupdate\nclient_macosx\n1234\n#\n";
    const QByteArray expectedScript = "open " + QFile::encodeName(bundle).replace(" ", "\\ ");

    for (const char* planted : {"nothing", "oldFile", "linkToVictim", "danglingLink"}) {
        SCOPED_TRACE(planted);
        const QString victim = m_Root->path() + "/victim " + planted;
        for (const QString name : {"ov3clientupdateargs", "update.sh"}) {
            const QString path = m_Tmp + "/" + name;
            QFile::remove(path);
            if (QByteArray(planted) == "oldFile") {
                ASSERT_TRUE(writeBytes(path, "old content that is longer than the new one\n"));
                ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::Permissions(0x7777)));
            } else if (QByteArray(planted) == "linkToVictim") {
                ASSERT_TRUE(writeBytes(victim + name, "victim"));
                ASSERT_TRUE(QFile::link(victim + name, path));
            } else if (QByteArray(planted) == "danglingLink") {
                ASSERT_TRUE(QFile::link(victim + name, path));
            }
        }

        EXPECT_TRUE(ProcessTools::writeArgsFile(args));
        EXPECT_EQ(ProcessTools::createStarterScript(bundle, "update.sh"), m_Tmp + "/update.sh");

        EXPECT_EQ(readBytes(m_Tmp + "/ov3clientupdateargs"), expectedArgs);
        EXPECT_EQ(readBytes(m_Tmp + "/update.sh"), expectedScript);
        EXPECT_EQ(modeOf(m_Tmp + "/ov3clientupdateargs"), mode_t(S_IFREG | 0600));
        EXPECT_EQ(modeOf(m_Tmp + "/update.sh"), mode_t(S_IFREG | 0700));
        if (QByteArray(planted) == "linkToVictim") {
            EXPECT_EQ(readBytes(victim + "ov3clientupdateargs"), "victim");
            EXPECT_EQ(readBytes(victim + "update.sh"), "victim");
        } else {
            EXPECT_FALSE(QFile::exists(victim + "ov3clientupdateargs"));
            EXPECT_FALSE(QFile::exists(victim + "update.sh"));
        }
    }
}

TEST_F(ProcessToolsTest, StarterScriptHandsOpenTheExactPath)
{
    // A stand-in "open" that records the one argument sh gives it.
    const QString binDir = m_Root->path() + "/bin";
    const QString received = m_Root->path() + "/received";
    ASSERT_TRUE(QDir().mkpath(binDir));
    ASSERT_TRUE(writeBytes(binDir + "/open", "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > '" +
                                                 QFile::encodeName(received) + "'\n"));
    ASSERT_TRUE(QFile::setPermissions(binDir + "/open", QFile::ReadOwner | QFile::ExeOwner));

    const QString sensitive[] = {
        "/t/with blanks/update.app",
        "/t/it's \"q\"/update.app",
        "/t/$(touch pwned)`id`/update.app",
        "/t/a;b&c|d>e<f*g?[h]{i}~j!k#l\\m/update.app",
        "/t/line\nbreak\ttab/update.app",
        "/t/ümlaut é/update.app",
        "~/home/update.app",
    };
    for (const QString& path : sensitive) {
        SCOPED_TRACE(path.toStdString());
        QFile::remove(received);
        const QString script = ProcessTools::createStarterScript(path, "update.sh");
        ASSERT_FALSE(script.isEmpty());
        QProcess sh;
        sh.setWorkingDirectory(m_Root->path());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH", binDir + ":/usr/bin:/bin");
        sh.setProcessEnvironment(env);
        sh.start("/bin/sh", {script});
        ASSERT_TRUE(sh.waitForFinished(30000));
        EXPECT_EQ(sh.exitCode(), 0);
        EXPECT_EQ(readBytes(received), "1|" + QFile::encodeName(path));
        EXPECT_FALSE(QFile::exists(m_Root->path() + "/pwned"));
    }
}

TEST_F(ProcessToolsTest, LauncherStartsTheBundleExecutable)
{
    const struct {
        const char* name;
        QByteArray plist;     // null: none
        QString executable;   // where the launcher must find the program
        QString argumentTail; // appended to the bundle path on the launcher's command line
    } rows[] = {
        {"fromInfoPlist", plistNaming("Runner"), "Runner", ""},
        {"noInfoPlist", {}, "Fake Bündle", ""},
        {"plistWithoutKey", "<plist version=\"1.0\"><dict></dict></plist>", "Fake Bündle", "/"},
        {"nameLeavingTheBundle", plistNaming("../../../escape"), "Fake Bündle", ""},
        {"notXml", "bplist00\x01\x02", "Fake Bündle", ""},
    };
    const QString launcher = ProcessTools::bundleLauncher();
    ASSERT_TRUE(QFileInfo(launcher).isExecutable()) << launcher.toStdString();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString bundle = m_Root->path() + "/" + row.name + "/Fake Bündle.app";
        const QString marker = m_Root->path() + "/" + row.name + ".marker";
        makeBundle(bundle, row.executable, row.plist, marker);
        EXPECT_EQ(QProcess::execute(launcher, {bundle + row.argumentTail}), 0);
        ASSERT_TRUE(waitForFile(marker));
        EXPECT_EQ(readBytes(marker), "0"); // started without arguments
    }
    EXPECT_EQ(QProcess::execute(launcher, {m_Root->path() + "/Missing.app"}), 1);
    EXPECT_NE(QProcess::execute(launcher, {}), 0);
}

TEST_F(ProcessToolsTest, StartClientUpdaterRunsTheStagedUpdater)
{
    const QString tempDir = m_Tmp + "/orvane_temp_0";
    const QString marker = m_Root->path() + "/new updater ran";
    makeBundle(tempDir + "/SharedSupport/update.app", "update", plistNaming("update"), marker);
    const QStringList args = {"--clientupdate", "client_macosx", "1234", "3.1.4"};

    ProcessTools::startClientUpdater(tempDir, args);

    ASSERT_TRUE(waitForFile(marker));
    EXPECT_EQ(readBytes(marker), "0");
    EXPECT_EQ(readBytes(m_Tmp + "/ov3clientupdateargs"),
              "--clientupdate\nclient_macosx\n1234\n3.1.4\n");
    EXPECT_EQ(readArgsFile(),
              QStringList({"", "--clientupdate", "client_macosx", "1234", "3.1.4"}));
}

TEST_F(ProcessToolsTest, StartOv3ClientRunsTheClientBundle)
{
    const QString client = m_Root->path() + "/Apps ü/Orvane 3 Client.app";
    const QString marker = m_Root->path() + "/client ran";
    makeBundle(client, "Orvane 3 Client", plistNaming("Orvane 3 Client"), marker);

    ProcessTools::startOv3Client(client + "/Contents/");

    ASSERT_TRUE(waitForFile(marker));
    EXPECT_EQ(readBytes(marker), "0");
}

} // namespace
