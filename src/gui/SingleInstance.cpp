#include "gui/SingleInstance.h"

#include <unistd.h>

namespace vorn::gui {

QString SingleInstance::defaultName() { return QStringLiteral("tarvikvornmac-%1").arg(getuid()); }

bool SingleInstance::claim(const QString& name) {
    server.setSocketOptions(QLocalServer::AbstractNamespaceOption);
    return server.listen(name);
}

}  // namespace vorn::gui
