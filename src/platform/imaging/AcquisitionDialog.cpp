#include "platform/imaging/AcquisitionDialog.h"

#include "platform/imaging/Sane.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace sendmere::imaging {
namespace {

QString choiceText(const QVariant &choice, const QString &unit) {
    const QString text = choice.typeId() == QMetaType::Double ? QString::number(choice.toDouble(), 'g', 6)
                                                              : choice.toString();
    return unit.isEmpty() || choice.typeId() == QMetaType::QString ? text : text + u' ' + unit;
}

bool sameChoice(const QVariant &a, const QVariant &b) {
    if (a.typeId() == QMetaType::QString || b.typeId() == QMetaType::QString) return a.toString() == b.toString();
    return qFuzzyCompare(a.toDouble() + 1.0, b.toDouble() + 1.0);
}

QWidget *choiceEditor(const sane::Option &option) {
    auto *box = new QComboBox;  // owned by the form it goes into
    for (const QVariant &choice : option.choices) {
        box->addItem(choiceText(choice, option.unit), choice);
        if (sameChoice(choice, option.value)) box->setCurrentIndex(box->count() - 1);
    }
    return box;
}

QWidget *rangeEditor(const sane::Option &option) {
    const QString suffix = option.unit.isEmpty() ? QString() : u' ' + option.unit;
    if (option.kind == sane::Option::Kind::Int) {
        auto *box = new QSpinBox;  // owned by the form it goes into
        box->setRange(int(option.min), int(option.max));
        if (option.step > 0) box->setSingleStep(int(option.step));
        box->setSuffix(suffix);
        box->setValue(option.value.toInt());
        return box;
    }
    auto *box = new QDoubleSpinBox;  // owned by the form it goes into
    box->setDecimals(2);
    box->setRange(option.min, option.max);
    if (option.step > 0) box->setSingleStep(option.step);
    box->setSuffix(suffix);
    box->setValue(option.value.toDouble());
    return box;
}

QWidget *editorFor(const sane::Option &option) {
    if (!option.choices.isEmpty()) return choiceEditor(option);
    if (option.hasRange && (option.kind == sane::Option::Kind::Int || option.kind == sane::Option::Kind::Fixed))
        return rangeEditor(option);
    if (option.kind == sane::Option::Kind::Bool) {
        auto *box = new QCheckBox;  // owned by the form it goes into
        box->setChecked(option.value.toBool());
        return box;
    }
    if (option.kind == sane::Option::Kind::String)
        return new QLineEdit(option.value.toString());  // owned by the form it goes into
    if (option.kind == sane::Option::Kind::Int) {
        auto *box = new QSpinBox;  // owned by the form it goes into
        box->setRange(std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
        box->setValue(option.value.toInt());
        return box;
    }
    return nullptr;
}

QVariant valueOf(QWidget *editor) {
    if (auto *box = qobject_cast<QComboBox *>(editor)) return box->currentData();
    if (auto *box = qobject_cast<QSpinBox *>(editor)) return box->value();
    if (auto *box = qobject_cast<QDoubleSpinBox *>(editor)) return box->value();
    if (auto *box = qobject_cast<QCheckBox *>(editor)) return box->isChecked();
    if (auto *box = qobject_cast<QLineEdit *>(editor)) return box->text();
    return {};
}

QPushButton *button(QWidget *parent, const char *name, const QString &text) {
    auto *b = new QPushButton(text, parent);  // owned by parent
    b->setObjectName(QLatin1String(name));
    b->setAutoDefault(false);
    b->setAccessibleName(text);
    return b;
}

}  // namespace

const QStringList AcquisitionDialog::OfferedOptions = {QStringLiteral("source"), QStringLiteral("mode"),
                                                       QStringLiteral("resolution")};

AcquisitionDialog::AcquisitionDialog(sane::Device &device, const QString &deviceName, QWidget *parent)
    : QDialog(parent), m_device(device) {
    setObjectName(QStringLiteral("AcquisitionDialog"));
    setWindowTitle(deviceName);
    auto *layout = new QVBoxLayout(this);
    auto *form = new QFormLayout;
    layout->addLayout(form);
    for (const QString &name : OfferedOptions) {
        if (const std::optional<sane::Option> option = m_device.option(name)) addEditor(*option, form);
    }
    lblStatus = new QLabel(this);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->setWordWrap(true);
    lblStatus->hide();
    layout->addWidget(lblStatus);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    cmdScan = button(this, "cmdScan", tr("Scan"));
    cmdScan->setDefault(true);
    cmdCancel = button(this, "cmdCancel", tr("Cancel"));
    buttons->addWidget(cmdScan);
    buttons->addWidget(cmdCancel);
    layout->addLayout(buttons);
    connect(cmdScan, &QPushButton::clicked, this, &AcquisitionDialog::cmdScan_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void AcquisitionDialog::addEditor(const sane::Option &option, QFormLayout *form) {
    if (!option.active) return;  // the device ignores it in its present mode
    QWidget *editor = editorFor(option);
    if (!editor) return;
    editor->setParent(this);
    editor->setObjectName(option.name);
    editor->setEnabled(option.settable);
    editor->setToolTip(option.description);
    editor->setAccessibleName(option.title);
    auto *label = new QLabel(option.title + u':', this);
    label->setBuddy(editor);
    form->addRow(label, editor);
    m_editors.push_back({option.name, editor});
}

// Each value goes to the device in turn; a value the device refuses keeps the dialog open
// and says why.
void AcquisitionDialog::cmdScan_Click() {
    try {
        for (const Editor &editor : m_editors) {
            const std::optional<sane::Option> now = m_device.option(editor.name);
            const QVariant chosen = valueOf(editor.widget);
            // A setting made inactive by an earlier one (a mode without resolutions) is left alone.
            if (!now || !now->active || !now->settable || sameChoice(now->value, chosen)) continue;
            m_device.setOption(editor.name, chosen);
        }
    } catch (const std::exception &e) {
        lblStatus->setText(QString::fromUtf8(e.what()));
        lblStatus->show();
        return;
    }
    accept();
}

}  // namespace sendmere::imaging
