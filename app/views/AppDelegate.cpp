#include "app/views/AppDelegate.h"

#include <QApplication>
#include <QThread>
#include <QVBoxLayout>

#include <cstdio>

#include "app/views/ContentView.h"
#include "app/views/Symbols.h"
#include "app/views/Theme.h"

namespace vf {

AppDelegate::AppDelegate(QApplication& app) : QObject(&app) {
    app.setQuitOnLastWindowClosed(quitsAfterLastWindowClosed());
    connect(&app, &QCoreApplication::aboutToQuit, this, &AppDelegate::applicationWillTerminate);
}

void AppDelegate::applicationWillTerminate() {
    std::printf("🛑 App terminating gracefully...\n");
    std::fflush(stdout);
    QThread::msleep(100);
}

VelliformApp::VelliformApp(QApplication& app, ContentView::Parts parts) {
    std::printf("🚀 App initializing...\n");
    std::fflush(stdout);
    QApplication::setApplicationName(QStringLiteral("Velliform"));
    QApplication::setDesktopFileName(QStringLiteral("velliform"));
    QApplication::setWindowIcon(applicationIcon());
    theme::apply(app);
    appDelegate_ = std::make_unique<AppDelegate>(app);
    // One window and no menu: there is no command that opens a second one.
    window_ = std::make_unique<QWidget>();
    window_->setWindowTitle(QStringLiteral("Velliform"));
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    content_ = new ContentView(std::move(parts));
    layout->addWidget(content_);
    QObject::connect(content_, &ContentView::exportRequested, content_,
                     [content = content_](std::optional<std::vector<RecoveredFileInfo>> files) {
                         content->helperManager().chooseExportDestination(std::move(files));
                     });
    window_->resize(kDefaultSize);
}

VelliformApp::~VelliformApp() = default;

}  // namespace vf
