// Leaf task that fetches one file of the target version over HTTP into a local file.
#include "downloadtaskspecification.h"

#include "configuration.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager *manager,
                                                     const QString &url, int version,
                                                     const QString &fileName, qint64 expectedSize,
                                                     QObject *parent, qreal weight)
    : TaskSpecification(parent, weight), m_Manager(manager), m_Url(url), m_Version(version),
      m_File(fileName), m_BytesTotal(expectedSize), m_ExpectedSize(expectedSize)
{
}

DownloadTaskSpecification::~DownloadTaskSpecification()
{
    dropReply();
    // A task torn down mid-transfer must not leave a partial file behind either.
    if (m_File.isOpen()) {
        m_File.close();
        m_File.remove();
    }
}

void DownloadTaskSpecification::execute()
{
    qDebug() << "Downloading" << m_Url;
    emit message(QStringLiteral("Downloading %1").arg(m_Url));
    setTaskState(TASK_RUNNING);
    startDownload();
}

void DownloadTaskSpecification::startDownload()
{
    // Unbuffered, so that a failing write shows up at the chunk that failed, not at close().
    if (!m_File.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        emit error(QStringLiteral("Unable to create file %1 for saving").arg(m_File.fileName()));
        setFailed();
        return;
    }
    const QUrl url(updateBaseUrl() + QString::number(m_Version) + "/" + m_Url, QUrl::TolerantMode);
    qDebug() << "Requesting download of" << url.toString();
    m_Reply = m_Manager->get(QNetworkRequest(url));
    if (!m_Reply) {
        m_File.close();
        m_File.remove();
        emit error(QStringLiteral("Download failed to initialize"));
        setFailed();
        return;
    }
    if (!m_Reply->isRunning()) {
        retryDownload(m_Reply->errorString());
        return;
    }
    connect(m_Reply, &QNetworkReply::downloadProgress, this,
            &DownloadTaskSpecification::onDownloadProgress);
    connect(m_Reply, &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
    connect(m_Reply, &QNetworkReply::finished, this, &DownloadTaskSpecification::onDownloadFinished);
    connect(m_Reply, &QNetworkReply::metaDataChanged, this,
            &DownloadTaskSpecification::onMetaDataChanged);
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (!m_Reply)
        return;
    const QVariant status = m_Reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isNull() && status.toInt() != 200)
        retryDownload(QStringLiteral("%1 returned %2").arg(m_Url).arg(status.toInt()));
}

void DownloadTaskSpecification::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesReceived);
    if (bytesTotal > 0 && m_BytesTotal == -1)
        m_BytesTotal = bytesTotal;
}

void DownloadTaskSpecification::onReadyRead()
{
    readAvailable();
}

bool DownloadTaskSpecification::readAvailable()
{
    char buffer[CHUNK_SIZE];
    while (m_Reply) {
        m_IdleTicks = 0;
        const qint64 available = m_Reply->bytesAvailable();
        if (available <= 0)
            return true;
        const qint64 got = m_Reply->read(buffer, qMin(available, CHUNK_SIZE));
        if (got == 0)
            return true;
        if (got < 0) {
            retryDownload(m_Reply->errorString());
            return false;
        }
        const qint64 written = m_File.write(buffer, got);
        if (written < 0) {
            retryDownload(m_File.errorString());
            return false;
        }
        if (written < got) {
            retryDownload(QStringLiteral("Error writing to file %1. Should write %2 bytes but "
                                         "wrote %3 bytes")
                              .arg(m_File.fileName()).arg(got).arg(written));
            return false;
        }
        m_BytesReceived += got;
        if (m_BytesTotal > 0)
            setProgress(qMin(1.0, double(m_BytesReceived) / double(m_BytesTotal)));
    }
    return true;
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!m_Reply)
        return;
    if (m_Reply->error() != QNetworkReply::NoError) {
        retryDownload(m_Reply->errorString());
        return;
    }
    if (!readAvailable())
        return;
    dropReply();
    m_File.close();
    // Removed from outside between the last write and now: the data is lost, try again.
    if (!m_File.exists()) {
        retryDownload(QStringLiteral("File %1 disappeared after download").arg(m_File.fileName()));
        return;
    }
    downloadFinished();
}

void DownloadTaskSpecification::downloadFinished()
{
    qDebug() << "Download finished:" << m_Url << m_File.fileName() << m_File.isOpen()
             << m_File.exists();
    emit message(QStringLiteral("Downloading %1 finished").arg(m_Url));
    setFinished();
}

void DownloadTaskSpecification::dropReply()
{
    if (!m_Reply)
        return;
    QObject::disconnect(m_Reply, nullptr, this, nullptr);
    // deleteLater: this may run inside one of the reply's own signals.
    m_Reply->deleteLater();
    m_Reply = nullptr;
}

void DownloadTaskSpecification::stopDownload()
{
    dropReply();
    m_IdleTicks = 0;
    if (m_File.isOpen()) {
        m_File.close();
        m_File.remove();
    }
    m_LastBytes = 0;
    m_BytesTotal = m_ExpectedSize;
    m_BytesReceived = 0;
    setProgress(0);
}

bool DownloadTaskSpecification::retryDownload(const QString &reason)
{
    stopDownload();
    emit message(reason);
    if (m_Retries < MAX_RETRIES) {
        ++m_Retries;
        startDownload();
        return true;
    }
    ++m_Retries;
    emit message(QStringLiteral("Unable to download %1").arg(m_Url));
    m_File.remove();
    setFailed();
    return false;
}

void DownloadTaskSpecification::getDownloadProgress(quint64 &downloadDone, quint64 &downloadTotal,
                                                    quint64 &speed, bool &downloading)
{
    downloadDone = quint64(m_BytesReceived);
    downloadTotal = m_BytesTotal < 0 ? 0 : quint64(m_BytesTotal);
    speed = quint64(qMax<qint64>(0, m_BytesReceived - m_LastBytes));
    m_LastBytes = m_BytesReceived;
    if (m_TaskState != TASK_RUNNING || !m_Reply)
        return;
    if (m_IdleTicks++ < STALL_POLLS)
        downloading = true;
    else
        retryDownload(QStringLiteral("file %1 timed out").arg(m_Url));
}

void DownloadTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (m_TaskState != TASK_RUNNING)
        return;
    stopDownload();
    setCanceled();
}

void DownloadTaskSpecification::handleOtherTaskCancelled(TaskSpecification *other)
{
    Q_UNUSED(other);
    if (m_Reply) {
        emit message(QStringLiteral("Abort downloading %1").arg(m_Url));
        stopDownload();
    }
    setFailed();
}

void DownloadTaskSpecification::reset()
{
    stopDownload();
    m_Retries = 0;
    TaskSpecification::reset();
}
