// The HTML report: a listing of the selected items and of their folders as
// one table, built in memory and written in one go. Every text put into the
// page (names, identifiers, dates, title, footer, translated words) is
// escaped, so names with markup characters show as text. The page is never
// written onto a device or a file being read.
#include <unistd.h>

#include <cstdio>

#include "fs/VolumeItem.h"
#include "misc/Log.h"
#include "misc/Utils.h"
#include "recovery/Recovery.h"
#include "fs/RecoveryEventListener.h"
#include "recovery/RecoveryUtils.h"

namespace vorn {

bool Recovery::saveReport(std::vector<VolumeItem*> items, std::string path, std::string title, std::string footer) {
    log(LOG_DEBUG, "Recovery::saveReport\n");
    std::string html =
        "<html><head><meta http-equiv=Content-type content=text/html;charset=UTF-8 /></head><body><h1>";
    html += htmlEscape(title);
    html += "</h1><small><table border='0'>";
    for (VolumeItem* item : items) {
        if (!writeReportItem(item, html)) {
            log(LOG_DEBUG, "canceled during saving report list\n");
            break;
        }
    }
    html += "</table></small><br>";
    html += "<small>";
    html += htmlEscape(footer);
    html += "</small></body></html>";

    // The path is the user's choice: a link there is followed, but never onto
    // a device or a file being read.
    OutputOpen opened = OutputOpen::Failed;
    const int fd = openOutputFile(path, true, opened);
    if (opened == OutputOpen::Refused) return false;
    if (fd < 0) {
        log(LOG_ERROR, "error creating report file %s\n", path.c_str());
        return false;
    }
    const bool written = writeAll(fd, reinterpret_cast<const u8*>(html.data()), html.size());
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) log(LOG_ERROR, "error writing report file %s\n", path.c_str());
    return written && closed;
}

bool Recovery::writeReportItem(VolumeItem* item, std::string& html) { return writeReportItemAtDepth(item, html, 0); }

bool Recovery::writeReportItemAtDepth(VolumeItem* item, std::string& html, int depth) {
    if (listener) {
        bool cancel = false;
        listener->progressEvent(-1.0, &cancel);
        if (cancel) return false;
    }
    if (!item) return true;

    if (item->isContainer()) {
        if (depth >= VolumeItem::kMaxDepth) {
            log(LOG_ERROR, "folder nested too deep, not listed: %s\n", item->getName().c_str());
            return true;
        }
        if (repeatsAncestor(item)) {
            log(LOG_ERROR, "folder contains itself, not listed again: %s\n", item->getName().c_str());
            return true;
        }
        html += "<tr><td><b>";
        html += htmlEscape(fillFolderTitle(localizedString("ContentOfFolder"), item->getName()));
        html += "</b></td></tr>";
        html += "<tr>";
        for (const char* key : {"Name", "Size", "Type", "DateModified", "ID"}) {
            html += "<td>";
            html += htmlEscape(localizedString(key));
            html += "</td>";
        }
        html += "</tr>";
        item->loadChildren();
        const u32 children = item->getChildCount(true);
        for (u32 i = 0; i < children; ++i) {
            if (!writeReportItemAtDepth(item->getChild(i, true), html, depth + 1)) return false;
        }
        html += "<tr><td></td><td></td><td></td><td></td><td></td></tr>";
        return true;
    }

    const u32 date = item->getDate();
    const std::string cells[5] = {
        item->getName(),
        format("%.0f KB", static_cast<double>(static_cast<float>(item->boundedSize()) * (1.0f / 1024.0f))),
        "File",
        date == 0 ? std::string("n/a") : timeToString(static_cast<time_t>(date)),
        item->getId(),
    };
    html += "<tr> ";
    for (const std::string& cell : cells) {
        html += "<td><small>";
        html += htmlEscape(cell);
        html += "</small></td>";
    }
    html += " </tr>";
    return true;
}

}  // namespace vorn
