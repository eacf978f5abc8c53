// The progress sheet: a small window-modal dialog over the main window while
// an engine operation runs, with a text, a bar and Cancel. Cancel is pressed
// once: it disables itself and reports; the sheet stays up until the engine
// has stopped and the controller hides it.
#pragma once

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;

namespace vorn::gui {

class ProgressSheet : public QDialog {
    Q_OBJECT
public:
    explicit ProgressSheet(QWidget* parent);

    // Shows the sheet with a title and text, Cancel enabled, the bar busy.
    void begin(const QString& title, const QString& text);
    void setText(const QString& text);
    // Negative: the bar shows that progress cannot be measured.
    void setPercent(double percent);
    QPushButton* cancelButton() const { return cancel; }
    QProgressBar* bar() const { return progress; }
    QString text() const;

signals:
    void cancelled();

protected:
    // Escape and the window's close button do nothing: only Cancel cancels.
    void reject() override {}

private:
    QLabel* label;
    QProgressBar* progress;
    QPushButton* cancel;
};

}  // namespace vorn::gui
