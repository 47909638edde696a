#include "ui/shell/logo_view.h"

#include <QBuffer>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace korvane::test {
namespace {

// Serves one body to every GET on 127.0.0.1.
class OneFileServer {
public:
    // announce false: no Content-Length, the body ends when the connection does.
    explicit OneFileServer(QByteArray body, bool announce = true) : m_body(std::move(body))
    {
        EXPECT_TRUE(m_server.listen(QHostAddress::LocalHost));
        QObject::connect(&m_server, &QTcpServer::newConnection, [this, announce] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, announce] {
                    m_request += socket->readAll();
                    if (!m_request.contains("\r\n\r\n"))
                        return;
                    m_request.clear();
                    QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nConnection: close\r\n";
                    if (announce)
                        head += "Content-Length: " + QByteArray::number(m_body.size()) + "\r\n";
                    socket->write(head + "\r\n" + m_body);
                    socket->disconnectFromHost();
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QUrl url() const
    {
        return QUrl(
            QStringLiteral("http://127.0.0.1:%1/assets/js/TOVLogo_Orange.png").arg(m_server.serverPort()));
    }

private:
    QTcpServer m_server;
    QByteArray m_body;
    QByteArray m_request;
};

// A body that starts as a valid PNG, padded with zeros to `size` bytes.
QByteArray paddedPng(int size)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImage(8, 8, QImage::Format_RGB32).save(&buffer, "PNG");
    return bytes.append(size - bytes.size(), '\0');
}

TEST(LogoLoader, BadOrOversizedBodiesLeaveTheWordmark)
{
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    QTemporaryDir dir;
    const QString cache = dir.filePath("KORVANE/TOVLogo.png");
    const struct {
        QByteArray body;
        bool announce;
    } rows[] = {{"<html>404</html>", true},
                {{}, true},
                {paddedPng(10 * 1024 * 1024), false},
                {paddedPng(4 * 1024 * 1024 + 1), true}};
    for (const auto &[body, announce] : rows) {
        OneFileServer server(body, announce);
        LogoLoader loader({{}, cache, server.url()});
        LogoView view(120, loader);
        loader.load();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !loader.downloading(); }, 15000));
        EXPECT_TRUE(loader.image().isNull()) << body.size();
        EXPECT_TRUE(view.showsWordmark());
        EXPECT_FALSE(QFile::exists(cache)) << body.size();
    }
}

} // namespace
} // namespace korvane::test
