// The hook through which the configuration asks the version service which version each channel
// offers.
#pragma once

#include "updateversions.h"

#include <QObject>

#include <functional>

// One query of the version service. start() only begins it: update_available follows exactly once,
// from the event loop after start() has returned, and the query then deletes itself.
class VersionQuery : public QObject
{
    Q_OBJECT
public:
    using Factory = std::function<VersionQuery*(QObject* parent)>;

    explicit VersionQuery(QObject* parent = nullptr);
    virtual void start() = 0;

    // A new query made by the registered factory. Without a factory the query answers with an empty
    // map, which the configuration treats like an unreachable version service.
    static VersionQuery* create(QObject* parent);
    // Registers the maker of queries (the real service client); an empty factory restores the
    // default. Call from the main thread before the configuration parses the command line.
    static void setFactory(Factory factory);

signals:
    void update_available(UpdateVersions versions);
};
