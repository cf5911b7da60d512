// One-shot HTTP GET on a thread of its own, with its own network access manager.
#include "httpdownloader.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

HTTPDownloader::HTTPDownloader(const QNetworkRequest &request) : m_Request(request)
{
    // Deleting a QThread from inside its own run() races with the thread's end; finished() is
    // the point after which deletion is safe.
    connect(this, &QThread::finished, this, &QObject::deleteLater);
}

void HTTPDownloader::run()
{
    QNetworkAccessManager *manager = new QNetworkAccessManager;
    // Direct: the reply belongs to this thread, so it is read here and nowhere else.
    connect(manager, &QNetworkAccessManager::finished, this, &HTTPDownloader::on_downloadFinished,
            Qt::DirectConnection);
    manager->get(m_Request);
    exec();
    delete manager;
}

void HTTPDownloader::on_downloadFinished(QNetworkReply *reply)
{
    const QByteArray data = reply->error() == QNetworkReply::NoError ? reply->readAll()
                                                                     : QByteArray();
    emit download_available(data);
    reply->deleteLater();
    quit();
}
