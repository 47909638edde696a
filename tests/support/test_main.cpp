#include <QCoreApplication>

#include <gtest/gtest.h>

// Every suite runs inside a QCoreApplication so tests can spin the event loop
// (queued hops to the main thread, timers, sockets).
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
