#include "gui/ProgressSheet.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/StringTable.h"

namespace vorn::gui {

ProgressSheet::ProgressSheet(QWidget* parent) : QDialog(parent) {
    setWindowModality(Qt::WindowModal);
    setObjectName(QStringLiteral("progressSheet"));
    label = new QLabel(this);
    label->setTextFormat(Qt::PlainText);
    label->setMinimumWidth(420);
    label->setWordWrap(true);
    progress = new QProgressBar(this);
    progress->setRange(0, 100);
    cancel = new QPushButton(uiStrings().text(QStringLiteral("Cancel")), this);
    cancel->setAutoDefault(false);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addWidget(progress);
    layout->addLayout(buttons);
    connect(cancel, &QPushButton::clicked, this, [this] {
        cancel->setEnabled(false);
        emit cancelled();
    });
}

void ProgressSheet::begin(const QString& title, const QString& text) {
    setWindowTitle(title);
    label->setText(text);
    cancel->setEnabled(true);
    progress->setRange(0, 0);
    show();
    raise();
}

void ProgressSheet::setText(const QString& text) { label->setText(text); }

QString ProgressSheet::text() const { return label->text(); }

void ProgressSheet::setPercent(double percent) {
    if (percent < 0) {
        progress->setRange(0, 0);
        return;
    }
    if (progress->maximum() == 0) progress->setRange(0, 100);
    progress->setValue(int(qBound(0.0, percent, 100.0)));
}

}  // namespace vorn::gui
