// One-shot HTTP GET on a thread of its own, with its own network access manager.
#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QThread>

class QNetworkReply;

class HTTPDownloader : public QThread
{
    Q_OBJECT
public:
    // Sends request once start() is called. The object deletes itself after the thread ended.
    explicit HTTPDownloader(const QNetworkRequest &request);

signals:
    // Emitted exactly once from the download thread (queued to receivers elsewhere): the body,
    // or an empty array after any network or HTTP error.
    void download_available(QByteArray data);

protected:
    void run() override;

private slots:
    virtual void on_downloadFinished(QNetworkReply *reply);

private:
    QNetworkRequest m_Request;
};
