// The window tests run in one QApplication on the offscreen platform, with
// the engine gate in strict mode: an engine call from a thread that may not
// use the engine then aborts the test.
#include <gtest/gtest.h>

#include <QApplication>
#include <QStandardPaths>
#include <cstdlib>

#include "gui/Engine.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(argc, argv);
    vorn::gui::EngineGate::setStrict(true);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
