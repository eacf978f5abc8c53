#include "gui/KvFeedbackProvider.h"

#include "gui/KvCrashReporter.h"

namespace vorn::gui {

KvFeedbackProvider::KvFeedbackProvider(Desktop* desktop, QObject* parent) : QObject(parent), desktop(desktop) {}

void KvFeedbackProvider::orderFrontFeedbackWindow() { KvCrashReporter::open(QString(), desktop); }

void KvFeedbackProvider::orderFrontBugReportWindow() { KvCrashReporter::open(QString(), desktop); }

}  // namespace vorn::gui
