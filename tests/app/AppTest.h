#pragma once
// What the tests of the application's back end share.

#include <QCoreApplication>
#include <QString>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "common/Records.h"
#include "tests/support/TestSupport.h"

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace vf::test {

// The one Qt application object that tests of Qt classes need for their event loop.
inline void ensureQtApp() {
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);  // lives as long as the test program
}

// A recovered file as the scanner's record lists it.
inline RecoveredFileInfo listed(const std::string& name, std::uint64_t size) {
    RecoveredFileInfo f;
    f.id = f.fileName = name;
    f.fileType = "JPEG";
    f.fileSize = size;
    return f;
}

using Contents = std::map<std::string, std::vector<std::uint8_t>>;

// Everything in a folder by name, hidden files included.
inline Contents contents(const std::filesystem::path& dir) {
    Contents out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) out[e.path().filename()] = readFile(e.path());
    return out;
}

}  // namespace vf::test
