#include "app/ExportDialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>

namespace vf {
namespace {

class DesktopDialogs final : public ExportDialogs {
public:
    QString chooseFolder(const QString& message, const QString& confirmButton) override {
        QFileDialog dialog(nullptr, message);
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setLabelText(QFileDialog::Accept, confirmButton);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
        return dialog.selectedFiles().constFirst();
    }

    void warn(const QString& message, const QString& informativeText) override {
        QMessageBox box(QMessageBox::Warning, message, message, QMessageBox::Ok);
        box.setInformativeText(informativeText);
        box.exec();
    }

    bool openFolder(const QString& path) override { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); }
};

}  // namespace

std::shared_ptr<ExportDialogs> makeDesktopDialogs() { return std::make_shared<DesktopDialogs>(); }

}  // namespace vf
