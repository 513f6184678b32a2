#include <QApplication>

#include "app/views/AppDelegate.h"
#include "app/views/ContentView.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    vf::VelliformApp velliform(app);
    QObject::connect(&velliform.content(), &vf::ContentView::exportRequested, &velliform.content(),
                     [&velliform](std::optional<std::vector<vf::RecoveredFileInfo>> files) {
                         velliform.content().helperManager().chooseExportDestination(std::move(files));
                     });
    velliform.window().show();
    return app.exec();
}
