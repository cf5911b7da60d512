// HTTP download task against a local server: failures and retries, progress, stalls, aborts.
#include "downloadtaskspecification.h"
#include "networktestenv.h"

#include <QNetworkAccessManager>
#include <QFileInfo>
#include <QSignalSpy>

#include <algorithm>
#include <memory>

namespace {

using Response = TestHttpServer::Response;

const QString URL = "bin/x";
const QString SERVER_PATH = "/1234/bin/x";
const qreal WEIGHT = 0.5;

QByteArray body(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char('a' + (i * 7) % 26);
    return data;
}

// Polls the task's download statistics on a timer, standing in for the engine's once-a-second
// poll at a much shorter interval.
class PollDriver
{
public:
    PollDriver(TaskSpecification *task, int intervalMs)
    {
        QObject::connect(&m_Timer, &QTimer::timeout, [task]() {
            quint64 done = 0, total = 0, speed = 0;
            bool downloading = false;
            task->getDownloadProgress(done, total, speed, downloading);
        });
        m_Timer.start(intervalMs);
    }

private:
    QTimer m_Timer;
};

class DownloadTest : public NetworkTest
{
protected:
    void SetUp() override
    {
        NetworkTest::SetUp();
        nextCase();
    }

    // A fresh destination and a server without answers, for the next row of a table.
    void nextCase()
    {
        m_Server.clear();
        m_File = path(QStringLiteral("x%1.part").arg(++m_Case));
    }

    DownloadTaskSpecification *makeTask(qint64 expectedSize, const QString &file = QString())
    {
        auto *task = new DownloadTaskSpecification(&m_Manager, URL, 1234,
                                                   file.isEmpty() ? m_File : file, expectedSize,
                                                   &m_Parent, WEIGHT);
        m_Messages = std::make_unique<QSignalSpy>(task, &TaskSpecification::message);
        m_Errors = std::make_unique<QSignalSpy>(task, &TaskSpecification::error);
        m_Ends = 0;
        QObject::connect(task, &TaskSpecification::canceled, [this]() { ++m_Ends; });
        QObject::connect(task, &TaskSpecification::finished, [this]() { ++m_Ends; });
        return task;
    }

    bool runToEnd(DownloadTaskSpecification *task)
    {
        task->execute();
        return waitUntil([this]() { return m_Ends > 0; });
    }

    QStringList messages() const
    {
        QStringList list;
        for (const auto &args : *m_Messages)
            list << args.at(0).toString();
        return list;
    }

    QByteArray fileContent() const
    {
        QFile f(m_File);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QObject m_Parent;
    QNetworkAccessManager m_Manager;
    QString m_File;
    int m_Case = 0;
    std::unique_ptr<QSignalSpy> m_Messages, m_Errors;
    int m_Ends = 0; // end signals of the current task
};

struct AttemptRow {
    const char *what;
    QList<Response> responses; // per request; the last repeats
    int requests;              // requests the task makes in all
    bool finishes;             // else TASK_FAILED after five attempts
    QStringList someMessages;  // must all appear, in this order
};

} // namespace

TEST_F(DownloadTest, FailedAttemptsAreRetriedFromScratchUpToFiveTimes)
{
    const QByteArray data = body(20000);
    const QString unable = "Unable to download bin/x";
    const AttemptRow rows[] = {
        {"ok", {Response::ok(data)}, 1, true, {"Downloading bin/x", "Downloading bin/x finished"}},
        {"404 always", {Response::withStatus(404, "no")}, 5, false,
         {"bin/x returned 404", "bin/x returned 404", "bin/x returned 404", "bin/x returned 404",
          "bin/x returned 404", unable}},
        {"redirect is not followed", {Response::redirect("/1234/bin/y")}, 5, false,
         {"bin/x returned 302", unable}},
        {"500 then ok", {Response::withStatus(500), Response::ok(data)}, 2, true,
         {"bin/x returned 500", "Downloading bin/x finished"}},
        {"reset mid-body then ok", {Response::reset(data, 9000), Response::ok(data)}, 2, true,
         {"Downloading bin/x finished"}},
        {"shorter body than declared then ok",
         {Response::shortBody(data, 30000), Response::ok(data)}, 2, true,
         {"Downloading bin/x finished"}},
        {"four failures then ok",
         {Response::reset(data, 10), Response::reset(data, 10), Response::shortBody(data, 30000),
          Response::withStatus(503), Response::ok(data)},
         5, true, {"bin/x returned 503", "Downloading bin/x finished"}},
        {"reset always", {Response::reset(data, 5000)}, 5, false, {unable}},
    };
    for (const AttemptRow &row : rows) {
        SCOPED_TRACE(row.what);
        nextCase();
        m_Server.setResponses(SERVER_PATH, row.responses);
        DownloadTaskSpecification *task = makeTask(data.size());
        ASSERT_TRUE(runToEnd(task));

        EXPECT_EQ(m_Server.requestCount(SERVER_PATH), row.requests);
        const QStringList got = messages();
        int from = 0;
        for (const QString &expected : row.someMessages) {
            from = got.indexOf(expected, from);
            ASSERT_GE(from, 0) << qPrintable(expected) << " in " << qPrintable(got.join(" | "));
            ++from;
        }
        EXPECT_TRUE(m_Errors->isEmpty());
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task->getDownloadProgress(done, total, speed, downloading);
        if (row.finishes) {
            EXPECT_EQ(task->taskState(), TaskSpecification::TASK_FINISHED);
            EXPECT_EQ(fileContent(), data); // no bytes of failed attempts before the body
            EXPECT_EQ(done, quint64(data.size()));
        } else {
            EXPECT_EQ(task->taskState(), TaskSpecification::TASK_FAILED);
            EXPECT_EQ(got.last(), unable);
            EXPECT_FALSE(QFile::exists(m_File));
            EXPECT_EQ(done, 0u);
        }
        delete task;
    }
}

TEST_F(DownloadTest, ProgressAndTotalWhileDataIsMissing)
{
    struct Row {
        const char *what;
        qint64 expected;
        bool sendLength;
        quint64 total;  // statistics total while 250 of 1000 bytes are in
        qreal progress; // last updateProgress so far
    } rows[] = {
        {"expected size", 1000, true, 1000, 0.25 * WEIGHT},
        {"size unknown and not announced", -1, false, 0, 0},
        {"expected size 0", 0, true, 0, 0},
    };
    const QByteArray data = body(1000);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        nextCase();
        Response stalled = Response::stall(data, 250);
        stalled.sendLength = row.sendLength;
        m_Server.setResponse(SERVER_PATH, stalled);
        DownloadTaskSpecification *task = makeTask(row.expected);
        QSignalSpy progress(task, &TaskSpecification::updateProgress);
        task->execute();
        ASSERT_TRUE(waitUntil([&]() { return QFileInfo(m_File).size() == 250; }));
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task->getDownloadProgress(done, total, speed, downloading);
        EXPECT_EQ(done, 250u);
        EXPECT_EQ(speed, 250u);
        EXPECT_EQ(total, row.total);
        EXPECT_TRUE(downloading);
        task->getDownloadProgress(done, total, speed, downloading);
        EXPECT_EQ(speed, 0u) << "speed counts bytes since the previous poll";
        EXPECT_DOUBLE_EQ(progress.isEmpty() ? 0.0 : progress.last().at(0).toReal(), row.progress);
        delete task;
        EXPECT_FALSE(QFile::exists(m_File)) << "a task torn down mid-transfer leaves no file";
    }
}

TEST_F(DownloadTest, OnlyAnUnknownSizeIsLearntFromTheServer)
{
    struct Row {
        const char *what;
        qint64 expected;
        bool sendLength;
        bool progressBeforeEnd;
    } rows[] = {
        {"unknown, announced", -1, true, true},
        {"unknown, not announced", -1, false, false},
        {"expected 0, announced", 0, true, false},
    };
    // Qt reports the announced size only every 100 ms, so the body takes a while.
    const QByteArray data = body(1000);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        nextCase();
        Response drip = Response::drip(data, 50, 20);
        drip.sendLength = row.sendLength;
        m_Server.setResponse(SERVER_PATH, drip);
        DownloadTaskSpecification *task = makeTask(row.expected);
        QList<qreal> before;
        quint64 maxTotal = 0;
        QObject::connect(task, &TaskSpecification::updateProgress, [&](qreal p) {
            if (task->taskState() != TaskSpecification::TASK_RUNNING)
                return;
            before << p;
            quint64 done = 0, total = 0, speed = 0;
            bool downloading = false;
            task->getDownloadProgress(done, total, speed, downloading);
            maxTotal = qMax(maxTotal, total);
        });
        ASSERT_TRUE(runToEnd(task));
        ASSERT_EQ(task->taskState(), TaskSpecification::TASK_FINISHED);
        const bool partial = std::any_of(before.begin(), before.end(),
                                         [](qreal p) { return p > 0 && p < WEIGHT; });
        EXPECT_EQ(partial, row.progressBeforeEnd);
        EXPECT_EQ(maxTotal, row.progressBeforeEnd ? 1000u : 0u);
        delete task;
    }
}

TEST_F(DownloadTest, FullBodyReportsFullWeightBeforeFinished)
{
    const QByteArray data = body(1000);
    m_Server.setResponse(SERVER_PATH, Response::ok(data));
    DownloadTaskSpecification *task = makeTask(1000);
    QList<qreal> seen;
    bool finishedAfterFull = false;
    QObject::connect(task, &TaskSpecification::updateProgress, [&](qreal p) { seen << p; });
    QObject::connect(task, &TaskSpecification::finished,
                     [&]() { finishedAfterFull = !seen.isEmpty() && seen.last() == WEIGHT; });
    ASSERT_TRUE(runToEnd(task));
    EXPECT_TRUE(finishedAfterFull);
    for (qreal p : seen)
        EXPECT_LE(p, WEIGHT);
}

TEST_F(DownloadTest, StallIsDeclaredAtTheSixteenthSilentPoll)
{
    const QByteArray data = body(1000);
    m_Server.setResponses(SERVER_PATH, {Response::stall(data, 100), Response::ok(data)});
    DownloadTaskSpecification *task = makeTask(1000);
    task->execute();
    ASSERT_TRUE(waitUntil([&]() { return QFileInfo(m_File).size() == 100; }));
    quint64 done = 0, total = 0, speed = 0;
    bool downloading = false;
    for (int poll = 1; poll <= 15; ++poll) {
        downloading = false;
        task->getDownloadProgress(done, total, speed, downloading);
        ASSERT_TRUE(downloading) << "poll " << poll;
    }
    EXPECT_FALSE(messages().contains("file bin/x timed out"));
    downloading = false;
    task->getDownloadProgress(done, total, speed, downloading);
    EXPECT_FALSE(downloading);
    EXPECT_EQ(messages().last(), "file bin/x timed out");

    // The restarted attempt gets the whole file.
    ASSERT_TRUE(waitUntil([this]() { return m_Ends > 0; }));
    EXPECT_EQ(task->taskState(), TaskSpecification::TASK_FINISHED);
    EXPECT_EQ(fileContent(), data);
    EXPECT_EQ(m_Server.requestCount(SERVER_PATH), 2);
}

TEST_F(DownloadTest, SlowButSteadyTransferNeverTimesOut)
{
    // One piece every 40 ms against a poll every 10 ms: at most a few silent polls in a row.
    const QByteArray data = body(1500);
    m_Server.setResponse(SERVER_PATH, Response::drip(data, 100, 40));
    DownloadTaskSpecification *task = makeTask(-1);
    PollDriver polls(task, 10);
    ASSERT_TRUE(runToEnd(task));
    EXPECT_EQ(task->taskState(), TaskSpecification::TASK_FINISHED);
    EXPECT_FALSE(messages().contains("file bin/x timed out"));
    EXPECT_EQ(m_Server.requestCount(SERVER_PATH), 1);
    EXPECT_EQ(fileContent(), data);
}

TEST_F(DownloadTest, CancelAndSiblingFailureStopARunningTransfer)
{
    const QByteArray data = body(1000);
    for (bool sibling : {false, true}) {
        SCOPED_TRACE(sibling ? "sibling failed" : "user cancel");
        nextCase();
        m_Server.setResponse(SERVER_PATH, Response::stall(data, 300));
        DownloadTaskSpecification *task = makeTask(1000);
        task->execute();
        ASSERT_TRUE(waitUntil([&]() { return QFileInfo(m_File).size() == 300; }));
        DownloadTaskSpecification other(&m_Manager, "y", 1, path("y"), -1, nullptr, 1);
        if (sibling)
            task->handleOtherTaskCancelled(&other);
        else
            task->cancel();
        // The end is reported at once, not from a later event-loop turn.
        ASSERT_EQ(m_Ends, 1);
        EXPECT_EQ(task->taskState(),
                  sibling ? TaskSpecification::TASK_FAILED : TaskSpecification::TASK_CANCELED);
        EXPECT_EQ(messages().contains("Abort downloading bin/x"), sibling);
        EXPECT_FALSE(QFile::exists(m_File));
        EXPECT_DOUBLE_EQ(task->progress(), 0.0);
        delete task;
    }
}

TEST_F(DownloadTest, UnwritableDestinationFailsAtOnceWithoutRequest)
{
    const QString file = path("missing-dir/x");
    DownloadTaskSpecification *task = makeTask(10, file);
    task->execute();
    ASSERT_EQ(m_Ends, 1);
    EXPECT_EQ(task->taskState(), TaskSpecification::TASK_FAILED);
    ASSERT_EQ(m_Errors->size(), 1);
    EXPECT_EQ(m_Errors->at(0).at(0).toString(), "Unable to create file " + file + " for saving");
    QCoreApplication::processEvents();
    EXPECT_EQ(m_Server.requestCount(SERVER_PATH), 0);
}

TEST_F(DownloadTest, LostWritesAreFailedAttempts)
{
    const QByteArray data = body(20000);
    m_Server.setResponse(SERVER_PATH, Response::ok(data));
    struct Row {
        const char *what;
        bool diskFull;           // the first attempt writes to a full device
        bool removeWhenComplete; // deletes the file once all bytes are written
    } rows[] = {
        {"write error (disk full)", true, false},
        {"file removed before the end", false, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        nextCase();
        m_Server.setResponse(SERVER_PATH, Response::ok(data));
        if (row.diskFull) {
            ASSERT_TRUE(QFile::link("/dev/full", m_File));
        }
        DownloadTaskSpecification *task = makeTask(data.size());
        bool removed = false;
        if (row.removeWhenComplete) {
            QObject::connect(task, &TaskSpecification::updateProgress, [&](qreal p) {
                if (p == WEIGHT && !removed && task->taskState() == TaskSpecification::TASK_RUNNING)
                    removed = QFile::remove(m_File);
            });
        }
        ASSERT_TRUE(runToEnd(task));
        EXPECT_EQ(task->taskState(), TaskSpecification::TASK_FINISHED);
        EXPECT_EQ(m_Server.requestCount(SERVER_PATH), 2);
        if (row.removeWhenComplete) {
            EXPECT_TRUE(messages().contains("File " + m_File + " disappeared after download"))
                << qPrintable(messages().join(" | "));
        }
        EXPECT_FALSE(QFileInfo(m_File).isSymLink());
        EXPECT_EQ(fileContent(), data);
        delete task;
    }
}
