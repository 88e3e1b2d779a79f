// Group list of a large account: answer time and size of pelomir-provider, set against peers
// measured in the same run: a trivial endpoint over the same HTTP path (the fixed cost of a
// request), the client's own work on the same answer (JSON parse and one access-field decrypt
// per phone), and the client's 15 s request limit.
#include "tests/support/providerprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <httplib.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

struct Stats
{
    double median, p95, min;
};

Stats measure(int rounds, const std::function<void()> &work)
{
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer t;
        t.start();
        work();
        ms.push_back(t.nsecsElapsed() / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 95 / 100)], ms.front()};
}

void print(const char *label, const Stats &s)
{
    std::printf("  %-34s median %9.3f ms   p95 %9.3f ms   min %9.3f ms\n", label, s.median, s.p95, s.min);
}

int decryptPieces(const QByteArray &base64, EVP_CIPHER_CTX *ctx)
{
    static const QByteArray key = "Tq4Wm8XzR2nLp6VyK3sHd9Bc";
    const QByteArray cipher = QByteArray::fromBase64(base64);
    QByteArray out(cipher.size() + 16, '\0');
    int n1 = 0, n2 = 0;
    EVP_DecryptInit_ex(ctx, EVP_aes_192_ecb(), nullptr, reinterpret_cast<const unsigned char *>(key.data()),
                       nullptr);
    EVP_DecryptUpdate(ctx, reinterpret_cast<unsigned char *>(out.data()), &n1,
                      reinterpret_cast<const unsigned char *>(cipher.data()), cipher.size());
    EVP_DecryptFinal_ex(ctx, reinterpret_cast<unsigned char *>(out.data()) + n1, &n2);
    return out.left(n1 + n2).split('#').size();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int phones = argc > 1 ? std::max(1, atoi(argv[1])) : 5000;
    const int rounds = argc > 2 ? std::max(3, atoi(argv[2])) : 30;

    QTemporaryDir dir;
    ProviderProcess provider(dir.filePath("bench.db"), {"--seed-phones", QString::number(phones)});
    QElapsedTimer startTimer;
    startTimer.start();
    QString error;
    if (!provider.start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const double startMs = startTimer.nsecsElapsed() / 1e6;
    const int port = provider.port();

    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(60, 0);
    const auto login = client.Post("/api/tamsu-phone-user/v1/login/phone",
                                   "phone=13900000000&password=pelomir2026&platformId=8&productId=40&"
                                   "statisticsNo=3148&terminal=web",
                                   "application/x-www-form-urlencoded");
    const QJsonObject answer =
        QJsonDocument::fromJson(QByteArray::fromStdString(login ? login->body : "")).object();
    const std::string token =
        answer["content"].toObject()["userToken"].toObject()["token"].toString().toStdString();
    if (token.empty()) {
        std::fprintf(stderr, "login failed\n");
        return 1;
    }
    // What the client's network stack asks for; the answer is sent uncompressed all the same.
    const httplib::Headers plain = {{"Authorization", token}, {"Accept-Encoding", "gzip, deflate"}};
    client.set_decompress(false);

    std::string body, encoding;
    for (int i = 0; i < 3; ++i) {
        const auto res = client.Get("/api/tamsu-cloud-phone/v1/phone/group-list", plain);
        body = res->body;
        encoding = res->get_header_value("Content-Encoding");
    }
    const QByteArray bytes = QByteArray::fromStdString(body);
    const QJsonArray groups = QJsonDocument::fromJson(bytes).object()["content"].toArray();
    std::vector<QByteArray> ucids;
    for (const auto &g : groups)
        for (const auto &p : g.toObject()["phoneList"].toArray())
            ucids.push_back(p.toObject()["accessInfo"].toObject()["ucid"].toString().toLatin1());

    const Stats list =
        measure(rounds, [&] { client.Get("/api/tamsu-cloud-phone/v1/phone/group-list", plain); });
    const Stats health = measure(rounds * 10, [&] { client.Get("/healthz", plain); });
    const Stats parse = measure(rounds, [&] { QJsonDocument::fromJson(bytes); });
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int pieces = 0;
    const Stats decrypt = measure(rounds, [&] {
        for (const auto &u : ucids)
            pieces += decryptPieces(u, ctx);
    });
    EVP_CIPHER_CTX_free(ctx);

    // Four clients at once, as several pool threads of the client may ask.
    QElapsedTimer parallel;
    parallel.start();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            httplib::Client c("127.0.0.1", port);
            c.set_read_timeout(60, 0);
            for (int i = 0; i < rounds / 3 + 1; ++i)
                c.Get("/api/tamsu-cloud-phone/v1/phone/group-list", plain);
        });
    for (auto &t : threads)
        t.join();
    const double parallelMs = parallel.nsecsElapsed() / 1e6;
    const int parallelCount = 4 * (rounds / 3 + 1);

    const size_t phoneCount = ucids.size();
    std::printf("pelomir-provider group list: %zu phones in %d groups, %d rounds\n", phoneCount,
                static_cast<int>(groups.size()), rounds);
    std::printf("  start with seeding                 %9.1f ms\n", startMs);
    std::printf("  answer size                        %9.1f KiB (%.0f B per phone), encoding %s\n",
                body.size() / 1024.0, double(body.size()) / double(phoneCount),
                encoding.empty() ? "identity" : encoding.c_str());
    print("group list", list);
    print("peer: /healthz round trip", health);
    print("peer: client JSON parse", parse);
    print("peer: client decrypt of all ucids", decrypt);
    std::printf("  per phone: server %.2f us, client parse %.2f us, client decrypt %.2f us\n",
                1000.0 * list.median / double(phoneCount), 1000.0 * parse.median / double(phoneCount),
                1000.0 * decrypt.median / double(phoneCount));
    std::printf("  ratio group list / healthz           %8.1f x\n", list.median / health.median);
    std::printf("  ratio group list / client parse+decrypt %5.2f x\n",
                list.median / (parse.median + decrypt.median));
    std::printf("  ratio group list / 15 s client limit %8.4f (%.2f%% of the limit)\n", list.median / 15000.0,
                100.0 * list.median / 15000.0);
    std::printf("  4 parallel clients: %d lists in %.1f ms = %.1f lists/s (sequential %.1f lists/s)\n",
                parallelCount, parallelMs, 1000.0 * parallelCount / parallelMs, 1000.0 / list.median);
    if (pieces != rounds * 2 * static_cast<int>(phoneCount))
        std::printf("  warning: some ucids did not decrypt to two pieces\n");

    provider.terminate();
    return 0;
}
