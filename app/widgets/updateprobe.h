// Whether the update page can be reached at all, asked before the browser is
// sent there, so that a machine without a network says so instead of opening
// a browser on an error page or doing nothing.
#pragma once

#include <QObject>
#include <QUrl>

class QNetworkAccessManager;

class UpdateProbe : public QObject {
    Q_OBJECT

public:
    explicit UpdateProbe(QObject* parent = nullptr);

    // Asks `url` for its headers. `finished` follows once: `reached` is true
    // when a web server answered, whatever its status; otherwise `reason`
    // says why nothing answered (no network, unknown host, refused, timed out).
    void start(const QUrl& url, int timeoutMs = DefaultTimeoutMs);

    static constexpr int DefaultTimeoutMs = 15000;

signals:
    void finished(const QUrl& url, bool reached, const QString& reason);

private:
    QNetworkAccessManager* network_;
};
