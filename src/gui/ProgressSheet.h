// The progress sheet: a small dialog over the main window while an engine
// operation runs, with a text, a bar and Cancel (Escape too). Cancel is
// pressed once: it disables itself and reports; the sheet stays up until
// the engine has stopped and the controller hides it.
//
// While it is up, input to the window under it (clicks, keys, the wheel) is
// dropped, as a window-modal dialog would; but the sheet is not Qt-modal,
// since Qt then swallows the close button of the window under it, and
// closing the window during a scan must be heard. The sheet's own close
// button asks for the window to close (closeRequested).
#pragma once

#include <QDialog>
#include <QPointer>

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
    void closeRequested();

protected:
    // Escape presses Cancel (once, as a click does); the sheet stays up
    // until the engine has stopped.
    void reject() override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLabel* label;
    QProgressBar* progress;
    QPushButton* cancel;
    QPointer<QWidget> blocked;  // the window whose input is dropped
};

}  // namespace vorn::gui
