// Deletion list task.
#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "filedeletetaskspecification.h"

#include <QDir>
#include <QFileInfo>

namespace {

// The list names installed paths; one that is absolute or climbs out of the installation
// directory (or names the directory itself) would delete what the update does not own.
bool staysInside(const QString &relative)
{
    if (QDir::isAbsolutePath(relative))
        return false;
    const QString clean = QDir::cleanPath(relative);
    return !clean.isEmpty() && clean != QLatin1String(".") && clean != QLatin1String("..")
           && !clean.startsWith(QLatin1String("../"));
}

} // namespace

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(const QList<DeleteData> *entries,
                                                                 Configuration *config,
                                                                 QObject *parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight)
    , m_Entries(entries)
    , m_Config(config)
{
}

void FileDeleteListTaskSpecification::execute()
{
    emit message("Starting deleting files");
    makeSubtasksAndStart();
}

void FileDeleteListTaskSpecification::reset()
{
    deleteSubTasks();
    TaskSpecification::reset();
}

void FileDeleteListTaskSpecification::makeSubtasksAndStart()
{
    const QDir base(m_Config->m_InstallDir);
    const int n = m_Entries->size();
    for (const DeleteData &entry : *m_Entries) {
        if (!staysInside(entry.path)) {
            emit message(QString("Not deleting '%1' because it lies outside the installation directory")
                             .arg(entry.path));
            continue;
        }
        const QString path = QFileInfo(base, entry.path).filePath();
        addSubTask(new FileDeleteTaskSpecification(false, path, entry.recursive, this, 1.0 / n));
    }
    startSubTasks();
}
