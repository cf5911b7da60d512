// The session record (group "current") of update.ini.
#include "updateinidata.h"

#include "configuration.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace
{

bool writeRecord(const QString& path, int version, const QString& dir, const QString& ov3dir,
                 const QString& type, const char* resultLabel)
{
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup("current");
    settings.setValue("version", version);
    settings.setValue("dir", dir);
    settings.setValue("ov3dir", ov3dir);
    settings.setValue("type", type);
    settings.endGroup();
    settings.sync();
    qDebug() << resultLabel << int(settings.status());
    return settings.status() == QSettings::NoError;
}

} // namespace

QString UpdateIniData::iniPath()
{
    return QDir(updaterDir()).absoluteFilePath("update.ini");
}

bool UpdateIniData::get(int* version, QString* type, QString* dir, QString* ov3dir)
{
    const QString path = iniPath();
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup("current");
    bool versionOk = false;
    const int readVersion = settings.value("version").toInt(&versionOk);
    const QString readDir = settings.value("dir").toString();
    const QString readOv3Dir = settings.value("ov3dir").toString();
    const QString readType = settings.value("type").toString();
    qDebug() << "get" << path << readVersion << readDir << readOv3Dir << readType;

    if (!versionOk || readType.isEmpty() || readDir.isEmpty() || !QFileInfo::exists(readDir))
        return false;
    if (version)
        *version = readVersion;
    if (type)
        *type = readType;
    if (dir)
        *dir = readDir;
    if (ov3dir)
        *ov3dir = readOv3Dir;
    return true;
}

bool UpdateIniData::modify(int version, const QString& dir, const QString& ov3dir,
                           const QString& type)
{
    const QString path = iniPath();
    qDebug() << "modify" << path << version << dir << ov3dir << type;
    return writeRecord(path, version, dir, ov3dir, type, "UpdateiniData::modify write result");
}

bool UpdateIniData::modifyTempIni(const QString& dirPath)
{
    qDebug() << "modifyTempIni" << dirPath + "/update.ini";
    int version = 0;
    QString type, dir, ov3dir;
    if (!get(&version, &type, &dir, &ov3dir)) {
        qDebug() << "Failed to read existing update.ini";
        return false;
    }
    return writeRecord(dirPath + "/" + "update.ini", version, dir, ov3dir, productName(1),
                       "UpdateiniData::modifyTempIni write result");
}
