#include "app/NotificationCenter.h"
#include "app/Notifications.h"
#include "devicelog/DeviceLogModel.h"
#include "devicelog/DeviceLogStyle.h"
#include "devicelog/DeviceLogTableView.h"
#include "devicelog/QDViewDeviceLogController.h"
#include "tests/devicelog/FakeDeviceConsole.h"
#include "tests/support/Fixtures.h"
#include "tests/support/GuiTestMain.h"
#include "ui/SaveDialog.h"

#include <QClipboard>
#include <QFontMetricsF>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>

using namespace Qt::StringLiterals;

namespace {

QByteArray line(int second, const char *process, const QByteArray &message)
{
    return "Dec  7 10:00:" + QByteArray::number(second).rightJustified(2, '0') + " iPhone " + process + "[4"
        + QByteArray::number(second) + "] <Notice>: " + message;
}

QString shown(int second, const char *process, const QString &message)
{
    return u"10:00:%1 iPhone %2 \u2192  <Notice>: %3"_s.arg(second, 2, 10, QChar(u'0'))
        .arg(QLatin1StringView(process), message);
}

QString readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// Bands of dark (text) pixels drawn inside a row, from the table's grab: the lines the row shows.
int drawnLines(DeviceLogTableView *table, int row)
{
    const QImage image = table->viewport()->grab().toImage();
    const int top = table->rowViewportPosition(row);
    const int bottom = top + table->rowHeight(row); // exclusive
    int bands = 0;
    bool inBand = false;
    for (int y = qMax(top, 0); y < qMin(bottom, image.height()); ++y) {
        bool ink = false;
        for (int x = 0; x < image.width() && !ink; ++x)
            ink = qGray(image.pixel(x, y)) < 128;
        if (ink && !inBand)
            ++bands;
        inBand = ink;
    }
    return bands;
}

// Lines of a run of `count` letters w in the log font at the column's text width (the column less
// ten pixels), from the font's own advance: the font is fixed-width.
int wrappedLines(DeviceLogTableView *table, int count, const QFontMetricsF &metrics)
{
    const qreal width = table->columnWidth(0) - 10;
    const int perLine = int(width / metrics.horizontalAdvance(u'w'));
    return perLine > 0 ? (count + perLine - 1) / perLine : 0;
}

} // namespace

class TestDeviceLogViewer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void entriesAndSearchWhileArriving()
    {
        FakeDeviceConsole tool({ line(1, "alpha", "hel"), "lo\n" + line(2, "beta", "two\n"),
            line(3, "gamma", "beta too\n") + line(4, "delta", "none\n") });
        QDViewDeviceLogController viewer;
        DeviceLogModel *model = viewer.logModel();
        tool.release(0);
        QTRY_COMPARE(model->rowCount(), 1);
        tool.release(1);
        // An entry cut across two chunks becomes two entries.
        QTRY_COMPARE(model->rowCount(), 3);
        QCOMPARE(model->logContentList(),
            QStringList({ shown(1, "alpha", u"hel"_s), u"lo\n"_s, shown(2, "beta", u"two\n"_s) }));

        viewer.logSearchField()->setText(u"beta"_s);
        viewer.searchLogWithKeyWord();
        QCOMPARE(model->rowCount(), 1);
        tool.release(2);
        // The matching newcomer is appended to the filtered rows; the other waits for the search to end.
        QTRY_COMPARE(model->logContentList().size(), 5);
        QCOMPARE(model->filteredLogContentList(),
            QStringList({ shown(2, "beta", u"two\n"_s), shown(3, "gamma", u"beta too\n"_s) }));
        QCOMPARE(model->index(1).data().toString(), shown(3, "gamma", u"beta too\n"_s));
        // Capitals do not find lower case.
        viewer.logSearchField()->setText(u"BETA"_s);
        viewer.searchLogWithKeyWord();
        QCOMPARE(model->rowCount(), 0);
        viewer.logSearchField()->clear();
        QTRY_VERIFY(!model->isSearchMode());
        QCOMPARE(model->rowCount(), 5);
        QCOMPARE(model->index(4).data().toString(), shown(4, "delta", u"none\n"_s));
    }

    void searchingEmptyLogThenReceivingMatch()
    {
        FakeDeviceConsole tool({ line(5, "one", "needle here\n") + line(6, "two", "hay\n") });
        QDViewDeviceLogController viewer;
        viewer.logSearchField()->setText(u"needle"_s);
        viewer.searchLogWithKeyWord();
        QCOMPARE(viewer.logModel()->rowCount(), 0);
        tool.release(0);
        QTRY_COMPARE(viewer.logModel()->logContentList().size(), 2);
        QCOMPARE(viewer.logModel()->rowCount(), 1);
        QCOMPARE(viewer.logModel()->index(0).data().toString(), shown(5, "one", u"needle here\n"_s));

        // Emptying keeps the search: later entries are still filtered.
        viewer.cleanLog();
        QCOMPARE(viewer.logModel()->rowCount(), 0);
        QVERIFY(viewer.logModel()->isSearchMode());
        viewer.logModel()->addEntries({ u"hay"_s, u"a needle"_s });
        QCOMPARE(viewer.logModel()->rowCount(), 1);
    }

    void savingDuringSearchWritesFilteredEntries()
    {
        FakeDeviceConsole tool(
            { line(1, "app", "keep 中文\n") + line(2, "app", "drop\n") + line(3, "app", "keep too\n") });
        QDViewDeviceLogController viewer;
        tool.release(0);
        QTRY_COMPARE(viewer.logModel()->rowCount(), 3);
        viewer.logSearchField()->setText(u"keep"_s);
        viewer.searchLogWithKeyWord();

        const QString path = TestEnvironment::path(u"saved/DeviceLog.txt"_s);
        SaveDialog::setNextFileName(path);
        viewer.saveLogFile();
        // Entries arriving while the panel is open are not in the saved text.
        viewer.logModel()->addEntries({ u"keep late\n"_s });
        QTRY_VERIFY(QFile::exists(path));
        QCOMPARE(readFile(path), shown(1, "app", u"keep 中文\n"_s) + shown(3, "app", u"keep too\n"_s));

        // Cancelling writes nothing, anywhere (not the proposed name in the home folder either).
        // A save queued behind the cancelled one tells when the cancellation has been handled.
        const QStringList before = Fixtures::filesBelow(TestEnvironment::root());
        SaveDialog::setNextFileName(QString());
        viewer.saveLogFile();
        const QString next = TestEnvironment::path(u"saved/next.txt"_s);
        SaveDialog::setNextFileName(next);
        viewer.saveLogFile();
        QTRY_VERIFY(QFile::exists(next));
        QStringList expected = before;
        expected.append(u"saved/next.txt"_s);
        expected.sort();
        QCOMPARE(Fixtures::filesBelow(TestEnvironment::root()), expected);
        QVERIFY(!QFile::exists(QDir::homePath() + u"/DeviceLog.txt"_s));
    }

    void copyingRowsThreeAndOne()
    {
        FakeDeviceConsole emptyFolder;
        QDViewDeviceLogController viewer;
        viewer.logModel()->addEntries({ u"e0\n"_s, u"e1\n"_s, u"e2\n"_s, u"e3\n"_s, u"e4"_s });
        QItemSelectionModel *selection = viewer.logTable()->selectionModel();
        selection->select(viewer.logModel()->index(3), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        selection->select(viewer.logModel()->index(1), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QGuiApplication::clipboard()->setText(u"old"_s);
        viewer.copy();
        QCOMPARE(QGuiApplication::clipboard()->text(), u"e1\ne3\n"_s);

        // The Copy key on the table does the same.
        QGuiApplication::clipboard()->setText(u"old"_s);
        viewer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&viewer));
        viewer.logTable()->setFocus();
        QTest::keySequence(viewer.logTable(), QKeySequence::Copy);
        QCOMPARE(QGuiApplication::clipboard()->text(), u"e1\ne3\n"_s);
    }

    void toolMissingOrWithoutDevice()
    {
        {
            FakeDeviceConsole emptyFolder;
            QDViewDeviceLogController viewer;
            QTRY_VERIFY(viewer.statusText().contains(u"找不到设备日志工具"_s));
        }
        {
            FakeDeviceConsole tool("#!/bin/sh\nexit 69\n");
            QDViewDeviceLogController viewer;
            QTRY_VERIFY(viewer.statusText().startsWith(u"未连接设备"_s));
        }
        {
            FakeDeviceConsole tool("#!/bin/sh\nexit 127\n");
            QDViewDeviceLogController viewer;
            QTRY_VERIFY(viewer.statusText().contains(u"未安装 idevicesyslog"_s));
        }
    }

    void closingPostsNotificationAndFindFocusesSearch()
    {
        FakeDeviceConsole tool(QList<QByteArray> {});
        QObject observer;
        int posted = 0;
        NotificationCenter::defaultCenter().addObserver(
            &observer, Notifications::CloseDeviceLogWindow, [&] { ++posted; });

        QDViewDeviceLogController viewer;
        QVERIFY(!viewer.focusSearchField()); // hidden: nothing happens
        QVERIFY(viewer.focusWidget() != viewer.logSearchField());
        viewer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&viewer));
        viewer.logTable()->setFocus();
        QVERIFY(viewer.focusSearchField());
        QCOMPARE(viewer.focusWidget(), viewer.logSearchField());
        QCOMPARE(posted, 0);
        viewer.close();
        QCOMPARE(posted, 1);

        // The tool keeps running after the window closed, and ends with the viewer.
        QTRY_VERIFY(tool.pid() > 0);
        const qint64 pid = tool.pid();
        QVERIFY(FakeDeviceConsole::isAlive(pid));
    }

    void viewerGoingAwayEndsTheTool()
    {
        FakeDeviceConsole tool(QList<QByteArray> {});
        auto *viewer = new QDViewDeviceLogController;
        QTRY_VERIFY(tool.pid() > 0);
        const qint64 pid = tool.pid();
        QVERIFY(FakeDeviceConsole::isAlive(pid));
        delete viewer;
        QTRY_VERIFY(!FakeDeviceConsole::isAlive(pid)); // ended without the viewer waiting for it
    }

    void rowStyling()
    {
        const QString entry = shown(1, "SpringBoard", u"hit and hit\n"_s);
        const QList<QTextLayout::FormatRange> formats = DeviceLogStyle::formatsForEntry(entry, u"hit"_s);
        auto boldAt = [&](int start, int length) {
            return std::any_of(formats.cbegin(), formats.cend(), [&](const QTextLayout::FormatRange &r) {
                return r.start == start && r.length == length && r.format.font().bold();
            });
        };
        QVERIFY(boldAt(0, 8)); // the time
        QVERIFY(boldAt(int(entry.indexOf(u'\u2192')), 1)); // the arrow
        QVERIFY(boldAt(int(entry.indexOf(u"SpringBoard"_s)), 11)); // the process name
        const auto yellow = std::find_if(formats.cbegin(), formats.cend(),
            [](const QTextLayout::FormatRange &r) { return r.format.background().color() == QColor(255, 255, 0); });
        QVERIFY(yellow != formats.cend());
        QCOMPARE(yellow->start, int(entry.indexOf(u"hit"_s))); // the first hit only
        QCOMPARE(std::count_if(formats.cbegin(), formats.cend(),
                     [](const QTextLayout::FormatRange &r) { return r.format.background().style() != Qt::NoBrush; }),
            1);

        // No arrow: no bold arrow or process name, but the time still bold.
        const QList<QTextLayout::FormatRange> plain
            = DeviceLogStyle::formatsForEntry(u"10:00:01 iPhone kernel: x"_s, QString());
        QCOMPARE(plain.size(), 1);
        QCOMPARE(plain.first().start, 0);
        QCOMPARE(plain.first().length, 8);
        QVERIFY(DeviceLogStyle::formatsForEntry(u"no time"_s, QString()).isEmpty());
    }

    void rowHeightsBackgroundsAndScrolling()
    {
        FakeDeviceConsole tool(QList<QByteArray> {});
        QDViewDeviceLogController viewer;
        viewer.resize(700, 400);
        viewer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&viewer));
        DeviceLogTableView *table = viewer.logTable();

        QStringList entries;
        for (int i = 0; i < 3000; ++i)
            entries.append(shown(i % 60, "app", u"entry %1\n"_s.arg(i)));
        entries.append(QString(300, u'w') + u'\n');
        entries.append(u"last entry of a chunk"_s);
        viewer.logModel()->addEntries(entries);
        table->scrollToLastRow();
        QApplication::processEvents();

        // Only rows that were shown have been measured, and the last row is in view.
        QVERIFY(table->measuredRowCount() > 0);
        QVERIFY(table->measuredRowCount() < 100);
        QVERIFY(!table->isRowMeasured(0));
        const int last = int(entries.size()) - 1;
        QVERIFY(table->rowViewportPosition(last) + table->rowHeight(last) <= table->viewport()->height());

        // What the rows show, counted in the drawn pixels: every line of an entry, none cut off.
        const QFontMetricsF metrics(DeviceLogStyle::logFont());
        const qreal lineSpacing = metrics.lineSpacing();
        QCOMPARE(drawnLines(table, last - 2), 1);
        QCOMPARE(drawnLines(table, last), 1);
        QCOMPARE(drawnLines(table, last - 1), wrappedLines(table, 300, metrics));
        QVERIFY(wrappedLines(table, 300, metrics) > 1);
        for (const int row : { last - 2, last - 1, last }) // room for every line shown
            QVERIFY(table->rowHeight(row) >= drawnLines(table, row) * lineSpacing - 1);
        // One line and its line feed measure two lines: two lines x 1.3 - 12. Without a line feed
        // that rule would leave less than a line; the row keeps one line.
        QVERIFY(qAbs(table->rowHeight(last - 2) - (2 * lineSpacing * 1.3 - 12)) <= 1);
        QVERIFY(qAbs(table->rowHeight(last) - lineSpacing) <= 1);

        // A narrower column wraps the long entry onto more lines, all of them shown.
        const int wide = wrappedLines(table, 300, metrics);
        viewer.resize(400, 400);
        QTRY_VERIFY(wrappedLines(table, 300, metrics) > wide);
        table->scrollToLastRow();
        QTRY_COMPARE(drawnLines(table, last - 1), wrappedLines(table, 300, metrics));

        // Even rows on 245 grey, odd rows white (at the right edge, away from the text).
        table->scrollToTop();
        QApplication::processEvents();
        QVERIFY(table->isRowMeasured(0));
        const QImage image = table->viewport()->grab().toImage();
        const int x = image.width() - 2;
        QCOMPARE(QColor(image.pixel(x, table->rowViewportPosition(0) + 2)), QColor(245, 245, 245));
        QCOMPARE(QColor(image.pixel(x, table->rowViewportPosition(1) + 2)), QColor(255, 255, 255));
        QCOMPARE(QColor(image.pixel(x, table->rowViewportPosition(2) + 2)), QColor(245, 245, 245));
    }
};

QUILLO_GUI_TEST_MAIN(TestDeviceLogViewer)
#include "tst_devicelogviewer.moc"
