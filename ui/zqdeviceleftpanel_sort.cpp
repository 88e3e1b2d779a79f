#include "ui/zqdeviceleftpanel.h"
#include "ui/zqdeviceleftpanel_p.h"

#include "app/globals.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QToolButton>

#include <algorithm>

using namespace leftpanel;

QList<phoneRecord> ZqDeviceLeftPanel::searchMatches(const QList<groupRecord> &groups, const QString &text)
{
    QList<phoneRecord> matches;
    for (const groupRecord &g : groups)
        if (g.id != -1 && g.id != -2)
            for (const phoneRecord &p : g.phones)
                if (p.name.contains(text) || p.phoneNo.contains(text))
                    matches.append(p);
    return matches;
}

void ZqDeviceLeftPanel::sortPhones(QList<phoneRecord> &phones, int mode)
{
    auto by = [&phones](auto less) { std::sort(phones.begin(), phones.end(), less); };
    switch (mode) {
    case TimeAscending:
        by([](const phoneRecord &a, const phoneRecord &b) { return a.endTime < b.endTime; });
        break;
    case TimeDescending:
        by([](const phoneRecord &a, const phoneRecord &b) { return b.endTime < a.endTime; });
        break;
    case NameAscending:
        by([](const phoneRecord &a, const phoneRecord &b) { return a.name < b.name; });
        break;
    case NameDescending:
        by([](const phoneRecord &a, const phoneRecord &b) { return b.name < a.name; });
        break;
    default:
        break;
    }
}

void ZqDeviceLeftPanel::chooseSort(int mode)
{
    if (mode == m_sortMode)
        return;
    m_sortMode = mode;
    m_btnSearch->setText(sortNames[mode]);
    // The rows are rebuilt in the new order; a sort changes no check state.
    m_clearPending = true;
    rebuildTree();
}

void ZqDeviceLeftPanel::onDefaultSort()
{
    chooseSort(DefaultSort);
}

void ZqDeviceLeftPanel::onTimeUpSort()
{
    chooseSort(TimeAscending);
}

void ZqDeviceLeftPanel::onTimeDownSort()
{
    chooseSort(TimeDescending);
}

void ZqDeviceLeftPanel::onNameUpSort()
{
    chooseSort(NameAscending);
}

void ZqDeviceLeftPanel::onNameDownSort()
{
    chooseSort(NameDescending);
}

void ZqDeviceLeftPanel::on_edtSearch_textChanged(const QString &text)
{
    m_chbAllright->setChecked(false);
    {
        Batch batch(this);
        for (QStandardItem *row : phoneRowsInTreeOrder())
            setPhoneCheckState(row, Qt::Unchecked);
    }
    m_searchResults.clear();
    if (!text.isEmpty() && g_userInfo)
        m_searchResults = searchMatches(g_userInfo->ordinaryGroups(), text);
    clearTree();
    m_clearPending = false;
    m_restoreStates.clear();
    m_restoreExpanded.clear();
    rebuildTree();
}

void ZqDeviceLeftPanel::on_btnRefreshDev_clicked()
{
    m_edtSearch->clear();
    m_searchResults.clear();
    if (g_userInfo)
        g_userInfo->reload();
}
