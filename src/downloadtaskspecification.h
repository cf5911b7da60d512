// Leaf task that fetches one file of the target version over HTTP into a local file.
#pragma once

#include "taskspecification.h"

#include <QFile>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

class DownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    // Fetches updateBaseUrl() + version + "/" + url into fileName on the borrowed manager.
    // expectedSize (-1: unknown) drives the progress; it is never checked against the body.
    DownloadTaskSpecification(QNetworkAccessManager *manager, const QString &url, int version,
                              const QString &fileName, qint64 expectedSize, QObject *parent,
                              qreal weight);
    ~DownloadTaskSpecification() override;

    // Starts the first attempt. The task ends TASK_FINISHED with the whole body on disk, or
    // TASK_FAILED after five failed attempts (or at once if the file cannot be created), with no
    // file left behind.
    void execute() override;
    // Drops a running attempt (and its partial file) and forgets the failed attempts.
    void reset() override;
    // Assigns this task's bytes, total (0 when unknown) and bytes since the previous call. Each
    // call while running also counts as a poll: the 16th poll in a row without data restarts
    // the attempt as a failed one.
    void getDownloadProgress(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                             bool &downloading) override;
    // While running: drops the attempt and its partial file, ends TASK_CANCELED at once.
    void cancel() override;
    // A sibling failed: drops the attempt and its partial file, ends TASK_FAILED.
    void handleOtherTaskCancelled(TaskSpecification *other) override;

    static constexpr int MAX_RETRIES = 4;
    static constexpr int STALL_POLLS = 15;
    static constexpr qint64 CHUNK_SIZE = 4096;

protected:
    // Called once the whole body is on disk and the file is closed; by default reports and
    // finishes the task.
    virtual void downloadFinished();

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();

private:
    void startDownload();
    bool readAvailable();
    void stopDownload();
    bool retryDownload(const QString &reason);
    void dropReply();

    QNetworkAccessManager *m_Manager;
    QNetworkReply *m_Reply = nullptr;
    int m_IdleTicks = 0;
    QString m_Url;
    int m_Version;
    QFile m_File;
    int m_Retries = 0;
    qint64 m_LastBytes = 0;
    qint64 m_BytesTotal;
    qint64 m_ExpectedSize;
    qint64 m_BytesReceived = 0;
};
