#include "gui/ProgressSheet.h"

#include <QApplication>
#include <QCloseEvent>
#include <QWindow>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/StringTable.h"

namespace vorn::gui {

namespace {

bool isUserInput(QEvent::Type type) {
    switch (type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ContextMenu:
        case QEvent::Enter:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletPress:
        case QEvent::TabletRelease: return true;
        default: return false;
    }
}

}  // namespace

ProgressSheet::ProgressSheet(QWidget* parent) : QDialog(parent) {
    setWindowModality(Qt::NonModal);
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

void ProgressSheet::reject() {
    if (cancel->isEnabled()) cancel->click();
}

void ProgressSheet::closeEvent(QCloseEvent* event) {
    event->ignore();
    emit closeRequested();
}

void ProgressSheet::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (blocked || !parentWidget()) return;
    blocked = parentWidget()->window();
    qApp->installEventFilter(this);
}

void ProgressSheet::hideEvent(QHideEvent* event) {
    QDialog::hideEvent(event);
    if (!blocked) return;
    qApp->removeEventFilter(this);
    blocked = nullptr;
}

bool ProgressSheet::eventFilter(QObject* watched, QEvent* event) {
    if (!blocked || !isUserInput(event->type())) return false;
    if (watched == static_cast<QObject*>(blocked->windowHandle())) return true;
    auto* widget = qobject_cast<QWidget*>(watched);
    return widget && widget->window() == blocked;
}

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
