// One windowed copy per user: a local server in the abstract socket
// namespace named "tarvikvornmac-<uid>". The kernel drops the name when the
// process ends, however it ends, so a killed copy blocks nothing.
//
// $VORN_INSTANCE_NAME, when set, names the server instead: tests start
// copies under a name of their own, so that a vorn the user has open
// neither blocks them nor is blocked by them.
#pragma once

#include <QLocalServer>
#include <QString>

namespace vorn::gui {

class SingleInstance {
public:
    static QString defaultName();
    // The name this process claims: $VORN_INSTANCE_NAME, else defaultName().
    static QString name();
    // True when this process now holds the name; false when another has it.
    bool claim(const QString& name = SingleInstance::name());

private:
    QLocalServer server;
};

}  // namespace vorn::gui
