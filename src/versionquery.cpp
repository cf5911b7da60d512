// The version query hook and its fallback, a query that knows no versions.
#include "versionquery.h"

namespace
{

// Stands in until a client of the version service is registered; answers "no versions".
class NoVersionQuery : public VersionQuery
{
public:
    using VersionQuery::VersionQuery;
    void start() override
    {
        // Queued, so that the caller has finished its own set-up before the answer arrives.
        QMetaObject::invokeMethod(
            this,
            [this] {
                emit update_available(UpdateVersions());
                deleteLater();
            },
            Qt::QueuedConnection);
    }
};

VersionQuery::Factory& registeredFactory()
{
    static VersionQuery::Factory factory;
    return factory;
}

} // namespace

VersionQuery::VersionQuery(QObject* parent) : QObject(parent) {}

VersionQuery* VersionQuery::create(QObject* parent)
{
    const Factory& factory = registeredFactory();
    if (factory)
        return factory(parent);
    return new NoVersionQuery(parent);
}

void VersionQuery::setFactory(Factory factory)
{
    registeredFactory() = std::move(factory);
}
