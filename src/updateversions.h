// The version service's answer: channel name -> (version number as decimal text, display version).
#pragma once

#include <QHash>
#include <QMetaType>
#include <QPair>
#include <QString>

typedef QHash<QString, QPair<QString, QString>> UpdateVersions;
Q_DECLARE_METATYPE(UpdateVersions)

// Registers the type under the name "UpdateVersions" so it can travel through queued connections;
// safe to call more than once.
inline void registerUpdateVersionsMetaType()
{
    qRegisterMetaType<UpdateVersions>("UpdateVersions");
}
