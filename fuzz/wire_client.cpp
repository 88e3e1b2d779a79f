// The library's side of the wire: whatever a gateway (or something posing as
// one) sends, split at an arbitrary point as a socket may deliver it. The
// H.264 frames among it go through one stream's decoder, as a window's do.

#include "coreclient/video_decoder.h"
#include "wire/wire.h"

#include <cstdint>
#include <cstdlib>

namespace {

// A decoded message must encode back to the same frame: the codec reads
// exactly what it writes.
void roundTrip(const QByteArray &body, cc::VideoDecoder *decoder)
{
    ccwire::Message message;
    QString error;
    if (!ccwire::decode(body, &message, &error))
        return;
    const QByteArray again = ccwire::encode(message);
    if (again.mid(4) != body)
        std::abort();
    const auto *frame = std::get_if<ccwire::Frame>(&message);
    if (frame && frame->codec == ccwire::Codec::H264 &&
        decoder->decode(frame->data, frame->keyframe, QSize(frame->width, frame->height))) {
        // A clean decode is the announced size, scaled or not.
        const QImage full = decoder->picture();
        const QImage small = decoder->picture(QSize(frame->width / 2 + 1, frame->height / 2 + 1));
        if (full.size() != QSize(frame->width, frame->height) || small.isNull())
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    const int cut = size ? data[0] % int(size + 1) : 0;
    ccwire::FrameReader reader(ccwire::kMaxGatewayFrame);
    cc::VideoDecoder decoder;
    for (const QByteArray &piece : {input.left(cut), input.mid(cut)}) {
        reader.append(piece);
        for (;;) {
            QByteArray body;
            QString error;
            const auto result = reader.next(&body, &error);
            if (result != ccwire::FrameReader::Result::Frame)
                break;
            roundTrip(body, &decoder);
        }
    }
    return 0;
}
