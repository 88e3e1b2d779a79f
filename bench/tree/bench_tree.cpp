// The device tree at scale: the scale account of a provider seeded with N phones (default 5000). Prints
// what the GUI thread spends on a first build, a reload's rebuild, a sort, each keystroke of a search and
// the bulk actions, against filling a bare item model with the same rows, and the reload's own phases.
#include "api/userinfo.h"
#include "app/globals.h"
#include "tests/support/providerprocess.h"
#include "tests/support/xvfb.h"
#include "ui/zqdeviceleftpanel.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QRegularExpression>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QThread>
#include <QToolButton>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

// Delivers bus messages and runs the event loop until `done` or `ms` passed.
bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        g_eventManager.dispatchPending();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(5);
    }
    return true;
}

int phoneRows(const QStandardItemModel *model)
{
    int n = 0;
    for (int g = 0; g < model->rowCount(); ++g)
        n += model->item(g)->rowCount();
    return n;
}

// Milliseconds that `step` keeps the GUI thread, with the bus drained afterwards (not counted).
double timed(const std::function<void()> &step)
{
    QElapsedTimer clock;
    clock.start();
    step();
    const double ms = clock.nsecsElapsed() / 1e6;
    g_eventManager.dispatchPending();
    QCoreApplication::processEvents();
    return ms;
}

// A step that may leave a build running: the GUI thread's time on it until the tree is built (the step,
// then each turn of the event loop), and the longest of those turns.
struct Build
{
    double totalMs = 0;
    double longestMs = 0;
};

Build timedBuild(const ZqDeviceLeftPanel &panel, const std::function<void()> &step)
{
    Build b;
    b.totalMs = b.longestMs = timed(step);
    while (panel.building()) {
        QElapsedTimer turn;
        turn.start();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        const double ms = turn.nsecsElapsed() / 1e6;
        b.totalMs += ms;
        b.longestMs = std::max(b.longestMs, ms);
    }
    return b;
}

void trigger(QToolButton *button, const QString &text)
{
    for (QAction *action : button->menu()->actions())
        if (action->text() == text)
            action->trigger();
}

void keystroke(QLineEdit *edit, const QString &character)
{
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, character);
    QApplication::sendEvent(edit, &press);
}

} // namespace

int main(int argc, char *argv[])
{
    testsupport::preferOffscreen();
    QApplication app(argc, argv);
    const int phones = argc > 1 ? std::max(1, atoi(argv[1])) : 5000;

    QTemporaryDir dir;
    ProviderProcess provider(dir.filePath("p.db"), {"--seed-phones", QString::number(phones)});
    QString error;
    if (!provider.start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    g_configHolder = std::make_shared<ZqConfig>();
    g_config = g_configHolder.get();
    g_config->apiBaseUrl = provider.baseUrl();
    g_userInfoHolder = std::make_shared<userInfo>();
    g_userInfo = g_userInfoHolder.get();
    g_userInfo->setReloadPauseMs(0);

    ZqDeviceLeftPanel panel;
    panel.resize(400, 900);
    panel.show();
    QElapsedTimer clock;
    clock.start();
    if (!g_userInfo->login(QStringLiteral("13900000000"), QStringLiteral("pelomir2026"), false) ||
        !waitFor([&] { return phoneRows(panel.model()) == phones; }, 120000)) {
        std::fprintf(stderr, "the tree did not fill\n");
        return 1;
    }
    const qint64 loginToTree = clock.elapsed();
    const userInfo::reloadTimings reload = g_userInfo->lastReloadTimings();
    waitFor([] { return !g_userInfo->reloadBusy(); }, 60000);

    // A second panel built from the loaded inventory: every row new, every phone announced.
    ZqDeviceLeftPanel fresh;
    fresh.resize(400, 900);
    fresh.show();
    const Build firstBuild = timedBuild(fresh, [&] { fresh.rebuildTree(); });
    const Build unchanged = timedBuild(fresh, [&] { fresh.rebuildTree(); });
    fresh.treeView()->expandAll();
    const Build unchangedExpanded = timedBuild(fresh, [&] { fresh.rebuildTree(); });

    auto *sort = panel.findChild<QToolButton *>(QStringLiteral("btnSearch"));
    const Build sortChange = timedBuild(panel, [&] { trigger(sort, QStringLiteral("名称降序")); });
    const double sortAgain = timed([&] { trigger(sort, QStringLiteral("名称降序")); });

    auto *search = panel.findChild<QLineEdit *>(QStringLiteral("edtSearch"));
    const QStringList keys{QStringLiteral("设"), QStringLiteral("备"), QStringLiteral("0"),
                           QStringLiteral("0"), QStringLiteral("1")};
    QList<double> keystrokes;
    QList<int> results;
    QStringList typed;
    for (const QString &key : keys) {
        keystrokes.append(timedBuild(panel, [&] { keystroke(search, key); }).longestMs);
        results.append(phoneRows(panel.model()));
        typed.append(search->text());
    }
    auto *refresh = panel.findChild<QToolButton *>(QStringLiteral("btnRefreshDev"));
    const Build leaveSearch = timedBuild(panel, [&] { refresh->click(); });
    waitFor([] { return !g_userInfo->reloadBusy(); }, 60000);

    auto *all = panel.findChild<QCheckBox *>(QStringLiteral("chbAllright"));
    const double uncheckAll = timed([&] {
        all->click();
        all->click();
    });
    auto *multi = panel.findChild<QToolButton *>(QStringLiteral("btnMultiChioce"));
    const double first50 = timed([&] { trigger(multi, QStringLiteral("选择50台")); });
    const double invert = timed([&] { panel.findChild<QCheckBox *>(QStringLiteral("chbNo"))->click(); });

    // Peer: the same rows (groups of 100, three cells each) appended to a bare model under a view.
    QTreeView bareView;
    QStandardItemModel bare(0, 3);
    bareView.setModel(&bare);
    bareView.setUniformRowHeights(true);
    bareView.resize(400, 900);
    bareView.show();
    const double bareFill = timed([&] {
        QStandardItem *group = nullptr;
        for (int i = 0; i < phones; ++i) {
            if (i % 100 == 0) {
                group = new QStandardItem(QStringLiteral("分组%1").arg(i / 100));
                group->setCheckable(true);
                bare.appendRow(group);
            }
            auto *name = new QStandardItem(QStringLiteral("设备%1").arg(i));
            name->setCheckable(true);
            name->setCheckState(Qt::Checked);
            group->appendRow({name, new QStandardItem(QString::number(80000000 + i)),
                              new QStandardItem(QStringLiteral("30天0小时"))});
        }
    });

    std::printf("device tree, %d phones in groups of 100\n", phones);
    std::printf("login to filled tree                 %7lld ms\n", loginToTree);
    std::printf("reload phases (inventory)            request %lld ms, records %lld ms, merge %lld ms\n",
                reload.requestMs, reload.parseMs, reload.mergeMs);
    std::printf(
        "first build, every row new           %7.1f ms  (bare model fill %.1f ms, ratio %.2f), longest "
        "turn %.1f ms\n",
        firstBuild.totalMs, bareFill, firstBuild.totalMs / bareFill, firstBuild.longestMs);
    std::printf(
        "rebuild on a reload, nothing changed %7.1f ms  (groups expanded: %.1f ms), longest turn %.1f ms\n",
        unchanged.totalMs, unchangedExpanded.totalMs,
        std::max(unchanged.longestMs, unchangedExpanded.longestMs));
    std::printf(
        "sort change (tree emptied, rebuilt)  %7.1f ms  (same sort again: %.3f ms), longest turn %.1f ms\n",
        sortChange.totalMs, sortAgain, sortChange.longestMs);
    for (int i = 0; i < keys.size(); ++i)
        std::printf("search keystroke %-2d \"%s\" -> %4d rows  %7.1f ms\n", i + 1, qPrintable(typed[i]),
                    results[i], keystrokes[i]);
    std::printf("leave the search (all rows back)     %7.1f ms, longest turn %.1f ms\n", leaveSearch.totalMs,
                leaveSearch.longestMs);
    std::printf("check all + uncheck all              %7.1f ms\n", uncheckAll);
    std::printf("first 50                             %7.1f ms\n", first50);
    std::printf("invert                               %7.1f ms\n", invert);
    double worst = std::max({firstBuild.longestMs, unchanged.longestMs, unchangedExpanded.longestMs,
                             sortChange.longestMs, leaveSearch.longestMs, uncheckAll, first50, invert});
    for (double k : keystrokes)
        worst = std::max(worst, k);
    std::printf("longest GUI-thread step              %7.1f ms  (%.1f frames of 16.7 ms)\n", worst,
                worst / 16.7);

    provider.terminate();
    g_userInfo = nullptr;
    g_userInfoHolder.reset();
    return 0;
}
