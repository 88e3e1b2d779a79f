#include "wire/wire.h"

#include <QtEndian>

namespace ccwire {

namespace {

class Writer
{
public:
    void u8(quint8 v) { out.append(char(v)); }
    void u16(quint16 v)
    {
        char b[2];
        qToLittleEndian(v, b);
        out.append(b, 2);
    }
    void u32(quint32 v)
    {
        char b[4];
        qToLittleEndian(v, b);
        out.append(b, 4);
    }
    void u64(quint64 v)
    {
        char b[8];
        qToLittleEndian(v, b);
        out.append(b, 8);
    }
    // Callers keep within the caps; a longer field is cut rather than
    // written with a length that no longer matches.
    void str8(const QByteArray &s, int cap)
    {
        const int n = qMin(s.size(), cap);
        u8(quint8(n));
        out.append(s.constData(), n);
    }
    void bytes16(const QByteArray &s, int cap)
    {
        const int n = qMin(s.size(), cap);
        u16(quint16(n));
        out.append(s.constData(), n);
    }
    void bytes32(const QByteArray &s, int cap)
    {
        const int n = qMin(s.size(), cap);
        u32(quint32(n));
        out.append(s.constData(), n);
    }
    QByteArray out;
};

class Reader
{
public:
    explicit Reader(const QByteArray &b) : data(b) {}

    bool u8(quint8 *v)
    {
        if (!need(1))
            return false;
        *v = quint8(data[pos++]);
        return true;
    }
    bool u16(quint16 *v)
    {
        if (!need(2))
            return false;
        *v = qFromLittleEndian<quint16>(data.constData() + pos);
        pos += 2;
        return true;
    }
    bool u32(quint32 *v)
    {
        if (!need(4))
            return false;
        *v = qFromLittleEndian<quint32>(data.constData() + pos);
        pos += 4;
        return true;
    }
    bool i32(qint32 *v)
    {
        quint32 u;
        if (!u32(&u))
            return false;
        *v = qint32(u);
        return true;
    }
    bool u64(quint64 *v)
    {
        if (!need(8))
            return false;
        *v = qFromLittleEndian<quint64>(data.constData() + pos);
        pos += 8;
        return true;
    }
    bool str8(QByteArray *s, int cap, const char *what)
    {
        quint8 n;
        return u8(&n) && take(n, cap, s, what);
    }
    bool bytes16(QByteArray *s, int cap, const char *what)
    {
        quint16 n;
        return u16(&n) && take(n, cap, s, what);
    }
    bool bytes32(QByteArray *s, int cap, const char *what)
    {
        quint32 n;
        return u32(&n) && take(n, cap, s, what);
    }
    bool atEnd()
    {
        if (pos != data.size())
            error = QStringLiteral("%1 trailing bytes").arg(data.size() - pos);
        return pos == data.size();
    }

    QString error;

private:
    bool need(int n)
    {
        if (data.size() - pos >= n)
            return true;
        if (error.isEmpty())
            error = QStringLiteral("truncated frame");
        return false;
    }
    bool take(quint32 n, int cap, QByteArray *s, const char *what)
    {
        if (n > quint32(cap)) {
            error = QStringLiteral("%1 of %2 bytes exceeds %3").arg(QLatin1String(what)).arg(n).arg(cap);
            return false;
        }
        if (!need(int(n)))
            return false;
        *s = data.mid(pos, int(n));
        pos += int(n);
        return true;
    }

    const QByteArray &data;
    int pos = 0;
};

struct Encoder
{
    Writer &w;
    void operator()(const Request &m)
    {
        w.u8(quint8(Type::Request));
        w.u32(m.id);
        w.u8(quint8(m.op));
        w.str8(m.credential, kMaxCredential);
        w.str8(m.deviceId, kMaxDeviceId);
        w.bytes16(m.payload, kMaxRequestPayload);
    }
    void operator()(const DisplayOpen &m)
    {
        w.u8(quint8(Type::DisplayOpen));
        w.u16(m.version);
        w.str8(m.credential, kMaxCredential);
        w.str8(m.deviceId, kMaxDeviceId);
        w.u8(m.viewOnly ? 1 : 0);
        w.u8(m.maxFps);
    }
    void operator()(const Input &m)
    {
        w.u8(quint8(Type::Input));
        w.u32(m.seq);
        w.u8(quint8(m.kind));
        w.str8(m.payload, kMaxInputPayload);
    }
    void operator()(const FrameAck &m)
    {
        w.u8(quint8(Type::FrameAck));
        w.u32(m.seq);
    }
    void operator()(const KeyframeRequest &m)
    {
        w.u8(quint8(Type::KeyframeRequest));
        w.u32(m.lastGoodSeq);
    }
    void operator()(const Response &m)
    {
        w.u8(quint8(Type::Response));
        w.u32(m.id);
        w.u32(quint32(m.code));
        w.bytes32(m.data, kMaxAnswer);
    }
    void operator()(const DisplayStatus &m)
    {
        w.u8(quint8(Type::DisplayStatus));
        w.u32(quint32(m.code));
    }
    void operator()(const Frame &m)
    {
        const bool video = m.codec == Codec::H264;
        w.u8(quint8(video ? Type::VideoFrame : Type::Frame));
        w.u32(m.seq);
        w.u32(m.inputAck);
        w.u16(m.width);
        w.u16(m.height);
        w.u8(m.rotation);
        w.u64(m.renderedAtUs);
        if (video)
            w.u8(m.keyframe ? 1 : 0);
        w.bytes32(m.data, kMaxAnswer);
    }
};

} // namespace

QByteArray encode(const Message &message)
{
    Writer body;
    std::visit(Encoder{body}, message);
    Writer frame;
    frame.u32(quint32(body.out.size()));
    frame.out.append(body.out);
    return frame.out;
}

bool decode(const QByteArray &body, Message *out, QString *error)
{
    Reader r(body);
    quint8 type = 0;
    bool ok = r.u8(&type);
    if (ok) {
        switch (Type(type)) {
        case Type::Request: {
            Request m;
            quint8 op = 0;
            ok = r.u32(&m.id) && r.u8(&op) && r.str8(&m.credential, kMaxCredential, "credential") &&
                 r.str8(&m.deviceId, kMaxDeviceId, "device id") &&
                 r.bytes16(&m.payload, kMaxRequestPayload, "payload") && r.atEnd();
            if (ok && (op == 0 || op > kLastOp)) {
                r.error = QStringLiteral("unknown operation %1").arg(op);
                ok = false;
            }
            m.op = Op(op);
            *out = m;
            break;
        }
        case Type::DisplayOpen: {
            DisplayOpen m;
            quint8 viewOnly = 0;
            ok = r.u16(&m.version) && r.str8(&m.credential, kMaxCredential, "credential") &&
                 r.str8(&m.deviceId, kMaxDeviceId, "device id") && r.u8(&viewOnly) && r.u8(&m.maxFps) &&
                 r.atEnd();
            if (ok && viewOnly > 1) {
                r.error = QStringLiteral("view-only flag %1").arg(viewOnly);
                ok = false;
            }
            m.viewOnly = viewOnly == 1;
            *out = m;
            break;
        }
        case Type::Input: {
            Input m;
            quint8 kind = 0;
            ok = r.u32(&m.seq) && r.u8(&kind) && r.str8(&m.payload, kMaxInputPayload, "input") && r.atEnd();
            if (ok && kind != quint8(InputKind::TouchUpDown) && kind != quint8(InputKind::TouchMove)) {
                r.error = QStringLiteral("unknown input kind %1").arg(kind);
                ok = false;
            }
            m.kind = InputKind(kind);
            *out = m;
            break;
        }
        case Type::FrameAck: {
            FrameAck m;
            ok = r.u32(&m.seq) && r.atEnd();
            *out = m;
            break;
        }
        case Type::KeyframeRequest: {
            KeyframeRequest m;
            ok = r.u32(&m.lastGoodSeq) && r.atEnd();
            *out = m;
            break;
        }
        case Type::Response: {
            Response m;
            ok = r.u32(&m.id) && r.i32(&m.code) && r.bytes32(&m.data, kMaxAnswer, "answer") && r.atEnd();
            *out = m;
            break;
        }
        case Type::DisplayStatus: {
            DisplayStatus m;
            ok = r.i32(&m.code) && r.atEnd();
            *out = m;
            break;
        }
        case Type::Frame:
        case Type::VideoFrame: {
            Frame m;
            const bool video = Type(type) == Type::VideoFrame;
            m.codec = video ? Codec::H264 : Codec::Jpeg;
            quint8 flags = 0;
            ok = r.u32(&m.seq) && r.u32(&m.inputAck) && r.u16(&m.width) && r.u16(&m.height) &&
                 r.u8(&m.rotation) && r.u64(&m.renderedAtUs) && (!video || r.u8(&flags)) &&
                 r.bytes32(&m.data, kMaxAnswer, "frame") && r.atEnd();
            if (ok && (m.width == 0 || m.height == 0 || m.rotation > 3 ||
                       qint64(m.width) * m.height > kMaxFramePixels)) {
                r.error = QStringLiteral("bad frame geometry");
                ok = false;
            } else if (ok && video && (flags > 1 || m.data.isEmpty() || m.width % 2 || m.height % 2)) {
                // 4:2:0 pictures have even sides; an empty access unit decodes to nothing.
                r.error = QStringLiteral("bad video frame");
                ok = false;
            }
            m.keyframe = flags == 1;
            *out = m;
            break;
        }
        default:
            r.error = QStringLiteral("unknown message type 0x%1").arg(type, 2, 16, QLatin1Char('0'));
            ok = false;
        }
    }
    if (!ok && error)
        *error = r.error;
    return ok;
}

FrameReader::Result FrameReader::next(QByteArray *body, QString *error)
{
    if (failed_)
        return Result::Error;
    if (buffered() < 4)
        return Result::NeedMore;
    const quint32 length = qFromLittleEndian<quint32>(buffer_.constData() + pos_);
    if (length == 0 || length > maxBody_) {
        failed_ = true;
        if (error)
            *error = QStringLiteral("frame length %1 outside 1..%2").arg(length).arg(maxBody_);
        return Result::Error;
    }
    if (quint32(buffered() - 4) < length)
        return Result::NeedMore;
    *body = buffer_.mid(pos_ + 4, int(length));
    pos_ += 4 + int(length);
    // Compact once the consumed prefix dominates, so a long stream does not
    // keep every frame it has seen.
    if (pos_ > 65536 && pos_ * 2 > buffer_.size()) {
        buffer_.remove(0, pos_);
        pos_ = 0;
    }
    return Result::Frame;
}

FrameReader::Result FrameReader::nextMessage(Message *out, QString *error)
{
    QByteArray body;
    const Result result = next(&body, error);
    if (result != Result::Frame)
        return result;
    if (!decode(body, out, error)) {
        failed_ = true;
        return Result::Error;
    }
    return Result::Frame;
}

void FrameReader::feed(const QByteArray &bytes, const std::function<bool(Message &)> &onMessage,
                       const std::function<void(const QString &)> &onError)
{
    append(bytes);
    for (;;) {
        Message message;
        QString error;
        const Result result = nextMessage(&message, &error);
        if (result == Result::NeedMore)
            return;
        if (result == Result::Error) {
            onError(error);
            return;
        }
        if (!onMessage(message))
            return;
    }
}

QByteArray previewPayload(qint32 quality, qint32 sizeCode)
{
    Writer w;
    w.u32(quint32(quality));
    w.u32(quint32(sizeCode));
    return w.out;
}

bool parsePreviewPayload(const QByteArray &p, qint32 *quality, qint32 *sizeCode)
{
    Reader r(p);
    return r.i32(quality) && r.i32(sizeCode) && r.atEnd();
}

QByteArray int32Payload(qint32 value)
{
    Writer w;
    w.u32(quint32(value));
    return w.out;
}

bool parseInt32Payload(const QByteArray &p, qint32 *value)
{
    Reader r(p);
    return r.i32(value) && r.atEnd();
}

QByteArray transferPayload(bool install, const QByteArray &url)
{
    Writer w;
    w.u8(install ? 1 : 0);
    w.bytes16(url, CC_MAX_URL_BYTES);
    return w.out;
}

bool parseTransferPayload(const QByteArray &p, bool *install, QByteArray *url)
{
    Reader r(p);
    quint8 flag = 0;
    if (!(r.u8(&flag) && r.bytes16(url, CC_MAX_URL_BYTES, "url") && r.atEnd()) || flag > 1)
        return false;
    *install = flag == 1;
    return true;
}

bool parseKeyPayload(const QByteArray &p, KeyEvent *out)
{
    Reader r(p);
    quint8 action = 0, pad[3] = {};
    if (!(r.i32(&out->code) && r.u8(&action) && r.u8(&pad[0]) && r.u8(&pad[1]) && r.u8(&pad[2]) && r.atEnd()))
        return false;
    out->action = action;
    return (action == 1 || action == 2) && out->code >= 0 && out->code < 1000;
}

QByteArray touchPayload(const Touch &t)
{
    Writer w;
    w.u8(1);
    w.u8(quint8(t.action));
    w.u8(t.pointer);
    w.u8(0);
    w.u16(t.x);
    w.u16(t.y);
    w.u32(t.timeMs);
    return w.out;
}

bool parseTouchPayload(const QByteArray &p, Touch *out)
{
    Reader r(p);
    quint8 version = 0, action = 0, reserved = 0;
    if (!(r.u8(&version) && r.u8(&action) && r.u8(&out->pointer) && r.u8(&reserved) && r.u16(&out->x) &&
          r.u16(&out->y) && r.u32(&out->timeMs) && r.atEnd()))
        return false;
    if (version != 1 || action > quint8(TouchAction::Move) || out->pointer > 9)
        return false;
    out->action = TouchAction(action);
    return true;
}

} // namespace ccwire
