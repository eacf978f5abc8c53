#include "gui/HoverButton.h"

namespace vorn::gui {

HoverButton::HoverButton(const QString& identifier, QWidget* parent) : QToolButton(parent), identifier(identifier) {
    setObjectName(identifier);
}

void HoverButton::enterEvent(QEnterEvent* event) {
    QToolButton::enterEvent(event);
    emit mouseEntered(this, identifier);
}

void HoverButton::leaveEvent(QEvent* event) {
    QToolButton::leaveEvent(event);
    emit mouseExited(this, identifier);
}

}  // namespace vorn::gui
