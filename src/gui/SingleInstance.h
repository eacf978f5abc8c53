// One windowed copy per user: a local server in the abstract socket
// namespace named "tarvikvornmac-<uid>". The kernel drops the name when the
// process ends, however it ends, so a killed copy blocks nothing.
#pragma once

#include <QLocalServer>
#include <QString>

namespace vorn::gui {

class SingleInstance {
public:
    static QString defaultName();
    // True when this process now holds the name; false when another has it.
    bool claim(const QString& name = defaultName());

private:
    QLocalServer server;
};

}  // namespace vorn::gui
