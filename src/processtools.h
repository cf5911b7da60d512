// Starting the programs that follow a finished session: the updated client or the new updater.
#pragma once

#include <QString>
#include <QStringList>

class ProcessTools
{
public:
    // Starts the client bundle "Orvane 3 Client.app" that contains installDir (its Contents/
    // directory, with trailing "/"). Start failures are only logged.
    static void startOv3Client(const QString& installDir);
    // Leaves args in the argument file and starts the new updater staged in
    // tempDir/SharedSupport/update.app through the starter script update.sh.
    static void startClientUpdater(const QString& tempDir, const QStringList& args);

    static void startOv3Client_mac(const QString& installDir);
    static void startNewUpdater_mac(const QString& tempDir, const QStringList& args);

    // Writes each argument plus "\n" (Latin-1) to a new owner-only file ov3clientupdateargs in
    // the system temp dir, never through a link planted there. False when it cannot be written.
    static bool writeArgsFile(const QStringList& args);
    // Writes "open <path>" (shell-escaped) to a new owner-only executable file fileName in the
    // system temp dir, never through a link planted there. Returns its full name, or "" on failure.
    static QString createStarterScript(const QString& path, const QString& fileName);
    // The program that launches an application bundle: /usr/bin/open on macOS, elsewhere our own
    // launcher "open" next to the running updater.
    static QString bundleLauncher();
};
