#pragma once
// A device's acquisition dialog, built from the device's own settings: where the paper comes
// from, the colour mode and the resolution, each starting at the device's current value.
// Scan applies the chosen values to the device; Cancel leaves it as it was.
#include <QDialog>
#include <QString>
#include <vector>

class QFormLayout;
class QLabel;
class QPushButton;

namespace sendmere::imaging {

namespace sane {
class Device;
struct Option;
}  // namespace sane

class AcquisitionDialog : public QDialog {
    Q_OBJECT
public:
    // The settings the dialog offers, in the order they are applied.
    static const QStringList OfferedOptions;

    AcquisitionDialog(sane::Device &device, const QString &deviceName, QWidget *parent = nullptr);

    QPushButton *cmdScan;
    QPushButton *cmdCancel;
    QLabel *lblStatus;  // why Scan did not go ahead, when it did not

private:
    struct Editor {
        QString name;
        QWidget *widget;
    };
    void cmdScan_Click();
    void addEditor(const sane::Option &option, QFormLayout *form);

    sane::Device &m_device;
    std::vector<Editor> m_editors;
};

}  // namespace sendmere::imaging
