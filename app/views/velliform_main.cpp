#include <QApplication>

#include "app/views/AppDelegate.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    vf::VelliformApp velliform(app);
    velliform.window().show();
    return app.exec();
}
