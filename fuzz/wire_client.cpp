// The library's side of the wire: whatever a gateway (or something posing as
// one) sends, split at an arbitrary point as a socket may deliver it.

#include "coreclient/wire.h"

#include <cstdint>
#include <cstdlib>

namespace {

// A decoded message must encode back to the same frame: the codec reads
// exactly what it writes.
void roundTrip(const QByteArray &body)
{
    ccwire::Message message;
    QString error;
    if (!ccwire::decode(body, &message, &error))
        return;
    const QByteArray again = ccwire::encode(message);
    if (again.mid(4) != body)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    const int cut = size ? data[0] % int(size + 1) : 0;
    ccwire::FrameReader reader(ccwire::kMaxGatewayFrame);
    for (const QByteArray &piece : {input.left(cut), input.mid(cut)}) {
        reader.append(piece);
        for (;;) {
            QByteArray body;
            QString error;
            const auto result = reader.next(&body, &error);
            if (result != ccwire::FrameReader::Result::Frame)
                break;
            roundTrip(body);
        }
    }
    return 0;
}
