// The mail says what changed: delivered through the real SMTP server
// (aiosmtpd) and read back with Python's email package.

#include "delivery/ChangeMarks.h"
#include "engine/HeadlessHost.h"
#include "engine/SiteList.h"
#include "engine/SiteMonitor.h"
#include "tests/support/LoopbackServers.h"
#include "tests/support/MailServer.h"
#include "tests/support/TempDataFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

const std::string BoxStart = "<div style=\"display:block;clear:both;";
const std::string BoxEnd = "</div></div>";

struct ChangeMail : ::testing::Test {
    TTempDataFolder tmp{TDesktopHome::Untouched};
    TLoopbackHttpServer http;
    TMailServer mail{tmp.Root() + "mail", {"--no-auth"}};
    TSystemClock clock;
    THeadlessHost host{clock};
    TSiteMonitor monitor{host, clock, tmp.DataFolder()};
    int parts = 0;

    ChangeMail()
    {
        host.Settings.DestEmail = "me@example.org";
        host.Settings.ActiveNetConnection = false;
        host.Settings.Server.Host = "127.0.0.1";
        host.Settings.Server.Port = mail.Port();
        host.Settings.Server.TimeOutSeconds = 20;
        host.Settings.MarkChanges = true;
    }

    struct TParts {
        std::string Plain, Html;
    };
    // Message n as a reader's mail program takes it apart.
    TParts Parts(int n)
    {
        const std::string folder = tmp.Root() + "parts" + std::to_string(++parts);
        const std::string command = std::string(VENDREL_PYTHON) + " " + VENDREL_FIXTURES_DIR + "/mail_parts.py " +
                                    mail.WaitForMessage(n) + " " + folder;
        EXPECT_EQ(std::system(command.c_str()), 0);
        return {ReadFile(folder + "/1.text_plain"), ReadFile(folder + "/2.text_html")};
    }
};

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at <= text.size()) {
        const auto end = text.find("\r\n", at);
        out.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos)
            break;
        at = end + 2;
    }
    if (!out.empty() && out.back().empty())
        out.pop_back();
    return out;
}

// The HTML part without the summary and the marks: the page as mailed
// without the setting.
std::string Unmarked(std::string html)
{
    if (const auto at = html.find(BoxStart); at != std::string::npos)
        html.erase(at, html.find(BoxEnd, at) + BoxEnd.size() - at);
    for (const std::string_view piece : {MarkOpen, MarkClose})
        for (auto at = html.find(piece); at != std::string::npos; at = html.find(piece, at))
            html.erase(at, piece.size());
    return html;
}

std::size_t Count(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

const std::string Head = "<!DOCTYPE html>\r\n<html><head><title>The News</title>"
                         "<script>var edition = 1;</script></head>\r\n<body>\r\n";

} // namespace

TEST_F(ChangeMail, TheMailSaysWhatChangedFirstAndMarksItInTheWholePage)
{
    http.SetPage("/n", Head + "<h1>Front page</h1>\r\n<p>Price: 10 EUR</p>\r\n<p>An old item</p>\r\n"
                              "<p><a href=\"next.html\">Read more</a></p>\r\n</body></html>\r\n");
    host.SiteList.Add(MakeSiteEntry("News", http.Url("/n"), 0), true);
    monitor.CheckForSites();
    const TParts first = Parts(1);
    const auto firstPlain = Lines(first.Plain);
    ASSERT_EQ(firstPlain.size(), 4u) << first.Plain;
    EXPECT_TRUE(firstPlain[0].starts_with("\"News\" sent from Vendrel at ")) << "the first line stays first";
    EXPECT_EQ(firstPlain[1], "Vendrel: first delivery of News");
    EXPECT_EQ(firstPlain[2], "");
    EXPECT_TRUE(firstPlain[3].starts_with("Vendrel is free software"));
    EXPECT_LT(first.Html.find("Vendrel: first delivery of News"), first.Html.find("Front page"));
    EXPECT_EQ(first.Html.find("<mark"), std::string::npos) << "a first delivery marks nothing";

    http.SetPage("/n", Head + "<h1>Front page</h1>\r\n<p>Price: <b>12</b> EUR</p>\r\n"
                              "<ul><li>A brand new story</li></ul>\r\n"
                              "<p><a href=\"next.html\">Read more</a></p>\r\n</body></html>\r\n");
    monitor.CheckForSites();
    const TParts second = Parts(2);
    const auto plain = Lines(second.Plain);
    ASSERT_EQ(plain.size(), 8u) << second.Plain;
    EXPECT_TRUE(plain[0].starts_with("\"News\" sent from Vendrel at "));
    EXPECT_TRUE(plain[1].starts_with("Vendrel: 2 changes on News since ")) << plain[1];
    EXPECT_GT(plain[1].size(), std::string("Vendrel: 2 changes on News since ").size()) << "the stored copy's date";
    EXPECT_EQ(plain[2], "+ Price: 12 EUR");
    EXPECT_EQ(plain[3], "- Price: 10 EUR");
    EXPECT_EQ(plain[4], "+ A brand new story");
    EXPECT_EQ(plain[5], "- An old item");
    EXPECT_EQ(plain[6], "");
    EXPECT_TRUE(plain[7].starts_with("Vendrel is free software"));

    const std::string& html = second.Html;
    const auto summary = html.find("Vendrel: 2 changes on News since ");
    ASSERT_NE(summary, std::string::npos) << html;
    EXPECT_LT(summary, html.find("Front page")) << "the summary comes before the page's own first text";
    EXPECT_EQ(html.find(BoxStart), html.find("<body>") + 6);
    EXPECT_NE(html.find("<b><mark style=\"background:#fff3a0\">12</mark></b>"), std::string::npos) << html;
    EXPECT_NE(html.find("<li><mark style=\"background:#fff3a0\">A brand new story</mark></li>"), std::string::npos);
    EXPECT_EQ(Count(html, "<mark"), 2u);
    EXPECT_NE(html.find("href=\"" + http.Url("/next.html") + "\""), std::string::npos) << "links are still absolute";

    // The same page sent with the setting off is the page above, byte for
    // byte, without the summary and the marks, and its mail is as it was.
    host.Settings.MarkChanges = false;
    ASSERT_TRUE(monitor.SendSiteOfIndex(0, false));
    const TParts plainMail = Parts(3);
    EXPECT_EQ(Unmarked(html), plainMail.Html);
    EXPECT_EQ(plainMail.Html.find("Vendrel:"), std::string::npos);
    EXPECT_EQ(Lines(plainMail.Plain).size(), 2u) << plainMail.Plain;
    EXPECT_EQ(mail.Messages()[2].find("charset"), std::string::npos) << "an ASCII page's parts name no charset";
}

TEST_F(ChangeMail, ChangesInAttributesScriptsAndCommentsMarkNothingAndBreakNothing)
{
    const std::string before = Head + "<p class=\"old\" title=\"Old title\">Same text</p>\r\n"
                                      "<!-- build 1 --><script>document.write('old words');</script>\r\n"
                                      "<img src=\"a.png\" alt=\"Old picture\"><style>p { color: red }</style>\r\n"
                                      "<textarea>old area</textarea></body></html>\r\n";
    std::string after = before;
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"class=\"old\" title=\"Old title\"", "class=\"new\" title=\"New title\""},
             {"build 1", "build 2 with new words"},
             {"'old words'", "'new words'"},
             {"var edition = 1", "var edition = 2"},
             {"Old picture", "New picture"},
             {"color: red", "color: blue"},
             {"old area", "new area"}})
        after.replace(after.find(from), from.size(), to);
    http.SetPage("/n", before);
    host.SiteList.Add(MakeSiteEntry("News", http.Url("/n"), -1), true);
    monitor.CheckForSites();
    http.SetPage("/n", after);
    monitor.CheckForSites();
    const TParts changed = Parts(2);
    EXPECT_NE(changed.Html.find("Vendrel: 0 changes on News since "), std::string::npos);
    EXPECT_EQ(changed.Html.find("<mark"), std::string::npos);
    EXPECT_TRUE(Lines(changed.Plain)[1].starts_with("Vendrel: 0 changes on News since "));

    host.Settings.MarkChanges = false;
    ASSERT_TRUE(monitor.SendSiteOfIndex(0, false));
    EXPECT_EQ(Unmarked(changed.Html), Parts(3).Html) << "nothing else in the page moved";
}
