// The HTML report: rows as listed, escaping of every inserted text, cancel,
// write failures, and a real browser engine's view of a report.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "misc/Log.h"
#include "misc/Utils.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryTestSupport.h"
#include "recovery/RecoveryUtils.h"
#include "LogCapture.h"

namespace vorn {
namespace {

using test::addDataFile;
using test::addDataFolder;
using test::DataItem;
using test::LogCapture;
using test::ScratchDir;
using test::TestListener;

const std::string kHead =
    "<html><head><meta http-equiv=Content-type content=text/html;charset=UTF-8 /></head><body><h1>";
const std::string kHeader = "<tr><td>Name</td><td>Size</td><td>Type</td><td>DateModified</td><td>ID</td></tr>";
const std::string kEmptyRow = "<tr><td></td><td></td><td></td><td></td><td></td></tr>";

std::string fileRow(const std::string& name, const std::string& size, const std::string& date, const std::string& id) {
    return "<tr> <td><small>" + name + "</small></td><td><small>" + size + "</small></td><td><small>File</small></td>" +
           "<td><small>" + date + "</small></td><td><small>" + id + "</small></td> </tr>";
}

std::string page(const std::string& title, const std::string& rows, const std::string& footer) {
    return kHead + title + "</h1><small><table border='0'>" + rows + "</table></small><br><small>" + footer +
           "</small></body></html>";
}

std::string readText(const std::string& path) {
    std::vector<u8> bytes = test::fileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

class ReportTest : public ::testing::Test {
protected:
    ~ReportTest() override { delete root; }
    std::string report(const std::vector<VolumeItem*>& items, const std::string& title = "T",
                       const std::string& footer = "F") {
        const std::string path = scratch / "report.html";
        recovery.saveReport(items, path, title, footer);
        return readText(path);
    }

    ScratchDir scratch;
    Recovery recovery;
    DataItem* root = new DataItem("root", {}, true);
};

TEST_F(ReportTest, SingleFileHasOnlyItsRow) {
    DataItem* file = addDataFile(root, "a.txt", std::vector<u8>(1536));
    file->id = "42";
    EXPECT_EQ(report({file}), page("T", fileRow("a.txt", "2 KB", "n/a", "42"), "F"));
}

TEST_F(ReportTest, SizesAreRoundedToWholeKilobytes) {
    DataItem* small = addDataFile(root, "s", std::vector<u8>(511));
    DataItem* zero = addDataFile(root, "z", {});
    const std::string html = report({small, zero});
    EXPECT_NE(html.find(fileRow("s", "0 KB", "n/a", "n/a")), std::string::npos);
    EXPECT_NE(html.find(fileRow("z", "0 KB", "n/a", "n/a")), std::string::npos);
}

TEST_F(ReportTest, DateIsShownInLocalTime) {
    DataItem* file = addDataFile(root, "d", {});
    file->date = 1262347445;
    EXPECT_NE(report({file}).find(fileRow("d", "0 KB", timeToString(1262347445), "n/a")), std::string::npos);
}

TEST_F(ReportTest, FolderWithEmptySubfolderHasTitleHeaderAndEmptyRows) {
    DataItem* folder = addDataFolder(root, "top");
    addDataFile(folder, "f", std::vector<u8>(2048));
    addDataFolder(folder, "empty");
    const std::string rows = "<tr><td><b>ContentOfFolder</b></td></tr>" + kHeader + fileRow("f", "2 KB", "n/a", "n/a") +
                             "<tr><td><b>ContentOfFolder</b></td></tr>" + kHeader + kEmptyRow + kEmptyRow;
    EXPECT_EQ(report({folder}), page("T", rows, "F"));
}

TEST_F(ReportTest, FolderNameTakesThePlaceOfPercentSInTheTranslatedTitle) {
    TestListener listener;
    listener.texts["ContentOfFolder"] = "Content of %s (100%%) %s %n";
    listener.texts["Name"] = "<Name>";
    recovery.setListener(&listener);
    DataItem* folder = addDataFolder(root, "A&B");
    const std::string html = report({folder});
    EXPECT_NE(html.find("<tr><td><b>Content of A&amp;B (100%) %s %n</b></td></tr>"), std::string::npos);
    EXPECT_NE(html.find("<td>&lt;Name&gt;</td>"), std::string::npos);
}

TEST_F(ReportTest, EveryInsertedTextIsEscaped) {
    DataItem* file = addDataFile(root, "<img src=x onerror='a()'>&\"", {});
    file->id = "<b>";
    const std::string html = report({file}, "<title>", "</small><script>");
    EXPECT_EQ(html, page("&lt;title&gt;",
                         fileRow("&lt;img src=x onerror=&#39;a()&#39;&gt;&amp;&quot;", "0 KB", "n/a", "&lt;b&gt;"),
                         "&lt;/small&gt;&lt;script&gt;"));
}

TEST_F(ReportTest, FoldersAreLoadedWhenNeeded) {
    auto* lazy = test::adopt(root, new DataItem("lazy", {}, true));
    lazy->loader = [](DataItem* f) { addDataFile(f, "late", {}); };
    EXPECT_NE(report({lazy}).find(fileRow("late", "0 KB", "n/a", "n/a")), std::string::npos);
    EXPECT_EQ(lazy->loads, 1);
}

TEST_F(ReportTest, CancelStillWritesTheRowsSoFarAndTheFooter) {
    DataItem* a = addDataFile(root, "a", {});
    DataItem* b = addDataFile(root, "b", {});
    TestListener listener;
    listener.cancelAtProgress = 1;
    recovery.setListener(&listener);
    LogCapture logs;
    EXPECT_EQ(report({a, b}), page("T", fileRow("a", "0 KB", "n/a", "n/a"), "F"));
    EXPECT_TRUE(logs.has("canceled during saving report list\n"));
    EXPECT_EQ(listener.progress, (std::vector<double>{-1.0, -1.0}));
}

TEST_F(ReportTest, FileThatCannotBeCreatedIsLogged) {
    LogCapture logs(LOG_ERROR);
    const std::string path = scratch / "missing/report.html";
    recovery.saveReport({}, path, "T", "F");
    EXPECT_TRUE(logs.has("error creating report file " + path + "\n"));
}

TEST_F(ReportTest, EndlessNestingStopsAtTheDepthLimit) {
    auto* top = test::adopt(root, new DataItem("d", {}, true));
    std::function<void(DataItem*)> nest = [&nest](DataItem* f) {
        test::adopt(f, new DataItem("d", {}, true))->loader = nest;
    };
    top->loader = nest;
    LogCapture logs(LOG_ERROR);
    const std::string html = report({top});
    EXPECT_EQ(logs.countPrefix("folder nested too deep, not listed: "), 1);
    size_t titles = 0;
    for (size_t at = html.find("<b>ContentOfFolder</b>"); at != std::string::npos;
         at = html.find("<b>ContentOfFolder</b>", at + 1)) {
        ++titles;
    }
    EXPECT_EQ(titles, static_cast<size_t>(VolumeItem::kMaxDepth));
}

TEST(HtmlEscape, EscapesMarkupAndQuotes) {
    EXPECT_EQ(htmlEscape("a<b>&\"'c"), "a&lt;b&gt;&amp;&quot;&#39;c");
    EXPECT_EQ(htmlEscape(std::string("x\0y", 3)), "x&#xFFFD;y");
    EXPECT_EQ(htmlEscape("plain \xc3\xa9"), "plain \xc3\xa9");
}

TEST(FillFolderTitle, PutsTheNameInPlaceOfTheFirstPercentS) {
    EXPECT_EQ(fillFolderTitle("Content of %s", "x%sy"), "Content of x%sy");
    EXPECT_EQ(fillFolderTitle("%s and %s", "a"), "a and %s");
    EXPECT_EQ(fillFolderTitle("100%% %d", "a"), "100% %d");
    EXPECT_EQ(fillFolderTitle("no place", "a"), "no place");
    EXPECT_EQ(fillFolderTitle("trailing %", "a"), "trailing %");
}

// ---------------------------------------------------------------- in a browser engine

// The rows of a serialised DOM: the text of each cell, tags removed and the
// serialiser's character references resolved.
std::vector<std::vector<std::string>> domRows(const std::string& dom) {
    auto text = [](std::string cell) {
        cell = std::regex_replace(cell, std::regex("<[^>]*>"), "");
        cell = replaceAll(cell, "&lt;", "<");
        cell = replaceAll(cell, "&gt;", ">");
        cell = replaceAll(cell, "&nbsp;", "\xc2\xa0");
        return replaceAll(cell, "&amp;", "&");
    };
    std::vector<std::vector<std::string>> rows;
    const std::regex rowPattern("<tr>(.*?)</tr>");
    const std::regex cellPattern("<td>(.*?)</td>");
    for (auto r = std::sregex_iterator(dom.begin(), dom.end(), rowPattern); r != std::sregex_iterator(); ++r) {
        const std::string row = (*r)[1];
        std::vector<std::string> cells;
        for (auto c = std::sregex_iterator(row.begin(), row.end(), cellPattern); c != std::sregex_iterator(); ++c) {
            cells.push_back(text((*c)[1]));
        }
        rows.push_back(cells);
    }
    return rows;
}

std::string browserDom(const std::string& htmlPath, const std::string& profileDir) {
    int status = -1;
    test::commandOutput("command -v chromium >/dev/null 2>&1", &status);
    if (status != 0) return "";
    return test::commandOutput("timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic "
                               "--no-first-run --disable-background-networking --disable-component-update "
                               "--disable-sync --user-data-dir='" +
                               profileDir + "' --dump-dom 'file://" + htmlPath + "' 2>/dev/null");
}

TEST_F(ReportTest, BrowserShowsNamesWithMarkupAsText) {
    TestListener listener;
    listener.texts["ContentOfFolder"] = "Content of %s";
    recovery.setListener(&listener);
    DataItem* folder = addDataFolder(root, "<i>folder</i>");
    DataItem* script = addDataFile(folder, "<script>document.title='owned'</script>", std::vector<u8>(3000));
    script->id = "7";
    addDataFile(folder, "a & b \"quoted\" 'single'", {});
    DataItem* sub = addDataFolder(folder, "sub</table>");
    addDataFile(sub, "<img src=x onerror=alert(1)>", std::vector<u8>(1024));
    const std::string path = scratch / "report.html";
    recovery.saveReport({folder}, path, "<b>Title</b>", "</body>footer");

    const std::string dom = browserDom(path, scratch / "profile");
    if (dom.empty()) GTEST_SKIP() << "chromium is not installed (tests/packages.txt)";

    // No element was made from a name: only the report's own tags are there.
    EXPECT_EQ(dom.find("<script"), std::string::npos);
    EXPECT_EQ(dom.find("<img"), std::string::npos);
    EXPECT_EQ(dom.find("<i>"), std::string::npos);
    EXPECT_NE(dom.find("<h1>&lt;b&gt;Title&lt;/b&gt;</h1>"), std::string::npos);
    EXPECT_NE(dom.find("&lt;/body&gt;footer"), std::string::npos);
    // One table holds every row.
    size_t tables = 0;
    for (size_t at = dom.find("<table"); at != std::string::npos; at = dom.find("<table", at + 1)) ++tables;
    EXPECT_EQ(tables, 1u);

    const std::vector<std::string> header = {"Name", "Size", "Type", "DateModified", "ID"};
    const std::vector<std::string> empty(5, "");
    const std::vector<std::vector<std::string>> expected = {
        {"Content of <i>folder</i>"},
        header,
        {"<script>document.title='owned'</script>", "3 KB", "File", "n/a", "7"},
        {"a & b \"quoted\" 'single'", "0 KB", "File", "n/a", "n/a"},
        {"Content of sub</table>"},
        header,
        {"<img src=x onerror=alert(1)>", "1 KB", "File", "n/a", "n/a"},
        empty,
        empty,
    };
    EXPECT_EQ(domRows(dom), expected);
}

}  // namespace
}  // namespace vorn
