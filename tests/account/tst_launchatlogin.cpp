// The General pane's start-at-login switch, clicked as a user would, against a private
// XDG_CONFIG_HOME: what it writes and removes at the real path, and what it shows when it cannot.
#include "account/PreferencesWindow.h"
#include "account/QDPreferenceGeneralController.h"
#include "app/QSLoginModel.h"
#include "tests/account/UserInput.h"
#include "tests/support/Fixtures.h"
#include "tests/support/GuiTestMain.h"
#include "tests/support/Skips.h"

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QPushButton>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using UserInput::toggle;

namespace {

bool g_privateMounts = false;

// Folder modes do not stop root: there a folder becomes read-only by a read-only bind mount of
// itself, in the private mount namespace that main() entered.
bool makeReadOnly(const QString &folder)
{
    if (::geteuid() != 0)
        return QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
    const QByteArray path = QFile::encodeName(folder);
    return g_privateMounts && ::mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr) == 0
        && ::mount(nullptr, path.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}

void undoReadOnly(const QString &folder)
{
    if (::geteuid() == 0)
        ::umount(QFile::encodeName(folder).constData());
    else
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

} // namespace

class LaunchAtLoginTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<PreferencesWindowController> m_window;
    QString m_config;

    QDPreferenceGeneralController *general() const
    {
        return dynamic_cast<QDPreferenceGeneralController *>(m_window->pane(u"GeneralPreferences"_s));
    }
    QCheckBox *box() const { return m_window->findChild<QCheckBox *>(u"launchAtLoginButton"_s); }
    QLabel *message() const { return m_window->findChild<QLabel *>(u"launchAtLoginMessage"_s); }
    QString entry() const { return m_config + u"/autostart/quillo.desktop"_s; }
    void useConfig(const QString &folder)
    {
        m_config = folder;
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder));
    }
    void reopen()
    {
        m_window->close();
        m_window->showWindow();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }
    // The pane's state as the user sees it: the switch, and the message if one is shown.
    void expectShown(bool on, const QString &messagePart)
    {
        QCOMPARE(box()->isChecked(), on);
        QCOMPARE(message()->isVisible(), !messagePart.isEmpty());
        if (!messagePart.isEmpty())
            QVERIFY2(message()->text().contains(messagePart), qPrintable(message()->text()));
    }

private slots:
    void init()
    {
        static int n = 0;
        useConfig(TestEnvironment::path(u"config%1/x"_s.arg(++n)).chopped(2));
        QSLoginModel::setLogout();
        m_window = createPreferencesWindow();
        m_window->showWindow();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }
    void cleanup() { m_window.reset(); }

    void theSwitchWritesAndRemovesTheEntry()
    {
        QVERIFY(box()->isVisible());
        QCOMPARE(box()->text(), u"登录时启动 Quillo"_s);
        // Below the rows the pane had.
        QVERIFY(box()->y() > general()->logoutButton()->y());
        expectShown(false, {});

        toggle(box());
        expectShown(true, {});
        QVERIFY(QFileInfo(entry()).isFile());
        QProcess validate;
        validate.start(u"desktop-file-validate"_s, { entry() });
        QVERIFY(validate.waitForFinished(30000));
        QCOMPARE(validate.exitCode(), 0);
        // It starts the desktop program that is really there, hidden.
        const QString program = TestEnvironment::binDir() + u"/quillo-desktop"_s;
        QVERIFY(QFileInfo(program).isExecutable());
        const QByteArray exec = "\nExec=" + QFile::encodeName(program) + " --hidden\n";
        QVERIFY(Fixtures::readAll(entry()).contains(exec));

        toggle(box());
        expectShown(false, {});
        QVERIFY(!QFileInfo::exists(entry()));
    }

    // The switch shows whether the entry is there each time the pane appears.
    void theSwitchFollowsTheEntry()
    {
        QVERIFY(QDir().mkpath(m_config + u"/autostart"_s));
        QFile written(entry());
        QVERIFY(written.open(QIODevice::WriteOnly));
        written.write("[Desktop Entry]\nType=Application\nName=Quillo\nExec=quillo-desktop --hidden\n");
        written.close();
        reopen();
        expectShown(true, {});
        QVERIFY(QFile::remove(entry()));
        reopen();
        expectShown(false, {});
    }

    void aMissingConfigurationFolderIsExplained()
    {
        useConfig(TestEnvironment::root() + u"/missing-config"_s);
        reopen();
        toggle(box());
        expectShown(false, u"不存在"_s);
        QVERIFY(message()->text().contains(m_config));
        QVERIFY(!QFileInfo::exists(m_config));
        // The message goes once the pane is shown again.
        reopen();
        expectShown(false, {});
    }

    void aReadOnlyFolderIsExplained()
    {
        if (!makeReadOnly(m_config))
            QUILLO_SKIP(NoMountNamespace, "this machine allows no read-only folder for root (no private mount namespace)");
        toggle(box());
        undoReadOnly(m_config);
        expectShown(false, ::geteuid() == 0 ? u"只读文件系统"_s : u"没有写入权限"_s);
        QVERIFY(message()->text().contains(m_config + u"/autostart"_s));
        QVERIFY(!QFileInfo::exists(m_config + u"/autostart"_s));
    }

    // The entry exists but cannot be removed: the switch stays on, as the entry does.
    void anEntryThatCannotBeRemovedKeepsTheSwitchOn()
    {
        toggle(box());
        expectShown(true, {});
        if (!makeReadOnly(m_config + u"/autostart"_s))
            QUILLO_SKIP(NoMountNamespace, "this machine allows no read-only folder for root (no private mount namespace)");
        toggle(box());
        undoReadOnly(m_config + u"/autostart"_s);
        expectShown(true, u"无法取消登录时启动"_s);
        QVERIFY(QFileInfo(entry()).isFile());
    }
};

int main(int argc, char *argv[])
{
    // While the process has one thread: a mount namespace of its own, whose mounts go with it.
    if (::geteuid() == 0)
        g_privateMounts
            = ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    TestEnvironment::setUp();
    QApplication app(argc, argv);
    enableGuiTestHooks();
    LaunchAtLoginTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_launchatlogin.moc"
