#include "app/views/ProductInformationView.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/views/BuildInfo.h"
#include "app/views/Symbols.h"
#include "app/views/Theme.h"
#include "app/views/Widgets.h"

namespace vf {

namespace {

QWidget* section(const QString& symbol, const QColor& tint, const QString& title, const QString& text) {
    auto* card = ui::card();
    auto* row = new QHBoxLayout(card);
    row->setContentsMargins(14, 12, 14, 12);
    row->setSpacing(12);
    auto* icon = ui::symbolLabel(symbol, 20, tint);
    row->addWidget(icon, 0, Qt::AlignTop);
    auto* col = new QVBoxLayout;
    col->setSpacing(4);
    auto* heading = new QLabel(title);
    heading->setFont(theme::font(11, QFont::DemiBold));
    auto* body = ui::caption(text, 0.7);
    body->setWordWrap(true);
    col->addWidget(heading);
    col->addWidget(body);
    row->addLayout(col, 1);
    return card;
}

}  // namespace

QString ProductInformationView::versionLine() {
    return QStringLiteral("Version %1 (Build %2)").arg(build::versionString(), build::buildNumber());
}

QString ProductInformationView::privacyText() {
    return QStringLiteral(
               "Velliform reads the selected card and writes recovery data locally. Photos, videos, and recovered "
               "file contents are not uploaded to %1.")
        .arg(build::vendorName());
}

ProductInformationView::ProductInformationView(QWidget* parent) : QDialog(parent), site_(build::vendorSite()) {
    setWindowTitle(QStringLiteral("About Velliform"));
    setModal(true);
    setFixedWidth(440);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(22, 16, 22, 20);
    layout->setSpacing(12);

    auto* top = new QHBoxLayout;
    top->addStretch();
    auto* close = ui::symbolButton(QStringLiteral("xmark.circle.fill"), 22, theme::white(0.45));
    close->setObjectName(QStringLiteral("close"));
    close->setToolTip(QStringLiteral("Close"));
    connect(close, &QToolButton::clicked, this, &QDialog::accept);
    top->addWidget(close);
    layout->addLayout(top);

    auto* icon = new QLabel;
    icon->setPixmap(applicationIcon().pixmap(72, 72));
    icon->setAlignment(Qt::AlignCenter);
    layout->addWidget(icon);
    auto* name = new QLabel(QStringLiteral("Velliform"));
    name->setFont(theme::font(18, QFont::Bold));
    name->setAlignment(Qt::AlignCenter);
    layout->addWidget(name);
    // The product runs here on Linux; the tag line says so rather than naming another system.
    auto* tagline = ui::caption(QStringLiteral("SD card photo recovery for Linux"), 0.6);
    tagline->setAlignment(Qt::AlignCenter);
    layout->addWidget(tagline);
    auto* version = ui::caption(versionLine(), 0.5);
    version->setObjectName(QStringLiteral("version"));
    version->setAlignment(Qt::AlignCenter);
    layout->addWidget(version);
    layout->addSpacing(6);

    layout->addWidget(section(QStringLiteral("checkmark.circle.fill"), theme::green,
                              QStringLiteral("Your files stay on your computer"), privacyText()));
    layout->addWidget(section(QStringLiteral("exclamationmark.triangle.fill"), theme::orange,
                              QStringLiteral("Recovery is not guaranteed"),
                              QStringLiteral("Results depend on the card\u2019s condition and whether data has been "
                                             "overwritten. Stop using the source card and always export to a "
                                             "different drive.")));
    layout->addSpacing(4);

    auto* links = new QHBoxLayout;
    links->setSpacing(18);
    links->addStretch();
    const std::pair<const char*, const char*> kLinks[] = {
        {"Website", ""}, {"Privacy", "/privacy.html"}, {"Terms", "/terms.html"}, {"Support", "/support.html"}};
    for (const auto& [title, path] : kLinks) {
        const QUrl url = *path ? build::vendorPage(QString::fromLatin1(path)) : site_;
        auto* link = new QPushButton(QString::fromLatin1(title));
        link->setObjectName(QStringLiteral("link"));
        link->setProperty("url", url);
        link->setFlat(true);
        link->setCursor(Qt::PointingHandCursor);
        link->setToolTip(url.toString());
        link->setStyleSheet(QStringLiteral("QPushButton { background: transparent; border: none; color: #0a84ff; "
                                           "padding: 2px; } QPushButton:hover { color: #4aa3ff; }"));
        connect(link, &QPushButton::clicked, this, [url] { QDesktopServices::openUrl(url); });
        links->addWidget(link);
    }
    links->addStretch();
    layout->addLayout(links);
}

}  // namespace vf
