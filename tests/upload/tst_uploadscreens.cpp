// The pieces of the upload window on their own: the drop target's rules, the form's rules, the
// QR code, and the window's closing and ownership. No service is needed.

#include "app/NotificationCenter.h"
#include "app/Notifications.h"
#include "tests/support/GuiTestMain.h"
#include "tests/support/QrReference.h"
#include "tests/upload/UploadWindowDriver.h"
#include "upload/QDAppInfoViewController.h"
#include "upload/QDDragDropView.h"
#include "upload/QDScreenStack.h"
#include "upload/QRCodeImage.h"

#include <QComboBox>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>

using namespace Qt::StringLiterals;
using namespace UploadWindowDriver;

// Stands in for the upload controller behind the drop target.
class DropReceiver : public QObject
{
    Q_OBJECT
public:
    QStringList calls;
    Q_INVOKABLE void ParseIPA(const QString &path) { calls.append(u"ipa:"_s + path); }
    Q_INVOKABLE void ParseAPK(const QString &path) { calls.append(u"apk:"_s + path); }
};

// A delegate that offers neither operation.
class Bystander : public QObject
{
    Q_OBJECT
};

class TestUploadScreens : public QObject
{
    Q_OBJECT

    QColor pixelAtEdge(QDDragDropView &view)
    {
        const QImage image = view.grab().toImage();
        return image.pixelColor(1, image.height() / 2);
    }

private Q_SLOTS:
    void initTestCase() { QDScreenStack::setAnimationDuration(0); }

    void highlightOnlyForExactPackageSuffixes_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<bool>("highlighted");
        QTest::addColumn<QString>("delivered");
        QTest::newRow("ipa") << QStringList { u"/p/A.ipa"_s } << true << u"ipa:/p/A.ipa"_s;
        QTest::newRow("apk with blanks") << QStringList { u"/p/my app.apk"_s } << true << u"apk:/p/my app.apk"_s;
        QTest::newRow("first of several") << QStringList { u"/p/B.apk"_s, u"/p/C.ipa"_s } << true << u"apk:/p/B.apk"_s;
        QTest::newRow("first is no package") << QStringList { u"/p/notes.txt"_s, u"/p/C.ipa"_s } << false << QString();
        QTest::newRow("upper-case suffix") << QStringList { u"/p/App.IPA"_s } << false << QString();
        QTest::newRow("suffix without dot") << QStringList { u"/p/myipa"_s } << false << QString();
    }
    void highlightOnlyForExactPackageSuffixes()
    {
        QFETCH(QStringList, files);
        QFETCH(bool, highlighted);
        QFETCH(QString, delivered);
        DropReceiver receiver;
        QDDragDropView view;
        view.resize(200, 120);
        view.setDelegate(&receiver);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        const QColor highlight = view.palette().color(QPalette::Highlight);

        const std::unique_ptr<QMimeData> data(fileDrag(files));
        QCOMPARE(dragEnter(&view, data.get(), Qt::CopyAction), Qt::CopyAction); // any file may be dropped
        QCOMPARE(view.highlighted(), highlighted);
        QCOMPARE(pixelAtEdge(view) == highlight, highlighted); // the 5-point outline
        dragLeave(&view);
        QVERIFY(!view.highlighted());
        QVERIFY(pixelAtEdge(view) != highlight);

        QVERIFY(drop(&view, files));
        QVERIFY(!view.highlighted());
        QCOMPARE(view.filePath(), files.first());
        QCOMPARE(receiver.calls, delivered.isEmpty() ? QStringList() : QStringList { delivered });
    }

    void dragOperationAnswer()
    {
        QDDragDropView view;
        const std::unique_ptr<QMimeData> files(fileDrag({ u"/p/A.ipa"_s }));
        QCOMPARE(dragEnter(&view, files.get(), Qt::CopyAction | Qt::LinkAction), Qt::LinkAction);
        QCOMPARE(dragEnter(&view, files.get(), Qt::CopyAction | Qt::MoveAction), Qt::CopyAction);
        QCOMPARE(dragEnter(&view, files.get(), Qt::MoveAction), Qt::IgnoreAction);
        // A colour, or text, carries no file names: no operation, no highlight.
        QMimeData colour;
        colour.setColorData(QColor(Qt::red));
        dragLeave(&view);
        QCOMPARE(dragEnter(&view, &colour, Qt::CopyAction | Qt::LinkAction), Qt::IgnoreAction);
        QMimeData web;
        web.setUrls({ QUrl(u"https://example.com/A.ipa"_s) });
        QCOMPARE(dragEnter(&view, &web, Qt::CopyAction), Qt::IgnoreAction);
    }

    void aDelegateWithoutTheOperationIsLeftAlone()
    {
        Bystander bystander;
        QDDragDropView view;
        view.setDelegate(&bystander);
        QVERIFY(drop(&view, { u"/p/A.ipa"_s }));
        QCOMPARE(view.filePath(), u"/p/A.ipa"_s);
        {
            DropReceiver gone;
            view.setDelegate(&gone);
        }
        QVERIFY(drop(&view, { u"/p/B.apk"_s })); // a destroyed delegate is not called
    }

    // The form over records of every shape.
    void formFollowsTheRecord()
    {
        QVariantMap record { { u"appName"_s, u"Demo"_s }, { u"appVersion"_s, u"1.2"_s }, { u"appBuild"_s, u"45"_s },
            { u"packageName"_s, u"com.example.demo"_s }, { u"fileSize"_s, u"1.00MB"_s },
            { u"createdDate"_s, u"2024年03月05日 下午14:07"_s }, { u"iconPath"_s, u"/nonexistent/Icon.png"_s },
            { u"shortcutUrl"_s, u"demo"_s }, { u"password"_s, u"pw"_s }, { u"isPublishToPublic"_s, u"2"_s },
            { u"publishRange"_s, u"3"_s }, { u"urlCanbeModified"_s, u"0"_s } };
        int cleaned = 0;
        QDAppInfoViewController form(record, 1, [&cleaned] { ++cleaned; });
        QCOMPARE(cleaned, 1);
        QCOMPARE(&form.appInfo(), &record); // the same map, not a copy
        QCOMPARE(form.findChild<QLineEdit *>(u"versionTextField"_s)->text(), u"1.2 (45)"_s);
        QCOMPARE(form.findChild<QLineEdit *>(u"createdDateTextField"_s)->text(), u"2024年03月05日 下午14:07"_s);
        QVERIFY(form.showsDefaultIcon());
        QCOMPARE(form.iconImageView()->pixmap().toImage(),
            QPixmap(u":/images/DefaultIcon.png"_s)
                .scaled(form.iconImageView()->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation)
                .toImage());
        QVERIFY(!form.shortcutUrlTextField()->isEnabled());
        QCOMPARE(form.shortcutUrlTextField()->text(), u"demo"_s);
        QCOMPARE(form.publishToSquarePopup()->currentIndex(), 1);
        QCOMPARE(form.publisRangePopup()->currentIndex(), 1);
        QCOMPARE(form.getApplicationSetting(),
            (QVariantMap { { u"publishRange"_s, u"3"_s }, { u"isPublishToPublic"_s, u"2"_s }, { u"name"_s, u"Demo"_s },
                { u"shortcut"_s, u"demo"_s }, { u"password"_s, u"pw"_s }, { u"description"_s, QString() } }));
        // The record is read once: later changes do not reach the form.
        record[u"appName"_s] = u"Changed"_s;
        QCOMPARE(form.appNameTextField()->text(), u"Demo"_s);

        // The description comes back whole, line breaks included; the settings are read anew.
        form.applicationDescriptionTextField()->setPlainText(u"a\n\nb\n"_s);
        form.publisRangePopup()->setCurrentIndex(0);
        QCOMPARE(form.getApplicationSetting().value(u"description"_s), QVariant(u"a\n\nb\n"_s));
        QCOMPARE(form.getApplicationSetting().value(u"publishRange"_s), QVariant(u"2"_s));

        // Values that are numbers, absent or naming no item leave the layout's defaults.
        QVariantMap odd { { u"appName"_s, u"X"_s }, { u"publishRange"_s, 3 }, { u"isPublishToPublic"_s, u"7"_s },
            { u"shortcutUrl"_s, u"\n"_s }, { u"urlCanbeModified"_s, u"1"_s } };
        const QString broken = TestEnvironment::path(u"broken.png"_s);
        QFile file(broken);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("not a picture") > 0);
        file.close();
        odd[u"iconPath"_s] = broken;
        QDAppInfoViewController oddForm(odd, 2);
        QCOMPARE(oddForm.publisRangePopup()->currentIndex(), 0);
        QCOMPARE(oddForm.publishToSquarePopup()->currentIndex(), 0);
        QVERIFY(oddForm.shortcutUrlTextField()->isEnabled());
        QVERIFY(oddForm.shortcutUrlTextField()->text().isEmpty());
        QVERIFY(!oddForm.showsDefaultIcon());
        QVERIFY(oddForm.iconImageView()->pixmap().isNull()); // exists but cannot be decoded: empty
        QCOMPARE(oddForm.getApplicationSetting().value(u"publishRange"_s), QVariant(u"2"_s));
        // The Android layout is made once only.
        const int y = oddForm.publishToSquarePopup()->y();
        oddForm.adjustUI();
        QCOMPARE(oddForm.publishToSquarePopup()->y(), y);
    }

    // The QR code holds exactly what qrencode makes of the same text, module for module, at the
    // size and quiet zone the success question uses and at one pixel a module without a margin.
    void qrCodeMatchesTheReferenceEncoder()
    {
        const QString url = u"http://127.0.0.1:8690/demo-app"_s;
        for (const auto &[moduleSize, margin] : { std::pair { 1, 0 }, std::pair { 4, 2 } }) {
            QString error;
            const QImage expected = QrReference::encode(
                url, moduleSize, margin, TestEnvironment::path(u"qr-%1-%2.png"_s.arg(moduleSize).arg(margin)), &error);
            QVERIFY2(!expected.isNull(), qPrintable(error));
            QVERIFY(QrReference::darkShare(expected) > 0.2);
            QCOMPARE(QrReference::differing(QRCodeImage::fromText(url, moduleSize, margin), expected), 0);
        }
        QVERIFY(QRCodeImage::fromText(QString(8000, u'x')).isNull()); // too long for any version
    }

    // The window closes once, in any state, and owns nothing of the screen that opened it.
    void windowClosingAndOwnership()
    {
        int enabled = 0;
        int disabled = 0;
        NotificationCenter::defaultCenter().addObserver(this, Notifications::EnableBuildItem, [&] { ++enabled; });
        NotificationCenter::defaultCenter().addObserver(this, Notifications::DisableBuildItem, [&] { ++disabled; });
        {
            Opener opener(u"0"_s);
            QCOMPARE(disabled, 1);
            QPointer<QDUploadViewController> controller = opener.controller.get();
            opener.window.reset(); // deleting an open window closes it; the controller lives on
            QCOMPARE(enabled, 1);
            QVERIFY(controller);
            QVERIFY(!controller->parent());
            QCOMPARE(controller->flow()->state(), UploadFlow::State::Discarded);
        }
        {
            Opener opener(u"1"_s);
            opener.window->close();
            opener.window->close();
            QCOMPARE(enabled, 2);
            opener.controller.reset(); // the window stays usable without its content
            QVERIFY(!opener.window->contentViewController());
        }
        QCOMPARE(enabled, 2);
        QCOMPARE(disabled, 2);
        NotificationCenter::defaultCenter().removeObserver(this);
    }
};

QUILLO_GUI_TEST_MAIN(TestUploadScreens)
#include "tst_uploadscreens.moc"
