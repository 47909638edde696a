#pragma once

#include <QImage>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QUrl>
#include <QWidget>

class QNetworkAccessManager;

class QPainter;

namespace korvane {

// Finds the brand logo once: an image shipped beside the program, else the
// cached download, else one download from `remote` (only when an address is
// configured). Every failure is silent and leaves the wordmark. Main thread.
class LogoLoader : public QObject {
    Q_OBJECT
public:
    struct Config {
        // Folders searched for "Logo.png", ".pdf", ".jpg", ".jpeg", in order.
        QStringList bundleDirs;
        QString cacheFile;
        // Empty: no request is ever made.
        QUrl remote;
        int timeoutMs = 10000;
        qint64 maxBytes = 4 * 1024 * 1024;
    };

    explicit LogoLoader(Config config, QObject *parent = nullptr);
    // The process's loader, on the installed folders and the user's cache.
    static LogoLoader &shared();
    static Config defaultConfig();

    // Runs the search once per loader; later calls do nothing.
    void load();
    const QImage &image() const { return m_image; }
    bool started() const { return m_started; }
    bool downloading() const { return m_reply != nullptr; }
    const Config &config() const { return m_config; }

signals:
    void imageChanged();

private:
    void download();
    void finishDownload(QNetworkReply *reply);
    void setImage(const QImage &image);

    Config m_config;
    QImage m_image;
    bool m_started = false;
    bool m_tooLarge = false;
    QNetworkAccessManager *m_network = nullptr;
    QPointer<QNetworkReply> m_reply;
};

// The logo in a size × size square: the loader's image scaled to fit, or the
// "TOV" / "OVRANE" wordmark. Asks the loader to search when first shown.
class LogoView : public QWidget {
    Q_OBJECT
public:
    LogoView(int size, LogoLoader &loader, QWidget *parent = nullptr);
    explicit LogoView(int size, QWidget *parent = nullptr);
    QSize sizeHint() const override { return {m_size, m_size}; }
    bool showsWordmark() const { return m_loader->image().isNull(); }

    // Shared with the splash, which scales and fades the logo itself.
    static void paintLogo(QPainter &painter, const QRectF &square, const QImage &image);

protected:
    void showEvent(QShowEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    int m_size;
    QPointer<LogoLoader> m_loader;
};

} // namespace korvane
