#include "tests/app/QtTestApp.h"

#include <QCoreApplication>

namespace vf::test {

void ensureQtApp() {
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);  // lives as long as the test program
}

}  // namespace vf::test
