#include "gui/SingleInstance.h"

#include <unistd.h>

namespace vorn::gui {

QString SingleInstance::defaultName() { return QStringLiteral("tarvikvornmac-%1").arg(getuid()); }

QString SingleInstance::name() {
    const QString chosen = qEnvironmentVariable("VORN_INSTANCE_NAME");
    return chosen.isEmpty() ? defaultName() : chosen;
}

bool SingleInstance::claim(const QString& name) {
    server.setSocketOptions(QLocalServer::AbstractNamespaceOption);
    return server.listen(name);
}

}  // namespace vorn::gui
