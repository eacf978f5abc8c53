// The HTML report: the rows as listed, every inserted text escaped, cancel,
// write failures, and a browser engine's view of the report of a real FAT
// tree with names full of markup characters.
#include <gtest/gtest.h>

#include <regex>

#include "LogCapture.h"
#include "TestMedia.h"
#include "fs/fat/FatManifest.h"
#include "misc/Utils.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryTestSupport.h"
#include "recovery/RecoveryUtils.h"
#include "storage/ImageDisk.h"

namespace vorn {
namespace {

using test::addDataFile;
using test::addDataFolder;
using test::DataItem;
using test::TestListener;

const std::string kHeader = "<tr><td>Name</td><td>Size</td><td>Type</td><td>DateModified</td><td>ID</td></tr>";
const std::string kTitle = "<tr><td><b>ContentOfFolder</b></td></tr>";
const std::string kEmptyRow = "<tr><td></td><td></td><td></td><td></td><td></td></tr>";

std::string fileRow(const std::string& name, const std::string& size, const std::string& date, const std::string& id) {
    return "<tr> <td><small>" + name + "</small></td><td><small>" + size + "</small></td><td><small>File</small></td>" +
           "<td><small>" + date + "</small></td><td><small>" + id + "</small></td> </tr>";
}

size_t occurrences(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

std::string page(const std::string& title, const std::string& rows, const std::string& footer) {
    return "<html><head><meta http-equiv=Content-type content=text/html;charset=UTF-8 /></head><body><h1>" + title +
           "</h1><small><table border='0'>" + rows + "</table></small><br><small>" + footer + "</small></body></html>";
}

class ReportTest : public ::testing::Test {
protected:
    ~ReportTest() override { delete root; }
    std::string report(const std::vector<VolumeItem*>& items, const std::string& title = "T",
                       const std::string& footer = "F") {
        recovery.saveReport(items, path, title, footer);
        return test::fileText(path);
    }

    test::ScratchDir scratch;
    std::string path = scratch / "report.html";
    Recovery recovery;
    DataItem* root = new DataItem("root", {}, true);
};

TEST_F(ReportTest, FileRowsShowSizeInKilobytesDateAndId) {
    DataItem* a = addDataFile(root, "a.txt", std::vector<u8>(1536));
    a->id = "42";
    DataItem* b = addDataFile(root, "b", std::vector<u8>(511));
    b->date = 1262347445;
    EXPECT_EQ(report({a, b}), page("T", fileRow("a.txt", "2 KB", "n/a", "42") +
                                            fileRow("b", "0 KB", timeToString(1262347445), "n/a"),
                                   "F"));
}

TEST_F(ReportTest, FolderRowsAreTitleHeaderChildrenAndAnEmptyRow) {
    DataItem* folder = addDataFolder(root, "top");
    addDataFile(folder, "f", std::vector<u8>(2048));
    addDataFolder(folder, "empty");
    DataItem* lazy = addDataFolder(folder, "lazy");
    lazy->loader = [](DataItem* f) { addDataFile(f, "late"); };
    const std::string rows = kTitle + kHeader + fileRow("f", "2 KB", "n/a", "n/a") + kTitle + kHeader + kEmptyRow +
                             kTitle + kHeader + fileRow("late", "0 KB", "n/a", "n/a") + kEmptyRow + kEmptyRow;
    EXPECT_EQ(report({folder}), page("T", rows, "F"));
}

TEST_F(ReportTest, EveryInsertedTextIsEscapedAndTheTitleIsNoFormat) {
    TestListener listener;
    listener.texts = {{"ContentOfFolder", "Content of %s (100%%) %s %n"}, {"Name", "<Name>"}};
    recovery.setListener(&listener);
    DataItem* folder = addDataFolder(root, "A&B");
    DataItem* file = addDataFile(folder, "<img src=x onerror='a()'>&\"");
    file->id = "<b>";
    const std::string rows =
        "<tr><td><b>Content of A&amp;B (100%) %s %n</b></td></tr><tr><td>&lt;Name&gt;</td><td>Size</td><td>Type</td>"
        "<td>DateModified</td><td>ID</td></tr>" +
        fileRow("&lt;img src=x onerror=&#39;a()&#39;&gt;&amp;&quot;", "0 KB", "n/a", "&lt;b&gt;") + kEmptyRow;
    EXPECT_EQ(report({folder}, "<title>", "</small><script>"),
              page("&lt;title&gt;", rows, "&lt;/small&gt;&lt;script&gt;"));
}

TEST_F(ReportTest, CancelStillWritesTheRowsSoFarAndTheFooter) {
    TestListener listener;
    listener.cancelAtProgress = 1;
    recovery.setListener(&listener);
    test::LogCapture logs;
    EXPECT_EQ(report({addDataFile(root, "a"), addDataFile(root, "b")}), page("T", fileRow("a", "0 KB", "n/a", "n/a"), "F"));
    EXPECT_TRUE(logs.has("canceled during saving report list\n"));
    EXPECT_EQ(listener.progress, (std::vector<double>{-1.0, -1.0}));
}

TEST_F(ReportTest, FailuresAndEndlessNestingAreLogged) {
    test::addEndlessFolder(root, "d");
    test::LogCapture logs(LOG_ERROR);
    const std::string html = report({root->getChild(0, true)});
    recovery.saveReport({}, scratch / "missing/report.html", "T", "F");
    EXPECT_EQ(logs.countPrefix("folder nested too deep, not listed: "), 1);
    EXPECT_EQ(occurrences(html, kTitle), static_cast<size_t>(VolumeItem::kMaxDepth));
    EXPECT_TRUE(logs.has("error creating report file " + scratch / "missing/report.html" + "\n"));
}

TEST(ReportText, EscapingAndTheFolderTitle) {
    EXPECT_EQ(htmlEscape("a<b>&\"'c"), "a&lt;b&gt;&amp;&quot;&#39;c");
    EXPECT_EQ(htmlEscape(std::string("x\0y", 3)), "x&#xFFFD;y");
    EXPECT_EQ(htmlEscape("plain \xc3\xa9"), "plain \xc3\xa9");
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
        for (const auto& [ref, ch] : {std::pair{"&lt;", "<"}, {"&gt;", ">"}, {"&nbsp;", "\xc2\xa0"}, {"&amp;", "&"}}) {
            cell = replaceAll(cell, ref, ch);
        }
        return cell;
    };
    std::vector<std::vector<std::string>> rows;
    const std::regex rowPattern("<tr>(.*?)</tr>"), cellPattern("<td>(.*?)</td>");
    for (auto r = std::sregex_iterator(dom.begin(), dom.end(), rowPattern); r != std::sregex_iterator(); ++r) {
        const std::string row = (*r)[1];
        rows.emplace_back();
        for (auto c = std::sregex_iterator(row.begin(), row.end(), cellPattern); c != std::sregex_iterator(); ++c) {
            rows.back().push_back(text((*c)[1]));
        }
    }
    return rows;
}

TEST(ReportInBrowser, RealTreeWithMarkupNamesShowsEveryRowAsText) {
    int status = -1;
    test::commandOutput("command -v chromium >/dev/null 2>&1", &status);
    if (status != 0) GTEST_SKIP() << "chromium is not installed (tests/packages.txt)";
    const test::FatManifest manifest = test::loadFatManifest(test::mediaPath("fat12_floppy.img.manifest"));
    ImageDisk disk(test::mediaPath("fat12_floppy.img"));
    Recovery recovery;
    TestListener listener;
    listener.texts["ContentOfFolder"] = "Content of %s";
    recovery.setListener(&listener);
    ASSERT_TRUE(recovery.selectDisk(&disk));
    recovery.openExistingVolume();
    ASSERT_NE(recovery.getRootItem(), nullptr);
    // A made-up folder of names that are markup, next to the volume's root.
    DataItem crafted("<i>crafted</i>", {}, true);
    DataItem* script = addDataFile(&crafted, "<script>document.title='owned'</script>", std::vector<u8>(3000));
    script->id = "7";
    addDataFile(&crafted, "a & b \"quoted\" 'single'");
    addDataFile(addDataFolder(&crafted, "sub</table>"), "<img src=x onerror=alert(1)>", std::vector<u8>(1024));
    test::ScratchDir scratch;
    const std::string path = scratch / "report.html";

    recovery.saveReport({recovery.getRootItem(), &crafted}, path, "<b>Title</b>", "</body>footer");

    const std::string dom = test::commandOutput(
        "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
        "--disable-background-networking --disable-component-update --disable-sync --user-data-dir='" +
        scratch / "profile" + "' --dump-dom 'file://" + path + "' 2>/dev/null");
    ASSERT_FALSE(dom.empty());
    // No element was made from a text: only the report's own tags are there.
    for (const char* tag : {"<script", "<img", "<i>"}) EXPECT_EQ(dom.find(tag), std::string::npos) << tag;
    EXPECT_NE(dom.find("<h1>&lt;b&gt;Title&lt;/b&gt;</h1>"), std::string::npos);
    EXPECT_NE(dom.find("&lt;/body&gt;footer"), std::string::npos);
    EXPECT_EQ(occurrences(dom, "<table"), 1u);

    const std::vector<std::vector<std::string>> rows = domRows(dom);
    // The volume: a title and a header row per folder, a row per file, an
    // empty row closing each folder; every live entry of the manifest shows.
    size_t titles = 0, fileRows = 0;
    std::set<std::string> names;
    for (const auto& row : rows) {
        if (row.size() == 1) ++titles;
        if (row.size() == 5 && row[2] == "File") ++fileRows, names.insert(row[0]);
    }
    size_t files = 1, folders = 1;  // the label entry; the root
    for (const test::FatRecord& r : manifest.records) {
        if (!r.live) continue;
        (r.folder ? folders : files) += 1;
        if (!r.folder) {
            EXPECT_TRUE(names.count(r.path.substr(r.path.rfind('/') + 1))) << r.path;
        }
    }
    EXPECT_EQ(titles, folders + 2);
    EXPECT_EQ(fileRows, files + 3);
    // The made-up folder, row for row, as text.
    const std::vector<std::string> header = {"Name", "Size", "Type", "DateModified", "ID"}, empty(5, "");
    const std::vector<std::vector<std::string>> craftedRows = {
        {"Content of <i>crafted</i>"},
        header,
        {"<script>document.title='owned'</script>", "3 KB", "File", "n/a", "7"},
        {"a & b \"quoted\" 'single'", "0 KB", "File", "n/a", "n/a"},
        {"Content of sub</table>"},
        header,
        {"<img src=x onerror=alert(1)>", "1 KB", "File", "n/a", "n/a"},
        empty,
        empty};
    ASSERT_GE(rows.size(), craftedRows.size());
    EXPECT_EQ(std::vector<std::vector<std::string>>(rows.end() - static_cast<std::ptrdiff_t>(craftedRows.size()), rows.end()),
              craftedRows);
    recovery.selectDisk(nullptr);
}

}  // namespace
}  // namespace vorn
