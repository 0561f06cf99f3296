#pragma once
// The cover page page: whether the fax gets a cover page, which template, the subject and
// the note the template shows, and one file to attach.
#include "services/FormPage.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTextEdit;

namespace sendmere {

class frmCover : public FormPage {
    Q_OBJECT
public:
    static constexpr PageId pageId = PageId::frmCover;
    frmCover();

    void Form_Load() override;
    void Form_Activate() override;
    void chkCover_Click();
    void cbCover_Click();
    void cmdBrowse_Click();
    void cmdSender_Click();
    void cmdBack_Click();
    void cmdNext_Click();
    void cmdCancel_Click();

    QLabel *lblCaption, *lblStr, *lblCover, *lblSubject, *lblNote, *lblAttach;
    QCheckBox *chkCover;
    QComboBox *cbCover;
    QLabel *Picture1;
    QLineEdit *txtSubject;
    QTextEdit *rtbNote;
    QPushButton *cmdSender;
    QLineEdit *txtAttachment;
    QPushButton *cmdBrowse;
    QPushButton *cmdBack, *cmdNext, *cmdCancel;

    // The file open dialog's title and filter, as "description|patterns|..." pairs.
    static const QString AttachDialogTitle;
    static const QString AttachFilter;

private:
    void GetCoverPages();
    void listDirectory(const QString &directory, const QString &suffix);
    void SetProperties();
    void selectTemplate(int index);
    bool mayLeave() const;
};

}  // namespace sendmere
