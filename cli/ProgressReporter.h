#pragma once

#include <QElapsedTimer>
#include <QString>

class Console;

// The upload's progress for people, on standard error: on a terminal one bar redrawn in place
// (percentage, rate, time left); otherwise plain lines at a rate a CI log can bear: one at every
// tenth of the way or after 10 seconds, whichever comes first, so that a slow upload shows that it
// lives (update() is called only when bytes moved).
class ProgressReporter final
{
public:
    enum class Mode { Bar, Lines, Silent };
    static constexpr qint64 kBarIntervalMs = 100;
    static constexpr qint64 kLineIntervalMs = 10000;

    ProgressReporter(Console &console, Mode mode);
    // Bar on a terminal, Lines otherwise, Silent when asked to be quiet.
    static Mode modeFor(const Console &console, bool quiet);

    // value: the upload bar's value (may pass 1 near the end; shown as at most 100 %).
    void update(double value) { update(value, m_clock.elapsed()); }
    void update(double value, qint64 nowMs);
    // Rate and time left, shown with the next update.
    void setStatus(const QString &text) { m_status = text; }
    // Ends the bar's line; in Lines mode prints the last step if it was not printed.
    void finish();

    // "上传 [█████░░░░░]  50%  1.2 MB/s，剩余 0:07" fitted into width columns.
    static QString barLine(double value, const QString &status, int width);
    // Whole percent, 0 to 100.
    static int percent(double value);

private:
    void print(qint64 nowMs);

    Console &m_console;
    Mode m_mode;
    QElapsedTimer m_clock;
    double m_value = 0.0;
    QString m_status;
    qint64 m_lastPrintMs = -1;
    int m_lastPercent = -1;
    int m_lastStep = -1;
    bool m_finished = false;
};
