#include <QApplication>
#include <QTest>

#include <cstdio>
#include <cstdlib>

#include "app/views/Theme.h"
#include "tests/app/views/ViewTest.h"

namespace vf::test {
std::map<std::string, Factory>& registry() {
    static std::map<std::string, Factory> r;
    return r;
}
}  // namespace vf::test

// test_views [Class ...] [-- QtTest arguments]; no class runs them all.
int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    vf::theme::apply(app);
    std::vector<std::string> names;
    QStringList qtArgs{QString::fromLocal8Bit(argv[0])};
    bool pass = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") pass = true;
        else if (pass) qtArgs << QString::fromLocal8Bit(argv[i]);
        else names.push_back(a);
    }
    auto& reg = vf::test::registry();
    if (names.empty())
        for (const auto& [name, _] : reg) names.push_back(name);
    int failed = 0;
    for (const auto& name : names) {
        const auto it = reg.find(name);
        if (it == reg.end()) {
            std::fprintf(stderr, "test_views: no test class %s\n", name.c_str());
            return 2;
        }
        auto obj = it->second();
        failed += QTest::qExec(obj.get(), qtArgs);
    }
    return failed == 0 ? 0 : 1;
}
