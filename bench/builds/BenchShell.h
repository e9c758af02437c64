#pragma once

#include "builds/QDMenuViewController.h"
#include "builds/ShellServices.h"
#include "ui/DesktopNotifier.h"
#include "ui/TrayStatusItem.h"

#include <QAction>
#include <QList>
#include <QMenu>

#include <algorithm>
#include <cstdio>

#include <time.h>

// What the benchmarks of the recent-builds screen put around it (a status menu with its five build
// slots, a notifier that shows nothing) and how they time and print.
namespace BenchBuilds {

using namespace Qt::StringLiterals;

class SilentNotifier final : public DesktopNotifier
{
public:
    quint64 deliverNotification(DesktopNotification) override { return nextIdentifier(); }
};

class BenchShell final : public ShellServices
{
public:
    BenchShell()
    {
        for (int i = 0; i < 5; ++i) {
            auto *slot = new QAction(&m_menu);
            slot->setVisible(false);
            QDMenuViewController::markBuildSlot(slot);
            m_menu.addAction(slot);
        }
        m_menu.addSeparator();
        m_menu.addAction(u"Quit"_s);
        m_item.setMenu(&m_menu);
    }
    StatusItem *statusItem() const override { return const_cast<TrayStatusItem *>(&m_item); }
    QMenu *statusMenu() const override { return const_cast<QMenu *>(&m_menu); }
    bool redundantItemRemoved() const override { return m_removed; }
    void setRedundantItemRemoved(bool removed) override { m_removed = removed; }
    DesktopNotifier *notificationCenter() const override { return const_cast<SilentNotifier *>(&m_notifier); }

private:
    QMenu m_menu;
    TrayStatusItem m_item;
    SilentNotifier m_notifier;
    bool m_removed = false;
};

// CPU time of the calling thread: what the main thread itself spent, whoever else ran.
inline qint64 threadCpuNs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

inline double ms(qint64 ns)
{
    return double(ns) / 1e6;
}

// One figure's runs: the least, the median and the most.
inline void printRow(const char *what, QList<qint64> samples)
{
    std::sort(samples.begin(), samples.end());
    std::printf("  %-44s min %8.1f ms   median %8.1f ms   max %8.1f ms   (%lld runs)\n", what, ms(samples.first()),
        ms(samples.at(samples.size() / 2)), ms(samples.last()), static_cast<long long>(samples.size()));
}

} // namespace BenchBuilds
