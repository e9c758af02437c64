#include "app/NotificationCenter.h"
#include "app/Notifications.h"
#include "tests/support/TestEnvironment.h"

using namespace Qt::StringLiterals;

class TestNotificationCenter : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void observersRunInsideThePostInOrder()
    {
        NotificationCenter &center = NotificationCenter::defaultCenter();
        QObject first, second;
        QStringList calls;
        center.addObserver(&first, Notifications::NewArchive, [&] { calls << u"first"_s; });
        center.addObserver(&second, Notifications::NewArchive, [&] { calls << u"second"_s; });
        center.addObserver(&second, Notifications::EnableBuildItem, [&] { calls << u"other"_s; });
        center.post(Notifications::NewArchive);
        // Synchronous: done by the time post() returns, and only for the posted name.
        QCOMPARE(calls, (QStringList{u"first"_s, u"second"_s}));
        center.removeObserver(&first);
        center.removeObserver(&second);
    }

    void destroyedObserverIsDropped()
    {
        NotificationCenter &center = NotificationCenter::defaultCenter();
        int calls = 0;
        {
            QObject observer;
            center.addObserver(&observer, Notifications::DisableBuildItem, [&] { ++calls; });
            center.post(Notifications::DisableBuildItem);
        }
        QCOMPARE(center.observerCount(Notifications::DisableBuildItem), 0);
        center.post(Notifications::DisableBuildItem);
        QCOMPARE(calls, 1);
    }

    void observerDestroyedDuringThePostIsNotCalled()
    {
        NotificationCenter &center = NotificationCenter::defaultCenter();
        auto *victim = new QObject;
        QObject killer;
        bool victimCalled = false;
        center.addObserver(&killer, Notifications::DisplayLoginWindow, [&] { delete victim; });
        center.addObserver(victim, Notifications::DisplayLoginWindow, [&] { victimCalled = true; });
        center.post(Notifications::DisplayLoginWindow);
        QVERIFY(!victimCalled);
        center.removeObserver(&killer);
    }

    void removeObserverByName()
    {
        NotificationCenter &center = NotificationCenter::defaultCenter();
        QObject observer;
        int a = 0, b = 0;
        center.addObserver(&observer, Notifications::NewArchive, [&] { ++a; });
        center.addObserver(&observer, Notifications::CloseDeviceLogWindow, [&] { ++b; });
        center.removeObserver(&observer, Notifications::NewArchive);
        center.post(Notifications::NewArchive);
        center.post(Notifications::CloseDeviceLogWindow);
        QCOMPARE(a, 0);
        QCOMPARE(b, 1);
        center.removeObserver(&observer);
    }
};

QUILLO_TEST_MAIN(TestNotificationCenter)
#include "tst_notificationcenter.moc"
