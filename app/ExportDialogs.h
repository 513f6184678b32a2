#pragma once
// What an export asks of the desktop: a folder, a warning, the folder shown
// afterwards. An interface so that tests answer in the user's place.

#include <QString>
#include <atomic>
#include <memory>

namespace vf {

class ExportDialogs {
public:
    virtual ~ExportDialogs() = default;
    // A folder the user chose (may create one); empty when cancelled.
    virtual QString chooseFolder(const QString& message, const QString& confirmButton) = 0;
    // A modal warning with one "OK" button.
    virtual void warn(const QString& message, const QString& informativeText) = 0;
    // Shows the folder in the desktop's file manager.
    virtual bool openFolder(const QString& path) = 0;
};

// Qt's folder dialog, message box and the desktop's file manager.
std::shared_ptr<ExportDialogs> makeDesktopDialogs();

// Tells a running export to stop once its owner is gone (the application quits).
class ExportCancel {
public:
    ~ExportCancel() { *flag = true; }
    const std::shared_ptr<std::atomic<bool>> flag = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace vf
