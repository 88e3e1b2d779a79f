// Over 600 lines on purpose: widget tests spell out every click and answer, and one file per widget
// family keeps its cases beside the helpers they share.
// The device tree and the device page, driven through their widgets against a real provider.
#include "tests/ui/test_ui.h"

#include "api/userinfo.h"
#include "api/zqhttprequest.h"
#include "app/globals.h"
#include "tests/support/account.h"
#include "tests/support/busrecorder.h"
#include "tests/support/providerprocess.h"
#include "tests/support/xvfb.h"
#include "ui/mainwindow.h"
#include "ui/zqdevice.h"
#include "ui/zqdeviceleftpanel.h"
#include "ui/zqdialogform.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QStandardPaths>
#include <QStyledItemDelegate>
#include <QTest>
#include <QToolButton>
#include <QTreeView>

#include <memory>

namespace {

using testsupport::BusRecorder;
using testsupport::freshAccount;
using testsupport::logIn;
using testsupport::pump;
using testsupport::waitFor;
using uitest::child;
using uitest::demoPassword;
using uitest::demoPhone;
using uitest::parse;
using uitest::typeText;

QJsonObject cellData(const QStandardItem *item)
{
    return item->data(ZqDeviceLeftPanel::itemDataRole).toJsonObject();
}

QList<QStandardItem *> phoneRows(ZqDeviceLeftPanel *panel)
{
    QList<QStandardItem *> rows;
    for (int g = 0; g < panel->model()->rowCount(); ++g)
        for (int i = 0; i < panel->model()->item(g)->rowCount(); ++i)
            rows.append(panel->model()->item(g)->child(i));
    return rows;
}

QStandardItem *phoneRow(ZqDeviceLeftPanel *panel, const QString &name)
{
    for (QStandardItem *row : phoneRows(panel))
        if (row->text() == name)
            return row;
    return nullptr;
}

// The top-level row whose text is `name` followed by its count.
QStandardItem *groupRow(ZqDeviceLeftPanel *panel, const QString &name)
{
    for (int g = 0; g < panel->model()->rowCount(); ++g)
        if (panel->model()->item(g)->text().startsWith(name + QStringLiteral(" (")))
            return panel->model()->item(g);
    return nullptr;
}

QStringList groupTexts(ZqDeviceLeftPanel *panel)
{
    QStringList texts;
    for (int g = 0; g < panel->model()->rowCount(); ++g)
        texts.append(panel->model()->item(g)->text());
    return texts;
}

QStringList childNames(const QStandardItem *group)
{
    QStringList names;
    for (int i = 0; group && i < group->rowCount(); ++i)
        names.append(group->child(i)->text());
    return names;
}

QStringList checkedNames(ZqDeviceLeftPanel *panel)
{
    QStringList names;
    for (QStandardItem *row : phoneRows(panel))
        if (row->checkState() == Qt::Checked)
            names.append(row->text());
    return names;
}

QString countText(ZqDeviceLeftPanel *panel)
{
    return child<QLabel>(panel, "lblCount")->text();
}

// The names of the phones that the recorded Msg::phoneChecked messages name, with their new state.
QStringList checkChanges(ZqDeviceLeftPanel *panel, const BusRecorder &recorder)
{
    QHash<int, QString> names;
    for (QStandardItem *row : phoneRows(panel))
        names.insert(cellData(row).value("cloudId").toInt(), row->text());
    QStringList changes;
    for (const QJsonObject &change : recorder.payloads(63))
        changes.append(
            (change.value("isChecked").toBool() ? QStringLiteral("+") : QStringLiteral("-")) +
            names.value(change.value("cloudId").toInt(), QString::number(change.value("cloudId").toInt())));
    return changes;
}

QStringList prefixed(const QString &sign, const QStringList &names)
{
    QStringList out;
    for (const QString &name : names)
        out.append(sign + name);
    return out;
}

// Clicks `item`'s check box where the view's delegate takes it.
void clickCheckBox(QTreeView *view, QStandardItem *item)
{
    struct Styler : QStyledItemDelegate
    {
        using QStyledItemDelegate::initStyleOption;
    } styler;
    const QModelIndex index = item->index();
    view->scrollTo(index);
    QStyleOptionViewItem option;
    option.initFrom(view);
    option.rect = view->visualRect(index);
    option.widget = view;
    styler.initStyleOption(&option, index);
    const QRect box = view->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, view);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, box.center());
}

// Opens the tree's context menu over `index` (an invalid index: below the last row), as a right click
// does.
QMenu *contextMenu(ZqDeviceLeftPanel *panel, const QModelIndex &index)
{
    QTreeView *view = panel->treeView();
    if (index.isValid())
        view->scrollTo(index);
    const QPoint pos =
        index.isValid() ? view->visualRect(index).center() : QPoint(20, view->viewport()->height() - 4);
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos, view->viewport()->mapToGlobal(pos));
    QApplication::sendEvent(view->viewport(), &event);
    return qobject_cast<QMenu *>(QApplication::activePopupWidget());
}

QStringList actionTexts(const QMenu *menu)
{
    QStringList texts;
    for (const QAction *action : menu->actions())
        texts.append(action->text());
    return texts;
}

// Triggers the action `text` of `menu` and closes the menu.
void choose(QMenu *menu, const QString &text)
{
    for (QAction *action : menu->actions()) {
        if (action->text() == text) {
            action->trigger();
            break;
        }
    }
    menu->close();
}

QAction *menuAction(QToolButton *button, const QString &text)
{
    for (QAction *action : button->menu()->actions())
        if (action->text() == text)
            return action;
    qFatal("no menu action %s", qPrintable(text));
    return nullptr;
}

// Answers a dialog request the way the user does: optional text in the line field, then confirm.
void answerDialog(const QJsonObject &request, const QString &line = QString())
{
    ZqDialogForm dialog;
    dialog.setDialogData(jsonToText(request));
    dialog.show();
    if (!line.isNull()) {
        auto *edit = child<QLineEdit>(&dialog, "edtLine");
        edit->clear();
        typeText(edit, line);
    }
    QTest::mouseClick(child<QPushButton>(&dialog, "btnConfirm"), Qt::LeftButton);
}

// The demo account's phones in tree order: ungrouped, shared, then the three groups.
const QStringList demoGroups{QStringLiteral("未分组 (2台)"), QStringLiteral("授权设备 (4台)"),
                             QStringLiteral("默认分组 (8台)"), QStringLiteral("游戏工作室 (6台)"),
                             QStringLiteral("测试机 (4台)")};

QString demoName(int n)
{
    return QStringLiteral("云手机%1").arg(n, 2, 10, QLatin1Char('0'));
}

QString sharedName(int n)
{
    return QStringLiteral("共享手机%1").arg(n, 2, 10, QLatin1Char('0'));
}

} // namespace

std::unique_ptr<ZqDeviceLeftPanel> TestUi::openTree(QString *dbPath)
{
    const QString url = startProvider({}, dbPath);
    if (url.isEmpty())
        return nullptr;
    freshAccount(url);
    auto panel = std::make_unique<ZqDeviceLeftPanel>();
    panel->resize(ZqDevice::leftPanelWidth, 900);
    panel->show();
    if (!g_userInfo->login(demoPhone, demoPassword, false) ||
        !waitFor([&] { return phoneRows(panel.get()).size() == 24; }))
        return nullptr;
    panel->treeView()->expandAll();
    // The first announcements go out before the test starts listening.
    pump(4);
    return panel;
}

void TestUi::deviceTreeFromInventory()
{
    // What the device pages of earlier tests' windows still had on the bus.
    pump(4);
    BusRecorder checks{63};
    auto panel = openTree();
    QVERIFY(panel);
    pump(4);

    // Ungrouped and shared phones first, then the groups in service order; everything starts checked
    // and announced once.
    QCOMPARE(groupTexts(panel.get()), demoGroups);
    QCOMPARE(childNames(groupRow(panel.get(), "未分组")), (QStringList{demoName(19), demoName(20)}));
    QCOMPARE(childNames(groupRow(panel.get(), "授权设备")),
             (QStringList{sharedName(1), sharedName(2), sharedName(3), sharedName(4)}));
    QCOMPARE(checkedNames(panel.get()).size(), 24);
    QCOMPARE(countText(panel.get()), QStringLiteral("(24)"));
    QStringList announced = checkChanges(panel.get(), checks);
    announced.sort();
    QStringList all;
    for (QStandardItem *row : phoneRows(panel.get()))
        all.append(QStringLiteral("+") + row->text());
    all.sort();
    QCOMPARE(announced, all);
    for (int g = 0; g < panel->model()->rowCount(); ++g)
        QCOMPARE(panel->model()->item(g)->checkState(), Qt::Checked);

    // Every cell describes itself; a phone row names the phone as the inventory has it.
    QStandardItem *row = phoneRow(panel.get(), demoName(9));
    phoneRecord phone;
    QVERIFY(g_userInfo->findPhone(cellData(row).value("cloudId").toInt(), phone));
    QCOMPARE(cellData(row), (QJsonObject{{"type", 0},
                                         {"devId", phone.deviceId},
                                         {"devUcId", phone.deviceUcId},
                                         {"name", demoName(9)},
                                         {"cloudId", phone.cloudPhoneId},
                                         {"phoneNo", phone.phoneNo},
                                         {"orderId", phone.groupId},
                                         {"oldOrderId", 0}}));
    QVERIFY(!phone.deviceUcId.isEmpty());
    QCOMPARE(cellData(row->parent()), (QJsonObject{{"type", 1}, {"orderId", phone.groupId}}));
    const QStandardItem *number = row->parent()->child(row->row(), 1);
    const QStandardItem *time = row->parent()->child(row->row(), 2);
    QCOMPARE(number->text(), phone.phoneNo);
    QCOMPARE(time->text(), phone.remainTimeStr);
    QCOMPARE(cellData(number).value("type").toInt(), -1);
    QCOMPARE(cellData(time).value("type").toInt(), -2);
    QVERIFY(!(number->flags() & Qt::ItemIsEditable) && !(row->flags() & Qt::ItemIsEditable));

    // Only the phone whose rental has run out is red; every other one has a week or more.
    QStringList red;
    for (QStandardItem *r : phoneRows(panel.get()))
        if (r->parent()->child(r->row(), 2)->foreground().color() == Qt::red)
            red.append(r->text());
    QCOMPARE(red, QStringList{demoName(18)});
    const QDateTime now(QDate(2026, 3, 1), QTime(12, 0));
    QVERIFY(ZqDeviceLeftPanel::expiresSoon("2026-03-04 12:00:00", now));
    QVERIFY(ZqDeviceLeftPanel::expiresSoon("2026-03-04 12:29:59", now));
    QVERIFY(!ZqDeviceLeftPanel::expiresSoon("2026-03-04 12:30:00", now));
    QVERIFY(ZqDeviceLeftPanel::expiresSoon("2020-01-01 00:00:00", now));
    QVERIFY(!ZqDeviceLeftPanel::expiresSoon("not a time", now));

    // A reload that brings nothing new changes nothing and announces nothing.
    checks.got.clear();
    QSignalSpy removed(panel->model(), &QAbstractItemModel::rowsRemoved);
    QSignalSpy inserted(panel->model(), &QAbstractItemModel::rowsInserted);
    BusRecorder reloads{31};
    g_userInfo->reload();
    QVERIFY(waitFor([&] { return !reloads.got.isEmpty(); }));
    pump(4);
    QCOMPARE(checks.got.size(), 0);
    QCOMPARE(removed.size() + inserted.size(), 0);
    QCOMPARE(groupTexts(panel.get()), demoGroups);
}

void TestUi::deviceTreeChecking()
{
    auto panel = openTree();
    QVERIFY(panel);
    BusRecorder checks{63, 5};
    QTreeView *view = panel->treeView();
    QStandardItem *defaults = groupRow(panel.get(), "默认分组");
    QStandardItem *games = groupRow(panel.get(), "游戏工作室");
    auto changes = [&] {
        pump(4);
        const QStringList c = checkChanges(panel.get(), checks);
        checks.got.clear();
        return c;
    };

    // A click unchecks a phone and its group; the keyboard checks it again, and the group with it.
    clickCheckBox(view, phoneRow(panel.get(), demoName(3)));
    QCOMPARE(changes(), QStringList{"-" + demoName(3)});
    QCOMPARE(defaults->checkState(), Qt::Unchecked);
    QCOMPARE(countText(panel.get()), QStringLiteral("(23)"));
    view->setCurrentIndex(phoneRow(panel.get(), demoName(3))->index());
    QTest::keyClick(view, Qt::Key_Space);
    QCOMPARE(changes(), QStringList{"+" + demoName(3)});
    QCOMPARE(defaults->checkState(), Qt::Checked);
    QCOMPARE(countText(panel.get()), QStringLiteral("(24)"));

    // Checking a group row checks its phones, announcing only those that changed.
    clickCheckBox(view, phoneRow(panel.get(), demoName(9)));
    clickCheckBox(view, phoneRow(panel.get(), demoName(12)));
    QCOMPARE(changes().size(), 2);
    QCOMPARE(games->checkState(), Qt::Unchecked);
    clickCheckBox(view, games);
    QCOMPARE(changes(), (QStringList{"+" + demoName(9), "+" + demoName(12)}));
    QCOMPARE(games->checkState(), Qt::Checked);
    clickCheckBox(view, games);
    QCOMPARE(changes().size(), 6);
    QCOMPARE(countText(panel.get()), QStringLiteral("(18)"));

    // "全选" checks everything, a second click unchecks everything; "反选" inverts.
    auto *all = child<QCheckBox>(panel.get(), "chbAllright");
    auto *invert = child<QCheckBox>(panel.get(), "chbNo");
    QTest::mouseClick(all, Qt::LeftButton);
    QCOMPARE(changes().size(), 6);
    QCOMPARE(countText(panel.get()), QStringLiteral("(24)"));
    QTest::mouseClick(all, Qt::LeftButton);
    QCOMPARE(changes().size(), 24);
    QCOMPARE(countText(panel.get()), QStringLiteral("(0)"));
    for (int g = 0; g < panel->model()->rowCount(); ++g)
        QCOMPARE(panel->model()->item(g)->checkState(), Qt::Unchecked);
    clickCheckBox(view, phoneRow(panel.get(), sharedName(2)));
    QTest::mouseClick(all, Qt::LeftButton);
    QTest::mouseClick(invert, Qt::LeftButton);
    QVERIFY(!all->isChecked());
    QCOMPARE(countText(panel.get()), QStringLiteral("(0)"));
    changes();
    QTest::mouseClick(invert, Qt::LeftButton);
    QCOMPARE(countText(panel.get()), QStringLiteral("(24)"));
    QTest::mouseClick(all, Qt::LeftButton);
    QVERIFY(!invert->isChecked());
    QTest::mouseClick(all, Qt::LeftButton);
    changes();

    // First 10 with 12 checked unchecks the last two in tree order...
    auto *multi = child<QToolButton>(panel.get(), "btnMultiChioce");
    const QStringList twelve{demoName(20), sharedName(2), demoName(1),  demoName(3),
                             demoName(5),  demoName(7),   demoName(9),  demoName(11),
                             demoName(13), demoName(15),  demoName(16), demoName(17)};
    for (const QString &name : twelve)
        clickCheckBox(view, phoneRow(panel.get(), name));
    QCOMPARE(countText(panel.get()), QStringLiteral("(12)"));
    changes();
    menuAction(multi, "选择10台")->trigger();
    QCOMPARE(changes(), (QStringList{"-" + demoName(16), "-" + demoName(17)}));
    QCOMPARE(checkedNames(panel.get()), twelve.mid(0, 10));
    QCOMPARE(countText(panel.get()), QStringLiteral("(10)"));

    // ...and with 3 checked it checks the first 7 unchecked ones.
    QTest::mouseClick(all, Qt::LeftButton);
    QTest::mouseClick(all, Qt::LeftButton);
    for (const QString &name : {sharedName(1), demoName(5), demoName(18)})
        clickCheckBox(view, phoneRow(panel.get(), name));
    changes();
    menuAction(multi, "选择10台")->trigger();
    const QStringList seven{demoName(19),  demoName(20), sharedName(2), sharedName(3),
                            sharedName(4), demoName(1),  demoName(2)};
    QCOMPARE(changes(), prefixed("+", seven));
    QCOMPARE(checkedNames(panel.get()),
             (QStringList{demoName(19), demoName(20), sharedName(1), sharedName(2), sharedName(3),
                          sharedName(4), demoName(1), demoName(2), demoName(5), demoName(18)}));
    QCOMPARE(countText(panel.get()), QStringLiteral("(10)"));
    menuAction(multi, "选择50台")->trigger();
    QCOMPARE(countText(panel.get()), QStringLiteral("(24)"));

    // "自定义" asks for the number through the dialog and keeps that many.
    changes();
    menuAction(multi, "自定义")->trigger();
    pump(4);
    const QList<QJsonObject> requests = checks.payloads(5);
    QCOMPARE(requests, (QList<QJsonObject>{{{"type", 10}, {"msgId", 37}}}));
    answerDialog(requests[0], "5");
    QCOMPARE(changes().size(), 19);
    QCOMPARE(checkedNames(panel.get()),
             (QStringList{demoName(19), demoName(20), sharedName(1), sharedName(2), sharedName(3)}));
    QCOMPARE(countText(panel.get()), QStringLiteral("(5)"));
}

void TestUi::deviceTreeSearchAndSort()
{
    auto panel = openTree();
    QVERIFY(panel);
    BusRecorder checks{63};
    QTreeView *view = panel->treeView();
    auto *search = child<QLineEdit>(panel.get(), "edtSearch");
    clickCheckBox(view, phoneRow(panel.get(), demoName(2)));
    pump(4);
    checks.got.clear();

    // Typing unchecks every checked phone once, then shows only the matches of the ordinary groups.
    typeText(search, QStringLiteral("云手机1"));
    pump(4);
    const QStringList unchecked = checkChanges(panel.get(), checks);
    QCOMPARE(unchecked.size(), 23);
    QVERIFY(unchecked.filter(QRegularExpression("^\\+")).isEmpty());
    QCOMPARE(groupTexts(panel.get()), QStringList{"搜索分组 (9台)"});
    QStandardItem *results = panel->model()->item(0);
    QCOMPARE(cellData(results).value("orderId").toInt(), ZqDeviceLeftPanel::searchGroupId);
    QCOMPARE(childNames(results),
             (QStringList{demoName(10), demoName(11), demoName(12), demoName(13), demoName(14), demoName(15),
                          demoName(16), demoName(17), demoName(18)}));
    QVERIFY(view->isExpanded(results->index()));
    QCOMPARE(countText(panel.get()), QStringLiteral("(0)"));

    // A checked result is unchecked again by the next keystroke; the search group follows its phones.
    checks.got.clear();
    clickCheckBox(view, phoneRow(panel.get(), demoName(12)));
    QCOMPARE(countText(panel.get()), QStringLiteral("(1)"));
    typeText(search, QStringLiteral("2"));
    pump(4);
    QCOMPARE(checkChanges(panel.get(), checks), (QStringList{"+" + demoName(12), "-" + demoName(12)}));
    QCOMPARE(groupTexts(panel.get()), QStringList{"搜索分组 (1台)"});
    clickCheckBox(view, phoneRow(panel.get(), demoName(12)));
    QCOMPARE(panel->model()->item(0)->checkState(), Qt::Checked);
    // Numbers match too; the shared phones are never found.
    search->setText(phoneRow(panel.get(), demoName(12))->parent()->child(0, 1)->text());
    QCOMPARE(groupTexts(panel.get()), QStringList{"搜索分组 (1台)"});
    search->setText(QStringLiteral("共享"));
    QCOMPARE(groupTexts(panel.get()), QStringList{"搜索分组 (0台)"});

    // Refreshing leaves the search: the whole tree is back, all checked.
    BusRecorder reloads{31};
    pump(4);
    checks.got.clear();
    QTest::mouseClick(child<QToolButton>(panel.get(), "btnRefreshDev"), Qt::LeftButton);
    QCOMPARE(search->text(), QString());
    QCOMPARE(groupTexts(panel.get()), demoGroups);
    QCOMPARE(countText(panel.get()), QStringLiteral("(24)"));
    QVERIFY(waitFor([&] { return !reloads.got.isEmpty(); }));
    QCOMPARE(checkChanges(panel.get(), checks).size(), 24);

    // A sort rebuilds the rows in the new order once, keeping what is checked and what is expanded.
    view->collapseAll();
    view->expand(groupRow(panel.get(), "默认分组")->index());
    clickCheckBox(view, phoneRow(panel.get(), demoName(5)));
    pump(4);
    checks.got.clear();
    auto *sort = child<QToolButton>(panel.get(), "btnSearch");
    QCOMPARE(sort->text(), QStringLiteral("默认排序"));
    QSignalSpy removed(panel->model(), &QAbstractItemModel::rowsRemoved);
    for (int i = 0; i < 2; ++i)
        menuAction(sort, "名称降序")->trigger();
    QCOMPARE(removed.size(), 1);
    QCOMPARE(sort->text(), QStringLiteral("名称降序"));
    QCOMPARE(groupTexts(panel.get()), demoGroups);
    QCOMPARE(childNames(groupRow(panel.get(), "默认分组")),
             (QStringList{demoName(8), demoName(7), demoName(6), demoName(5), demoName(4), demoName(3),
                          demoName(2), demoName(1)}));
    QCOMPARE(phoneRow(panel.get(), demoName(5))->checkState(), Qt::Unchecked);
    QCOMPARE(groupRow(panel.get(), "默认分组")->checkState(), Qt::Unchecked);
    QCOMPARE(countText(panel.get()), QStringLiteral("(23)"));
    QVERIFY(view->isExpanded(groupRow(panel.get(), "默认分组")->index()));
    QVERIFY(!view->isExpanded(groupRow(panel.get(), "测试机")->index()));
    pump(4);
    QCOMPARE(checks.got.size(), 0);

    // Time ascending: end times never decrease down a group.
    menuAction(sort, "时间升序")->trigger();
    for (int g = 0; g < panel->model()->rowCount(); ++g) {
        QString previous;
        const QStandardItem *group = panel->model()->item(g);
        for (int i = 0; i < group->rowCount(); ++i) {
            phoneRecord phone;
            QVERIFY(g_userInfo->findPhone(cellData(group->child(i)).value("cloudId").toInt(), phone));
            QVERIFY2(previous <= phone.endTime, qPrintable(group->text()));
            previous = phone.endTime;
        }
    }
    menuAction(sort, "默认排序")->trigger();
    QCOMPARE(removed.size(), 3);
    QCOMPARE(childNames(groupRow(panel.get(), "默认分组")).first(), demoName(1));

    // Sorting while searching keeps the results' check states as well.
    typeText(search, QStringLiteral("云手机0"));
    clickCheckBox(view, phoneRow(panel.get(), demoName(7)));
    menuAction(sort, "名称升序")->trigger();
    QCOMPARE(childNames(panel->model()->item(0)).first(), demoName(1));
    QCOMPARE(checkedNames(panel.get()), QStringList{demoName(7)});
}

void TestUi::deviceTreeFollowsServer()
{
    if (QStandardPaths::findExecutable(QStringLiteral("sqlite3")).isEmpty())
        QSKIP("needs the sqlite3 shell to take a shared phone away");
    QString db;
    auto panel = openTree(&db);
    QVERIFY(panel);
    BusRecorder checks{63, 31};
    auto serverChange = [&](const QString &path, const QMap<QString, QString> &params) {
        return parse(ZqHttpRequest().httpPost(g_config->apiBaseUrl + path, params, g_userInfo->token()))
                   .value("status")
                   .toInt() == 1;
    };
    auto reloaded = [&] {
        pump(4);
        checks.got.clear();
        g_userInfo->reload();
        const bool done = waitFor([&] {
            for (const ZQSlotMsg &m : checks.got)
                if (m.type == 31)
                    return true;
            return false;
        });
        // What the tree posts on that reload.
        pump(4);
        return done;
    };
    auto idOf = [&](const QString &name) {
        return cellData(phoneRow(panel.get(), name)).value("cloudId").toInt();
    };
    const int testGroup = cellData(groupRow(panel.get(), "测试机")).value("orderId").toInt();

    // Two phones moved by another client: each shows up in its new group with its check state.
    clickCheckBox(panel->treeView(), phoneRow(panel.get(), demoName(1)));
    for (const QString &name : {demoName(1), demoName(2)})
        QVERIFY(serverChange(
            "/api/tamsu-cloud-phone/v1/group/phone-move",
            {{"id", QString::number(testGroup)}, {"cloudPhoneId", QString::number(idOf(name))}}));
    QVERIFY(reloaded());
    QCOMPARE(checkChanges(panel.get(), checks), QStringList());
    QCOMPARE(groupTexts(panel.get()), (QStringList{"未分组 (2台)", "授权设备 (4台)", "默认分组 (6台)",
                                                   "游戏工作室 (6台)", "测试机 (6台)"}));
    QCOMPARE(phoneRow(panel.get(), demoName(1))->parent(), groupRow(panel.get(), "测试机"));
    QCOMPARE(phoneRow(panel.get(), demoName(2))->parent(), groupRow(panel.get(), "测试机"));
    QCOMPARE(phoneRow(panel.get(), demoName(1))->checkState(), Qt::Unchecked);
    QCOMPARE(phoneRow(panel.get(), demoName(2))->checkState(), Qt::Checked);
    QCOMPARE(groupRow(panel.get(), "默认分组")->checkState(), Qt::Checked);
    QCOMPARE(groupRow(panel.get(), "测试机")->checkState(), Qt::Unchecked);
    QCOMPARE(countText(panel.get()), QStringLiteral("(23)"));

    // A shared phone taken back leaves the tree and the other views; without shared phones the group goes.
    auto revoke = [&](const QString &names) {
        QProcess sqlite;
        sqlite.start(
            QStringLiteral("sqlite3"),
            {QStringLiteral("-cmd"), QStringLiteral(".timeout 5000"), db,
             QStringLiteral("DELETE FROM grants WHERE phone_id IN (SELECT id FROM phones WHERE name IN (%1))")
                 .arg(names)});
        return sqlite.waitForFinished(10000) && sqlite.exitCode() == 0;
    };
    const int third = idOf(sharedName(3));
    QVERIFY(revoke("'共享手机03'"));
    QVERIFY(reloaded());
    QCOMPARE(checks.payloads(63), (QList<QJsonObject>{{{"cloudId", third}, {"isChecked", false}}}));
    QVERIFY(!phoneRow(panel.get(), sharedName(3)));
    QVERIFY(groupTexts(panel.get()).contains("授权设备 (3台)"));
    QCOMPARE(countText(panel.get()), QStringLiteral("(22)"));
    QVERIFY(revoke("'共享手机01','共享手机02','共享手机04'"));
    QVERIFY(reloaded());
    QCOMPARE(checks.payloads(63).size(), 3);
    QVERIFY(!groupRow(panel.get(), "授权设备"));

    // A group deleted elsewhere: its phones join the ungrouped ones, checked or not as before.
    clickCheckBox(panel->treeView(), phoneRow(panel.get(), demoName(10)));
    const int games = cellData(groupRow(panel.get(), "游戏工作室")).value("orderId").toInt();
    QVERIFY(serverChange("/api/tamsu-cloud-phone/v1/group/remove", {{"id", QString::number(games)}}));
    QVERIFY(reloaded());
    QCOMPARE(checks.payloads(63).size(), 0);
    QCOMPARE(groupTexts(panel.get()), (QStringList{"未分组 (8台)", "默认分组 (6台)", "测试机 (6台)"}));
    QCOMPARE(phoneRow(panel.get(), demoName(10))->checkState(), Qt::Unchecked);
    QCOMPARE(phoneRow(panel.get(), demoName(9))->checkState(), Qt::Checked);
    QCOMPARE(countText(panel.get()), QStringLiteral("(18)"));
}

void TestUi::deviceTreeMenus()
{
    auto panel = openTree();
    QVERIFY(panel);
    BusRecorder bus{5, 20, 36, 63};
    auto take = [&](int type) {
        pump(4);
        QList<QJsonObject> out = bus.payloads(type);
        bus.got.clear();
        return out;
    };
    auto phoneMenu = [&](const QString &name) {
        return contextMenu(panel.get(), phoneRow(panel.get(), name)->index());
    };
    phoneRecord phone;
    QVERIFY(
        g_userInfo->findPhone(cellData(phoneRow(panel.get(), demoName(3))).value("cloudId").toInt(), phone));

    // A phone's menu, with the groups it can move to.
    QMenu *menu = phoneMenu(demoName(3));
    QVERIFY(menu);
    QCOMPARE(actionTexts(menu),
             (QStringList{"修改名称", "打开设备", "更换设备", "重启手机", "恢复出厂", "移动到.."}));
    QCOMPARE(actionTexts(menu->actions().last()->menu()), (QStringList{"游戏工作室", "测试机"}));
    choose(menu, "打开设备");
    QCOMPARE(take(20),
             (QList<QJsonObject>{{{"deviceId", phone.deviceId},
                                  {"deviceName", phone.name},
                                  {"deviceUcId", phone.deviceUcId},
                                  {"deviceUcIdTimestamp", QString::number(phone.deviceUcIdTimestamp)},
                                  {"deviceNo", phone.phoneNo},
                                  {"cloudPhoneId", QString::number(phone.cloudPhoneId)}}}));
    choose(phoneMenu(demoName(3)), "重启手机");
    choose(phoneMenu(demoName(3)), "恢复出厂");
    QCOMPARE(take(5), (QList<QJsonObject>{{{"type", 255},
                                           {"msgId", 23},
                                           {"deviceId", phone.deviceId},
                                           {"lbl_1_Text", "确定要重启该设备吗？"}},
                                          {{"type", 255},
                                           {"msgId", 24},
                                           {"deviceId", phone.deviceId},
                                           {"lbl_1_Text", "确定要将该设备恢复出厂吗？"}}}));

    // Renaming goes to the service; the tree and the other views take the new name at once.
    choose(phoneMenu(demoName(3)), "修改名称");
    QList<QJsonObject> requests = take(5);
    QCOMPARE(
        requests,
        (QList<QJsonObject>{
            {{"type", 8}, {"msgId", 35}, {"lbl_1_Text", demoName(3)}, {"cloudId", phone.cloudPhoneId}}}));
    answerDialog(requests[0], "工作机A");
    QCOMPARE(take(36), (QList<QJsonObject>{{{"phoneId", phone.cloudPhoneId}, {"name", "工作机A"}}}));
    QVERIFY(phoneRow(panel.get(), "工作机A"));
    QVERIFY(
        waitFor([&] { return g_userInfo->findPhone(phone.cloudPhoneId, phone) && phone.name == "工作机A"; }));
    // A name the service refuses stays off the tree.
    choose(phoneMenu(sharedName(1)), "修改名称");
    answerDialog(take(5).value(0), "不行");
    pump(4);
    QCOMPARE(bus.payloads(5), (QList<QJsonObject>{{{"type", 254}, {"lbl_1_Text", "授权设备不能修改名称"}}}));
    QCOMPARE(bus.payloads(36).size(), 0);
    QVERIFY(phoneRow(panel.get(), sharedName(1)));

    // Moving through the menu: the phone lands in the chosen group, still checked.
    bus.got.clear();
    menu = phoneMenu("工作机A");
    choose(menu->actions().last()->menu(), "测试机");
    menu->close();
    QVERIFY(waitFor(
        [&] { return phoneRow(panel.get(), "工作机A")->parent() == groupRow(panel.get(), "测试机"); }));
    QCOMPARE(phoneRow(panel.get(), "工作机A")->checkState(), Qt::Checked);
    QVERIFY(groupTexts(panel.get()).contains("测试机 (5台)"));

    // A group's menu: the rename starts from the bare name.
    QStandardItem *games = groupRow(panel.get(), "游戏工作室");
    const int gamesId = cellData(games).value("orderId").toInt();
    menu = contextMenu(panel.get(), games->index());
    QCOMPARE(actionTexts(menu), (QStringList{"删除分组", "重命名分组"}));
    take(5);
    choose(menu, "重命名分组");
    requests = take(5);
    QCOMPARE(requests,
             (QList<QJsonObject>{
                 {{"type", 3}, {"msgId", 34}, {"lbl_1_Text", "游戏工作室"}, {"orderId", gamesId}}}));
    answerDialog(requests[0], "工作室B");
    QVERIFY(waitFor([&] { return groupRow(panel.get(), "工作室B"); }));
    QCOMPARE(groupRow(panel.get(), "工作室B")->text(), QStringLiteral("工作室B (6台)"));

    // Deleting it leaves its phones ungrouped with their check states.
    clickCheckBox(panel->treeView(), phoneRow(panel.get(), demoName(11)));
    take(63);
    choose(contextMenu(panel.get(), groupRow(panel.get(), "工作室B")->index()), "删除分组");
    requests = take(5);
    QCOMPARE(
        requests,
        (QList<QJsonObject>{
            {{"type", 7}, {"msgId", 33}, {"lbl_1_Text", "确定要将该分组删除吗？"}, {"orderId", gamesId}}}));
    answerDialog(requests[0]);
    QVERIFY(waitFor([&] { return !groupRow(panel.get(), "工作室B"); }));
    QCOMPARE(phoneRow(panel.get(), demoName(11))->parent(), groupRow(panel.get(), "未分组"));
    QCOMPARE(phoneRow(panel.get(), demoName(11))->checkState(), Qt::Unchecked);
    QCOMPARE(take(63).size(), 0);
    // The special groups cannot be deleted.
    choose(contextMenu(panel.get(), groupRow(panel.get(), "未分组")->index()), "删除分组");
    answerDialog(take(5).value(0));
    QCOMPARE(take(5), (QList<QJsonObject>{{{"type", 254}, {"lbl_1_Text", "该分组不能删除!"}}}));

    // Beside a phone and below the rows: a new group, added at the end.
    const QStandardItem *some = phoneRow(panel.get(), demoName(4));
    QCOMPARE(actionTexts(contextMenu(panel.get(), some->parent()->child(some->row(), 2)->index())),
             QStringList{"新建分组"});
    QApplication::activePopupWidget()->close();
    panel->treeView()->collapseAll();
    choose(contextMenu(panel.get(), QModelIndex()), "新建分组");
    requests = take(5);
    QCOMPARE(requests, (QList<QJsonObject>{{{"type", 5}, {"msgId", 32}, {"lbl_1_Text", "请输入分组名称"}}}));
    answerDialog(requests[0], "新分组");
    QVERIFY(waitFor(
        [&] { return groupTexts(panel.get()).value(panel->model()->rowCount() - 1) == "新分组 (0台)"; }));

    // The device exchange runs on the pool: a running rental gets a new device, an expired one cannot.
    QVERIFY(
        g_userInfo->findPhone(cellData(phoneRow(panel.get(), demoName(4))).value("cloudId").toInt(), phone));
    choose(phoneMenu(demoName(4)), "更换设备");
    QVERIFY(waitFor([&] { return !bus.payloads(5).isEmpty(); }));
    QCOMPARE(bus.payloads(5), (QList<QJsonObject>{{{"type", 254}, {"lbl_1_Text", "设备更换成功"}}}));
    QVERIFY(waitFor([&] {
        return cellData(phoneRow(panel.get(), demoName(4))).value("devId").toString() != phone.deviceId;
    }));
    bus.got.clear();
    choose(phoneMenu(demoName(18)), "更换设备");
    QVERIFY(waitFor([&] { return bus.payloads(5).size() == 2; }));
    QCOMPARE(bus.payloads(5), (QList<QJsonObject>{{{"type", 254}, {"lbl_1_Text", "云手机已到期"}},
                                                  {{"type", 254}, {"lbl_1_Text", "设备更换失败"}}}));
}

void TestUi::deviceTreeLargeBuild()
{
    // The scale account's tree, built 40 rows per turn of the event loop, while the user ticks, the
    // inventory reloads and the sort changes underneath it.
    const int phones = 1000;
    const QString url = startProvider({QStringLiteral("--seed-phones"), QString::number(phones)});
    QVERIFY(!url.isEmpty());
    freshAccount(url);
    QVERIFY(logIn(QStringLiteral("13900000000"), demoPassword, phones));
    pump(4);

    BusRecorder checks{63};
    ZqDeviceLeftPanel panel;
    panel.setSliceRows(40);
    panel.resize(ZqDevice::leftPanelWidth, 900);
    panel.show();
    panel.rebuildTree();
    QVERIFY(panel.building());
    QCOMPARE(phoneRows(&panel).size(), 40);
    QCOMPARE(countText(&panel), QStringLiteral("(40)"));

    // The user unticks a phone of the first slice; a reload's rebuild replaces the build in progress
    // and keeps it, and so does a sort change, which empties the tree and builds it again.
    QStandardItem *first = phoneRows(&panel).first();
    const QString unticked = first->text();
    clickCheckBox(panel.treeView(), first);
    QCOMPARE(first->checkState(), Qt::Unchecked);
    panel.rebuildTree();
    QVERIFY(panel.building());
    auto *sort = child<QToolButton>(&panel, "btnSearch");
    menuAction(sort, "名称降序")->trigger();
    QVERIFY(panel.building());
    QVERIFY(waitFor([&] { return !panel.building(); }));
    pump(4);

    QStringList expected, shown;
    for (groupRecord g : g_userInfo->ordinaryGroups()) {
        ZqDeviceLeftPanel::sortPhones(g.phones, ZqDeviceLeftPanel::NameDescending);
        for (const phoneRecord &p : qAsConst(g.phones))
            expected.append(p.name);
    }
    for (QStandardItem *row : phoneRows(&panel))
        shown.append(row->text());
    QCOMPARE(shown, expected);
    QCOMPARE(groupTexts(&panel).size(), g_userInfo->ordinaryGroups().size());
    QStringList unchecked;
    for (QStandardItem *row : phoneRows(&panel))
        if (row->checkState() != Qt::Checked)
            unchecked.append(row->text());
    QCOMPARE(unchecked, QStringList{unticked});
    QCOMPARE(countText(&panel), QStringLiteral("(%1)").arg(phones - 1));
    // Every phone was announced once as ticked, and only the user's untick went out besides.
    QStringList changes = checkChanges(&panel, checks);
    QCOMPARE(changes.size(), phones + 1);
    QCOMPARE(changes.filter(QRegularExpression(QStringLiteral("^-"))), QStringList{"-" + unticked});
    changes.removeAll("-" + unticked);
    QCOMPARE(QSet<QString>(changes.cbegin(), changes.cend()).size(), phones);

    // A search typed during a build shows only its results, unticked; leaving it ticks every phone.
    checks.got.clear();
    panel.rebuildTree();
    QVERIFY(panel.building());
    child<QLineEdit>(&panel, "edtSearch")->setText(QStringLiteral("设备0001"));
    QVERIFY(waitFor([&] { return !panel.building(); }));
    QCOMPARE(groupTexts(&panel), QStringList{"搜索分组 (10台)"});
    QCOMPARE(checkedNames(&panel), QStringList());
    child<QLineEdit>(&panel, "edtSearch")->clear();
    QVERIFY(waitFor([&] { return !panel.building(); }));
    QCOMPARE(phoneRows(&panel).size(), phones);
    QCOMPARE(countText(&panel), QStringLiteral("(%1)").arg(phones));

    // A panel that goes while it builds leaves nothing behind to run.
    auto doomed = std::make_unique<ZqDeviceLeftPanel>();
    doomed->setSliceRows(40);
    doomed->rebuildTree();
    QVERIFY(doomed->building());
    doomed.reset();
    pump(4);
}

void TestUi::devicePageScreenshot()
{
    const QString artifacts = qEnvironmentVariable("PELOMIR_ARTIFACT_DIR");
    if (artifacts.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("xvfb-run")).isEmpty())
        QSKIP("needs xvfb-run and an artifact folder");
    QVERIFY(QDir().mkpath(artifacts));
    const QString shot = QDir(artifacts).filePath(QStringLiteral("device_page.png"));
    QFile::remove(shot);

    // This test program again, on a virtual X display, running only the child half.
    QProcess run;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("PELOMIR_SCREENSHOT_OUT"), shot);
    run.setProcessEnvironment(env);
    run.setProcessChannelMode(QProcess::MergedChannels);
    run.start(QStringLiteral("xvfb-run"), testsupport::xvfbRunArguments("1440x900x24")
                                              << QCoreApplication::applicationFilePath()
                                              << QStringLiteral("devicePageScreenshotChild"));
    QVERIFY(run.waitForFinished(90000));
    const QByteArray out = run.readAll();
    QVERIFY2(run.exitCode() == 0, out.constData());
    const QImage image(shot);
    QCOMPARE(image.size(), QSize(1440, 900));
}

void TestUi::devicePageScreenshotChild()
{
    const QString out = qEnvironmentVariable("PELOMIR_SCREENSHOT_OUT");
    if (out.isEmpty())
        QSKIP("the child half of devicePageScreenshot");
    clearStoredAccount();
    auto window = openWindow();
    g_userInfo->setReloadPauseMs(0);
    typeText(child<QLineEdit>(window.get(), "edtAccount"), demoPhone);
    typeText(child<QLineEdit>(window.get(), "edtPassword"), demoPassword);
    QTest::mouseClick(child<QToolButton>(window.get(), "btnLogin"), Qt::LeftButton);
    auto *panel = child<ZqDeviceLeftPanel>(window.get(), "ZqDeviceLeftPanel");
    QVERIFY(waitFor([&] { return phoneRows(panel).size() == 24; }));
    QVERIFY(panel->isVisible());
    // Two groups open, one phone unchecked, and the expired rental in red at the bottom.
    panel->treeView()->expand(groupRow(panel, "游戏工作室")->index());
    panel->treeView()->expand(groupRow(panel, "测试机")->index());
    clickCheckBox(panel->treeView(), phoneRow(panel, demoName(16)));
    panel->treeView()->scrollToBottom();
    window->move(0, 0);
    QVERIFY(waitFor([&] { return window->pos() == QPoint(0, 0); }));
    const QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0);
    QVERIFY(screen.save(out));
}
