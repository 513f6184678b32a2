#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstring>

#include "app/views/AppDelegate.h"
#include "app/views/ContentView.h"
#include "app/views/Symbols.h"

// Velliform [--image DISK_IMAGE] [--export-icon PNG]
//   --image        opens the window and recovers from the disk image at once
//   --export-icon  writes the application icon (256 px) for the desktop's menu and exits
int main(int argc, char** argv) {
    const char* image = nullptr;
    const char* icon = nullptr;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--image") == 0) image = argv[++i];
        else if (std::strcmp(argv[i], "--export-icon") == 0) icon = argv[++i];
    }
    QApplication app(argc, argv);
    if (icon) {
        const bool ok = vf::applicationIconImage(256).save(QString::fromLocal8Bit(icon), "PNG");
        if (!ok) std::fprintf(stderr, "Velliform: cannot write %s\n", icon);
        return ok ? 0 : 1;
    }
    vf::VelliformApp velliform(app);
    vf::ContentView& content = velliform.content();
    velliform.window().show();
    if (image) {
        const QString path = QString::fromLocal8Bit(image);
        QTimer::singleShot(0, &content, [&content, path] {
            content.helperManager().setEnabledFormats(content.settings().enabledFormats());
            content.helperManager().setMinFileSizeBytes(content.settings().minFileSizeBytes());
            content.helperManager().openDiskImage(path);
        });
    }
    return app.exec();
}
