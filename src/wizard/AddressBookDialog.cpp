#include "wizard/AddressBookDialog.h"

#include "services/PageParts.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

namespace sendmere {
namespace {

constexpr int NameColumnWidth = 180;

}  // namespace

AddressEntriesModel::AddressEntriesModel(const std::vector<mail::AddressEntry> &entries, QObject *parent)
    : QAbstractItemModel(parent), m_entries(entries) {
    m_shown.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) m_shown.push_back(int(i));
}

void AddressEntriesModel::prepareSearch() {
    if (!m_folded.empty()) return;
    m_folded.reserve(m_entries.size());
    for (const mail::AddressEntry &entry : m_entries)
        m_folded.push_back((entry.Name + QLatin1Char('\n') + entry.Address).toCaseFolded());
}

void AddressEntriesModel::setFilterText(const QString &text) {
    prepareSearch();
    const QString needle = text.toCaseFolded();
    beginResetModel();
    m_shown.clear();
    for (size_t i = 0; i < m_folded.size(); ++i)
        if (m_folded[i].contains(needle)) m_shown.push_back(int(i));
    endResetModel();
}

QModelIndex AddressEntriesModel::index(int row, int column, const QModelIndex &parent) const {
    if (parent.isValid() || row < 0 || row >= rowCount() || column < 0 || column >= columnCount()) return {};
    return createIndex(row, column);
}

int AddressEntriesModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : int(m_shown.size());
}

int AddressEntriesModel::columnCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : 2; }

QVariant AddressEntriesModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole)) return {};
    const mail::AddressEntry &entry = m_entries[size_t(entryAt(index.row()))];
    return index.column() == 0 ? entry.Name : entry.Address;
}

QVariant AddressEntriesModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    return section == 0 ? tr("Name") : tr("Address");
}

AddressBookWindow::AddressBookWindow(const QString &title, const QStringList &listLabels,
                                     const std::vector<mail::AddressEntry> &entries, QWidget *parent)
    : QDialog(parent), m_entries(entries), m_model(new AddressEntriesModel(entries, this)) {
    setWindowTitle(title);
    setObjectName(QStringLiteral("AddressBook"));
    txtSearch = parts::make<QLineEdit>(this, "txtSearch");
    QLabel *lblSearch = parts::label(this, "lblSearch", tr("&Type name or select from list:"), txtSearch);
    lvEntries = parts::make<QTreeView>(this, "lvEntries");
    lvEntries->setModel(m_model);
    lvEntries->setRootIsDecorated(false);
    lvEntries->setUniformRowHeights(true);  // thousands of rows lay out in constant time
    lvEntries->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lvEntries->setAllColumnsShowFocus(true);
    lvEntries->setAccessibleName(tr("Address book entries"));
    // The address column takes what the names leave, wide enough for a fax number with its
    // name and area code; a user may drag the border between them.
    lvEntries->header()->resizeSection(0, NameColumnWidth);

    const QString choiceLabel = listLabels.value(0, tr("Choice"));
    cmdChoice = parts::button(this, "cmdChoice", choiceLabel + QStringLiteral(" ->"));
    cmdChoice->setAccessibleName(choiceLabel);
    cmdRemove = parts::button(this, "cmdRemove", listLabels.value(1, tr("Remove")));
    lvChosen = parts::make<QListWidget>(this, "lvChosen");
    lvChosen->setSelectionMode(QAbstractItemView::ExtendedSelection);
    QLabel *lblChosen = parts::label(this, "lblChosen", choiceLabel + QLatin1Char(':'), lvChosen);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lblSearch);
    layout->addWidget(txtSearch);
    auto *lists = new QHBoxLayout;
    lists->addWidget(lvEntries, 3);
    auto *middle = new QVBoxLayout;
    middle->addStretch();
    middle->addWidget(cmdChoice);
    middle->addWidget(cmdRemove);
    middle->addStretch();
    lists->addLayout(middle);
    auto *chosenColumn = new QVBoxLayout;
    chosenColumn->addWidget(lblChosen);
    chosenColumn->addWidget(lvChosen);
    lists->addLayout(chosenColumn, 2);
    layout->addLayout(lists, 1);
    layout->addWidget(parts::separator(this));
    cmdOK = parts::button(this, "cmdOK", tr("OK"));
    cmdCancel = parts::button(this, "cmdCancel", tr("Cancel"));
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    layout->addLayout(buttons);
    resize(900, 480);

    connect(txtSearch, &QLineEdit::textChanged, this, &AddressBookWindow::search);
    connect(cmdChoice, &QPushButton::clicked, this, &AddressBookWindow::chooseSelected);
    connect(cmdRemove, &QPushButton::clicked, this, &AddressBookWindow::removeChosen);
    connect(lvEntries, &QTreeView::activated, this, &AddressBookWindow::chooseSelected);
    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
    txtSearch->installEventFilter(this);
    // Nothing is chosen before the user chooses: OK on the untouched window adds nobody.
    // The window paints first; the search texts are ready before a user types.
    QTimer::singleShot(0, this, [this] { m_model->prepareSearch(); });
}

// The first entry that matches what was typed becomes the current, selected one, so Enter
// in the box or OK chooses it; an emptied box selects nothing again.
void AddressBookWindow::search(const QString &text) {
    m_model->setFilterText(text);
    if (!text.isEmpty() && m_model->rowCount() > 0) lvEntries->setCurrentIndex(m_model->index(0, 0));
}

void AddressBookWindow::chooseSelected() {
    QModelIndexList rows = lvEntries->selectionModel()->selectedRows();
    if (rows.isEmpty() && lvEntries->currentIndex().isValid()) rows << lvEntries->currentIndex();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex &a, const QModelIndex &b) { return a.row() < b.row(); });
    for (const QModelIndex &row : rows) {
        const int position = m_model->entryAt(row.row());
        if (std::find(m_chosen.begin(), m_chosen.end(), position) != m_chosen.end()) continue;
        m_chosen.push_back(position);
        lvChosen->addItem(m_entries[size_t(position)].Name);
    }
}

void AddressBookWindow::removeChosen() {
    for (int row = lvChosen->count() - 1; row >= 0; --row) {
        if (!lvChosen->item(row)->isSelected()) continue;
        delete lvChosen->takeItem(row);
        m_chosen.erase(m_chosen.begin() + row);
    }
}

std::vector<int> AddressBookWindow::chosen() const {
    if (!m_chosen.empty()) return m_chosen;
    std::vector<int> selected;
    for (const QModelIndex &row : lvEntries->selectionModel()->selectedRows()) selected.push_back(m_model->entryAt(row.row()));
    std::sort(selected.begin(), selected.end());
    return selected;
}

// In the search box Enter chooses the current entry and the arrow keys move in the list.
bool AddressBookWindow::eventFilter(QObject *watched, QEvent *event) {
    if (watched == txtSearch && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            chooseSelected();
            return true;
        }
        if (key == Qt::Key_Up || key == Qt::Key_Down || key == Qt::Key_PageUp || key == Qt::Key_PageDown) {
            QApplication::sendEvent(lvEntries, event);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

std::vector<int> AddressBookChooser::choose(const QString &title, const QStringList &listLabels,
                                            const std::vector<mail::AddressEntry> &entries) {
    AddressBookWindow window(title, listLabels, entries, QApplication::activeWindow());
    if (window.exec() != QDialog::Accepted)
        throw AutomationError(err::MapiUserCancel, QStringLiteral("The user canceled the operation"));
    return window.chosen();
}

}  // namespace sendmere
