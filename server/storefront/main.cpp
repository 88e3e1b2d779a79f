// pelomir-storefront: the authorising front of the object store (see server/README.md).
#include "server/storefront/front.h"
#include "server/storefront/grant.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <thread>

int main(int argc, char **argv)
{
    CLI::App app{"The object store's front: checks each request against the upload grant it was signed "
                 "with and forwards what the grant allows to the store, re-signed with the store's own key."};
    std::string listen = "127.0.0.1:18100";
    storefront::FrontOptions options;
    options.storeUrl = "http://127.0.0.1:18101";
    options.storeKeyId = "S3RVER";
    options.storeKeySecret = "S3RVER";
    options.settings.grantSecret = "pelomir-dev-store-grant-secret";
    options.settings.bucket = "pelomir-uploads";
    app.add_option("--listen", listen, "HOST:PORT to listen on (port 0 picks a free one)");
    app.add_option("--store", options.storeUrl, "the store behind the front, http://HOST:PORT");
    app.add_option("--store-key-id", options.storeKeyId, "the store's own access key id");
    app.add_option("--store-key-secret", options.storeKeySecret, "the store's own access key secret");
    app.add_option("--grant-secret", options.settings.grantSecret,
                   "secret shared with the provider, which mints the upload grants with it");
    app.add_option("--bucket", options.settings.bucket, "the bucket served");
    std::string mintPrefix;
    int64_t mintSeconds = 3600;
    app.add_option("--mint", mintPrefix,
                   "print a grant for this key prefix (key id, secret and token, one a line) and exit");
    app.add_option("--mint-seconds", mintSeconds, "lifetime of a --mint grant");
    CLI11_PARSE(app, argc, argv);

    if (!mintPrefix.empty()) {
        if (!storegrant::validPrefix(mintPrefix) || mintSeconds < 1) {
            std::fprintf(stderr, "--mint wants a key prefix such as upload/7, --mint-seconds more than 0\n");
            return 2;
        }
        const storegrant::Grant grant = storegrant::mint(options.settings.grantSecret, mintPrefix, "rw",
                                                         int64_t(std::time(nullptr)) + mintSeconds);
        std::printf("%s\n%s\n%s\n", grant.keyId.c_str(), grant.secret.c_str(), grant.token.c_str());
        return 0;
    }

    const size_t colon = listen.rfind(':');
    if (colon == std::string::npos) {
        std::fprintf(stderr, "--listen wants HOST:PORT\n");
        return 2;
    }
    std::string storeHost;
    int storePort = 0;
    if (!storefront::parseStoreUrl(options.storeUrl, &storeHost, &storePort)) {
        std::fprintf(stderr, "--store wants http://HOST:PORT\n");
        return 2;
    }
    // Signals go to one waiting thread, which stops the server.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    storefront::Front front(options);
    const std::string host = listen.substr(0, colon);
    const int port = front.bind(host, std::atoi(listen.c_str() + colon + 1));
    if (port < 0) {
        std::fprintf(stderr, "cannot listen on %s\n", listen.c_str());
        return 1;
    }
    std::printf("listening on http://%s:%d\n", host.c_str(), port);
    std::fflush(stdout);
    std::thread waiter([&front, stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        front.stop();
    });
    waiter.detach();
    return front.serve() ? 0 : 1;
}
