// Launching the client or the new updater through the bundle launcher.
#include "processtools.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Replaces whatever lies at path by a new file of our own holding data. The temporary directory
// may be shared by all users: removing first and then creating exclusively without following
// links means a link or file planted there can neither redirect nor pre-empt our write.
bool writeNewPrivateFile(const QString& path, const QByteArray& data, mode_t mode)
{
    const QByteArray name = QFile::encodeName(path);
    if (::unlink(name.constData()) != 0 && errno != ENOENT)
        return false;
    const int fd =
        ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    // The umask may have taken bits away; the mode is part of the contract.
    bool ok = ::fchmod(fd, mode) == 0;
    QFile file;
    if (file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ok = file.write(data) == data.size() && file.flush() && ok;
        file.close();
    } else {
        ::close(fd);
        ok = false;
    }
    if (!ok)
        ::unlink(name.constData());
    return ok;
}

// Escapes a path for sh. Blanks become "\ " as the starter always wrote them; every other
// character sh would interpret is escaped as well, so that no path can break or extend the command.
QByteArray shellEscaped(const QByteArray& path)
{
    QByteArray out;
    for (const char c : path) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '\n')
            out += "'\n'";
        else if (u >= 0x80 || isalnum(u) || strchr("/._-+,:@%", c))
            out += c;
        else
            out += QByteArray(1, '\\') + c;
    }
    return out;
}

void startDetachedLogged(const QString& program, const QStringList& arguments,
                         const QProcessEnvironment& environment)
{
    qDebug() << "starting" << program << arguments;
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setProcessEnvironment(environment);
    if (!process.startDetached())
        qWarning() << "Failed to start" << program << arguments;
}

} // namespace

void ProcessTools::startOv3Client(const QString& installDir)
{
    qDebug() << "startOv3Client";
    startOv3Client_mac(installDir);
}

void ProcessTools::startClientUpdater(const QString& tempDir, const QStringList& args)
{
    qDebug() << "startClientUpdater" << tempDir << args;
    startNewUpdater_mac(tempDir, args);
}

void ProcessTools::startOv3Client_mac(const QString& installDir)
{
    qDebug() << "startOv3Client_mac" << installDir;
    startDetachedLogged(bundleLauncher(), {installDir + "../../Orvane 3 Client.app"},
                        QProcessEnvironment::systemEnvironment());
}

void ProcessTools::startNewUpdater_mac(const QString& tempDir, const QStringList& args)
{
    qDebug() << "startNewUpdater_mac" << tempDir << args;
    // Without the file the new updater falls back to a version query; nothing else to do here.
    writeArgsFile(args);

    const QString script = createStarterScript(tempDir + "/SharedSupport/update.app", "update.sh");
    if (script.isEmpty()) {
        qDebug() << "Failed to write temp update starter for second update step";
        return;
    }
    // The script has no interpreter line, so it runs through sh; its "open" must find our
    // launcher where the system has none.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
#ifndef Q_OS_MACOS
    const QString launcherDir = QFileInfo(bundleLauncher()).absolutePath();
    const QString path = environment.value("PATH");
    environment.insert("PATH", path.isEmpty() ? launcherDir : launcherDir + ":" + path);
#endif
    startDetachedLogged("/bin/sh", {script}, environment);
}

bool ProcessTools::writeArgsFile(const QStringList& args)
{
    QByteArray data;
    for (const QString& arg : args)
        data += (arg + "\n").toLatin1();
    return writeNewPrivateFile(QDir::tempPath() + "/" + "ov3clientupdateargs", data, 0600);
}

QString ProcessTools::createStarterScript(const QString& path, const QString& fileName)
{
    // Encoded like every other file name, so that sh receives the bytes the file system holds.
    const QByteArray text = "open " + shellEscaped(QFile::encodeName(path));
    const QString scriptPath = QDir::tempPath() + "/" + fileName;
    if (!writeNewPrivateFile(scriptPath, text, 0700))
        return QString();
    return scriptPath;
}

QString ProcessTools::bundleLauncher()
{
#ifdef Q_OS_MACOS
    return "/usr/bin/open";
#else
    return QCoreApplication::applicationDirPath() + "/open";
#endif
}
