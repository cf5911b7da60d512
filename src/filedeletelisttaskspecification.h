// Deletes the installed paths of a deletion list one after another; failures are tolerated.
#pragma once

#include "composedtaskspecification.h"
#include "worklists.h"

#include <QList>

class Configuration;

class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // entries and config are borrowed; the entries are read only when execute() runs.
    FileDeleteListTaskSpecification(const QList<DeleteData> *entries, Configuration *config,
                                    QObject *parent, qreal weight);

    // Builds one deletion per entry below the installation directory and runs them in list
    // order; always finishes. Entries that would leave the installation directory are skipped.
    void execute() override;
    // Drops the subtasks, then resets this task.
    void reset() override;

private:
    void makeSubtasksAndStart();

    const QList<DeleteData> *m_Entries;
    Configuration *m_Config;
};
