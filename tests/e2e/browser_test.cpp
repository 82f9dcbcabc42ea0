// A real browser shows the console's picture: headless Chromium loads a page whose <img> points
// at the console and reports the size of the image it decoded.
#include <memory>
#include <regex>

#include <gtest/gtest.h>

#include "test_support.h"

using namespace testing_support;

namespace {

const char* const chromium = "/usr/bin/chromium";
const Milliseconds generous(30000);

std::string pageFor(int port)
{
    return "<!DOCTYPE html>\n<html><body>\n"
           "<img id=\"picture\" src=\"http://127.0.0.1:" + std::to_string(port) + "/\">\n"
           "<pre id=\"result\">pending</pre>\n"
           "<script>\n"
           "const picture = document.getElementById('picture');\n"
           "const result = document.getElementById('result');\n"
           "picture.onload = () => { result.textContent = 'loaded ' + picture.naturalWidth + 'x' + "
           "picture.naturalHeight; };\n"
           "picture.onerror = () => { result.textContent = 'failed'; };\n"
           "</script>\n"
           "</body></html>\n";
}

TEST(Browser, ShowsThePictureAtItsSize)
{
    if (!fileExists(chromium))
        GTEST_SKIP() << chromium << " is not installed";
    ScratchDir dir;
    const int port = freePort();
    // Scaled to a size no source gives by itself, so the browser can only have it from the console.
    writeFile(dir.file("lumetra.conf"), configText({{"port", std::to_string(port)},
                                                    {"resize", "1"},
                                                    {"resizeWidth", "400"},
                                                    {"resizeHeight", "300"},
                                                    {"deviceSource", testPatternPipeline(640, 480)}}));
    Process console(consoleBinary(), {}, dir.path());
    ASSERT_TRUE(waitForListeningSocket(console.pid(), port, generous)) << console.err();
    writeFile(dir.file("page.html"), pageFor(port));

    const Finished browser = runToEnd(chromium,
                                      {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                       "--no-first-run", "--disable-background-networking",
                                       "--disable-component-update", "--disable-sync",
                                       "--user-data-dir=" + dir.file("profile"), "--virtual-time-budget=20000",
                                       "--dump-dom", "file://" + dir.file("page.html")},
                                      dir.path(), Milliseconds(120000));
    ASSERT_EQ(browser.status, 0) << browser.err;

    std::smatch result;
    ASSERT_TRUE(std::regex_search(browser.out, result, std::regex("<pre id=\"result\">([^<]*)</pre>")))
        << browser.out;
    EXPECT_EQ(result[1].str(), "loaded 400x300");

    const cv::Mat saved = decodeJpeg(readFile(dir.file("last.jpeg")));
    ASSERT_FALSE(saved.empty());
    EXPECT_EQ(saved.cols, 400);
    EXPECT_EQ(saved.rows, 300);
    EXPECT_NE(console.out().find("Connection from 127.0.0.1\n"), std::string::npos);
    EXPECT_TRUE(console.running()) << console.err();
    EXPECT_EQ(console.err(), "");
}

}  // namespace
