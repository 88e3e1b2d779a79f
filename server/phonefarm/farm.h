#pragma once

// The phones of the farm, created on first use with a valid credential, and
// the shared secret and timings that govern them.

#include "server/phonefarm/credential.h"
#include "server/phonefarm/kept_frames.h"
#include "server/phonefarm/phone.h"
#include "wire/wire.h"

#include <QByteArray>
#include <QHash>
#include <QUrl>

#include <limits>
#include <memory>
#include <mutex>

namespace farm {

struct FarmOptions
{
    QByteArray secret = "pelomir-dev-farm-secret";
    qint64 restartMs = 5000;
    qint64 resetMs = 8000;
    int maxPhones = 5000;
    int maxFps = 30;
    int idleMs = ccwire::kIdleMs; // a connection silent this long is closed
    bool mixedScreens = false;    // phones of three sizes (mixedScreenSize), else all 720x1280
    bool h264 = true;             // display streams of clients that take H.264 get it
    int videoKbps = 2500;         // H.264 bitrate cap
    int keepSourceFrames = 0;     // test mode: pictures kept per display for the admin API (0: none)
    // The object store's address: phones fetch files from there and nowhere else, so a transfer
    // cannot make the farm reach into its own network.
    QUrl storeUrl = QUrl(QStringLiteral("http://127.0.0.1:18100"));
};

// Monotonic milliseconds shared by the whole farm.
qint64 monotonicMs();

class Farm
{
public:
    explicit Farm(const FarmOptions &options)
        : options_(options),
          kept_(options.keepSourceFrames > 0 ? std::make_unique<KeptFrames>(options.keepSourceFrames)
                                             : nullptr)
    {
    }

    const FarmOptions &options() const { return options_; }
    // The pictures kept in test mode; null when it is off.
    KeptFrames *keptFrames() const { return kept_.get(); }

    // Checks the credential and returns the phone, creating it when the
    // credential is valid. On failure *code is negative and nullptr returned.
    // Any thread; takes the registry mutex.
    std::shared_ptr<Phone> open(const QByteArray &credential, const QByteArray &deviceId, bool *viewOnly,
                                int *code, qint64 *generation = nullptr);

    // Voids the phone's credentials of generations below `generation`; with kRetireAll every one, and
    // the phone itself goes (the provider has exchanged it for another). Any thread; takes the
    // registry mutex. The list lives in memory: a restarted farm has forgotten it.
    static constexpr qint64 kRetireAll = std::numeric_limits<qint64>::max();
    void retire(const QByteArray &deviceId, qint64 generation);
    // Whether credentials of `generation` still open the phone. Any thread; takes the registry mutex.
    bool current(const QByteArray &deviceId, qint64 generation) const;

    // Admin calls. Any thread; take the registry mutex briefly, then the phone's.
    // Restart and reset create a phone not yet seen: the provider knows it.
    bool restart(const QByteArray &deviceId);
    bool reset(const QByteArray &deviceId);
    int status(const QByteArray &deviceId) const;
    int phoneCount() const;

private:
    std::shared_ptr<Phone> phone(const QByteArray &deviceId, bool create);

    FarmOptions options_;
    std::unique_ptr<KeptFrames> kept_;
    mutable std::mutex mutex_;
    QHash<QByteArray, std::shared_ptr<Phone>> phones_;
    QHash<QByteArray, qint64> retired_; // lowest generation still valid, by device id
    QHash<QByteArray, qint64> usedAt_;  // when each phone was last opened
};

} // namespace farm
