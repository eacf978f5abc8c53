// Program entry: chooses the front end. "-cli" or "-h" start the command-line
// front end; "-v" before them raises the log level. Otherwise the window
// starts; a build without Qt 6 has none and says so.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "cli/CmdApp.h"
#include "misc/Log.h"
#ifdef VORN_HAVE_GUI
#include "gui/GuiMain.h"
#endif

int main(int argc, char** argv) {
    vorn::setLogLevel(vorn::LOG_INFO);
    bool commandLine = false;
    for (int i = 0; i < argc; ++i) {
        if (!argv[i]) continue;
        if (strcmp(argv[i], "-cli") == 0 || strcmp(argv[i], "-h") == 0) {
            commandLine = true;
            break;
        }
        if (strcmp(argv[i], "-v") == 0) vorn::setLogLevel(vorn::LOG_DEBUG);
    }
    if (!commandLine) {
#ifdef VORN_HAVE_GUI
        return vorn::gui::runWindowed(argc, argv);
#else
        fprintf(stderr, "vorn: this build has no window; use the command line instead: vorn -cli (vorn -h for help)\n");
        return 1;
#endif
    }

    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0) {
        const unsigned long long kib = (static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(pageSize)) >> 10;
        fprintf(stderr, "Real Memory available: %d KB\n", kib > INT_MAX ? INT_MAX : static_cast<int>(kib));
    }
    // The system version line needs a version query that this platform does
    // not have; like a failing query, it prints nothing.

    int status;
    {
        vorn::CmdApp app;
        status = app.run(argc, argv);
    }
    return status;
}
