#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

// Typed readers of the bus payloads that app/messages.h describes, one per layout. Each reads the
// text once: text that is no JSON object, a missing key or a value of the wrong type gives the
// field's default, so a receiver never acts on half a value; an optional field that is absent says
// the message is not to be acted on. Numbers are whole numbers in int range, as JSON numbers or as
// decimal text (ids often travel as text); anything else is the default. `json()` is what the
// posters write, so each key is spelled here only. Any thread: plain values, no shared state.
namespace payload {

// Msg::showDialog: a dialog request, and the answer it comes back as (askDialog).
struct DialogRequest
{
    int kind = 0;       // Dialog::Kind
    int answerType = 0; // "msgId": the message a confirmed dialog posts; 0 for none
    QString label;      // "lbl_1_Text"
    QString download;   // "download": an update's address
    QJsonObject fields; // the whole request, echoed in the answer

    static DialogRequest read(const QString &text);
};

// Msg::uploadFiles.
struct UploadRequest
{
    QString deviceId;  // empty: the ticked phones
    QStringList files; // no "files": ask with a file dialog; an entry of the wrong type is ""
    bool hasFiles = false;

    static UploadRequest read(const QString &text);
    QJsonObject json() const;
};

// Msg::openPhone. The two numbers travel as decimal text.
struct OpenPhone
{
    QString deviceId;
    QString deviceName;
    QString deviceUcId;
    QString deviceNo;
    int cloudPhoneId = 0;
    quint64 deviceUcIdTimestamp = 0;

    static OpenPhone read(const QString &text);
    QJsonObject json() const;
};

// Msg::controlWindowClosed, Msg::homeKey, and the answers Msg::restartPhones and Msg::resetPhones.
struct DeviceRef
{
    QString deviceId; // empty: the ticked phones

    static DeviceRef read(const QString &text);
    QJsonObject json() const;
};

// The answer Msg::clipboardText.
struct ClipboardAnswer
{
    QString deviceId; // empty: the ticked phones
    QString text;     // "txtClip"

    static ClipboardAnswer read(const QString &text);
};

// Msg::syncOperation.
struct SyncSwitch
{
    bool on = false; // "SyncOperation"

    static SyncSwitch read(const QString &text);
    QJsonObject json() const;
};

// The answers Msg::createGroup, Msg::removeGroup and Msg::renameGroup.
struct GroupAnswer
{
    int groupId = 0; // "orderId"
    QString name;

    static GroupAnswer read(const QString &text);
};

// The answer Msg::renamePhone ("cloudId") and the notice Msg::phoneRenamed ("phoneId").
struct PhoneName
{
    int cloudPhoneId = 0;
    std::optional<QString> name;

    static PhoneName readAnswer(const QString &text);
    static PhoneName read(const QString &text);
    QJsonObject json() const;
};

// The answer Msg::checkFirstN.
struct CountAnswer
{
    int count = 0;

    static CountAnswer read(const QString &text);
};

// The answer Msg::renameByPrefix. No prefix: not an answer to act on.
struct PrefixAnswer
{
    std::optional<QString> prefix;

    static PrefixAnswer read(const QString &text);
};

// Msg::moveToGroup: the group id as plain decimal text; none when the text is no number.
std::optional<int> readGroupId(const QString &text);

// Msg::tileStatusChanged.
struct TileStatus
{
    QString deviceId;
    int status = 0; // "tileStatus"; 0: none

    static TileStatus read(const QString &text);
    QJsonObject json() const;
};

// Msg::phoneChecked. Both keys or none: a change that lacks one is not acted on.
struct CheckChange
{
    int cloudPhoneId = 0;        // "cloudId"
    std::optional<bool> checked; // "isChecked"

    static CheckChange read(const QString &text);
    QJsonObject json() const;
};

// Msg::phoneRotated.
struct Rotation
{
    QString deviceId;
    std::optional<int> rotation;

    static Rotation read(const QString &text);
    QJsonObject json() const;
};

// Msg::openAppDialog.
struct AppDialogRequest
{
    int operation = 0; // "type": SdkManager's AppStart, AppStop or AppUninstall

    static AppDialogRequest read(const QString &text);
    static AppDialogRequest fromJson(const QJsonObject &object);
    QJsonObject json() const;
};

// Msg::uploadEnded, Msg::uploadHandedOver and Msg::transferResult: one upload's progress.
struct UploadProgress
{
    int uploadId = 0;
    bool stored = false; // uploadEnded
    int failed = 0;      // uploadHandedOver: phones that could not be told
    QString deviceId;    // transferResult: one phone's answer
    int code = 0;        // negative: failed
    QString detail;

    static UploadProgress read(const QString &text);
    static QJsonObject ended(int uploadId, bool stored);
    static QJsonObject handedOver(int uploadId, int failed);
    static QJsonObject result(int uploadId, const QString &deviceId, int code, const QString &detail);
};

// Msg::macroProgress.
struct MacroProgress
{
    int cloudPhoneId = 0;
    QString deviceId;
    QString name;
    int index = 0; // the phone's place in replay order
    int sent = 0;
    int total = 0;
    QString state; // waiting, running, done, stopped, unticked, restarted or failed

    static MacroProgress read(const QString &text);
    // The last report of a phone adds its timing drift to `extra`.
    QJsonObject json(const QJsonObject &extra = QJsonObject()) const;
};

// Msg::macroFinished.
struct MacroFinished
{
    bool stopped = false;
    QString error; // empty: the recording was replayed

    static MacroFinished read(const QString &text);
    QJsonObject json() const;
};

} // namespace payload
