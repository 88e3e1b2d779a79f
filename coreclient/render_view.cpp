#include "coreclient/render_view.h"

#include "coreclient/cc_copydata_event.h"
#include "coreclient/core_client.h"
#include "coreclient/display_link.h"
#include "coreclient/engine.h"
#include "coreclient/video_decoder.h"
#include "wire/job_queue.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QHash>
#include <QImageReader>
#include <QMouseEvent>
#include <QPainter>
#include <QtEndian>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace cc {

// The newest frame per view, handed from the I/O thread to the GUI thread. A
// frame that arrives before the GUI took the last one replaces it, so a busy
// GUI decodes only the newest; the replaced ones are acknowledged unseen,
// which keeps the gateway sending.
struct RenderView::FrameSlot
{
    static constexpr size_t kMaxReplaced = 64; // a gateway sends fewer unacknowledged frames

    std::mutex mutex; // guards frame and replaced
    std::optional<ccwire::Frame> frame;
    std::vector<quint32> replaced;
};

// A view's H.264 frames, decoded on a thread of its own. Each frame refers to
// those before it, so every one is decoded, in order; only the newest picture
// is converted and handed to the GUI. A frame that does not decode, or that
// follows a gap, is not shown: the pipe asks for a keyframe and shows nothing
// until one comes. Every frame is acknowledged once decoded or refused.
class RenderView::VideoPipe
{
public:
    static constexpr int kKeyRetryMs = 1000; // a keyframe asked for but not come is asked again

    explicit VideoPipe(std::function<void()> wakeGui) : wakeGui_(std::move(wakeGui))
    {
        thread_ = std::thread([this] { run(); });
    }

    // GUI thread, once the link has its id; until then frames wait.
    void setLink(quint64 linkId)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            linkId_ = linkId;
        }
        wake_.notify_one();
    }
    // GUI thread: the size pictures are scaled to (device pixels).
    void setBound(QSize bound)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bound_ = bound;
    }
    // I/O thread, in stream order: a frame, or a new connection (restart).
    void push(const ccwire::Frame &frame) { enqueue(Item{false, frame}); }
    void restart() { enqueue(Item{true, {}}); }

    // GUI thread: the newest decoded picture, if one came since the last call.
    std::optional<std::pair<QImage, ccwire::Frame>> take()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::optional<std::pair<QImage, ccwire::Frame>> out;
        out.swap(picture_);
        return out;
    }

    // GUI thread: joins the decoding thread; frames pushed later are dropped.
    void stop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        if (thread_.joinable())
            thread_.join();
    }

private:
    struct Item
    {
        bool restart = false;
        ccwire::Frame frame;
    };
    // Bounded by the gateway's window of unacknowledged frames; far more is a broken peer.
    static constexpr size_t kMaxQueued = 64;

    void enqueue(Item item)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                return;
            if (queue_.size() >= kMaxQueued)
                queue_.clear(); // what follows decodes only from a keyframe
            queue_.push_back(std::move(item));
        }
        wake_.notify_one();
    }

    // Decoding thread. Takes the mutex to take work and hand over pictures;
    // decodes, converts and calls into the engine without it.
    void run()
    {
        VideoDecoder decoder;
        quint32 expected = 0, lastGood = 0;
        bool asked = false;
        std::chrono::steady_clock::time_point askedAt;
        quint64 linkId = 0;
        for (;;) {
            Item item;
            QSize bound;
            bool newer;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                const auto ready = [this] { return stopping_ || (linkId_ && !queue_.empty()); };
                if (asked && decoder.waitingForKeyframe()) {
                    // A still screen sends nothing more: ask again after a while.
                    if (!wake_.wait_for(lock, std::chrono::milliseconds(kKeyRetryMs), ready)) {
                        lock.unlock();
                        Engine::instance().requestKeyframe(linkId, lastGood);
                        askedAt = std::chrono::steady_clock::now();
                        continue;
                    }
                } else {
                    wake_.wait(lock, ready);
                }
                if (stopping_)
                    return;
                item = std::move(queue_.front());
                queue_.pop_front();
                newer = std::any_of(queue_.begin(), queue_.end(), [](const Item &i) { return !i.restart; });
                bound = bound_;
                linkId = linkId_;
            }
            if (item.restart) {
                decoder.reset();
                expected = lastGood = 0;
                asked = false;
                continue;
            }
            const ccwire::Frame &frame = item.frame;
            // A gap means a frame this one refers to never came.
            if (!frame.keyframe && frame.seq != expected)
                decoder.reset();
            expected = frame.seq + 1;
            const bool ok = decoder.decode(frame.data, frame.keyframe, QSize(frame.width, frame.height));
            Engine::instance().ackDisplayFrame(linkId, frame.seq);
            if (!ok) {
                const auto now = std::chrono::steady_clock::now();
                if (!asked || now - askedAt >= std::chrono::milliseconds(kKeyRetryMs)) {
                    Engine::instance().requestKeyframe(linkId, lastGood);
                    asked = true;
                    askedAt = now;
                }
                continue;
            }
            asked = false;
            lastGood = frame.seq;
            if (newer)
                continue; // a newer frame is here already; show that one
            QImage image = decoder.picture(bound);
            if (image.isNull())
                continue;
            ccwire::Frame meta = frame;
            meta.data.clear();
            bool wake;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                wake = !picture_;
                picture_.emplace(std::move(image), std::move(meta));
            }
            if (wake)
                wakeGui_();
        }
    }

    std::function<void()> wakeGui_;
    std::mutex mutex_; // guards all below but the thread
    std::condition_variable wake_;
    std::deque<Item> queue_;
    std::optional<std::pair<QImage, ccwire::Frame>> picture_;
    QSize bound_;
    quint64 linkId_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

namespace {

// GUI thread only: the render children by id. Frames address their view by
// id, so one that arrives after its view has gone finds nothing.
QHash<quint64, RenderView *> &views()
{
    static QHash<quint64, RenderView *> byId;
    return byId;
}

// Carries frames and status from the I/O thread to the GUI thread. Made on the
// GUI thread by the first view and kept for the life of the process.
JobQueue *guiQueue()
{
    static JobQueue *queue = new JobQueue;
    return queue;
}

QString statusText(int status)
{
    switch (status) {
    case kLinkConnecting:
        return QStringLiteral("正在连接…");
    case CC_ERR_REBOOTING:
        return QStringLiteral("手机重启中…");
    case CC_ERR_UNREACHABLE:
    case CC_ERR_CONNECTION_LOST:
    case CC_ERR_PROTOCOL:
        return QStringLiteral("连接中断，正在重试…");
    case CC_ERR_BAD_CREDENTIAL:
        return QStringLiteral("访问凭证无效");
    case CC_ERR_EXPIRED_CREDENTIAL:
        return QStringLiteral("访问凭证已过期");
    case CC_ERR_UNKNOWN_PHONE:
        return QStringLiteral("找不到这台手机");
    default:
        return QStringLiteral("连接失败 (%1)").arg(status);
    }
}

} // namespace

RenderView::RenderView(QWidget *surface, const QByteArray &deviceUcId, const QByteArray &deviceId,
                       bool viewOnly)
    : QWidget(surface), viewOnly_(viewOnly), status_(kLinkConnecting)
{
    setObjectName(QStringLiteral("ccRenderView"));
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setGeometry(surface->rect());
    surface->installEventFilter(this);
    static quint64 nextViewId = 1;
    viewId_ = nextViewId++;
    views().insert(viewId_, this);

    JobQueue *gui = guiQueue();
    const quint64 viewId = viewId_;
    slot_ = std::make_shared<FrameSlot>();
    video_ = std::make_shared<VideoPipe>([gui, viewId] {
        gui->post([viewId] {
            if (RenderView *view = views().value(viewId))
                view->takePicture();
        });
    });
    video_->setBound(size() * devicePixelRatioF());
    auto *link = new DisplayLink(
        deviceUcId, deviceId, viewOnly,
        // I/O thread; takes the slot's or the pipe's mutex. One wake-up per batch of frames.
        [gui, viewId, slot = slot_, video = video_](const ccwire::Frame &frame) {
            if (frame.codec == ccwire::Codec::H264) {
                video->push(frame);
                return;
            }
            bool wake;
            {
                std::lock_guard<std::mutex> lock(slot->mutex);
                wake = !slot->frame;
                if (slot->frame && slot->replaced.size() < FrameSlot::kMaxReplaced)
                    slot->replaced.push_back(slot->frame->seq);
                slot->frame = frame;
            }
            if (wake) {
                gui->post([viewId] {
                    if (RenderView *view = views().value(viewId))
                        view->takeFrame();
                });
            }
        },
        [gui, viewId, video = video_](int status) {
            if (status == kLinkConnecting)
                video->restart();
            gui->post([viewId, status] {
                if (RenderView *view = views().value(viewId))
                    view->onStatus(status);
            });
        });
    linkId_ = Engine::instance().openDisplay(link);
    if (linkId_ == 0)
        delete link;
    else
        video_->setLink(linkId_);
    show();
    raise();
}

RenderView::~RenderView()
{
    views().remove(viewId_);
    video_->stop();
    if (linkId_)
        Engine::instance().closeDisplay(linkId_);
}

RenderView *RenderView::of(QWidget *surface)
{
    for (RenderView *view : qAsConst(views())) {
        if (view->parentWidget() == surface)
            return view;
    }
    return nullptr;
}

void RenderView::closeAll()
{
    const auto all = views().values();
    qDeleteAll(all);
}

bool RenderView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize) {
        setGeometry(parentWidget()->rect());
        video_->setBound(size() * devicePixelRatioF());
    }
    return QWidget::eventFilter(watched, event);
}

void RenderView::onStatus(int status)
{
    status_ = status;
    if (status != 0)
        streamAnnounced_ = false;
    emit statusChanged(status);
    update();
}

// GUI thread; takes the slot's mutex, and acks without it.
void RenderView::takeFrame()
{
    std::optional<ccwire::Frame> frame;
    std::vector<quint32> replaced;
    {
        std::lock_guard<std::mutex> lock(slot_->mutex);
        frame.swap(slot_->frame);
        replaced.swap(slot_->replaced);
    }
    for (const quint32 seq : replaced)
        Engine::instance().ackDisplayFrame(linkId_, seq);
    if (frame)
        onFrame(*frame);
}

void RenderView::onFrame(const ccwire::Frame &frame)
{
    // Decode straight to the painted size: the JPEG decoder scales in the DCT
    // domain, which costs a fraction of a full decode plus a rescale.
    const QSize phone(frame.width, frame.height);
    const qreal dpr = devicePixelRatioF();
    QSize target = phone.scaled(size() * dpr, Qt::KeepAspectRatio);
    if (target.width() > phone.width() || target.isEmpty())
        target = phone;
    QByteArray jpeg = frame.data;
    QBuffer buffer(&jpeg);
    QImageReader reader(&buffer, "jpeg");
    reader.setScaledSize(target);
    QImage image = reader.read();
    Engine::instance().ackDisplayFrame(linkId_, frame.seq);
    if (image.isNull())
        return;
    showPicture(image, frame);
}

// GUI thread; takes the pipe's mutex.
void RenderView::takePicture()
{
    if (auto picture = video_->take())
        showPicture(picture->first, picture->second);
}

void RenderView::showPicture(const QImage &picture, const ccwire::Frame &frame)
{
    QImage image = picture;
    image.setDevicePixelRatio(devicePixelRatioF());
    const QSize phone(frame.width, frame.height);
    image_ = image;
    phoneSize_ = phone;
    frameSeq_ = frame.seq;
    frameInputAck_ = frame.inputAck;
    frameRenderedAtUs_ = qint64(frame.renderedAtUs);
    if (!streamAnnounced_) {
        streamAnnounced_ = true;
        notifySurface(103, {});
    }
    if (frame.rotation != rotation_) {
        rotation_ = frame.rotation;
        char value[4];
        qToLittleEndian<qint32>(rotation_, value);
        notifySurface(3, QByteArray(value, 4));
    }
    update();
}

QRect RenderView::imageRect() const
{
    if (phoneSize_.isEmpty())
        return {};
    const QSize fitted = phoneSize_.scaled(size(), Qt::KeepAspectRatio);
    return QRect(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted);
}

void RenderView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    const QRect target = imageRect();
    if (!image_.isNull()) {
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(target, image_);
    }
    if (status_ != 0) {
        if (!image_.isNull())
            painter.fillRect(target, QColor(0, 0, 0, 150));
        painter.setPen(Qt::white);
        QFont font = painter.font();
        font.setPixelSize(qBound(10, height() / 30, 18));
        painter.setFont(font);
        painter.drawText(rect(), Qt::AlignCenter | Qt::TextWordWrap, statusText(status_));
    }
    if (!image_.isNull() && paintedSeq_ != frameSeq_) {
        paintedSeq_ = frameSeq_;
        emit framePainted(frameSeq_, frameInputAck_, frameRenderedAtUs_);
    }
}

bool RenderView::toPhone(const QPoint &pos, bool clamp, quint16 *x, quint16 *y) const
{
    const QRect r = imageRect();
    if (r.isEmpty() || (!clamp && !r.contains(pos)))
        return false;
    const double fx = qBound(0.0, double(pos.x() - r.x()) / qMax(1, r.width() - 1), 1.0);
    const double fy = qBound(0.0, double(pos.y() - r.y()) / qMax(1, r.height() - 1), 1.0);
    *x = quint16(qRound(fx * ccwire::kTouchSpan));
    *y = quint16(qRound(fy * ccwire::kTouchSpan));
    return true;
}

void RenderView::mousePressEvent(QMouseEvent *event)
{
    // The surface keeps keyboard focus: keys and text are the host's to send.
    if (parentWidget()->focusPolicy() != Qt::NoFocus)
        parentWidget()->setFocus(Qt::MouseFocusReason);
    quint16 x, y;
    if (event->button() != Qt::LeftButton || pressed_ || !toPhone(event->pos(), false, &x, &y))
        return;
    pressed_ = true;
    gesture_.start();
    sendTouch(ccwire::TouchAction::Down, x, y);
}

void RenderView::mouseMoveEvent(QMouseEvent *event)
{
    quint16 x, y;
    if (pressed_ && toPhone(event->pos(), true, &x, &y))
        sendTouch(ccwire::TouchAction::Move, x, y);
}

void RenderView::mouseReleaseEvent(QMouseEvent *event)
{
    quint16 x, y;
    if (event->button() != Qt::LeftButton || !pressed_)
        return;
    pressed_ = false;
    if (toPhone(event->pos(), true, &x, &y))
        sendTouch(ccwire::TouchAction::Up, x, y);
}

void RenderView::sendTouch(ccwire::TouchAction action, quint16 x, quint16 y)
{
    if (viewOnly_ || status_ != 0)
        return;
    ccwire::Touch touch;
    touch.action = action;
    touch.x = x;
    touch.y = y;
    touch.timeMs = quint32(gesture_.elapsed());
    const QByteArray payload = ccwire::touchPayload(touch);
    const bool move = action == ccwire::TouchAction::Move;
    const quint32 seq = ++inputSeq_;
    Engine::instance().sendDisplayInput(
        linkId_, move ? ccwire::InputKind::TouchMove : ccwire::InputKind::TouchUpDown, payload, seq);
    emit inputSent(seq);
    notifySurface(move ? 105 : 104, payload);
}

void RenderView::notifySurface(int dwData, const QByteArray &data)
{
    QCoreApplication::postEvent(parentWidget(), new CcCopyDataEvent(dwData, data));
}

} // namespace cc
