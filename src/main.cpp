// Program entry: chooses the front end. "-cli" or "-h" start the command-line
// front end; "-v" before them raises the log level. The windowed front end
// is not built yet, so starting without "-cli" or "-h" only says so.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "cli/CmdApp.h"
#include "misc/Log.h"

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
        fprintf(stderr, "vorn: the windowed application is not available yet; run with -cli (or -h for help)\n");
        return 2;
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
