// Bus payloads: whatever text a message carries, every reader gives values or defaults.

#include "app/payloads.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    payload::DialogRequest::read(text);
    const payload::UploadRequest upload = payload::UploadRequest::read(text);
    // An upload that names no files is no list of files.
    if (!upload.hasFiles && !upload.files.isEmpty())
        std::abort();
    payload::OpenPhone::read(text);
    payload::DeviceRef::read(text);
    payload::ClipboardAnswer::read(text);
    payload::SyncSwitch::read(text);
    payload::GroupAnswer::read(text);
    payload::PhoneName::read(text);
    payload::PhoneName::readAnswer(text);
    payload::CountAnswer::read(text);
    payload::PrefixAnswer::read(text);
    payload::readGroupId(text);
    payload::TileStatus::read(text);
    // A change is acted on only with both keys: one without a phone must not come out checked.
    const payload::CheckChange change = payload::CheckChange::read(text);
    if (!change.checked && change.cloudPhoneId != 0)
        std::abort();
    payload::Rotation::read(text);
    payload::AppDialogRequest::read(text);
    payload::UploadProgress::read(text);
    payload::MacroProgress::read(text);
    payload::MacroFinished::read(text);
    return 0;
}
