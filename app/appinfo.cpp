#include "app/appinfo.h"

#include <QUrlQuery>

namespace AppInfo {

QString windowTitle(const QString& fileName)
{
    const QString name = QString::fromLatin1(ApplicationName);
    return fileName.isEmpty() ? name : name + QStringLiteral(" - ") + fileName;
}

QUrl updateCheckUrl(const QString& applicationId, const QString& version)
{
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(QString::fromLatin1(UpdateHost));
    url.setPath(QStringLiteral("/update.php"));

    // The page keys its answers on the platform tag, the identifier and the version.
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("app"), QStringLiteral("win_") + applicationId + QLatin1Char('_') + version);
    url.setQuery(query);
    return url;
}

QUrl userManualUrl(const QString& applicationDir)
{
    return QUrl::fromLocalFile(applicationDir + QStringLiteral("/manual.pdf"));
}

} // namespace AppInfo
