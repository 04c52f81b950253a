#include "app/widgets/updateprobe.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

UpdateProbe::UpdateProbe(QObject* parent) : QObject(parent), network_(new QNetworkAccessManager(this)) {}

void UpdateProbe::start(const QUrl& url, int timeoutMs)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(timeoutMs);
    QNetworkReply* reply = network_->head(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply, url] {
        reply->deleteLater();
        // Any HTTP status means a server answered: the page is there to be
        // shown, even when it reports a fault of its own.
        const bool reached = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
        emit finished(url, reached, reached ? QString() : reply->errorString());
    });
}
