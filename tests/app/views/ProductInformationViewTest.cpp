#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "app/views/BuildInfo.h"
#include "app/views/ProductInformationView.h"
#include "tests/app/views/ViewTest.h"

class ProductInformationViewTest : public QObject {
    Q_OBJECT
private slots:
    void textsAndLinks() {
        vf::ProductInformationView view;
        QCOMPARE(view.findChild<QLabel*>("version")->text(),
                 QString("Version %1 (Build %2)").arg(vf::build::versionString(), vf::build::buildNumber()));
        QVERIFY(vf::ProductInformationView::privacyText().endsWith("not uploaded to " + vf::build::vendorName() + "."));
        bool apostrophe = false;
        for (auto* l : view.findChildren<QLabel*>())
            apostrophe |= l->text().startsWith(QString::fromUtf8("Results depend on the card\u2019s condition"));
        QVERIFY(apostrophe);

        QMap<QString, QUrl> links;
        for (auto* b : view.findChildren<QPushButton*>("link")) links[b->text()] = b->property("url").toUrl();
        const QUrl site = vf::build::vendorSite();
        QCOMPARE(links.value("Website"), site);
        for (const auto& [title, path] : {std::pair{"Privacy", "/privacy.html"}, {"Terms", "/terms.html"},
                                          {"Support", "/support.html"}}) {
            QCOMPARE(links.value(title).host(), site.host());
            QCOMPARE(links.value(title).path(), QString(path));
        }
    }
};

VF_VIEW_TEST(ProductInformationViewTest)
#include "ProductInformationViewTest.moc"
