// A small HTTP/1.1 server inside the test process that can answer well or misbehave on purpose.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>

class QTcpSocket;

class TestHttpServer : public QObject
{
    Q_OBJECT
public:
    // How one request is answered. Every answer closes the connection when it is complete.
    struct Response {
        int status = 200;
        QByteArray body;
        QByteArray location;        // sent as Location when not empty (redirects)
        qint64 declaredLength = -1; // Content-Length to claim; -1 means the body's real size
        bool sendLength = true;     // false: no Content-Length, the end of the body is the close
        qint64 stallAfter = -1;     // >= 0: send this many body bytes, then keep silent and open
        qint64 resetAfter = -1;     // >= 0: send this many body bytes, then reset the connection
        int dripBytes = 0;          // > 0: send the body in pieces of this size ...
        int dripIntervalMs = 0;     // ... one piece per interval

        static Response ok(const QByteArray &body);
        static Response withStatus(int status, const QByteArray &body = QByteArray());
        static Response redirect(const QByteArray &location);
        static Response stall(const QByteArray &body, qint64 after);
        static Response reset(const QByteArray &body, qint64 after);
        static Response drip(const QByteArray &body, int bytes, int intervalMs);
        // Claims more bytes than it sends, then closes.
        static Response shortBody(const QByteArray &body, qint64 declared);
    };

    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

    // Listens on 127.0.0.1 on a free port; false if that fails.
    bool listen();
    quint16 port() const;
    // "http://127.0.0.1:<port>/".
    QString baseUrl() const;

    // Answers requests for path ("/a/b") with response, every time.
    void setResponse(const QString &path, const Response &response);
    // Answers the n-th request for path with responses[n]; the last one repeats.
    void setResponses(const QString &path, const QList<Response> &responses);
    // Requests seen for path so far. Unknown paths are answered with 404.
    int requestCount(const QString &path) const;
    // Forgets every response and count (connections already answered go on as they were).
    void clear();

private slots:
    void onNewConnection();

private:
    void onRequestHead(QTcpSocket *socket, const QString &path);
    Response nextResponse(const QString &path);

    QTcpServer m_Server;
    QHash<QString, QList<Response>> m_Responses;
    QHash<QString, int> m_Counts;
};
