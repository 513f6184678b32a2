#include "app/views/BuildInfo.h"

#ifndef VF_APP_VERSION
#define VF_APP_VERSION "0.0"
#endif
#ifndef VF_BUILD_NUMBER
#define VF_BUILD_NUMBER "0"
#endif
#ifndef VF_VENDOR_NAME
#define VF_VENDOR_NAME "Quorvane"
#endif
#ifndef VF_VENDOR_SITE
#define VF_VENDOR_SITE "https://quorvane.example"
#endif

namespace vf::build {

QString versionString() { return QStringLiteral(VF_APP_VERSION); }
QString buildNumber() { return QStringLiteral(VF_BUILD_NUMBER); }
QString vendorName() { return QStringLiteral(VF_VENDOR_NAME); }
QUrl vendorSite() { return QUrl(QStringLiteral(VF_VENDOR_SITE)); }

QUrl vendorPage(const QString& path) {
    QUrl url = vendorSite();
    QString base = url.path();
    while (base.endsWith(QLatin1Char('/'))) base.chop(1);
    url.setPath(base + path);
    return url;
}

}  // namespace vf::build
