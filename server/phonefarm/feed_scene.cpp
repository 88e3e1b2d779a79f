#include "server/phonefarm/scenes.h"
#include "server/phonefarm/screen.h"
#include "server/phonefarm/textures.h"

#include <QPainterPath>

#include <cmath>

namespace farm {

namespace {

// A flick every 1.5 s: fast at first, slowing to a reading pace.
constexpr double kFlickS = 1.5;
constexpr double kFlickPeak = 2600; // layout units per second
constexpr double kReadingPace = 120;
constexpr double kFlickDecayS = 0.35;

enum class Post
{
    Photo,
    Text,
    News,
    Clip, // a video that plays while in view
};

// Posts repeat in this order, each kind with its own height, so any scroll
// offset maps to a post by arithmetic.
constexpr Post kPattern[] = {Post::Photo, Post::Text,  Post::News, Post::Clip,
                             Post::News,  Post::Photo, Post::News, Post::Text};
constexpr int kPatternSize = int(sizeof(kPattern) / sizeof(kPattern[0]));
constexpr double kGap = 16;
constexpr double kColumn = 720;
constexpr double kHeader = 96;
constexpr double kLine = 42;
constexpr double kActions = 72;
constexpr double kPhotoW = 640;
constexpr double kPhotoH = 400;
constexpr double kNewsH = 168;
constexpr double kClipH = 360;
constexpr int kLineChars = 21;

double postHeight(Post kind)
{
    switch (kind) {
    case Post::Photo:
        return kHeader + 2 * kLine + kPhotoH + kActions + kGap;
    case Post::Text:
        return kHeader + 4 * kLine + kActions + kGap;
    case Post::News:
        return kNewsH + kGap;
    case Post::Clip:
        return kHeader + kLine + kClipH + kActions + kGap;
    }
    return 0;
}

double patternHeight()
{
    double total = 0;
    for (Post kind : kPattern)
        total += postHeight(kind);
    return total;
}

quint32 mixBits(quint32 a, quint32 b)
{
    quint32 h = a * 0x9e3779b1u ^ (b + 0x7f4a7c15u) * 0x85ebca6bu;
    h ^= h >> 15;
    h *= 0xc2b2ae35u;
    return h ^ (h >> 13);
}

const QStringList &phrases()
{
    static const QStringList all = {
        QStringLiteral("今天的天气真不错"),
        QStringLiteral("周末去爬山了"),
        QStringLiteral("推荐一家新开的咖啡店"),
        QStringLiteral("城市的夜景"),
        QStringLiteral("拍得怎么样？"),
        QStringLiteral("分享一下我的午餐"),
        QStringLiteral("路上的风景"),
        QStringLiteral("刚看完一部电影"),
        QStringLiteral("新的一周加油"),
        QStringLiteral("湖边散步"),
        QStringLiteral("第一次尝试"),
        QStringLiteral("大家觉得呢"),
        QStringLiteral("记录生活"),
        QStringLiteral("光线刚刚好"),
        QStringLiteral("朋友推荐的"),
        QStringLiteral("值得一去"),
        QStringLiteral("下次还来"),
        QStringLiteral("#旅行#"),
        QStringLiteral("#美食#"),
        QStringLiteral("2026"),
        QStringLiteral("有点累但很开心"),
        QStringLiteral("晚安"),
        QStringLiteral("早上好"),
        QStringLiteral("第 3 天"),
        QStringLiteral("限时优惠 50%"),
        QStringLiteral("新品上市"),
        QStringLiteral("转发抽奖"),
    };
    return all;
}

// A line of text made of phrases picked by the post and line number.
QString textLine(quint32 post, int line, int chars = kLineChars)
{
    QString text;
    for (int i = 0; text.size() < chars; ++i) {
        if (!text.isEmpty())
            text += QStringLiteral("，");
        text += phrases()[int(mixBits(post, quint32(line * 16 + i)) % quint32(phrases().size()))];
    }
    return text.left(chars - int(mixBits(post, quint32(line)) % 5));
}

QString userName(quint32 post)
{
    static const QString family = QStringLiteral("王李张刘陈杨黄赵吴周徐孙马朱胡郭何林");
    static const QString given = QStringLiteral("伟芳娜敏静丽强磊军洋勇艳杰涛明超秀霞平刚桂英");
    return family.mid(int(mixBits(post, 1) % quint32(family.size())), 1) +
           given.mid(int(mixBits(post, 2) % quint32(given.size())), 1) +
           given.mid(int(mixBits(post, 3) % quint32(given.size())), 1);
}

// A crop of one of the photos, at one device pixel per layout unit when the screen is 720 wide.
void drawCrop(QPainter &p, const QRectF &target, quint32 post)
{
    const QImage image = photo(int(mixBits(post, 4) % kPhotoCount));
    const double x = mixBits(post, 5) % quint32(kPhotoWidth - int(target.width()) + 1);
    const double y = mixBits(post, 6) % quint32(kPhotoHeight - int(target.height()) + 1);
    p.drawImage(target, image, QRectF(x, y, target.width(), target.height()));
}

void drawHeader(QPainter &p, const QRectF &card, quint32 post)
{
    const QPointF avatar(card.left() + 56, card.top() + kHeader / 2);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor::fromHsv(int(mixBits(post, 7) % 360), 120, 200));
    p.drawEllipse(avatar, 30, 30);
    const QString name = userName(post);
    p.setPen(Qt::white);
    p.setFont(uiFont(28, true));
    p.drawText(QRectF(avatar.x() - 30, avatar.y() - 30, 60, 60), Qt::AlignCenter, name.left(1));
    p.setPen(QColor(30, 30, 30));
    p.drawText(QRectF(avatar.x() + 48, card.top() + 14, 400, 40), Qt::AlignLeft | Qt::AlignVCenter, name);
    p.setPen(QColor(140, 140, 140));
    p.setFont(uiFont(22));
    p.drawText(QRectF(avatar.x() + 48, card.top() + 50, 400, 32), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("%1 分钟前").arg(1 + mixBits(post, 8) % 59));
}

void drawActions(QPainter &p, const QRectF &row, quint32 post)
{
    p.setFont(uiFont(24));
    const QStringList labels = {QStringLiteral("赞 %1").arg(mixBits(post, 9) % 999),
                                QStringLiteral("评论 %1").arg(mixBits(post, 10) % 99),
                                QStringLiteral("分享")};
    for (int i = 0; i < labels.size(); ++i) {
        const QRectF cell(row.left() + i * row.width() / 3, row.top(), row.width() / 3, row.height());
        p.setPen(QPen(QColor(150, 150, 150), 3));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(cell.left() + 40, cell.center().y()), 12, 12);
        p.setPen(QColor(110, 110, 110));
        p.drawText(cell.adjusted(64, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, labels[i]);
    }
}

void drawClip(QPainter &p, const QRectF &box, quint32 post, double t)
{
    p.save();
    p.translate(box.topLeft());
    // Each clip starts at its own moment of the landscape.
    drawLandscape(p, t + mixBits(post, 12) % 600, box.size());
    p.restore();
    const QRectF label(box.right() - 110, box.bottom() - 52, 94, 36);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 140));
    p.drawRoundedRect(label, 18, 18);
    p.setPen(Qt::white);
    p.setFont(uiFont(22));
    const int secs = int(t) % 60;
    p.drawText(label, Qt::AlignCenter, QStringLiteral("0:%1").arg(secs, 2, 10, QLatin1Char('0')));
}

void drawPost(QPainter &p, Post kind, const QRectF &card, quint32 post, double t)
{
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRoundedRect(card, 16, 16);
    const double inner = card.left() + (card.width() - kPhotoW) / 2;
    if (kind == Post::News) {
        const QRectF thumb(card.right() - 24 - 200, card.top() + 16, 200, kNewsH - 32);
        drawCrop(p, thumb, post);
        p.setPen(QColor(20, 20, 20));
        p.setFont(uiFont(28, true));
        for (int i = 0; i < 2; ++i)
            p.drawText(QRectF(inner, card.top() + 16 + i * kLine, thumb.left() - inner - 16, kLine),
                       Qt::AlignLeft | Qt::AlignVCenter, textLine(post, i, 13));
        p.setPen(QColor(150, 150, 150));
        p.setFont(uiFont(22));
        p.drawText(QRectF(inner, card.bottom() - 56, 400, 40), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("%1  ·  %2 评论").arg(userName(post)).arg(mixBits(post, 11) % 500));
        return;
    }
    drawHeader(p, card, post);
    const int lines = kind == Post::Photo ? 2 : kind == Post::Clip ? 1 : 4;
    p.setPen(QColor(40, 40, 40));
    p.setFont(uiFont(28));
    for (int i = 0; i < lines; ++i)
        p.drawText(QRectF(inner, card.top() + kHeader + i * kLine, kPhotoW, kLine),
                   Qt::AlignLeft | Qt::AlignVCenter, textLine(post, i));
    double y = card.top() + kHeader + lines * kLine;
    if (kind == Post::Photo) {
        drawCrop(p, QRectF(inner, y, kPhotoW, kPhotoH), post);
        y += kPhotoH;
    } else if (kind == Post::Clip) {
        drawClip(p, QRectF(inner, y, kPhotoW, kClipH), post, t);
        y += kClipH;
    }
    drawActions(p, QRectF(inner, y, kPhotoW, kActions), post);
}

} // namespace

double feedScrollOffset(qint64 elapsedMs)
{
    const auto within = [](double t) {
        return kReadingPace * t +
               (kFlickPeak - kReadingPace) * kFlickDecayS * (1 - std::exp(-t / kFlickDecayS));
    };
    const double t = qMax<qint64>(0, elapsedMs) / 1000.0;
    const double flicks = std::floor(t / kFlickS);
    return flicks * within(kFlickS) + within(t - flicks * kFlickS);
}

void drawFeed(QPainter &p, const AppInfo &app, const PhoneState &s, const QSize &screen, qint64 nowMs)
{
    const double w = screen.width(), h = screen.height();
    const QRectF bar = appBarRect(screen);
    const QRectF content(0, bar.bottom(), w, h - bar.bottom());
    p.fillRect(content, QColor(236, 236, 238));
    // Whole device pixels, as a real list scrolls.
    const double scale = p.transform().m11();
    const qint64 elapsed = nowMs - s.appOpenedMs;
    const double scroll = std::round(feedScrollOffset(elapsed) * scale) / scale;
    const double block = patternHeight();
    const double left = (w - kColumn) / 2 + kGap;
    p.save();
    p.setClipRect(content);
    qint64 index = qint64(std::floor(scroll / block)) * kPatternSize;
    double y = content.top() + std::floor(scroll / block) * block - scroll;
    while (y < h) {
        const Post kind = kPattern[index % kPatternSize];
        const double height = postHeight(kind);
        if (y + height > content.top())
            drawPost(p, kind, QRectF(left, y + kGap, kColumn - 2 * kGap, height - kGap), quint32(index),
                     qMax<qint64>(0, elapsed) / 1000.0);
        y += height;
        ++index;
    }
    p.restore();
    drawAppBar(p, app, s, screen);
}

} // namespace farm
