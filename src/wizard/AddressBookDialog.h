#pragma once
// The address book dialog: the entries of the contacts (e-mail addresses and fax numbers),
// narrowed by what the user types, and the list of chosen entries. Holds thousands of
// entries: the list is a model over the entries, filtered by a plain scan.
#include "platform/mail/Contacts.h"

#include <QAbstractItemModel>
#include <QDialog>
#include <vector>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTreeView;

namespace sendmere {

// The entries that match the typed text, as a two-column list ("Name", "Address").
class AddressEntriesModel : public QAbstractItemModel {
    Q_OBJECT
public:
    explicit AddressEntriesModel(const std::vector<mail::AddressEntry> &entries, QObject *parent = nullptr);

    // Folds the entries' texts for searching, once.
    void prepareSearch();
    // Keeps the entries whose name or address holds text, in any letter case.
    void setFilterText(const QString &text);
    int entryAt(int row) const { return m_shown[size_t(row)]; }

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &) const override { return {}; }
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    const std::vector<mail::AddressEntry> &m_entries;
    std::vector<QString> m_folded;  // name and address of each entry, case folded
    std::vector<int> m_shown;       // positions in m_entries
};

class AddressBookWindow : public QDialog {
    Q_OBJECT
public:
    AddressBookWindow(const QString &title, const QStringList &listLabels,
                      const std::vector<mail::AddressEntry> &entries, QWidget *parent = nullptr);

    // Positions of the chosen entries; when none was moved into the chosen list, the
    // entries selected in the list.
    std::vector<int> chosen() const;

    QLineEdit *txtSearch;
    QTreeView *lvEntries;
    QPushButton *cmdChoice, *cmdRemove;
    QListWidget *lvChosen;
    QPushButton *cmdOK, *cmdCancel;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void search(const QString &text);
    void chooseSelected();
    void removeChosen();

    const std::vector<mail::AddressEntry> &m_entries;
    AddressEntriesModel *m_model;
    std::vector<int> m_chosen;
};

// Shows the window modally for the mail binding's address book.
class AddressBookChooser : public mail::AddressBookDialog {
public:
    std::vector<int> choose(const QString &title, const QStringList &listLabels,
                            const std::vector<mail::AddressEntry> &entries) override;
};

}  // namespace sendmere
