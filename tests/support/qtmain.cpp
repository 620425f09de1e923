#include <QApplication>
#include <gtest/gtest.h>

// Tests that need an event loop (timers, windows) run under one offscreen application.
int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
