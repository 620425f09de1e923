#include <QCoreApplication>
#include <gtest/gtest.h>

// Core tests that need an event loop (timers, a run's sessions) run under one application
// without windows.
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
