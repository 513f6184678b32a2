#pragma once
// The one Qt application object that tests of Qt classes need for their event loop.

namespace vf::test {

void ensureQtApp();

}  // namespace vf::test
