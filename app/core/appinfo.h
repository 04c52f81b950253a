// Who the program is: its names, version and web addresses, and the texts
// built from them.
#pragma once

#include <QString>
#include <QUrl>

namespace AppInfo {

inline constexpr char OrganizationName[] = "Osterlane";
inline constexpr char OrganizationDomain[] = "osterlane.com";
inline constexpr char ApplicationName[] = "Osterlane Color Tonemolder";
inline constexpr char Version[] = "1.9";

// The desktop entry, icon and AppStream component of the installed program.
inline constexpr char DesktopId[] = "com.osterlane.Tonemolder";

// The identifier the update page knows this program by.
inline constexpr char ApplicationId[] = "{B42DC0FC-259B-40C9-9EEB-43E242A2C6C0}";

// The platform tag the update page answers for.
inline constexpr char PlatformTag[] = "linux";

// The maker's update page, unless the setting below names another one.
inline constexpr char DefaultUpdatePage[] = "https://www.osterlane.com/update.php";
inline constexpr char UpdatePageKey[] = "updates/page";

// Main-window title: the program's name, and the document's path once it has one.
QString windowTitle(const QString& fileName);

// The update page, told which program and version is asking:
// <page>?app=<platform>_<id>_<version>. Invalid when the page is not an
// http or https address with a host.
QUrl updateCheckUrl(const QString& page = DefaultUpdatePage, const QString& applicationId = ApplicationId,
                    const QString& version = Version);

// The user manual, "manual.pdf" in the directory of the executable.
QString userManualPath(const QString& applicationDir);
QUrl userManualUrl(const QString& applicationDir);

} // namespace AppInfo
