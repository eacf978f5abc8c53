#include <gtest/gtest.h>

#include "recovery/RecoveryTestSupport.h"

namespace vorn {
namespace {

using namespace test;

std::string row(const std::string& name, const std::string& size, const std::string& id) {
    return "<tr> <td><small>" + name + "</small></td><td><small>" + size + "</small></td><td><small>File</small></td>" +
           "<td><small>n/a</small></td><td><small>" + id + "</small></td> </tr>";
}

struct ReportTest : ::testing::Test {
    ~ReportTest() override { delete root; }
    std::string report(const std::vector<VolumeItem*>& items, const std::string& title, const std::string& footer) {
        EXPECT_TRUE(recovery.saveReport(items, scratch / "r.html", title, footer));
        return fileText(scratch / "r.html");
    }
    ScratchDir scratch;
    Recovery recovery;
    TestListener listener;
    DataItem* root = new DataItem("root", {}, true);
};

TEST_F(ReportTest, RowsAreExactAndEveryInsertedTextIsEscaped) {
    listener.texts = {{"ContentOfFolder", "In %s (100%%) %s %n"}, {"Name", "<Name>"}};
    recovery.setListener(&listener);
    DataItem* file = addData(root, "<img src=x onerror='a()'>&\"", std::vector<u8>(1536));
    file->id = "<b>";
    DataItem* folder = addDir(root, "A&B");
    addData(folder, "s", std::vector<u8>(511));
    addDir(folder, "empty");
    const std::string header = "<tr><td>&lt;Name&gt;</td><td>Size</td><td>Type</td><td>DateModified</td><td>ID</td></tr>";
    const std::string empty = "<tr><td></td><td></td><td></td><td></td><td></td></tr>";
    EXPECT_EQ(report({file, folder}, "<title>", "</small><script>"),
              "<html><head><meta http-equiv=Content-type content=text/html;charset=UTF-8 /></head><body><h1>"
              "&lt;title&gt;</h1><small><table border='0'>" +
                  row("&lt;img src=x onerror=&#39;a()&#39;&gt;&amp;&quot;", "2 KB", "&lt;b&gt;") +
                  "<tr><td><b>In A&amp;B (100%) %s %n</b></td></tr>" + header + row("s", "0 KB", "n/a") +
                  "<tr><td><b>In empty (100%) %s %n</b></td></tr>" + header + empty + empty +
                  "</table></small><br><small>&lt;/small&gt;&lt;script&gt;</small></body></html>");
}

TEST_F(ReportTest, EndlessNestingStopsAtTheDepthLimit) {
    LogCapture logs(LOG_ERROR);
    const std::string html = report({addEndlessNesting(root)}, "T", "F");
    EXPECT_EQ(logs.countPrefix("folder nested too deep, not listed: "), 1);
    size_t titles = 0;
    for (size_t at = html.find("<b>ContentOfFolder</b>"); at != std::string::npos; at = html.find("<b>", at + 1)) ++titles;
    EXPECT_EQ(titles, static_cast<size_t>(VolumeItem::kMaxDepth));
}

TEST_F(ReportTest, BrowserShowsNamesWithMarkupAsText) {
    DataItem* folder = addDir(root, "<i>folder</i>");
    addData(folder, "<script>document.title='owned'</script>", std::vector<u8>(3000));
    addData(addDir(folder, "sub</table>"), "<img src=x onerror=alert(1)> & \"q\"");
    recovery.saveReport({folder}, scratch / "r.html", "<b>Title</b>", "</body>footer");
    int status = -1;
    commandOutput("command -v chromium >/dev/null 2>&1", &status);
    if (status != 0) GTEST_SKIP() << "chromium is not installed (tests/packages.txt)";
    const std::string dom = commandOutput(
        "timeout 120 chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking "
        "--disable-component-update --disable-sync --user-data-dir='" + scratch / "profile" + "' --dump-dom 'file://" +
        scratch / "r.html" + "' 2>/dev/null");
    // Only the report's own elements exist; every name is text, escaped again by the serialiser.
    for (const char* tag : {"<script", "<img", "<i>", "<b>Title"}) EXPECT_EQ(dom.find(tag), std::string::npos) << tag;
    for (const char* text : {"<h1>&lt;b&gt;Title&lt;/b&gt;</h1>", "&lt;/body&gt;footer", "<b>ContentOfFolder</b>",
                             "<small>&lt;script&gt;document.title='owned'&lt;/script&gt;</small>",
                             "<small>&lt;img src=x onerror=alert(1)&gt; &amp; \"q\"</small>"}) {
        EXPECT_NE(dom.find(text), std::string::npos) << text;
    }
    EXPECT_EQ(dom.find("<table"), dom.rfind("<table"));  // one table holds every row
    EXPECT_NE(dom.find("<small>3 KB</small>"), std::string::npos);
}

}  // namespace
}  // namespace vorn
