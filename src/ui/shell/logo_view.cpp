#include "ui/shell/logo_view.h"

#include "ui/theme/theme.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPainter>
#include <QSaveFile>
#include <QStandardPaths>

#ifndef KORVANE_LOGO_HOST
#define KORVANE_LOGO_HOST ""
#endif

namespace korvane {

namespace {

const char *const kExtensions[] = {"png", "pdf", "jpg", "jpeg"};
constexpr char kRemotePath[] = "/assets/js/TOVLogo_Orange.png";

} // namespace

LogoLoader::LogoLoader(Config config, QObject *parent) : QObject(parent), m_config(std::move(config)) {}

LogoLoader::Config LogoLoader::defaultConfig()
{
    Config config;
    config.bundleDirs = {QStringLiteral(":"), QStringLiteral(KORVANE_DATA_DIR),
                         QCoreApplication::applicationDirPath() + QStringLiteral("/../share/korvane")};
    config.cacheFile = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                       QStringLiteral("/KORVANE/TOVLogo.png");
    const QString host = QStringLiteral(KORVANE_LOGO_HOST);
    if (!host.isEmpty())
        config.remote = QUrl(host + QLatin1String(kRemotePath));
    return config;
}

LogoLoader &LogoLoader::shared()
{
    // Parented to the application so it goes before Qt's network plumbing does.
    static LogoLoader *loader = new LogoLoader(defaultConfig(), QCoreApplication::instance());
    return *loader;
}

void LogoLoader::load()
{
    if (m_started)
        return;
    m_started = true;
    for (const QString &dir : std::as_const(m_config.bundleDirs)) {
        for (const char *extension : kExtensions) {
            const QImage image(dir + QStringLiteral("/Logo.") + QLatin1String(extension));
            if (!image.isNull()) {
                setImage(image);
                return;
            }
        }
    }
    if (!m_config.cacheFile.isEmpty()) {
        const QImage cached(m_config.cacheFile);
        if (!cached.isNull()) {
            setImage(cached);
            return;
        }
    }
    if (m_config.remote.isValid() && !m_config.remote.isEmpty())
        download();
}

void LogoLoader::download()
{
    m_network = new QNetworkAccessManager(this);
    QNetworkRequest request(m_config.remote);
    request.setTransferTimeout(m_config.timeoutMs);
    QNetworkReply *reply = m_network->get(request);
    m_reply = reply;
    // A body over the cap is abandoned as soon as it shows: announced or received.
    connect(reply, &QNetworkReply::downloadProgress, this, [this, reply](qint64 received, qint64 total) {
        if (received > m_config.maxBytes || total > m_config.maxBytes) {
            m_tooLarge = true;
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { finishDownload(reply); });
}

void LogoLoader::finishDownload(QNetworkReply *reply)
{
    m_reply = nullptr;
    reply->deleteLater();
    if (m_tooLarge)
        return;
    // The status is not examined: any body that decodes as an image will do.
    const QByteArray body = reply->read(m_config.maxBytes + 1);
    if (body.isEmpty() || body.size() > m_config.maxBytes)
        return;
    const QImage image = QImage::fromData(body);
    if (image.isNull())
        return;
    if (!m_config.cacheFile.isEmpty()) {
        QDir().mkpath(QFileInfo(m_config.cacheFile).absolutePath());
        QSaveFile file(m_config.cacheFile);
        if (file.open(QIODevice::WriteOnly) && file.write(body) == body.size())
            file.commit();
    }
    setImage(image);
}

void LogoLoader::setImage(const QImage &image)
{
    m_image = image;
    emit imageChanged();
}

LogoView::LogoView(int size, LogoLoader &loader, QWidget *parent)
    : QWidget(parent), m_size(size), m_loader(&loader)
{
    setFixedSize(size, size);
    connect(&loader, &LogoLoader::imageChanged, this, qOverload<>(&QWidget::update));
}

LogoView::LogoView(int size, QWidget *parent) : LogoView(size, LogoLoader::shared(), parent) {}

void LogoView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_loader)
        m_loader->load();
}

void LogoView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    paintLogo(painter, QRectF(rect()), m_loader ? m_loader->image() : QImage());
}

void LogoView::paintLogo(QPainter &painter, const QRectF &square, const QImage &image)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    if (!image.isNull()) {
        QSizeF fitted = image.size();
        fitted.scale(square.size(), Qt::KeepAspectRatio);
        QRectF target(QPointF(), fitted);
        target.moveCenter(square.center());
        painter.drawImage(target, image);
        painter.restore();
        return;
    }
    const double size = square.width();
    QFont top = QApplication::font();
    top.setPixelSize(qMax(1, qRound(size * 0.34)));
    top.setWeight(QFont::Black);
    QFont bottom = QApplication::font();
    bottom.setPixelSize(qMax(11, qRound(size * 0.085)));
    bottom.setWeight(QFont::DemiBold);
    bottom.setLetterSpacing(QFont::AbsoluteSpacing, size * 0.03);
    const QFontMetricsF topMetrics(top);
    const QFontMetricsF bottomMetrics(bottom);
    constexpr double spacing = 6;
    const double height = topMetrics.height() + spacing + bottomMetrics.height();
    QRectF topRect(square.left(), square.center().y() - height / 2, size, topMetrics.height());
    QRectF bottomRect(square.left(), topRect.bottom() + spacing, size, bottomMetrics.height());
    painter.setFont(top);
    painter.setPen(Theme::accent());
    painter.drawText(topRect, Qt::AlignCenter, QStringLiteral("TOV"));
    painter.setFont(bottom);
    painter.setPen(Theme::secondaryText());
    // Tracking adds space after the last letter too; centre on the letters.
    painter.drawText(bottomRect.translated(size * 0.015, 0), Qt::AlignCenter, QStringLiteral("OVRANE"));
    painter.restore();
}

} // namespace korvane
