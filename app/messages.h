#pragma once

#include <QJsonObject>
#include <QString>

// Every event-bus message type and every dialog kind of the program, in one place. The numbers are
// the wire between posters and subscribers and never change; add new ones here, never as literals.
namespace Msg {
enum Type : int
{
    exitProgram = 1,
    toggleMaximized = 2,
    minimizeWindow = 3,
    showUserInfo = 4,
    // The text is a dialog request (see Dialog::Kind); the dialog answers with the request's "msgId".
    showDialog = 5,
    uploadFiles = 6,
    minimizeControlWindow = 12,
    openPhone = 20,
    controlWindowClosed = 21,
    homeKey = 22,
    restartPhones = 23,
    resetPhones = 24,
    clipboardText = 26,
    syncOperation = 27,
    // Posted after a reload that found no phones before, and by a tile that moved its phone.
    rebuildTree = 30,
    inventoryReloaded = 31,
    createGroup = 32,
    removeGroup = 33,
    renameGroup = 34,
    renamePhone = 35,
    phoneRenamed = 36,
    checkFirstN = 37,
    bigView = 52,
    mediumView = 53,
    smallView = 54,
    repaintMainWindow = 55,
    previewFrame = 56,
    tileStatusChanged = 57,
    tileChecked = 62,
    phoneChecked = 63,
    phoneRotated = 70,
    moveToGroup = 80,
    renameByPrefix = 81,
    openAppDialog = 90,
    installedPackages = 91,
    screenshot = 92,
    openFromTree = 93,
    // An upload job ended: {"uploadId", "stored": true when the object store has the file}.
    uploadEnded = 100,
    // The phones of a stored upload have been told to fetch it: {"uploadId", "failed": how many of
    // them could not be told, each also reported as a failed transfer result}.
    uploadHandedOver = 101,
    // One phone's answer to a transfer: {"uploadId", "deviceId", "code" (negative: failed), "detail"}.
    transferResult = 102,
    // One phone's replay of a recorded macro: {"cloudPhoneId", "deviceId", "name", "index", "sent",
    // "total", "state": waiting, running, done, stopped, unticked, restarted or failed}; the last one
    // of a phone adds its timing drift "driftP50Ms", "driftP95Ms", "driftMaxMs".
    macroProgress = 120,
    // Every phone's replay has ended: {"stopped", "error" when the recording could not be replayed}.
    macroFinished = 121,
    // The toolbar asks for the macro replay dialog.
    openMacroDialog = 122,
    showLoginPage = 190,
    loggedIn = 191,

    // Subscribed by the named receiver but posted by nobody yet; kept so that the receiver's
    // subscriptions stay as they are.
    gridReserved50 = 50,
    gridReserved61 = 61,
    toolbarReserved60 = 60,
    toolbarReserved67 = 67,
    toolbarReserved68 = 68,
    toolbarReserved69 = 69,
    tileReserved65 = 65,
    tileReserved66 = 66
};
} // namespace Msg

// The "type" of a dialog request: which inputs the dialog shows and which key its answer adds.
namespace Dialog {
enum Kind : int
{
    clipboardInput = 2, // answer adds "txtClip"
    renameGroup = 3,    // "lbl_1_Text" fills the input; answer adds "name"
    nameInput = 5,      // answer adds "name"
    confirmRemove = 7,
    renamePhone = 8, // as renameGroup
    prefixInput = 9, // answer adds "prefix"
    countInput = 10, // answer adds "count"
    updateNotice = 12,
    forcedUpdate = 13, // confirming exits the program
    initFailed = 253,  // closing exits the program
    notice = 254,
    confirm = 255
};
} // namespace Dialog

// Any thread: posts `type` on the process-wide bus with `payload` as indented JSON text (no text
// for an empty payload), to every subscriber or only to those subscribed under `target`.
void post(int type, const QJsonObject &payload = QJsonObject(), const QString &target = QString());
// Any thread: posts `type` with plain `text` (a digit, a decimal id) instead of JSON.
void postText(int type, const QString &text, const QString &target = QString());
// Any thread: asks the main window for a dialog of `kind`; a confirmed dialog posts `answerType`
// (0 for none) with `fields` and its input.
void askDialog(Dialog::Kind kind, int answerType, QJsonObject fields = QJsonObject());
// Any thread: a plain message dialog showing `text`.
void postNotice(const QString &text);
