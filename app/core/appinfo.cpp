#include "app/core/appinfo.h"

#include <QUrlQuery>

namespace AppInfo {

QString windowTitle(const QString& fileName)
{
    const QString name = QString::fromLatin1(ApplicationName);
    return fileName.isEmpty() ? name : name + QStringLiteral(" - ") + fileName;
}

QUrl updateCheckUrl(const QString& page, const QString& applicationId, const QString& version)
{
    QUrl url(page.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != QLatin1String("https") && scheme != QLatin1String("http")))
        return {};

    // The page keys its answers on the platform tag, the identifier and the version.
    QUrlQuery query(url);
    query.removeAllQueryItems(QStringLiteral("app"));
    query.addQueryItem(QStringLiteral("app"), QString::fromLatin1(PlatformTag) + QLatin1Char('_') + applicationId +
                                                  QLatin1Char('_') + version);
    url.setQuery(query);
    return url;
}

QString userManualPath(const QString& applicationDir)
{
    return applicationDir + QStringLiteral("/manual.pdf");
}

QUrl userManualUrl(const QString& applicationDir)
{
    return QUrl::fromLocalFile(userManualPath(applicationDir));
}

} // namespace AppInfo
