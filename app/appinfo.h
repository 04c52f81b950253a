// Who the program is: its names, version and web addresses, and the texts
// built from them.
#pragma once

#include <QString>
#include <QUrl>

namespace AppInfo {

inline constexpr char OrganizationName[] = "Osterlane";
inline constexpr char OrganizationDomain[] = "osterlane.example";
inline constexpr char ApplicationName[] = "Osterlane Color Tonemolder";
inline constexpr char Version[] = "1.9";

// The identifier the update page knows this program by.
inline constexpr char ApplicationId[] = "{B42DC0FC-259B-40C9-9EEB-43E242A2C6C0}";

// The maker's site, where the update page lives.
inline constexpr char UpdateHost[] = "www.osterlane.example";

// Main-window title: the program's name, and the document's path once it has one.
QString windowTitle(const QString& fileName);

// The update page, told which program and version is asking:
// https://<host>/update.php?app=win_<id>_<version>
QUrl updateCheckUrl(const QString& applicationId = ApplicationId, const QString& version = Version);

// The user manual, "manual.pdf" in the directory of the executable.
QUrl userManualUrl(const QString& applicationDir);

} // namespace AppInfo
