#pragma once
// The product information sheet: version, privacy statement, the limits of
// recovery and the vendor's links.

#include <QDialog>
#include <QUrl>

namespace vf {

class ProductInformationView : public QDialog {
    Q_OBJECT
public:
    explicit ProductInformationView(QWidget* parent = nullptr);

    QUrl site() const { return site_; }

    static QString versionLine();  // "Version 0.1 (Build 1)"
    static QString privacyText();

private:
    QUrl site_;
};

}  // namespace vf
