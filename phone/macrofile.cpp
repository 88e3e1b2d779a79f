#include "phone/macrofile.h"

#include "coreclient/core_client.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace macro {
namespace {

const QByteArray magic("PMMACRO\n", 8);
constexpr int checksumSize = 32; // SHA-256
constexpr int headerSize = 8 + 2 + 2 + 8 + 1 + 1;
constexpr int eventHeaderSize = 4 + 1 + 4 + 2;
constexpr int keyPayloadSize = 8;
// Nothing this program writes comes near it; a larger file is refused before it is read.
constexpr qint64 fileSizeLimit = 64 * 1024 * 1024;

const QString damaged = QStringLiteral("脚本文件已损坏或不完整");

template <class T> void append(QByteArray *out, T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian<T>(value, bytes);
    out->append(bytes, int(sizeof(T)));
}

// Reads little-endian fields off a byte range; every read checks what is left first.
class Reader
{
public:
    Reader(const char *data, int size) : m_data(data), m_left(size) {}

    template <class T> bool read(T *value)
    {
        if (m_left < int(sizeof(T)))
            return false;
        *value = qFromLittleEndian<T>(m_data);
        skip(int(sizeof(T)));
        return true;
    }
    bool bytes(int count, const char **at)
    {
        if (count < 0 || m_left < count)
            return false;
        *at = m_data;
        skip(count);
        return true;
    }
    int left() const { return m_left; }

private:
    void skip(int count)
    {
        m_data += count;
        m_left -= count;
    }

    const char *m_data;
    int m_left;
};

QByteArray cutName(const QString &name)
{
    QByteArray utf8 = name.toUtf8();
    if (utf8.size() <= nameLimit)
        return utf8;
    int end = nameLimit;
    while (end > 0 && (uchar(utf8.at(end)) & 0xC0) == 0x80)
        --end;
    return utf8.left(end);
}

bool isFunctionKey(int code)
{
    return code == CC_KEY_BACK || code == CC_KEY_HOMEPAGE || code == CC_KEY_APPSELECT ||
           code == CC_KEY_VOLUMEUP || code == CC_KEY_VOLUMEDOWN;
}

} // namespace

bool validEvent(const SyncEvent &event, QString *why)
{
    int limit = 0;
    int least = 0;
    switch (event.type) {
    case SyncTouchUpDown:
    case SyncTouchMove:
        limit = CC_MAX_TOUCH_BYTES;
        least = 1;
        break;
    case SyncText:
        limit = CC_MAX_TEXT_BYTES;
        least = 1;
        break;
    case SyncKey:
        limit = least = keyPayloadSize;
        break;
    case SyncFunctionKey:
        if (!isFunctionKey(event.code)) {
            *why = QStringLiteral("未知的功能键 %1").arg(event.code);
            return false;
        }
        break;
    default:
        *why = QStringLiteral("未知的事件类型 %1").arg(event.type);
        return false;
    }
    if (event.length > limit) {
        *why = QStringLiteral("事件长度 %1 字节，超过上限 %2 字节").arg(event.length).arg(limit);
        return false;
    }
    if (event.length < least) {
        *why = QStringLiteral("事件内容为空");
        return false;
    }
    return true;
}

QByteArray encode(const Recording &recording)
{
    const QByteArray name = cutName(recording.name);
    QByteArray out = magic;
    append<quint16>(&out, formatVersion);
    append<quint16>(&out, 0);
    append<qint64>(&out, recording.createdMs);
    append<quint8>(&out, quint8(recording.rotation & 3));
    append<quint8>(&out, quint8(name.size()));
    out += name;
    append<quint32>(&out, quint32(recording.steps.size()));
    for (const Step &step : recording.steps) {
        append<quint32>(&out, quint32(step.offsetMs));
        append<quint8>(&out, quint8(step.event.type));
        append<qint32>(&out, step.event.code);
        append<quint16>(&out, quint16(step.event.length));
        out.append(step.event.data, step.event.length);
    }
    out += QCryptographicHash::hash(out, QCryptographicHash::Sha256);
    return out;
}

bool decode(const QByteArray &bytes, Recording *out, QString *error)
{
    if (!bytes.startsWith(magic)) {
        *error = QStringLiteral("不是脚本文件");
        return false;
    }
    Reader reader(bytes.constData() + magic.size(), bytes.size() - magic.size());
    quint16 version = 0;
    if (!reader.read(&version)) {
        *error = damaged;
        return false;
    }
    if (version > formatVersion) {
        *error = QStringLiteral("脚本文件版本 %1 高于本程序支持的版本 %2，请升级客户端")
                     .arg(version)
                     .arg(formatVersion);
        return false;
    }
    // Checked before any field is trusted: every length below then describes bytes we wrote.
    const int body = bytes.size() - checksumSize;
    if (version == 0 || body < headerSize ||
        QCryptographicHash::hash(QByteArray::fromRawData(bytes.constData(), body),
                                 QCryptographicHash::Sha256) != bytes.right(checksumSize)) {
        *error = damaged;
        return false;
    }
    reader = Reader(bytes.constData() + magic.size() + 2, body - magic.size() - 2);
    Recording recording;
    quint16 flags = 0;
    quint8 rotation = 0, nameLength = 0;
    quint32 count = 0;
    const char *name = nullptr;
    if (!reader.read(&flags) || !reader.read(&recording.createdMs) || !reader.read(&rotation) ||
        !reader.read(&nameLength) || nameLength > nameLimit || rotation > 3 ||
        !reader.bytes(nameLength, &name) || !reader.read(&count)) {
        *error = damaged;
        return false;
    }
    if (count > quint32(eventLimit) || qint64(count) * eventHeaderSize > reader.left()) {
        *error = QStringLiteral("脚本文件的事件数 %1 超过上限 %2").arg(count).arg(eventLimit);
        return false;
    }
    recording.name = QString::fromUtf8(name, nameLength);
    recording.rotation = rotation;
    recording.steps.resize(count);
    qint64 previous = 0;
    for (quint32 i = 0; i < count; ++i) {
        Step &step = recording.steps[i];
        quint32 offset = 0;
        quint8 type = 0;
        quint16 length = 0;
        const char *data = nullptr;
        if (!reader.read(&offset) || !reader.read(&type) || !reader.read(&step.event.code) ||
            !reader.read(&length)) {
            *error = damaged;
            return false;
        }
        if (length > SyncEvent::payloadLimit) {
            *error = QStringLiteral("第 %1 个事件长 %2 字节，超过上限 %3 字节")
                         .arg(i + 1)
                         .arg(length)
                         .arg(SyncEvent::payloadLimit);
            return false;
        }
        if (!reader.bytes(length, &data) || offset < previous) {
            *error = damaged;
            return false;
        }
        step.offsetMs = previous = offset;
        step.event.type = type;
        step.event.length = length;
        std::memcpy(step.event.data, data, length);
        QString why;
        if (!validEvent(step.event, &why)) {
            *error = QStringLiteral("第 %1 个事件无法回放：%2").arg(i + 1).arg(why);
            return false;
        }
    }
    if (reader.left() != 0) {
        *error = damaged;
        return false;
    }
    *out = std::move(recording);
    return true;
}

QString folder(const QString &dataDir)
{
    const QString path = dataDir + QStringLiteral("/macros");
    QDir().mkpath(path);
    return path;
}

QString save(const QString &dataDir, const Recording &recording, QString *error)
{
    const QString stem =
        QDateTime::fromMSecsSinceEpoch(recording.createdMs).toString(QStringLiteral("yyyyMMdd-hhmmss-zzz"));
    QString path = folder(dataDir) + QLatin1Char('/') + stem + QLatin1String(fileSuffix);
    for (int n = 2; QFile::exists(path); ++n)
        path = folder(dataDir) + QLatin1Char('/') + stem + QLatin1Char('-') + QString::number(n) +
               QLatin1String(fileSuffix);
    QSaveFile file(path);
    const QByteArray bytes = encode(recording);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *error = QStringLiteral("脚本保存失败：") + file.errorString();
        return QString();
    }
    return path;
}

bool load(const QString &path, Recording *out, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("无法读取脚本文件：") + file.errorString();
        return false;
    }
    if (file.size() > fileSizeLimit) {
        *error = QStringLiteral("脚本文件过大");
        return false;
    }
    return decode(file.readAll(), out, error);
}

std::vector<Entry> list(const QString &dataDir)
{
    std::vector<Entry> entries;
    const QDir dir(folder(dataDir));
    for (const QString &name :
         dir.entryList({QStringLiteral("*") + QLatin1String(fileSuffix)}, QDir::Files, QDir::Name)) {
        Entry entry;
        entry.path = dir.filePath(name);
        Recording recording;
        if (load(entry.path, &recording, &entry.error)) {
            entry.name = recording.name;
            entry.createdMs = recording.createdMs;
            entry.lengthMs = recording.lengthMs();
            entry.events = int(recording.steps.size());
            entry.rotation = recording.rotation;
        } else {
            entry.name = name;
            entry.createdMs = QFileInfo(entry.path).lastModified().toMSecsSinceEpoch();
        }
        entries.push_back(std::move(entry));
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        if (a.error.isEmpty() != b.error.isEmpty())
            return a.error.isEmpty();
        return a.createdMs > b.createdMs;
    });
    return entries;
}

Recorder::Recorder(const QString &name, int rotation)
{
    m_recording.name = name;
    m_recording.createdMs = QDateTime::currentMSecsSinceEpoch();
    m_recording.rotation = rotation & 3;
    m_clock.start();
}

bool Recorder::add(const SyncEvent &event)
{
    QString why;
    if (size() >= eventLimit || !validEvent(event, &why))
        return false;
    m_recording.steps.push_back({m_clock.elapsed(), event});
    return true;
}

} // namespace macro
