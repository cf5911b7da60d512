// Asks the version service which version each update channel offers.
#include "updatechecker.h"

#include "httpdownloader.h"

#include "updateserver_client/parseversions.h"
#include "updateserver_client/versionservice.h"

#include <QDebug>
#include <QNetworkRequest>
#include <QProcessEnvironment>
#include <QUrl>

UpdateChecker::UpdateChecker(QObject *parent) : VersionQuery(parent)
{
    registerUpdateVersionsMetaType();
}

QString UpdateChecker::versionServiceUrl()
{
    QString base = QProcessEnvironment::systemEnvironment().value(
        QString::fromLatin1(VERSION_URL_VARIABLE));
    if (base.isEmpty())
        base = QString::fromLatin1(DEFAULT_VERSION_SERVICE);
    while (base.endsWith('/'))
        base.chop(1);
    return base + QString::fromUtf8(updateserver::VERSION_SERVICE_PATH);
}

void UpdateChecker::registerAsVersionQuery()
{
    VersionQuery::setFactory([](QObject *parent) { return new UpdateChecker(parent); });
}

void UpdateChecker::start()
{
    const QString url = versionServiceUrl();
    qDebug() << "Querying versions from" << url;
    auto *downloader = new HTTPDownloader(QNetworkRequest(QUrl(url)));
    connect(downloader, &HTTPDownloader::download_available, this,
            &UpdateChecker::on_updateCheckAvailable);
    downloader->start(QThread::InheritPriority);
}

void UpdateChecker::on_updateCheckAvailable(QByteArray updateData)
{
    UpdateVersions versions;
    updateserver::VersionsInfo info;
    if (updateserver::parseVersions(updateData.constData(), unsigned(updateData.size()), info)
        == updateserver::PARSE_VERSIONS_OK) {
        for (const std::string &name : info.channelNames) {
            const updateserver::ChannelVersion &value = info.channels.at(name);
            // A negative number shows as a large unsigned value that the configuration rejects.
            versions.insert(QString::fromStdString(name),
                            qMakePair(QString::number(quint32(value.versionNumber)),
                                      QString::fromStdString(value.versionString)));
        }
    }
    emit update_available(versions);
    deleteLater();
}
