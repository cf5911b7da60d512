// Configuration of one update session from the command line, update.ini and the version service.
#include "configuration.h"

#include "versionquery.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QProcessEnvironment>
#include <QSettings>
#include <QStandardPaths>
#include <QWidget>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Both channels without an own URL are served from here.
const char* const defaultBaseUrl = "http://updates.orvane.example/updater-images/client/";
const char* const argsFileName = "ov3clientupdateargs";

QString& baseUrl()
{
    static QString url;
    return url;
}

// Opens the argument file only if it is a regular file of our own user: in a temporary
// directory shared by all users anybody could have left one there to steer our update.
bool openOwnArgsFile(QFile& file)
{
    const QByteArray path = QFile::encodeName(QDir::tempPath() + "/" + argsFileName);
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        return false;
    }
    return file.open(fd, QIODevice::ReadOnly | QIODevice::Text, QFileDevice::AutoCloseHandle);
}

QWidget* mainWindowOrNull()
{
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == QLatin1String("MainWindow"))
            return widget;
    }
    return nullptr;
}

} // namespace

QString updaterDir()
{
    return QCoreApplication::applicationDirPath() + "/../../../";
}

QString productName(int client)
{
    return QString(client ? "client" : "update") + "_macosx";
}

QString configDir()
{
    QString dir = QProcessEnvironment::systemEnvironment().value("OV3_CONFIG_DIR");
    if (dir.isEmpty())
        return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Orvane 3/";
    if (!dir.endsWith(QDir::separator()))
        dir += QDir::separator();
    return dir;
}

QStringList readArgsFile()
{
    QFile file;
    if (!openOwnArgsFile(file))
        return QStringList();
    QByteArray data = file.readAll();
    const int zero = data.indexOf('\0');
    if (zero >= 0)
        data.truncate(zero);
    QStringList args = QString::fromLatin1(data).split('\n', Qt::SkipEmptyParts);
    args.prepend(QString());
    return args;
}

QString updateBaseUrl()
{
    return baseUrl();
}

Configuration::Configuration(QObject* parent) : QObject(parent)
{
    registerUpdateVersionsMetaType();
}

bool Configuration::parseCommandLineOptions()
{
    return parseCommandLineOptions(QCoreApplication::arguments());
}

bool Configuration::parseCommandLineOptions(QStringList args)
{
    qDebug() << "parseCommandLineOptions" << args;
    if (args.size() <= 1)
        args = readArgsFile();
    const bool clientUpdate = args.size() >= 2 && args[1] == "--clientupdate";
    m_ClientUpdate = clientUpdate ? 1 : 0;
    getUpdateChannel();

    if (args.size() >= 2 && (clientUpdate || args[1] == "--nouser")) {
        qDebug() << "CLIENTUPDATE" << clientUpdate;
        if (args.size() >= 4 && !parseTypeAndVersion(args, 2))
            return false;
        if (args.size() >= 5 && args[4] != "#")
            m_VersionString = args[4];
    } else if (args.size() == 3) {
        if (!parseTypeAndVersion(args, 1))
            return false;
        m_Ready = true;
        return true;
    } else {
        qDebug() << "Empty cmdline params";
    }
    getDefaultParameters();
    // Without a known version a query is under way; its answer completes the configuration.
    m_Ready = m_Version != 0;
    return true;
}

void Configuration::getUpdateChannel()
{
    qDebug() << "Searching update.ini";
    QString path = configDir() + "update.ini";
    bool found = QFile::exists(path);
    qDebug() << "Update ini check #1 in CONFIG" << path << found;
    if (found) {
        qDebug() << "Found CONFIG/update.ini";
    } else {
        QDir dir(QCoreApplication::applicationDirPath());
        dir.cdUp();
        dir.cdUp();
        dir.cdUp();
        path = dir.path() + "/update.ini";
        found = QFile::exists(path);
        qDebug() << "Update ini check #2 in INSTALL" << path << found;
        if (!found) {
            m_Channel = 0;
            m_Version = 0;
            baseUrl() = defaultBaseUrl;
            qDebug() << "No update.ini found, using stable channel, URL =" << baseUrl();
            return;
        }
        qDebug() << "Found INSTALL/update.ini";
    }
    selectChannel(path);
}

void Configuration::selectChannel(const QString& iniPath)
{
    QSettings settings(iniPath, QSettings::IniFormat);
    settings.beginGroup("Channel");
    const QString alpha = settings.value("alpha").toString();
    bool beta = settings.value("beta", false).toBool();
    if (!beta)
        beta = settings.value("Beta", false).toBool();

    if (!alpha.isEmpty()) {
        m_Channel = 2;
        m_Version = settings.value("alphaRevno", 0).toInt();
        baseUrl() = alpha.endsWith('/') ? alpha : alpha + "/";
        qDebug() << "Alpha channel detected, URL =" << baseUrl();
        return;
    }
    m_Channel = beta ? 1 : 0;
    m_Version = 0;
    baseUrl() = defaultBaseUrl;
    qDebug() << (beta ? "Beta" : "Stable") << "channel detected, URL =" << baseUrl();
}

bool Configuration::getDefaultParameters()
{
    qDebug() << "getDefaultParameters" << m_ClientType;
    if (m_ClientType.isEmpty())
        m_ClientType = productName(m_ClientUpdate);
    qDebug() << "clientType" << m_ClientType;
    if (m_Version != 0)
        return true;

    VersionQuery* query = VersionQuery::create(this);
    connect(query, &VersionQuery::update_available, this, &Configuration::on_updateAvailable);
    query->start();
    return true;
}

void Configuration::on_updateAvailable(UpdateVersions versions)
{
    qDebug() << "on_updateAvailable" << versions;
    if (versions.isEmpty()) {
        QMessageBox::critical(mainWindowOrNull(), QObject::tr("Error"),
                              QObject::tr("Failed to query latest client\nversion from update "
                                          "server."),
                              QMessageBox::Abort);
        QCoreApplication::quit();
        return;
    }
    static const char* const channelKeys[] = {"stable", "beta", "alpha"};
    const QString key = (m_Channel >= 0 && m_Channel <= 2) ? channelKeys[m_Channel] : "stable";
    const QPair<QString, QString> entry = versions.value(key);
    qDebug() << "Received version from remote server:" << entry;

    if (entry.first.isEmpty()) {
        emit fatalError(QObject::tr("Update server returned no version"));
    } else if (parseVersion(entry.first,
                            QObject::tr("Update server returned invalid version nr (%1)"))) {
        m_VersionString = entry.second;
        m_Ready = true;
        emit ready();
    }
}

bool Configuration::parseTypeAndVersion(const QStringList& args, int index)
{
    if (index < 0 || index >= args.size()) {
        emit fatalError("No client type specified");
        return false;
    }
    m_ClientType = args[index];
    if (index + 1 >= args.size()) {
        emit fatalError("No client version specified");
        return false;
    }
    return parseVersion(args[index + 1], QObject::tr("Invalid version nr (%1)"));
}

bool Configuration::parseVersion(const QString& text, const QString& errorFormat)
{
    // The alpha channel's revision number wins over every other source.
    if (m_Version != 0)
        return true;
    bool ok = false;
    m_Version = text.toInt(&ok, 10);
    if (ok)
        return true;
    m_Version = 0;
    emit fatalError(errorFormat.arg(text));
    return false;
}

bool Configuration::initalizeStart(const QString& tempDir, const QString& installDir)
{
    qDebug() << "initalizeStart" << tempDir << installDir;
    if (!tempDir.isEmpty())
        m_TempDir = tempDir;
    else if (!createTempDir())
        return false;
    m_InstallDir = installDir.isEmpty() ? updaterDir() + "../" : installDir;
    return true;
}

bool Configuration::createTempDir()
{
    QString base = QDir::tempPath();
    if (base.isEmpty()) {
        qDebug() << "*Error* Unable to get temp directory";
        emit fatalError("Unable to get temp directory.");
        return false;
    }
    if (!base.endsWith('/'))
        base += '/';
    base += "orvane_temp_";
    for (int n = 0; n < 1000; ++n) {
        const QString candidate = base + QString::number(n);
        // mkdir, not mkpath: a name that exists already, whoever made it and whatever it is,
        // is not ours to use; the mode keeps other users out of the session's files.
        if (::mkdir(QFile::encodeName(candidate).constData(), 0700) == 0) {
            m_TempDir = candidate;
            return true;
        }
    }
    qDebug() << "*Error* Unable to create temp directory";
    emit fatalError("Unable to create temp directory.");
    return false;
}

void Configuration::readNetworkSettings()
{
    QSettings settings(QDir(updaterDir()).absoluteFilePath("update.ini"), QSettings::IniFormat);
    settings.beginGroup("update");
    m_Proxy = settings.value("proxy").toString();
    m_Streams = settings.value("streams", 6).toInt();
    if (m_Streams < 1)
        m_Streams = 6;
}
