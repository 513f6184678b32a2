#pragma once
// The application as a one-window tool: the window opens at 700 × 600, can
// shrink to 600 × 540 once shown, and closing it quits. A scan that runs is
// left running: the scanner is a process of its own.

#include <QObject>
#include <QWidget>

#include <memory>

#include "app/views/ContentView.h"

class QApplication;

namespace vf {

class AppDelegate : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(QApplication& app);
    // Quit after the last window closes: yes.
    static bool quitsAfterLastWindowClosed() { return true; }
    void applicationWillTerminate();
};

class VelliformApp {
public:
    static constexpr QSize kDefaultSize{700, 600};
    static constexpr QSize kMinimumSize{600, 540};

    // `parts` replace the window's services (tests run the real window on a disk they made).
    explicit VelliformApp(QApplication& app, ContentView::Parts parts = {});
    ~VelliformApp();
    QWidget& window() { return *window_; }
    ContentView& content() { return *content_; }

private:
    std::unique_ptr<AppDelegate> appDelegate_;
    std::unique_ptr<QWidget> window_;
    ContentView* content_;
};

}  // namespace vf
