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

// Serves one body to every GET on 127.0.0.1 and counts the requests.
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
                    ++requests;
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
    int requests = 0;

private:
    QTcpServer m_server;
    QByteArray m_body;
    QByteArray m_request;
};

QByteArray encoded(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

class LogoLoaderTest : public ::testing::Test {
protected:
    void SetUp() override { QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy); }
    LogoLoader::Config config(const QUrl &remote) const
    {
        return {{}, dir.filePath("KORVANE/TOVLogo.png"), remote};
    }
    void loadAndWait(LogoLoader &loader)
    {
        loader.load();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !loader.downloading(); }, 15000));
    }

    QTemporaryDir dir;
};

TEST_F(LogoLoaderTest, BadOrOversizedBodiesLeaveTheWordmark)
{
    QByteArray huge = encoded(QImage(8, 8, QImage::Format_RGB32), "PNG");
    huge.append(10 * 1024 * 1024 - huge.size(), '\0');
    QByteArray justOver = encoded(QImage(8, 8, QImage::Format_RGB32), "PNG");
    justOver.append(4 * 1024 * 1024 + 1 - justOver.size(), '\0');
    const struct {
        QByteArray body;
        bool announce;
    } rows[] = {{"<html>404</html>", true}, {{}, true}, {huge, false}, {justOver, true}};
    for (const auto &[body, announce] : rows) {
        OneFileServer server(body, announce);
        LogoLoader loader(config(server.url()));
        LogoView view(120, loader);
        loadAndWait(loader);
        EXPECT_TRUE(loader.image().isNull()) << body.size();
        EXPECT_TRUE(view.showsWordmark());
        EXPECT_FALSE(QFile::exists(dir.filePath("KORVANE/TOVLogo.png"))) << body.size();
    }
}

} // namespace
} // namespace korvane::test
