#include "custom_dialog.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QStringList>

void custom_dialog::init(const QStringList& names) {
    if (combo_box == nullptr) {
        auto* layout = new QHBoxLayout(this);
        combo_box = new QComboBox(this);
        auto* select = new QPushButton(QDialog::tr("SELECT"), this);
        select->setStyleSheet(QStringLiteral("background-color: rgb(255, 215, 0);"));
        layout->addWidget(combo_box);
        layout->addWidget(select);
        setWindowTitle(QDialog::tr("SELECT VORTAN"));
        setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
        connect(select, &QPushButton::clicked, this, &QDialog::accept);
    }
    combo_box->clear();
    combo_box->addItems(names);
}
