// A small HTTP/1.1 server inside the test process that can answer well or misbehave on purpose.
#include "testhttpserver.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

#include <sys/socket.h>

namespace {

QByteArray head(const TestHttpServer::Response &r)
{
    QByteArray h = "HTTP/1.1 " + QByteArray::number(r.status) + " Test\r\n";
    if (!r.location.isEmpty())
        h += "Location: " + r.location + "\r\n";
    if (r.sendLength) {
        const qint64 length = r.declaredLength >= 0 ? r.declaredLength : r.body.size();
        h += "Content-Length: " + QByteArray::number(length) + "\r\n";
    }
    return h + "Content-Type: application/octet-stream\r\nConnection: close\r\n\r\n";
}

// Drops the connection with a TCP reset instead of an orderly close.
void resetConnection(QTcpSocket *socket)
{
    socket->flush();
    struct linger option = {1, 0};
    ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &option, sizeof(option));
    socket->abort();
}

void sendDrip(QTcpSocket *socket, const TestHttpServer::Response &r)
{
    auto *timer = new QTimer(socket);
    auto sent = std::make_shared<qint64>(0);
    QObject::connect(timer, &QTimer::timeout, socket, [socket, timer, sent, r]() {
        socket->write(r.body.mid(int(*sent), r.dripBytes));
        *sent += r.dripBytes;
        if (*sent >= r.body.size()) {
            timer->stop();
            socket->disconnectFromHost();
        }
    });
    timer->start(r.dripIntervalMs);
}

void sendResponse(QTcpSocket *socket, const TestHttpServer::Response &r)
{
    socket->write(head(r));
    if (r.stallAfter >= 0) {
        socket->write(r.body.left(int(r.stallAfter)));
        return; // keep the connection open and silent
    }
    if (r.resetAfter >= 0) {
        socket->write(r.body.left(int(r.resetAfter)));
        socket->waitForBytesWritten(1000);
        resetConnection(socket);
        return;
    }
    if (r.dripBytes > 0) {
        sendDrip(socket, r);
        return;
    }
    socket->write(r.body);
    socket->disconnectFromHost();
}

} // namespace

TestHttpServer::Response TestHttpServer::Response::ok(const QByteArray &body)
{
    Response r;
    r.body = body;
    return r;
}

TestHttpServer::Response TestHttpServer::Response::withStatus(int status, const QByteArray &body)
{
    Response r = ok(body);
    r.status = status;
    return r;
}

TestHttpServer::Response TestHttpServer::Response::redirect(const QByteArray &location)
{
    Response r = withStatus(302, "moved");
    r.location = location;
    return r;
}

TestHttpServer::Response TestHttpServer::Response::stall(const QByteArray &body, qint64 after)
{
    Response r = ok(body);
    r.stallAfter = after;
    return r;
}

TestHttpServer::Response TestHttpServer::Response::reset(const QByteArray &body, qint64 after)
{
    Response r = ok(body);
    r.resetAfter = after;
    return r;
}

TestHttpServer::Response TestHttpServer::Response::drip(const QByteArray &body, int bytes,
                                                        int intervalMs)
{
    Response r = ok(body);
    r.dripBytes = bytes;
    r.dripIntervalMs = intervalMs;
    return r;
}

TestHttpServer::Response TestHttpServer::Response::shortBody(const QByteArray &body,
                                                             qint64 declared)
{
    Response r = ok(body);
    r.declaredLength = declared;
    return r;
}

TestHttpServer::TestHttpServer(QObject *parent) : QObject(parent)
{
    connect(&m_Server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
}

TestHttpServer::~TestHttpServer() = default;

bool TestHttpServer::listen()
{
    return m_Server.listen(QHostAddress::LocalHost, 0);
}

quint16 TestHttpServer::port() const
{
    return m_Server.serverPort();
}

QString TestHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(port());
}

void TestHttpServer::setResponse(const QString &path, const Response &response)
{
    setResponses(path, {response});
}

void TestHttpServer::setResponses(const QString &path, const QList<Response> &responses)
{
    m_Responses.insert(path, responses);
}

int TestHttpServer::requestCount(const QString &path) const
{
    return m_Counts.value(path);
}

void TestHttpServer::clear()
{
    m_Responses.clear();
    m_Counts.clear();
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_Server.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer]() {
            *buffer += socket->readAll();
            const int end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QList<QByteArray> words = buffer->left(buffer->indexOf("\r\n")).split(' ');
            buffer->clear();
            disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
            onRequestHead(socket, words.size() > 1 ? QString::fromLatin1(words[1]) : QString());
        });
    }
}

void TestHttpServer::onRequestHead(QTcpSocket *socket, const QString &path)
{
    m_Counts[path] += 1;
    sendResponse(socket, nextResponse(path));
}

TestHttpServer::Response TestHttpServer::nextResponse(const QString &path)
{
    const QList<Response> responses = m_Responses.value(path);
    if (responses.isEmpty())
        return Response::withStatus(404, "not found");
    const int index = qMin(m_Counts.value(path) - 1, responses.size() - 1);
    return responses.at(index);
}
