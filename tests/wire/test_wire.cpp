// The read loop every connection of the library and the farm runs: frames cut
// at any byte, the size cap on both sides, and what a handler may do mid-read.

#include "wire/wire.h"

#include <QtEndian>
#include <QtTest>

namespace {

QByteArray lengthPrefix(quint32 length)
{
    char b[4];
    qToLittleEndian(length, b);
    return QByteArray(b, 4);
}

// Reads everything fed so far, recording messages and the error, if any.
struct Sink
{
    QList<ccwire::Message> messages;
    QStringList errors;

    void feed(ccwire::FrameReader &reader, const QByteArray &bytes, int stopAfter = -1)
    {
        reader.feed(
            bytes,
            [this, stopAfter](ccwire::Message &message) {
                messages.append(message);
                return messages.size() != stopAfter;
            },
            [this](const QString &error) { errors.append(error); });
    }
};

quint32 ackSeq(const ccwire::Message &message)
{
    const auto *ack = std::get_if<ccwire::FrameAck>(&message);
    return ack ? ack->seq : 0;
}

} // namespace

class TestWire : public QObject
{
    Q_OBJECT

private slots:
    void framesCutAnywhere()
    {
        const QByteArray two = ccwire::encode(ccwire::FrameAck{1}) + ccwire::encode(ccwire::FrameAck{2});

        // Both in one read.
        {
            ccwire::FrameReader reader(ccwire::kMaxClientFrame);
            Sink sink;
            sink.feed(reader, two);
            QCOMPARE(sink.messages.size(), 2);
            QCOMPARE(ackSeq(sink.messages[0]), 1u);
            QCOMPARE(ackSeq(sink.messages[1]), 2u);
            QVERIFY(sink.errors.isEmpty());
            QCOMPARE(reader.buffered(), 0);
        }
        // Split at every byte, the length prefix included: each frame comes
        // whole, once, and only when its last byte has come.
        const int first = ccwire::encode(ccwire::FrameAck{1}).size();
        for (int cut = 0; cut <= two.size(); ++cut) {
            ccwire::FrameReader reader(ccwire::kMaxClientFrame);
            Sink sink;
            sink.feed(reader, two.left(cut));
            QCOMPARE(sink.messages.size(), cut < first ? 0 : cut < two.size() ? 1 : 2);
            sink.feed(reader, two.mid(cut));
            QCOMPARE(sink.messages.size(), 2);
            QCOMPARE(ackSeq(sink.messages[1]), 2u);
            QVERIFY(sink.errors.isEmpty());
        }
        // A stream that ends mid-frame waits and reports nothing.
        {
            ccwire::FrameReader reader(ccwire::kMaxClientFrame);
            Sink sink;
            sink.feed(reader, two.left(two.size() - 1));
            QCOMPARE(sink.messages.size(), 1);
            QVERIFY(sink.errors.isEmpty());
            QCOMPARE(reader.buffered(), first - 1);
        }
    }

    // The cap counts the body without its prefix; a length of 0 is as bad as one over.
    void sizeCap()
    {
        for (quint32 cap : {ccwire::kMaxClientFrame, quint32(64)}) {
            // A body of exactly the cap passes framing (and then fails to decode as a message).
            ccwire::FrameReader atCap(cap);
            atCap.append(lengthPrefix(cap) + QByteArray(int(cap), '\0'));
            QByteArray body;
            QString error;
            QCOMPARE(atCap.next(&body, &error), ccwire::FrameReader::Result::Frame);
            QCOMPARE(body.size(), int(cap));

            // One byte over is refused from its prefix alone, before the body arrives.
            for (quint32 length : {cap + 1, quint32(0)}) {
                ccwire::FrameReader over(cap);
                Sink sink;
                sink.feed(over, lengthPrefix(length));
                QCOMPARE(sink.errors.size(), 1);
                QVERIFY2(sink.errors[0].contains(QString::number(length)), qPrintable(sink.errors[0]));
                // The stream stays failed: later good frames are not read.
                sink.feed(over, ccwire::encode(ccwire::FrameAck{1}));
                QCOMPARE(sink.errors.size(), 2);
                QVERIFY(sink.messages.isEmpty());
            }
        }
        // A real message at the gateway side's cap: a Response whose data fills it.
        ccwire::Response big{7, 0, QByteArray(ccwire::kMaxAnswer, 'x')};
        const QByteArray frame = ccwire::encode(big);
        QVERIFY(quint32(frame.size() - 4) <= ccwire::kMaxGatewayFrame);
        ccwire::FrameReader reader(ccwire::kMaxGatewayFrame);
        Sink sink;
        sink.feed(reader, frame);
        QCOMPARE(sink.messages.size(), 1);
        QCOMPARE(std::get<ccwire::Response>(sink.messages[0]).data.size(), ccwire::kMaxAnswer);
        // The client side's cap refuses the same frame.
        ccwire::FrameReader small(ccwire::kMaxClientFrame);
        Sink refused;
        refused.feed(small, frame);
        QCOMPARE(refused.errors.size(), 1);
        QVERIFY(refused.messages.isEmpty());
    }

    // A good frame before a malformed one is delivered; nothing after it is.
    void malformedEndsTheRead()
    {
        QByteArray bad = ccwire::encode(ccwire::FrameAck{2});
        bad[4] = char(0x7f); // no such type
        ccwire::FrameReader reader(ccwire::kMaxClientFrame);
        Sink sink;
        sink.feed(reader, ccwire::encode(ccwire::FrameAck{1}) + bad + ccwire::encode(ccwire::FrameAck{3}));
        QCOMPARE(sink.messages.size(), 1);
        QCOMPARE(sink.errors.size(), 1);
    }

    // A handler that ends the read leaves the rest buffered for the next one,
    // and one that replaces the reader mid-read (a reconnect) is safe.
    void handlerEndsOrReplaces()
    {
        const QByteArray three = ccwire::encode(ccwire::FrameAck{1}) + ccwire::encode(ccwire::FrameAck{2}) +
                                 ccwire::encode(ccwire::FrameAck{3});
        ccwire::FrameReader reader(ccwire::kMaxClientFrame);
        Sink sink;
        sink.feed(reader, three, 1);
        QCOMPARE(sink.messages.size(), 1);
        sink.feed(reader, QByteArray());
        QCOMPARE(sink.messages.size(), 3);
        QCOMPARE(ackSeq(sink.messages[2]), 3u);

        ccwire::FrameReader replaced(ccwire::kMaxClientFrame);
        int seen = 0;
        replaced.feed(
            three,
            [&](ccwire::Message &) {
                ++seen;
                replaced = ccwire::FrameReader(ccwire::kMaxClientFrame);
                return false;
            },
            [](const QString &) { QFAIL("no error expected"); });
        QCOMPARE(seen, 1);
        QCOMPARE(replaced.buffered(), 0);
    }
};

QTEST_GUILESS_MAIN(TestWire)
#include "test_wire.moc"
