#include "account/QDLoginViewController.h"
#include "app/Preferences.h"
#include "app/QSLoginModel.h"
#include "tests/account/UserInput.h"
#include "tests/support/DrawnImage.h"
#include "tests/support/GuiTestMain.h"
#include "tests/support/TestService.h"
#include "ui/Alert.h"
#include "ui/Browser.h"
#include "ui/BusyIndicator.h"
#include "ui/QDLuncherController.h"
#include "ui/QDView.h"

#include <QCheckBox>
#include <QLabel>
#include <QMainWindow>
#include <QPointer>
#include <QPushButton>
#include <QStyle>

using namespace Qt::StringLiterals;
using namespace UserInput;

class LoginScreenTest : public QObject
{
    Q_OBJECT

    TestService m_service;
    std::unique_ptr<QMainWindow> m_window;
    QPointer<QDLoginViewController> m_screen;
    int m_welcomeOpened = 0;
    int m_addresses = 0;

    template <typename T>
    T *find(const QString &name) const
    {
        for (QWidget *root : {static_cast<QWidget *>(m_screen.data()), static_cast<QWidget *>(m_screen->registerView()),
                              static_cast<QWidget *>(m_screen->findPasswordView())}) {
            if (T *widget = root->findChild<T *>(name))
                return widget;
        }
        qFatal("no control %s", qPrintable(name));
    }
    QLineEdit *field(const QString &name) const { return find<QLineEdit>(name); }
    QPushButton *button(const QString &name) const { return find<QPushButton>(name); }
    QLabel *label(const QString &name) const { return find<QLabel>(name); }
    // The marks as the user should see them, made without the screen's code: the success mark
    // from the image file in the source tree, the others from the platform's style.
    static QImage checkMark() { return QImage(TestEnvironment::sourceDir() + u"/ui/images/Check.png"_s); }
    static QImage styleMark(QStyle::StandardPixmap which)
    {
        return QApplication::style()->standardIcon(which).pixmap(64, 64).toImage();
    }
    static QImage cautionMark() { return styleMark(QStyle::SP_MessageBoxWarning); }
    static QImage invalidMark() { return styleMark(QStyle::SP_MessageBoxCritical); }
    // Empty when the mark draws image over the panel behind it; otherwise what differs.
    static QString draws(QLabel *mark, const QImage &image)
    {
        const QImage drawn = mark->grab().toImage();
        return DrawnImage::difference(drawn, DrawnImage::over(image, drawn.pixelColor(0, 0), mark->size()));
    }
    static QString shows(QLabel *mark, const QImage &image)
    {
        return mark->isVisible() ? draws(mark, image) : u"the mark is hidden"_s;
    }
    QString newAddress() { return u"user%1.%2@example.com"_s.arg(++m_addresses).arg(QCoreApplication::applicationPid()); }

    // Clicks an empty spot of the panel in front, which ends the editing of the focused field.
    void leaveField()
    {
        QDView *panel = m_screen->loginStatus() == 3 ? m_screen->registerView() : m_screen->loginView();
        click(panel, QPoint(4, panel->height() / 2));
    }
    void openRegistration()
    {
        click(button(u"finishButton"_s));
        QCOMPARE(m_screen->loginStatus(), 3);
    }
    void fillRegistration(const QString &email, const QString &name, const QString &password)
    {
        type(field(u"registEmailTextField"_s), email);
        type(field(u"nameTextField"_s), name);
        type(field(u"registPasswordTextField"_s), password);
        type(field(u"registConfirmPasswordTextField"_s), password);
        leaveField();
    }
    QString message() const
    {
        QLabel *line = label(u"registErrorTextField"_s);
        return line->isVisible() ? line->text() : QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
        m_service.setAsServiceHost();
        // Like the shell: the recent-builds screen replaces (and deletes) the login screen.
        QDLuncherController::setScreenBuilder(QDLuncherController::Screen::Welcome, [this] {
            ++m_welcomeOpened;
            delete m_screen.data();
        });
    }

    void init()
    {
        Alert::clearHistory();
        Browser::clearHistory();
        QSLoginModel::setLogout();
        m_welcomeOpened = 0;
        m_window = std::make_unique<QMainWindow>();
        m_screen = new QDLoginViewController;
        m_window->setCentralWidget(m_screen);
        m_screen->setMainWindow(m_window.get());
        m_window->resize(640, 520);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    }

    void cleanup() { m_window.reset(); }

    void loadsWithTheLoginPanelAndSwitchesPanels()
    {
        QCOMPARE(m_screen->windowTitle(), u"欢迎使用Quillo"_s);
        QCOMPARE(m_screen->loginStatus(), 1);
        QVERIFY(!button(u"cancelButton"_s)->isVisible());
        QVERIFY(!find<BusyIndicator>(u"loginIndicator"_s)->isVisible());
        QCOMPARE(find<QCheckBox>(u"agreementButton"_s)->palette().color(QPalette::WindowText), QColor(Qt::blue));
        QVERIFY(!m_screen->registViewAdded() && !m_screen->registerView()->parentWidget());
        QCOMPARE(m_screen->returnKeyButton(), button(u"loginButton"_s));

        QPushButton *finish = button(u"finishButton"_s);
        QPushButton *cancel = button(u"cancelButton"_s);
        openRegistration();
        QVERIFY(!m_screen->loginView()->isVisible() && m_screen->registerView()->isVisible());
        QCOMPARE(m_screen->registerView()->geometry(), m_screen->loginView()->geometry());
        QVERIFY(cancel->isVisible());
        QCOMPARE(cancel->text(), u"取消"_s);
        QVERIFY(!finish->isEnabled());
        QCOMPARE(finish->text(), u"注册"_s);
        QCOMPARE(m_screen->returnKeyButton(), nullptr); // finishButton carries Return but is disabled

        click(cancel);
        QCOMPARE(m_screen->loginStatus(), 1);
        QVERIFY(m_screen->loginView()->isVisible() && !m_screen->registerView()->isVisible());
        QVERIFY(!cancel->isVisible() && finish->isEnabled());
        QCOMPARE(m_screen->returnKeyButton(), button(u"loginButton"_s));

        click(button(u"findPasswordButton"_s));
        QCOMPARE(m_screen->loginStatus(), 2);
        QVERIFY(m_screen->loginView()->isVisible()); // the recovery panel lies over it
        QWidget *area = m_screen->loginView()->parentWidget();
        QVERIFY(m_screen->findPasswordView()->isAncestorOf(area->childAt(area->rect().center())));
        QCOMPARE(finish->text(), u"提交"_s);
        QVERIFY(cancel->isVisible());
        QCOMPARE(m_screen->returnKeyButton(), finish);

        click(cancel);
        QWidget *placedIn = m_screen->registerView()->parentWidget();
        openRegistration();
        QCOMPARE(m_screen->registerView()->parentWidget(), placedIn);
    }

    void findPasswordButtonColoursOnHover()
    {
        QPushButton *link = button(u"findPasswordButton"_s);
        QTest::mouseMove(link, link->rect().center());
        QTRY_COMPARE(link->grab().toImage().pixelColor(2, 2), QColor(Qt::blue));
        QTest::mouseMove(m_screen->loginView(), QPoint(3, 3));
        QTRY_COMPARE(link->grab().toImage().pixelColor(2, 2), QColor(Qt::red));
    }

    void loginNeedsBothFieldsAndHidesTheRecoveryButton()
    {
        Alert::setNextAnswer(0);
        QTest::keyClick(field(u"passwordTextField"_s), Qt::Key_Return);
        QCOMPARE(Alert::history(), QStringList{u"请输入邮箱哦"_s});
        QVERIFY(!button(u"findPasswordButton"_s)->isVisible());

        field(u"emailTextField"_s)->setText(u"\n"_s); // a lone line feed is empty
        Alert::setNextAnswer(0);
        click(button(u"loginButton"_s));
        type(field(u"emailTextField"_s), u"someone@example.com"_s);
        Alert::setNextAnswer(0);
        click(button(u"loginButton"_s));
        QCOMPARE(Alert::history(), (QStringList{u"请输入邮箱哦"_s, u"请输入邮箱哦"_s, u"请输入密码哦"_s}));
        QCOMPARE(m_screen->cloudClient(), nullptr);
    }

    void passwordChecks()
    {
        openRegistration();
        QLineEdit *password = field(u"registPasswordTextField"_s);
        QLineEdit *confirmation = field(u"registConfirmPasswordTextField"_s);
        QLabel *passwordMark = label(u"passwordInvalidImage"_s);
        QLabel *confirmationMark = label(u"confirmPasswrodInvalidImage"_s);

        type(password, u"abcde"_s);
        leaveField();
        QCOMPARE(message(), u"密码长度必须大于6位"_s);
        QCOMPARE(shows(passwordMark, invalidMark()), QString());
        QVERIFY(!m_screen->passwordValide());
        type(password, u"f"_s); // six characters are enough
        QVERIFY(!passwordMark->isVisible() && m_screen->passwordValide());
        leaveField();
        QVERIFY(!passwordMark->isVisible());

        type(confirmation, u"abcde"_s); // equal in its first five, but too short comes first
        leaveField();
        QCOMPARE(message(), u"密码长度必须大于6位"_s);
        QVERIFY(confirmationMark->isVisible());
        type(confirmation, u"g"_s);
        leaveField();
        QCOMPARE(message(), u"两次输入密码不一致"_s);

        replace(confirmation, u"abcdef"_s);
        QVERIFY(m_screen->passwordValide() && m_screen->confirmPasswordValide());
        type(password, u"x"_s); // now differs from the filled confirmation
        QVERIFY(!m_screen->passwordValide() && !m_screen->confirmPasswordValide());
        QTest::keyClick(password, Qt::Key_Backspace);
        QVERIFY(m_screen->passwordValide() && m_screen->confirmPasswordValide());

        // Length counts UTF-16 code units: three emoji are six.
        erase(confirmation);
        erase(password);
        password->insert(u"😀😀a"_s);
        QVERIFY(!m_screen->passwordValide());
        password->insert(u"b"_s);
        QVERIFY(m_screen->passwordValide());
    }

    void emailAndNameChecksGateTheFinishButton()
    {
        openRegistration();
        QLineEdit *email = field(u"registEmailTextField"_s);
        type(email, u"a b@example.com"_s);
        leaveField();
        QCOMPARE(message(), u"邮件地址非法"_s);
        QVERIFY(label(u"emailInvalidImage"_s)->isVisible());
        erase(email);
        leaveField();
        QCOMPARE(message(), u"邮件地址不能为空"_s);
        type(field(u"nameTextField"_s), u"张三"_s);
        erase(field(u"nameTextField"_s));
        leaveField();
        QCOMPARE(message(), u"姓名不能为空"_s);

        fillRegistration(u"first_last%tag+x@my-host.example.cn"_s, u"张三"_s, u"secret"_s);
        QVERIFY(button(u"finishButton"_s)->isEnabled());
        QCOMPARE(message(), QString()); // all four valid hide the message line and its mark
        QVERIFY(!label(u"registCautionImage"_s)->isVisible());
        erase(field(u"nameTextField"_s));
        QVERIFY(!button(u"finishButton"_s)->isEnabled());
    }

    void emailPattern_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("valid");
        QTest::newRow("plain") << u"dev@example.com"_s << true;
        QTest::newRow("six letters") << u"a@b.abcdef"_s << true;
        QTest::newRow("seven letters") << u"a@b.abcdefg"_s << false;
        QTest::newRow("one letter") << u"a@b.c"_s << false;
        QTest::newRow("no dot after at") << u"a.b@com"_s << false;
        QTest::newRow("symbols before at") << u"a_b%c+d@x.org"_s << true;
        QTest::newRow("hyphen after at") << u"a@my-host.org"_s << true;
        QTest::newRow("inner space") << u"a b@x.org"_s << false;
        QTest::newRow("leading space") << u" a@x.org"_s << false;
        QTest::newRow("trailing space") << u"a@x.org "_s << false;
        QTest::newRow("trailing line feed") << u"a@x.org\n"_s << false;
        QTest::newRow("two addresses") << u"a@x.org b@y.org"_s << false;
        QTest::newRow("empty") << u""_s << false;
        QTest::newRow("absent") << QString() << false;
    }

    void emailPattern()
    {
        QFETCH(QString, address);
        QTEST(QDLoginViewController::validateEmail(address), "valid");
    }

    void reenteringRegistrationKeepsOnlyTheEmail()
    {
        openRegistration();
        fillRegistration(u"keep@example.com"_s, u"李四"_s, u"secret1"_s);
        QVERIFY(button(u"finishButton"_s)->isEnabled());
        click(button(u"cancelButton"_s));
        openRegistration();
        QCOMPARE(field(u"registEmailTextField"_s)->text(), u"keep@example.com"_s);
        for (const auto *name : {u"nameTextField", u"registPasswordTextField", u"registConfirmPasswordTextField"})
            QVERIFY(field(QString::fromUtf16(name))->text().isEmpty());
        QVERIFY(!button(u"finishButton"_s)->isEnabled());
        // Leaving the emptied name field must not count its old check.
        click(field(u"nameTextField"_s));
        leaveField();
        QCOMPARE(message(), u"姓名不能为空"_s);
        QVERIFY(!button(u"finishButton"_s)->isEnabled());
        type(field(u"nameTextField"_s), u"李四"_s);
        type(field(u"registPasswordTextField"_s), u"secret1"_s);
        type(field(u"registConfirmPasswordTextField"_s), u"secret1"_s);
        QVERIFY(button(u"finishButton"_s)->isEnabled());
    }

    void registerThenLogIn()
    {
        const QString email = newAddress();
        openRegistration();
        fillRegistration(email, u"王五"_s, u"secret1"_s);
        Alert::setNextAnswer(0);
        click(button(u"finishButton"_s));
        QCOMPARE(Alert::history(), QStringList{u"注册需同意Quillo服务条款"_s});
        QCOMPARE(m_screen->cloudClient(), nullptr);

        toggle(find<QCheckBox>(u"agreementButton"_s));
        Alert::setNextAnswer(0); // "确定" on the success sheet
        QTest::keyClick(field(u"registConfirmPasswordTextField"_s), Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(m_screen->loginStatus(), 1, 10000);
        QCOMPARE(Alert::history().last(), u"恭喜您，注册成功!"_s);
        QCOMPARE(label(u"registErrorTextField"_s)->text(), u"注册成功！"_s);
        QCOMPARE(draws(label(u"registCautionImage"_s), checkMark()), QString());
        QCOMPARE(button(u"cancelButton"_s)->text(), u"返回"_s);
        QVERIFY(!button(u"cancelButton"_s)->isVisible());
        QVERIFY(field(u"emailTextField"_s)->text().isEmpty());

        // The password goes out exactly as typed, spaces included.
        const TestService::Account spaced = m_service.registerAndLogin(newAddress(), u" pass word "_s);
        QVERIFY2(spaced.valid(), qPrintable(spaced.error));
        type(field(u"emailTextField"_s), spaced.email);
        type(field(u"passwordTextField"_s), spaced.password);
        click(button(u"loginButton"_s));
        QCOMPARE(label(u"loginLabel"_s)->text(), u"正在登录..."_s);
        QVERIFY(label(u"loginLabel"_s)->isVisible() && find<BusyIndicator>(u"loginIndicator"_s)->isAnimating());
        QTRY_COMPARE_WITH_TIMEOUT(m_welcomeOpened, 1, 10000);
        QVERIFY(m_screen.isNull());
        QVERIFY(QSLoginModel::isLogged());
        QCOMPARE(QSLoginModel::currentUid().toString(), spaced.userKey);
        QCOMPARE(QSLoginModel::currentUserInfo().toMap().value(u"u_api_token"_s).toString(), spaced.token);
    }

    void refusalsShowTheServiceMessage()
    {
        const TestService::Account known = m_service.registerAndLogin(newAddress());
        QVERIFY2(known.valid(), qPrintable(known.error));

        type(field(u"emailTextField"_s), known.email);
        type(field(u"passwordTextField"_s), u"wrong-password"_s);
        Alert::setNextAnswer(0);
        QTest::keyClick(field(u"passwordTextField"_s), Qt::Key_Return);
        const QString wrong =
            m_service.call(u"user/login"_s, {{u"email"_s, known.email}, {u"password"_s, u"wrong-password"_s}}).message();
        QVERIFY(!wrong.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(Alert::history(), QStringList{wrong}, 10000);
        QVERIFY(!label(u"loginLabel"_s)->isVisible() && !find<BusyIndicator>(u"loginIndicator"_s)->isAnimating());
        QCOMPARE(field(u"emailTextField"_s)->text(), known.email);
        QCOMPARE(field(u"passwordTextField"_s)->text(), u"wrong-password"_s);
        QCOMPARE(m_welcomeOpened, 0);
        QVERIFY(!QSLoginModel::isLogged());

        openRegistration();
        fillRegistration(known.email, u"重复"_s, u"secret1"_s);
        toggle(find<QCheckBox>(u"agreementButton"_s));
        click(button(u"finishButton"_s));
        const QString taken = m_service
                                  .call(u"user/register"_s, {{u"email"_s, known.email},
                                                             {u"name"_s, u"重复"_s},
                                                             {u"password"_s, u"secret1"_s}})
                                  .message();
        QTRY_COMPARE_WITH_TIMEOUT(message(), taken, 10000);
        QCOMPARE(shows(label(u"registCautionImage"_s), cautionMark()), QString());
        QVERIFY(button(u"finishButton"_s)->isEnabled());
        QVERIFY(!find<BusyIndicator>(u"registIndicator"_s)->isAnimating());
    }

    void passwordRecovery()
    {
        const TestService::Account known = m_service.registerAndLogin(newAddress());
        QVERIFY2(known.valid(), qPrintable(known.error));
        click(button(u"findPasswordButton"_s));
        QLineEdit *email = field(u"findPasswordEmailTextField"_s);
        QLabel *result = label(u"findPasswordResultTextField"_s);
        QLabel *mark = label(u"findPasswordImage"_s);

        click(button(u"finishButton"_s));
        QCOMPARE(result->text(), u"邮件地址非法！"_s);
        QCOMPARE(shows(mark, cautionMark()), QString());
        type(email, u"not-an-address"_s);
        QVERIFY(result->text().isEmpty() && !mark->isVisible());
        QTest::keyClick(email, Qt::Key_Return);
        QCOMPARE(result->text(), u"邮件地址非法！"_s);
        QCOMPARE(m_screen->cloudClient(), nullptr);

        const qsizetype mails = m_service.outboxFiles().size();
        replace(email, known.email);
        QTest::keyClick(email, Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(result->text(), u"邮件已成功发送！"_s, 10000);
        QCOMPARE(shows(mark, checkMark()), QString());
        QCOMPARE(button(u"cancelButton"_s)->text(), u"返回"_s);
        QCOMPARE(m_service.outboxFiles().size(), mails + 1);

        // The service refuses an address longer than mail allows, which the screen's check lets through.
        const QString unknown = QString(250, u'a') + u"@example.com"_s;
        replace(email, unknown);
        click(button(u"finishButton"_s));
        const QString refusal = m_service.call(u"user/forgetPassword"_s, {{u"email"_s, unknown}}).message();
        QVERIFY(!refusal.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(result->text(), refusal, 10000);
        QCOMPARE(shows(mark, cautionMark()), QString());
        QCOMPARE(m_screen->loginStatus(), 2);

        click(button(u"cancelButton"_s));
        click(button(u"findPasswordButton"_s));
        QCOMPARE(email->text(), unknown); // nothing is reset on the way back
        QCOMPARE(result->text(), refusal);
    }

    void termsPageOpensInTheBrowser()
    {
        openRegistration();
        click(button(u"agreementLinkButton"_s));
        QCOMPARE(Browser::openedUrls(), QStringList{m_service.baseUrl() + u"/about/termofservice"_s});
    }

    // A login reply without a usable user key makes no session: the screen stays and says so.
    void loginReplyWithoutUserKeyIsAFailure()
    {
        Alert::setNextAnswer(0);
        m_screen->loginSuccess(QVariantMap{{u"u_api_token"_s, u"token"_s}});
        QCOMPARE(m_welcomeOpened, 0);
        QVERIFY(!m_screen.isNull());
        QVERIFY(!QSLoginModel::isLogged());
        QCOMPARE(Alert::history().size(), 1);
        QVERIFY(Alert::history().constFirst().startsWith(u"登录失败"_s));
    }

    void errorRecordsWithoutMessageGetAText()
    {
        const QVariantMap record{{u"code"_s, u"500"_s}};
        Alert::setNextAnswer(0);
        m_screen->loginError(record);
        QCOMPARE(Alert::history(), QStringList{u"登录失败，请稍后重试"_s});
        openRegistration();
        m_screen->registError(QVariantMap{{u"code"_s, u"500"_s}, {u"message"_s, u""_s}});
        QCOMPARE(message(), u"注册失败，请稍后重试"_s);
        m_screen->findPasswordError(record);
        QCOMPARE(label(u"findPasswordResultTextField"_s)->text(), u"邮件发送失败，请稍后重试"_s);
    }
};

QUILLO_GUI_TEST_MAIN(LoginScreenTest)
#include "tst_loginscreen.moc"
