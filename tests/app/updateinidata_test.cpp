// UpdateIniData: validity of the session record, partial reads, writes that keep other groups.
#include "appshelltestenv.h"
#include "updateinidata.h"

#include <QSettings>

namespace
{

class UpdateIniDataTest : public AppShellTest
{
protected:
    // Writes the given keys of group "current" the way QSettings encodes them; null values are left
    // out.
    void writeRecord(const QVariant& version, const QVariant& type, const QVariant& dir,
                     const QVariant& ov3dir)
    {
        QFile::remove(installIni());
        QSettings settings(installIni(), QSettings::IniFormat);
        settings.beginGroup("current");
        const std::pair<const char*, QVariant> keys[] = {
            {"version", version}, {"type", type}, {"dir", dir}, {"ov3dir", ov3dir}};
        for (const auto& key : keys) {
            if (!key.second.isNull())
                settings.setValue(key.first, key.second);
        }
    }
};

TEST_F(UpdateIniDataTest, GetAcceptsOnlyCompleteRecordsWhoseDirExists)
{
    const QString dir = m_Tmp + "/orvane_temp_0";
    ASSERT_TRUE(QDir().mkdir(dir));
    const QString install = m_Root->path() + "/Orvane 3 Client.app/Contents/";
    const struct {
        const char* name;
        QVariant version, type, dir, ov3dir;
        bool valid;
    } rows[] = {
        {"complete", 1234, "client_macosx", dir, install, true},
        {"emptyOv3dir", 1234, "client_macosx", dir, "", true},
        {"dirGone", 1234, "client_macosx", dir + "/gone", install, false},
        {"versionNotNumeric", "abc", "client_macosx", dir, install, false},
        {"versionMissing", QVariant(), "client_macosx", dir, install, false},
        {"typeEmpty", 1234, "", dir, install, false},
        {"dirEmpty", 1234, "client_macosx", "", install, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        writeRecord(row.version, row.type, row.dir, row.ov3dir);
        int version = -1;
        QString type = "unchanged", readDir = "unchanged", ov3dir = "unchanged";
        EXPECT_EQ(UpdateIniData::get(&version, &type, &readDir, &ov3dir), row.valid);
        if (row.valid) {
            EXPECT_EQ(version, 1234);
            EXPECT_EQ(type, "client_macosx");
            EXPECT_EQ(readDir, dir);
            EXPECT_EQ(ov3dir, row.ov3dir.toString());
        } else {
            EXPECT_EQ(version, -1);
            EXPECT_EQ(type + readDir + ov3dir, "unchangedunchangedunchanged");
        }
    }
    QFile::remove(installIni());
    EXPECT_FALSE(UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
}

TEST_F(UpdateIniDataTest, GetFillsOnlyTheGivenPointers)
{
    const QString dir = m_Tmp + "/orvane_temp_3";
    ASSERT_TRUE(QDir().mkdir(dir));
    ASSERT_TRUE(UpdateIniData::modify(77, dir, "/Apps/X.app/Contents/", "update_macosx"));
    QString readDir;
    EXPECT_TRUE(UpdateIniData::get(nullptr, nullptr, &readDir, nullptr));
    EXPECT_EQ(readDir, dir);
}

TEST_F(UpdateIniDataTest, ModifyReplacesTheRecordAndKeepsOtherGroups)
{
    ASSERT_TRUE(writeBytes(installIni(), "[update]\nproxy=http://proxy.example:3128\nstreams=2\n"
                                         "[Channel]\nbeta=true\n"
                                         "[current]\nversion=1\nextra=kept\n"));
    const QString dir = m_Tmp + "/orvane_temp_0";
    ASSERT_TRUE(QDir().mkdir(dir));
    ASSERT_TRUE(UpdateIniData::modify(1234, dir, "/Apps/Ö x.app/Contents/", "client_macosx"));

    QSettings settings(installIni(), QSettings::IniFormat);
    EXPECT_EQ(settings.value("update/proxy").toString(), "http://proxy.example:3128");
    EXPECT_EQ(settings.value("update/streams").toInt(), 2);
    EXPECT_TRUE(settings.value("Channel/beta").toBool());
    EXPECT_EQ(settings.value("current/extra").toString(), "kept");
    EXPECT_EQ(settings.value("current/ov3dir").toString(), "/Apps/Ö x.app/Contents/");
    int version = 0;
    EXPECT_TRUE(UpdateIniData::get(&version, nullptr, nullptr, nullptr));
    EXPECT_EQ(version, 1234);
}

TEST_F(UpdateIniDataTest, ModifyReportsAFailedWrite)
{
    ASSERT_TRUE(QDir().mkdir(installIni())); // a directory cannot be written as a file
    EXPECT_FALSE(UpdateIniData::modify(1, m_Tmp, "", "client_macosx"));
    QDir(installIni()).removeRecursively();
}

TEST_F(UpdateIniDataTest, ModifyTempIniCopiesTheRecordWithTheClientProductName)
{
    const QString target = m_Tmp + "/orvane_temp_0/SharedSupport";
    ASSERT_TRUE(QDir().mkpath(target));

    // No valid record: nothing is written.
    EXPECT_FALSE(UpdateIniData::modifyTempIni(target));
    EXPECT_FALSE(QFile::exists(target + "/update.ini"));

    ASSERT_TRUE(UpdateIniData::modify(1234, m_Tmp + "/orvane_temp_0", "/Apps/É.app/Contents/",
                                      "update_macosx"));
    ASSERT_TRUE(UpdateIniData::modifyTempIni(target));
    QSettings copy(target + "/update.ini", QSettings::IniFormat);
    copy.beginGroup("current");
    EXPECT_EQ(copy.value("version").toInt(), 1234);
    EXPECT_EQ(copy.value("dir").toString(), m_Tmp + "/orvane_temp_0");
    EXPECT_EQ(copy.value("ov3dir").toString(), "/Apps/É.app/Contents/");
    EXPECT_EQ(copy.value("type").toString(), "client_macosx");
}

} // namespace
