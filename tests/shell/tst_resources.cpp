// Everything the program names by path exists: the images it loads from its resources
// (":/images/..."), and the tools it looks up by name in its resource folder. The names are read
// from the program's own sources, so a name added or changed there is checked too.
#include "tests/support/GuiTestMain.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QImage>
#include <QRegularExpression>
#include <QSet>

using namespace Qt::StringLiterals;

namespace {

// Folders of the program's own code (not tests, benchmarks or fuzz targets).
const QStringList kCodeFolders { u"app"_s, u"api"_s, u"inspect"_s, u"upload"_s, u"devicelog"_s, u"builds"_s,
    u"account"_s, u"shell"_s, u"ui"_s, u"cli"_s, u"store"_s, u"server"_s };

// Every capture of pattern in the code, with the file it came from.
QMap<QString, QString> namesInCode(const QRegularExpression &pattern)
{
    QMap<QString, QString> names;
    for (const QString &folder : kCodeFolders) {
        QDirIterator it(TestEnvironment::sourceDir() + u'/' + folder, { u"*.cpp"_s, u"*.h"_s }, QDir::Files,
            QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QString text = QString::fromUtf8(file.readAll());
            for (auto match = pattern.globalMatch(text); match.hasNext();)
                names.insert(match.next().captured(1), path.mid(TestEnvironment::sourceDir().size() + 1));
        }
    }
    return names;
}

} // namespace

class ResourcesTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void everyNamedImageLoads()
    {
        // ":/images/Check" and the like; not "://" of an address.
        const QMap<QString, QString> named = namesInCode(QRegularExpression(u"\":(/[A-Za-z0-9_][^\"]*)\""_s));
        for (const QString &known : { u"/images/icon_mac"_s, u"/images/Check"_s, u"/images/quillo"_s })
            QVERIFY2(
                named.contains(known), qPrintable(known + u" is no longer found in the code: the scan is broken"_s));
        QStringList missing;
        for (auto it = named.cbegin(); it != named.cend(); ++it) {
            const QString path = u':' + it.key();
            const QImage image(path);
            if (!QFileInfo::exists(path) || image.isNull() || image.width() < 8 || image.height() < 8)
                missing.append(path + u" (named in "_s + it.value() + u')');
        }
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(u", "_s)));
    }

    // Every image bundled in the resources decodes and is what its source file holds.
    void everyBundledImageIsItsSourceFile()
    {
        int count = 0;
        QDirIterator it(u":/images"_s, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QImage image(path);
            QVERIFY2(!image.isNull(), qPrintable(path));
            QString source = TestEnvironment::sourceDir() + u"/ui/images/"_s + it.fileName();
            if (!source.endsWith(u".png"_s))
                source += u".png"_s;
            QVERIFY2(QFileInfo(source).isFile(), qPrintable(source));
            QCOMPARE(image, QImage(source));
            ++count;
        }
        QVERIFY2(count >= 5, qPrintable(QString::number(count)));
    }

    // The tools found by name in the resource folder are there and can be run.
    void everyNamedToolIsInTheResourceFolder()
    {
        const QMap<QString, QString> named = namesInCode(QRegularExpression(u"resourcePath\\(u\"([^\"]+)\"_s\\)"_s));
        for (const QString &known : { u"aapt"_s, u"deviceconsole"_s })
            QVERIFY2(
                named.contains(known), qPrintable(known + u" is no longer found in the code: the scan is broken"_s));
        for (auto it = named.cbegin(); it != named.cend(); ++it) {
            const QFileInfo tool(TestEnvironment::resourceDir() + u'/' + it.key());
            QVERIFY2(
                tool.exists() && tool.isFile(), qPrintable(tool.filePath() + u" (named in "_s + it.value() + u')'));
            QVERIFY2(tool.isExecutable(), qPrintable(tool.filePath()));
        }
    }
};

QUILLO_GUI_TEST_MAIN(ResourcesTest)
#include "tst_resources.moc"
