#include "app/messages.h"

#include "app/globals.h"

void post(int type, const QJsonObject &payload, const QString &target)
{
    postText(type, payload.isEmpty() ? QString() : jsonToText(payload), target);
}

void postText(int type, const QString &text, const QString &target)
{
    ZQSlotMsg msg;
    msg.type = type;
    msg.target = target;
    msg.text = text;
    g_eventManager.post(msg);
}

void askDialog(Dialog::Kind kind, int answerType, QJsonObject fields)
{
    fields.insert(QStringLiteral("type"), kind);
    if (answerType != 0)
        fields.insert(QStringLiteral("msgId"), answerType);
    post(Msg::showDialog, fields);
}

void postNotice(const QString &text)
{
    askDialog(Dialog::notice, 0, {{QStringLiteral("lbl_1_Text"), text}});
}
