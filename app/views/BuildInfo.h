#pragma once
// What the build fixes about the product: its version and the vendor it is
// published by (set in CMake: VF_VENDOR_NAME, VF_VENDOR_SITE, VF_BUILD_NUMBER).

#include <QString>
#include <QUrl>

namespace vf::build {

QString versionString();  // the marketing version, "0.1"
QString buildNumber();    // the build, "1"
QString vendorName();
QUrl vendorSite();
QUrl vendorPage(const QString& path);  // the site with the path, "/privacy.html"

}  // namespace vf::build
