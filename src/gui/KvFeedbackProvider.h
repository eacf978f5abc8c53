// The Help menu's two ways to write to the authors: both open a feedback
// window (the reporter deletes itself when done).
#pragma once

#include <QObject>

namespace vorn::gui {

class Desktop;

class KvFeedbackProvider : public QObject {
    Q_OBJECT
public:
    // desktop answers the reporter's alerts (not owned; null: the real one).
    explicit KvFeedbackProvider(Desktop* desktop = nullptr, QObject* parent = nullptr);
    void orderFrontFeedbackWindow();
    void orderFrontBugReportWindow();

private:
    Desktop* desktop;
};

}  // namespace vorn::gui
