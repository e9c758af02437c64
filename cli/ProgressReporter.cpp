#include "cli/ProgressReporter.h"

#include "cli/Console.h"

#include <QList>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

ProgressReporter::ProgressReporter(Console &console, Mode mode)
    : m_console(console)
    , m_mode(mode)
{
    m_clock.start();
}

ProgressReporter::Mode ProgressReporter::modeFor(const Console &console, bool quiet)
{
    if (quiet)
        return Mode::Silent;
    return console.errorIsTerminal() ? Mode::Bar : Mode::Lines;
}

int ProgressReporter::percent(double value)
{
    if (!(value > 0.0))
        return 0;
    return int(std::floor(std::min(value, 1.0) * 100.0));
}

QString ProgressReporter::barLine(double value, const QString &status, int width)
{
    const int shown = percent(value);
    const QString head = u"上传 ["_s;
    const QString tail = u"] %1%"_s.arg(shown, 3);
    QString rest = status.isEmpty() ? QString() : u"  "_s + status;
    // The bar gets what is left, but never fewer than 10 cells; the status gives way first.
    int cells = width - 1 - Console::displayWidth(head) - Console::displayWidth(tail) - Console::displayWidth(rest);
    if (cells < 10) {
        rest.clear();
        cells = std::max(10, width - 1 - Console::displayWidth(head) - Console::displayWidth(tail));
    }
    cells = std::min(cells, 40);
    const int filled = int(std::floor(std::min(std::max(value, 0.0), 1.0) * cells));
    return head + QString(filled, QChar(0x2588)) + QString(cells - filled, QChar(0x2591)) + tail + rest;
}

void ProgressReporter::update(double value, qint64 nowMs)
{
    if (m_mode == Mode::Silent || m_finished)
        return;
    m_value = value;
    const int now = percent(value);
    if (m_mode == Mode::Bar) {
        if (m_lastPrintMs >= 0 && nowMs - m_lastPrintMs < kBarIntervalMs && !(now == 100 && m_lastPercent != 100))
            return;
        print(nowMs);
        return;
    }
    const int step = now / 10;
    const bool newStep = step > m_lastStep;
    if (newStep || (m_lastPrintMs >= 0 && nowMs - m_lastPrintMs >= kLineIntervalMs))
        print(nowMs);
}

void ProgressReporter::print(qint64 nowMs)
{
    const int now = percent(m_value);
    // Rate and time left mean nothing once everything has arrived.
    const QString status = now < 100 ? m_status : QString();
    QTextStream &err = m_console.err();
    if (m_mode == Mode::Bar) {
        err << '\r' << barLine(m_value, status, m_console.terminalWidth()) << "\x1b[K";
    } else {
        err << u"上传 %1%"_s.arg(now);
        if (!status.isEmpty())
            err << u"  "_s << status;
        err << '\n';
    }
    err.flush();
    m_lastPrintMs = nowMs;
    m_lastPercent = now;
    m_lastStep = now / 10;
}

void ProgressReporter::finish()
{
    if (m_mode == Mode::Silent || m_finished)
        return;
    m_finished = true;
    if (m_mode == Mode::Bar) {
        if (m_lastPercent != percent(m_value))
            print(m_clock.elapsed());
        if (m_lastPrintMs >= 0) {
            m_console.err() << '\n';
            m_console.err().flush();
        }
        return;
    }
    if (m_lastPercent != percent(m_value))
        print(m_clock.elapsed());
}
