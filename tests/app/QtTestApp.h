#pragma once
// The one Qt application object that tests of Qt classes need for their event loop.

#include <QCoreApplication>

namespace vf::test {

inline void ensureQtApp() {
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);  // lives as long as the test program
}

}  // namespace vf::test
