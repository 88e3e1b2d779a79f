#pragma once

// The gateway protocol: length-prefixed binary frames over TCP, shared by
// core-client and the phone farm. PROTOCOL.md describes the layout.

#include "wire/codes.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <variant>

namespace ccwire {

// Display stream versions: 1 knows only JPEG frames; 2 also takes H.264
// frames and may ask for a keyframe. A gateway answers a version it does not
// know with DisplayStatus CC_ERR_PROTOCOL, so a client can fall back.
constexpr quint16 kVersionJpeg = 1;
constexpr quint16 kVersion = 2;

// Largest frame body each side accepts. Requests are small; answers carry
// screenshots and frames.
constexpr quint32 kMaxClientFrame = 16 * 1024;
constexpr quint32 kMaxGatewayFrame = 16 * 1024 * 1024;

constexpr int kMaxCredential = 255;
constexpr int kMaxDeviceId = 31;
constexpr int kMaxRequestPayload = 8192;
constexpr int kMaxInputPayload = CC_MAX_TOUCH_BYTES;
constexpr int kMaxAnswer = kMaxGatewayFrame - 64;

// A Response with this id (never a request's) says the gateway is closing an
// idle request connection and carried out nothing after its last answer.
constexpr quint32 kIdleNoticeId = 0;

// The gateway closes a connection silent this long (the farm's --idle-ms default).
constexpr int kIdleMs = 10000;
// The library closes a request connection with nothing in flight after this,
// well before the gateway's limit, so a request rarely races its close.
constexpr int kRequestIdleCloseMs = kIdleMs / 2;
// A still picture draws no acks, so a display connection that has written
// nothing for kKeepAliveMs sends FrameAck 0. Checked every kKeepAliveCheckMs,
// so the longest silence is their sum whatever the pattern of earlier writes.
constexpr int kKeepAliveMs = 3000;
constexpr int kKeepAliveCheckMs = 1000;
static_assert(kKeepAliveMs + kKeepAliveCheckMs < kIdleMs / 2, "keep-alives must beat the idle close");
// A broken display connection is opened again after a delay that doubles from
// the first to the last.
constexpr int kReconnectFirstMs = 250;
constexpr int kReconnectMaxMs = 4000;
// Frames a display stream may have unacknowledged: the window starts at the
// least and grows to one round trip's worth, up to the most.
constexpr int kMinWindow = 2;
constexpr int kMaxWindow = 8;

enum class Type : quint8
{
    Request = 0x01,
    DisplayOpen = 0x02,
    Input = 0x03,
    FrameAck = 0x04,
    KeyframeRequest = 0x05,
    Response = 0x81,
    DisplayStatus = 0x82,
    Frame = 0x83,
    VideoFrame = 0x84, // a Frame whose codec is H.264
};

enum class Codec : quint8
{
    Jpeg,
    H264
};

// Largest picture a stream may carry (width times height); keeps a peer's
// codec headers from making the decoder allocate without bound.
constexpr int kMaxFramePixels = 3840 * 2160;

enum class Op : quint8
{
    Preview = 1,
    Screencap = 2,
    Key = 3,
    FunctionKey = 4,
    Text = 5,
    TouchUpDown = 6,
    TouchMove = 7,
    Shell = 8,
    Packages = 9,
    Transfer = 10,
    UserLogin = 11,
};
constexpr quint8 kLastOp = 11;

// Display-channel input kinds.
enum class InputKind : quint8
{
    TouchUpDown = 1,
    TouchMove = 2
};

struct Request
{
    quint32 id = 0;
    Op op = Op::Preview;
    QByteArray credential;
    QByteArray deviceId;
    QByteArray payload;
};

struct DisplayOpen
{
    quint16 version = kVersion;
    QByteArray credential;
    QByteArray deviceId;
    bool viewOnly = false;
    quint8 maxFps = 30;
};

struct Input
{
    quint32 seq = 0;
    InputKind kind = InputKind::TouchUpDown;
    QByteArray payload;
};

struct FrameAck
{
    quint32 seq = 0;
};

// The client cannot decode what follows: the next frame must be a keyframe.
struct KeyframeRequest
{
    quint32 lastGoodSeq = 0; // last frame decoded, 0 for none
};

struct Response
{
    quint32 id = 0;
    qint32 code = 0;
    QByteArray data;
};

struct DisplayStatus
{
    qint32 code = 0;
};

struct Frame
{
    quint32 seq = 0;
    quint32 inputAck = 0; // last display input applied before this frame was drawn
    quint16 width = 0;
    quint16 height = 0;
    quint8 rotation = 0;
    quint64 renderedAtUs = 0; // wall clock, microseconds since the epoch
    QByteArray data;          // a JPEG picture, or one H.264 access unit (Annex B)
    Codec codec = Codec::Jpeg;
    bool keyframe = false; // H.264 only: decodable without earlier frames
};

using Message =
    std::variant<Request, DisplayOpen, Input, FrameAck, KeyframeRequest, Response, DisplayStatus, Frame>;

// Whole frames, length prefix included.
QByteArray encode(const Message &message);

// Parses one frame body (without its length prefix). Every field must be in
// range and the body fully consumed; otherwise returns false with a reason.
bool decode(const QByteArray &body, Message *out, QString *error);

// Splits a byte stream into frame bodies. Once it reports an error the stream
// is unusable and the connection must be closed.
class FrameReader
{
public:
    enum class Result
    {
        NeedMore,
        Frame,
        Error
    };

    explicit FrameReader(quint32 maxBody) : maxBody_(maxBody) {}

    void append(const QByteArray &bytes) { buffer_.append(bytes); }
    Result next(QByteArray *body, QString *error);
    // The next frame, decoded. A frame that does not decode is an error of the stream too.
    Result nextMessage(Message *out, QString *error);
    // A connection's read loop: appends bytes and hands each whole message on, in order, while
    // onMessage returns true. A malformed frame goes to onError with the reason and ends the
    // reading. A handler that returns false or reports an error may replace this reader.
    void feed(const QByteArray &bytes, const std::function<bool(Message &)> &onMessage,
              const std::function<void(const QString &)> &onError);
    int buffered() const { return buffer_.size() - pos_; }

private:
    quint32 maxBody_;
    QByteArray buffer_;
    int pos_ = 0;
    bool failed_ = false;
};

// Payloads of the requests.
QByteArray previewPayload(qint32 quality, qint32 sizeCode);
bool parsePreviewPayload(const QByteArray &p, qint32 *quality, qint32 *sizeCode);
QByteArray int32Payload(qint32 value);
bool parseInt32Payload(const QByteArray &p, qint32 *value);
QByteArray transferPayload(bool install, const QByteArray &url);
bool parseTransferPayload(const QByteArray &p, bool *install, QByteArray *url);

// The 8-byte key payload: Android key code, action 1 press / 2 release.
constexpr int kKeyPayloadSize = 8;
struct KeyEvent
{
    qint32 code = 0;
    quint8 action = 0;
};
bool parseKeyPayload(const QByteArray &p, KeyEvent *out);

// Touch payload, 12 bytes: version 1, action, pointer, 0, x and y scaled to
// 0..kTouchSpan across the screen as shown, milliseconds since the gesture began.
constexpr int kTouchSpan = 65535;
enum class TouchAction : quint8
{
    Down = 0,
    Up = 1,
    Move = 2
};
struct Touch
{
    TouchAction action = TouchAction::Down;
    quint8 pointer = 0;
    quint16 x = 0;
    quint16 y = 0;
    quint32 timeMs = 0;
};
constexpr int kTouchPayloadSize = 12;
QByteArray touchPayload(const Touch &t);
bool parseTouchPayload(const QByteArray &p, Touch *out);

} // namespace ccwire
