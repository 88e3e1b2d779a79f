// Inventory reload at scale: a provider seeded with N phones (default 5000), the scale account read a
// few times. Prints the phases of a reload against a plain request and parse of the same list, the
// access checks' rate, and what the GUI thread's queries cost while reloads run.
#include "api/userinfo.h"
#include "api/zqhttprequest.h"
#include "app/globals.h"
#include "tests/support/cputime.h"
#include "tests/support/providerprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

// Runs the event loop until `done` or `ms` passed.
template <class F> bool waitFor(F done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(20);
    }
    return true;
}

// Client CPU per request (all threads, the network managers' own included) of access-check GETs sent
// one after another by each of `ways`, in alternating rounds so that the machine's changing load falls on
// all of them alike. `count` requests each.
std::vector<double> cpuPerRequestUs(int count, const std::vector<std::function<void(int)>> &ways)
{
    const int rounds = 10;
    std::vector<double> spent(ways.size(), 0);
    for (int r = 0; r < rounds; ++r) {
        for (size_t w = 0; w < ways.size(); ++w) {
            const double start = testsupport::processCpuSeconds();
            for (int i = r * count / rounds; i < (r + 1) * count / rounds; ++i)
                ways[w](i);
            spent[w] += testsupport::processCpuSeconds() - start;
        }
    }
    for (double &s : spent)
        s = s * 1e6 / count;
    return spent;
}

qint64 median(std::vector<qint64> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int phones = argc > 1 ? std::max(1, atoi(argv[1])) : 5000;
    const int rounds = 5;

    QTemporaryDir dir;
    ProviderProcess provider(dir.filePath("p.db"), {"--seed-phones", QString::number(phones)});
    QString error;
    if (!provider.start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const QString base = provider.baseUrl();

    g_configHolder = std::make_shared<ZqConfig>();
    g_config = g_configHolder.get();
    g_config->apiBaseUrl = base;
    userInfo info;
    info.setReloadPauseMs(0);
    QElapsedTimer clock;
    clock.start();
    if (!info.login(QStringLiteral("13900000000"), QStringLiteral("pelomir2026"), false)) {
        std::fprintf(stderr, "login failed\n");
        return 1;
    }
    waitFor([&] { return info.lastReloadTimings().phones == phones && !info.reloadBusy(); }, 120000);
    const qint64 firstLoad = clock.elapsed();

    // Access checks of the first load, two pool workers at most.
    const auto unchecked = [&] {
        int n = 0;
        for (const groupRecord &g : info.ordinaryGroups()) {
            for (const phoneRecord &p : g.phones) {
                phoneRecord now;
                n += info.findPhone(p.cloudPhoneId, now) && now.accessState == -1;
            }
        }
        return n;
    };
    waitFor([&] { return unchecked() == 0; }, 600000);
    const qint64 checked = clock.elapsed();

    std::vector<qint64> request, parse, merge, total;
    const phoneRecord last = info.ordinaryGroups().last().phones.last();
    for (int r = 0; r < rounds; ++r) {
        QElapsedTimer round;
        round.start();
        info.reload();
        waitFor([&] { return !info.reloadBusy() && round.elapsed() > 50; }, 60000);
        total.push_back(round.elapsed());
        const userInfo::reloadTimings t = info.lastReloadTimings();
        request.push_back(t.requestMs);
        parse.push_back(t.parseMs);
        merge.push_back(t.mergeMs);
    }

    // The GUI thread asks every millisecond, once while reloads run and once at rest: the slowest
    // single round of three queries is its stall, the rest figure is the machine's own noise.
    const auto worstQuery = [&](bool reloading) {
        qint64 worst = 0;
        QElapsedTimer span;
        span.start();
        while (span.elapsed() < 3000) {
            if (reloading && !info.reloadBusy())
                info.reload();
            QElapsedTimer q;
            q.start();
            info.groupIdOfPhone(last.cloudPhoneId);
            info.ucIdOf(last.deviceId);
            info.mayOperate(last.cloudPhoneId);
            worst = std::max(worst, q.nsecsElapsed() / 1000);
            QCoreApplication::processEvents();
            QThread::msleep(1);
        }
        waitFor([&] { return !info.reloadBusy(); }, 60000);
        return worst;
    };
    const qint64 worstReloading = worstQuery(true);
    const qint64 worstAtRest = worstQuery(false);

    // Peer: the same list fetched and parsed as plain JSON, and its ucids decrypted alone.
    std::vector<qint64> plain, decrypt;
    QJsonArray content;
    for (int r = 0; r < rounds; ++r) {
        QElapsedTimer t;
        t.start();
        const QString text =
            ZqHttpRequest().httpGet(base + "/api/tamsu-cloud-phone/v1/phone/group-list", info.token());
        content = QJsonDocument::fromJson(text.toUtf8()).object().value("content").toArray();
        plain.push_back(t.elapsed());
        t.restart();
        for (const QJsonValue &g : content) {
            for (const QJsonValue &p : g.toObject().value("phoneList").toArray())
                g_config->decryptSplit(p.toObject().value("accessInfo").toObject().value("ucid").toString());
        }
        decrypt.push_back(t.elapsed());
    }

    // What one access check costs the client: as checks send it (a manager, and so a connection and a
    // network thread, of its own), against one shared manager with a new connection per request and one
    // keeping its connection. The checks' share of a login's CPU is this times the number of new phones.
    const QString accessUrl = base + "/api/tamsu-cloud-phone/v1/phone/get-access-info?cloudPhoneId=";
    const std::vector<int> ids = [&] {
        std::vector<int> v;
        for (const groupRecord &g : info.ordinaryGroups())
            for (const phoneRecord &p : g.phones)
                v.push_back(p.cloudPhoneId);
        return v;
    }();
    const int sample = std::min<int>(1000, int(ids.size()));
    QNetworkAccessManager shared;
    const auto sharedGet = [&](int i, bool close) {
        QNetworkRequest request{QUrl(accessUrl + QString::number(ids[i]))};
        request.setRawHeader("Authorization", info.token().toUtf8());
        if (close)
            request.setRawHeader("Connection", "close");
        QNetworkReply *reply = shared.get(request);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        if (!reply->isFinished())
            loop.exec();
        reply->readAll();
        delete reply;
    };
    const std::vector<double> perRequest = cpuPerRequestUs(
        sample, {[&](int i) { ZqHttpRequest().httpGet(accessUrl + QString::number(ids[i]), info.token()); },
                 [&](int i) { sharedGet(i, true); }, [&](int i) { sharedGet(i, false); }});
    const double freshUs = perRequest[0], closeUs = perRequest[1], keepUs = perRequest[2];

    // Query cost at rest, averaged.
    QElapsedTimer q;
    q.start();
    const int queries = 2000;
    for (int i = 0; i < queries; ++i)
        info.groupIdOfPhone(last.cloudPhoneId);
    const double groupIdUs = q.nsecsElapsed() / 1000.0 / queries;
    q.restart();
    for (int i = 0; i < queries; ++i)
        info.ordinaryGroups();
    const double groupsUs = q.nsecsElapsed() / 1000.0 / queries;

    std::printf("phones %d, %d rounds (medians)\n", phones, rounds);
    std::printf("first load after login          %6lld ms\n", firstLoad);
    std::printf("access checks of the first load %6lld ms  (%.0f checks/s)\n", checked - firstLoad,
                phones * 1000.0 / std::max<qint64>(1, checked - firstLoad));
    std::printf(
        "access check, client CPU per request (%d sent one by one): %.0f us with a manager of its own "
        "(%.0f ms for %d new phones); one shared manager %.0f us with a new connection each (ratio "
        "%.2f), %.0f us keeping it (ratio %.2f)\n",
        sample, freshUs, freshUs * phones / 1000, phones, closeUs, freshUs / closeUs, keepUs,
        freshUs / keepUs);
    std::printf("reload, reload() to idle        %6lld ms\n", median(total));
    std::printf("  request + JSON parse + log    %6lld ms  (plain GET + parse: %lld ms, ratio %.2f)\n",
                median(request), median(plain), double(median(request)) / std::max<qint64>(1, median(plain)));
    std::printf("  records, decrypt, icons       %6lld ms  (decrypt alone: %lld ms, %.1f us/phone)\n",
                median(parse), median(decrypt), median(parse) * 1000.0 / phones);
    std::printf("  swap and merge                %6lld ms\n", median(merge));
    std::printf("GUI-thread queries (3), slowest  %lld us during 3 s of reloads, %lld us at rest\n",
                worstReloading, worstAtRest);
    std::printf("at rest: groupIdOfPhone %.1f us (last phone), ordinaryGroups copy %.2f us\n", groupIdUs,
                groupsUs);

    provider.terminate();
    return 0;
}
