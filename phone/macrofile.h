#pragma once

#include "phone/sdkphone.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <memory>
#include <vector>

// Recorded input of one control window, kept in the data directory's macros/ folder and replayed
// later on any ticked phones. The file layout is described in phone/macro-format.md.
namespace macro {

constexpr quint16 formatVersion = 1;
// Longest recording name in UTF-8 bytes; longer names are cut at a character boundary.
constexpr int nameLimit = 127;
// Most events one file may hold, and so the largest file read: a file claiming more is refused
// before anything is allocated for it.
constexpr int eventLimit = 100000;
constexpr char fileSuffix[] = ".pmacro";

// One input and when it was sent, in milliseconds from the start of the recording.
struct Step
{
    qint64 offsetMs = 0;
    SyncEvent event;
};

struct Recording
{
    QString name;
    qint64 createdMs = 0; // wall clock, ms since the epoch
    int rotation = 0;     // the recording window's rotation when it started, 0..3
    std::vector<Step> steps;

    qint64 lengthMs() const { return steps.empty() ? 0 : steps.back().offsetMs; }
};

// Whether `event` is one a replay can send: a known type whose payload fits the library's limit for
// that type. `why` says what is wrong otherwise.
bool validEvent(const SyncEvent &event, QString *why);

QByteArray encode(const Recording &recording);
// Reads a whole file. False with a sentence for the user in `error` when the bytes are not a
// recording this program wrote: foreign, from a newer version, damaged or truncated, or holding an
// event that no replay can send. Nothing of a refused file reaches `out`.
bool decode(const QByteArray &bytes, Recording *out, QString *error);

// Any thread. `dataDir/macros`, created when missing.
QString folder(const QString &dataDir);
// Any thread. Writes the file atomically: a crash leaves the old file or the new one, never a part.
// Returns the path, or an empty text with `error` set.
QString save(const QString &dataDir, const Recording &recording, QString *error);
// Any thread.
bool load(const QString &path, Recording *out, QString *error);

// What the replay dialog lists for one file; `error` is set for a file that cannot be replayed.
struct Entry
{
    QString path;
    QString name;
    qint64 createdMs = 0;
    qint64 lengthMs = 0;
    int events = 0;
    int rotation = 0;
    QString error;
};
// Any thread. Every recording file in `dataDir/macros`, newest first, those that cannot be
// replayed last.
std::vector<Entry> list(const QString &dataDir);

// Collects one window's input while the user records. GUI thread only.
class Recorder
{
public:
    Recorder(const QString &name, int rotation);

    // Keeps `event` with its offset from the recorder's start. False (nothing kept) for an event a
    // replay could not send, or once eventLimit events are kept.
    bool add(const SyncEvent &event);
    int size() const { return int(m_recording.steps.size()); }
    Recording take() { return std::move(m_recording); }

private:
    QElapsedTimer m_clock;
    Recording m_recording;
};

} // namespace macro
