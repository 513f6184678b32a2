#pragma once
// Registration of the QtTest classes that test_views runs.

#include <QObject>

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace vf::test {

using Factory = std::function<std::unique_ptr<QObject>()>;
std::map<std::string, Factory>& registry();

template <class T>
struct Register {
    explicit Register(const char* name) {
        registry()[name] = [] { return std::make_unique<T>(); };
    }
};

}  // namespace vf::test

#define VF_VIEW_TEST(Class) static const vf::test::Register<Class> registered##Class(#Class);
