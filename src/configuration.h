// Everything an update session needs to know before it starts: step, product, version, channel,
// directories.
#pragma once

#include "updateversions.h"

#include <QObject>
#include <QString>
#include <QStringList>

// The directory that holds the running updater bundle: application dir + "/../../../", not cleaned.
QString updaterDir();
// "client_macosx" when client is non-zero, else "update_macosx".
QString productName(int client);
// OV3_CONFIG_DIR with a trailing separator, or the generic data location + "/Orvane 3/" when unset.
QString configDir();
// The arguments left by the first step in the temporary directory, with an empty program path in
// front; an empty list when the file cannot be read.
QStringList readArgsFile();
// Base URL of the update files of the selected channel; empty until a channel was selected, then
// always ending in "/".
QString updateBaseUrl();

class Configuration : public QObject
{
    Q_OBJECT
public:
    explicit Configuration(QObject* parent = nullptr);

    // Reads the process's command line (or the argument file); false means the program must end
    // with exit code 1 (a fatalError has been emitted).
    bool parseCommandLineOptions();
    // The same for a given argument list whose first element stands for the program path.
    bool parseCommandLineOptions(QStringList args);
    // Selects the channel and base URL from update.ini in the config dir, else next to the updater.
    void getUpdateChannel();
    // Fills in the product name and, without a target version, starts a version query.
    bool getDefaultParameters();
    // Sets the session's directories: the given ones, else a new temporary dir and the default
    // installation dir. False (after fatalError) when no temporary directory can be made.
    bool initalizeStart(const QString& tempDir, const QString& installDir);
    // Creates a fresh private directory orvane_temp_<n> in the system temp dir as m_TempDir.
    bool createTempDir();
    // Reads proxy and parallel download count from the updater's update.ini.
    void readNetworkSettings();
    // Takes the product name from args[index] and the version from args[index + 1].
    bool parseTypeAndVersion(const QStringList& args, int index);
    // Sets m_Version from text unless a version is already fixed; emits fatalError on bad text.
    bool parseVersion(const QString& text, const QString& errorFormat);

    bool m_Ready = false;
    int m_ClientUpdate = 0;
    int m_Channel = 0;
    QString m_ClientType;
    int m_Version = 0;
    QString m_VersionString;
    QString m_TempDir;
    QString m_InstallDir;
    QString m_Proxy;
    int m_Streams = 6;

signals:
    void ready();
    void fatalError(QString errorMessage);
    void message(QString message);

private slots:
    void on_updateAvailable(UpdateVersions versions);

private:
    // Reads the group "Channel" of the given update.ini and sets channel, version and base URL.
    void selectChannel(const QString& iniPath);
};
