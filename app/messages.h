#pragma once

#include <QJsonObject>
#include <QString>

// Every event-bus message type and every dialog kind of the program, in one place. The numbers are
// the wire between posters and subscribers and never change; add new ones here, never as literals.
//
// Each type says what its `text` carries (nothing, plain text, or a JSON object read by its reader
// in app/payloads.h), who posts it and who receives it. A dialog answer is the request its asker
// gave askDialog, posted back by the message dialog with the user's input added.
namespace Msg {
enum Type : int
{
    // Nothing. Title bar's close, a forced update or failed start confirmed, a termination signal →
    // main window: closes every window and quits.
    exitProgram = 1,
    // Nothing. Title bar → main window.
    toggleMaximized = 2,
    // Nothing. Title bar → main window.
    minimizeWindow = 3,
    // Nothing. Title bar's user button → main window: an information box.
    showUserInfo = 4,
    // DialogRequest {"type": Dialog::Kind, "msgId": the answer's type, "lbl_1_Text", kind's own keys}.
    // askDialog and postNotice, anywhere that reports to the user → main window's message dialog.
    showDialog = 5,
    // UploadRequest {"deviceId": empty for the ticked phones, "files": local paths, none to ask with
    // a file dialog}. Control window (its button adds the phone's names, unread), tile drop → grid.
    uploadFiles = 6,
    // Nothing. Posted by nobody yet; every control window minimises.
    minimizeControlWindow = 12,
    // OpenPhone {"deviceId", "deviceName", "deviceUcId", "deviceNo", "cloudPhoneId" and
    // "deviceUcIdTimestamp" as decimal text}. Tile, tree's open menu → main window: a control window.
    openPhone = 20,
    // DeviceRef {"deviceId"}. Control window, as it closes → main window.
    controlWindowClosed = 21,
    // DeviceRef {"deviceId": empty for the ticked phones}. Tile's menu → grid: the home key.
    homeKey = 22,
    // Dialog answer, DeviceRef {"deviceId": absent for the ticked phones}. Tree, tile, toolbar → grid.
    restartPhones = 23,
    // As restartPhones.
    resetPhones = 24,
    // Dialog answer, ClipboardAnswer {"deviceId": absent for the ticked phones, "txtClip"}. Tile → grid.
    clipboardText = 26,
    // SyncSwitch {"SyncOperation": bool}. Toolbar's switch → main window.
    syncOperation = 27,
    // Nothing. Inventory, after a reload that found no phones before; a tile that moved its phone →
    // tree: rebuilds.
    rebuildTree = 30,
    // Nothing. Inventory, after every other reload → tree (rebuilds), every tile (rereads its phone).
    inventoryReloaded = 31,
    // Dialog answer, GroupAnswer {"name"}. Tree → tree.
    createGroup = 32,
    // Dialog answer, GroupAnswer {"orderId": the group}. Tree → tree.
    removeGroup = 33,
    // Dialog answer, GroupAnswer {"orderId", "name"}. Tree → tree.
    renameGroup = 34,
    // Dialog answer, PhoneName::readAnswer {"cloudId", "name"}. Tree → tree.
    renamePhone = 35,
    // PhoneName {"phoneId", "name"}. Tree, once the service took a new name → grid: the tile's caption.
    phoneRenamed = 36,
    // Dialog answer, CountAnswer {"count"}. Tree → tree: ticks the first phones.
    checkFirstN = 37,
    // Nothing. Toolbar's display menu → preview queue, grid, toolbar: the tile size.
    bigView = 52,
    // As bigView.
    mediumView = 53,
    // As bigView.
    smallView = 54,
    // Nothing. Preview queue, every 2.5 s → main window, grid: the tiles draw their newest frame.
    repaintMainWindow = 55,
    // `buffer`: the device id; no text. Preview queue's library callback → preview queue: decode the
    // newest frame of that phone.
    previewFrame = 56,
    // TileStatus {"deviceId", "tileStatus"}. Grid's restart, reset and status tasks → grid.
    tileStatusChanged = 57,
    // {"deviceId", "isChecked"}. Tile's own box → nobody reads it.
    tileChecked = 62,
    // CheckChange {"cloudId", "isChecked"}. Tree → grid (tiles), main window (closes unticked
    // phones' control windows).
    phoneChecked = 63,
    // Rotation {"deviceId", "rotation"}. Phone display surface → control window.
    phoneRotated = 70,
    // The group id as plain decimal text (readGroupId). Toolbar's move menu → grid: moves the ticked
    // phones.
    moveToGroup = 80,
    // Dialog answer, PrefixAnswer {"prefix"}. Toolbar → grid: renames the ticked phones.
    renameByPrefix = 81,
    // AppDialogRequest {"type": start, stop or uninstall}. Toolbar → main window: the app dialog.
    openAppDialog = 90,
    // `buffer`: the device id; text: the package list (parsePackageList in ui/). Session manager's
    // library callback → app dialog.
    installedPackages = 91,
    // `buffer`: the file name stem (device id); text: PNG bytes one per character. Session manager's
    // library callback → main window: saves it.
    screenshot = 92,
    // Nothing; `target`: the phone's device id. Posted by nobody yet (the tree posts openPhone itself);
    // the tile of that phone opens it.
    openFromTree = 93,
    // UploadProgress {"uploadId", "stored": true when the object store has the file}. Grid's upload
    // job → upload window.
    uploadEnded = 100,
    // UploadProgress {"uploadId", "failed": how many phones could not be told, each also a failed
    // transferResult}. Grid, once the phones of a stored upload are told to fetch it → upload window.
    uploadHandedOver = 101,
    // UploadProgress {"uploadId", "deviceId", "code" (negative: failed), "detail"}. Grid's transfer
    // tasks, one per phone → upload window.
    transferResult = 102,
    // MacroProgress {"cloudPhoneId", "deviceId", "name", "index", "sent", "total", "state"}; a phone's
    // last one adds its timing drift "driftP50Ms", "driftP95Ms", "driftMaxMs". Macro replay → macro
    // dialog.
    macroProgress = 120,
    // MacroFinished {"stopped", "error" when the recording could not be replayed}. Macro replay, when
    // every phone's replay has ended → macro dialog.
    macroFinished = 121,
    // Nothing. Toolbar → main window: the macro replay dialog.
    openMacroDialog = 122,
    // Nothing. Main window, once built → content frame: the login page.
    showLoginPage = 190,
    // Nothing. Login form, after a login → content frame, title bar: the device page.
    loggedIn = 191
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
