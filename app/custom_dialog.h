#pragma once

#include <QDialog>

class QComboBox;
class QStringList;

// The port dialog: a list of serial port names and a SELECT button, titled "SELECT VORTAN".
// SELECT accepts the dialog; the chosen name is the combo box's current text.
class custom_dialog : public QDialog {
public:
    using QDialog::QDialog;

    // Builds the dialog and lists `names` in their order, the first one preselected. Called
    // again, it only lists the new names.
    void init(const QStringList& names);
    // The list of names; null before init.
    QComboBox* comboBox() const noexcept { return combo_box; }

private:
    QComboBox* combo_box = nullptr;
};
