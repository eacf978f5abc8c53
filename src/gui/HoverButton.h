// A toolbar button that says when the mouse enters or leaves it, with the
// identifier of its toolbar item, so that the window can show a hint.
#pragma once

#include <QToolButton>

namespace vorn::gui {

class HoverButton : public QToolButton {
    Q_OBJECT
public:
    HoverButton(const QString& identifier, QWidget* parent = nullptr);
    QString hoverIdentifier() const { return identifier; }

signals:
    void mouseEntered(HoverButton* button, const QString& identifier);
    void mouseExited(HoverButton* button, const QString& identifier);

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QString identifier;
};

}  // namespace vorn::gui
