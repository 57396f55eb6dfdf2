// The tree builder's word on SVG and MathML against gumbo's tree: whether
// character data lands inside a foreign element, and whether a start tag
// makes one. Random pages nest SVG, MathML and HTML as a page's author
// would, through the integration points, so that the end tags a browser
// supplies (which the builder follows only roughly) do not come into it;
// the HTML tags that break out of foreign content have cases of their own.

#include "delivery/HtmlTreeBuilder.h"

#include <gtest/gtest.h>
#include <gumbo.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

class TForeignPageGenerator {
public:
    explicit TForeignPageGenerator(unsigned seed) : random_(seed) {}

    std::string Page()
    {
        std::string page = Pick({"", "<!DOCTYPE html>", "<html><body>"});
        const int pieces = 1 + static_cast<int>(random_() % 6);
        for (int i = 0; i < pieces; ++i)
            page += Element(TContext::Html, 0);
        return page;
    }

private:
    std::string Pick(std::initializer_list<const char*> items)
    {
        auto it = items.begin();
        std::advance(it, random_() % items.size());
        return *it;
    }

    std::string Text() { return Pick({"x", "a b", " ", "<![CDATA[c<d]]>", "&amp;", "<!--n-->"}); }

    enum class TContext { Html, Svg, Math };
    struct TKind {
        const char* Open;
        const char* Name; // null: void or self-closed
        TContext Inside;
    };

    // An element that belongs where it stands, with its contents, closed
    // where it should be: HTML tags inside SVG or MathML only at their
    // integration points.
    std::string Element(TContext context, int depth)
    {
        if (depth > 5 || random_() % 4 == 0)
            return Text();
        static const TKind html[] = {
            {"<svg>", "svg", TContext::Svg}, {"<math>", "math", TContext::Math}, {"<div>", "div", TContext::Html},
            {"<span>", "span", TContext::Html}, {"<b>", "b", TContext::Html},
            {"<font color=red>", "font", TContext::Html}, {"<em>", "em", TContext::Html},
            {"<section>", "section", TContext::Html}, {"<br>", nullptr, TContext::Html},
            {"<img>", nullptr, TContext::Html},
        };
        static const TKind svg[] = {
            {"<g>", "g", TContext::Svg}, {"<path/>", nullptr, TContext::Svg},
            {"<foreignObject>", "foreignObject", TContext::Html}, {"<desc>", "desc", TContext::Html},
            {"<title>", "title", TContext::Html}, {"<font>", "font", TContext::Svg}, {"<math>", "math", TContext::Svg},
        };
        static const TKind math[] = {
            {"<mrow>", "mrow", TContext::Math}, {"<mi>", "mi", TContext::Html}, {"<mtext>", "mtext", TContext::Html},
            {"<annotation-xml encoding=\"text/html\">", "annotation-xml", TContext::Html},
            {"<annotation-xml encoding='Application/XHTML+XML'>", "annotation-xml", TContext::Html},
            {"<annotation-xml encoding=\"TeX\">", "annotation-xml", TContext::Math},
            {"<mglyph/>", nullptr, TContext::Math}, {"<font>", "font", TContext::Math},
        };
        const TKind& k = context == TContext::Html  ? html[random_() % std::size(html)]
                         : context == TContext::Svg ? svg[random_() % std::size(svg)]
                                                    : math[random_() % std::size(math)];
        std::string out = k.Open;
        if (!k.Name)
            return out;
        const int children = static_cast<int>(random_() % 4);
        for (int i = 0; i < children; ++i)
            out += Element(k.Inside, depth + 1);
        return out + "</" + k.Name + ">";
    }

    std::mt19937 random_;
};

// For every byte of character data gumbo keeps, whether its parent is an
// SVG or MathML element (1), an HTML one (0), or unknown (-1).
void MarkText(const GumboNode* node, bool foreignParent, std::vector<int>& at)
{
    switch (node->type) {
    case GUMBO_NODE_DOCUMENT:
        for (unsigned i = 0; i < node->v.document.children.length; ++i)
            MarkText(static_cast<const GumboNode*>(node->v.document.children.data[i]), false, at);
        break;
    case GUMBO_NODE_ELEMENT:
    case GUMBO_NODE_TEMPLATE: {
        const GumboElement& e = node->v.element;
        for (unsigned i = 0; i < e.children.length; ++i)
            MarkText(static_cast<const GumboNode*>(e.children.data[i]), e.tag_namespace != GUMBO_NAMESPACE_HTML, at);
        break;
    }
    case GUMBO_NODE_TEXT:
    case GUMBO_NODE_WHITESPACE:
    case GUMBO_NODE_CDATA: {
        const GumboText& t = node->v.text;
        for (std::size_t i = 0; i < t.original_text.length && t.start_pos.offset + i < at.size(); ++i)
            at[t.start_pos.offset + i] = foreignParent ? 1 : 0;
        break;
    }
    default:
        break;
    }
}

// The start tags gumbo makes elements of, by the offset of their '<': 1 in
// SVG or MathML, 0 in HTML.
void MarkStarts(const GumboNode* node, std::vector<int>& at)
{
    if (node->type == GUMBO_NODE_DOCUMENT) {
        for (unsigned i = 0; i < node->v.document.children.length; ++i)
            MarkStarts(static_cast<const GumboNode*>(node->v.document.children.data[i]), at);
        return;
    }
    if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_TEMPLATE)
        return;
    const GumboElement& e = node->v.element;
    if (e.original_tag.length > 0 && e.start_pos.offset < at.size())
        at[e.start_pos.offset] = e.tag_namespace != GUMBO_NAMESPACE_HTML ? 1 : 0;
    for (unsigned i = 0; i < e.children.length; ++i)
        MarkStarts(static_cast<const GumboNode*>(e.children.data[i]), at);
}

class TForeignRecorder : public THtmlSink {
public:
    TForeignRecorder(const THtmlTreeBuilder& builder, std::string_view page) : builder_(builder), page_(page) {}

    std::vector<std::pair<std::size_t, bool>> Texts;  // first byte kept, in foreign content
    std::vector<std::pair<std::size_t, bool>> Starts; // '<', foreign

    // An svg or math start tag in HTML content is not foreign itself, but
    // makes the foreign element that its contents go into.
    void StartTag(const THtmlStartTag& t) override
    {
        Starts.emplace_back(t.Offset, t.Foreign || t.Tag == THtmlTag::Svg || t.Tag == THtmlTag::Math);
    }
    void EndTag(const THtmlEndTag&) override {}
    void Comment(std::size_t, std::size_t) override {}
    void Text(std::size_t offset, std::size_t end) override
    {
        // White space between tags may go where gumbo puts it; words may not.
        for (std::size_t i = offset; i < end; ++i)
            if (!IsAsciiSpace(page_[i])) {
                Texts.emplace_back(i, builder_.InForeignContent());
                return;
            }
    }

private:
    const THtmlTreeBuilder& builder_;
    std::string_view page_;
};

std::string Compare(const std::string& page)
{
    std::unique_ptr<GumboOutput, void (*)(GumboOutput*)> tree(
        gumbo_parse_with_options(&kGumboDefaultOptions, page.data(), page.size()),
        [](GumboOutput* o) { gumbo_destroy_output(&kGumboDefaultOptions, o); });
    std::vector<int> text(page.size(), -1), starts(page.size(), -1);
    MarkText(tree->document, false, text);
    MarkStarts(tree->document, starts);

    THtmlTreeBuilder builder;
    TForeignRecorder recorder(builder, page);
    builder.Scan(page, recorder);
    for (const auto& [at, foreign] : recorder.Texts)
        if (text[at] >= 0 && (text[at] == 1) != foreign)
            return "text at " + std::to_string(at) + (foreign ? " taken as foreign" : " taken as HTML");
    for (const auto& [at, foreign] : recorder.Starts)
        if (starts[at] >= 0 && (starts[at] == 1) != foreign)
            return "start tag at " + std::to_string(at) + (foreign ? " taken as foreign" : " taken as HTML");
    return {};
}

// Pages of the elements whose end tags pages leave out, written the way a
// page's author does: paragraphs, list items, definitions, options and a
// table's parts now closed, now left open for the next one or the parent's
// end tag to close; tables now with and now without their body and rows.
// Nothing is misnested, nothing stands where a table moves it out, and
// there is no formatting element to open again, so the tree is one that the
// element tree and gumbo's agree on.
class TOmittedEndPageGenerator {
public:
    explicit TOmittedEndPageGenerator(unsigned seed) : random_(seed) {}

    // No quirks: an old page's <table> leaves an open <p> alone.
    std::string Page()
    {
        std::string page = "<!DOCTYPE html>";
        const int pieces = 1 + static_cast<int>(random_() % 5);
        for (int i = 0; i < pieces; ++i)
            page += Flow(0);
        return page;
    }

private:
    bool OneIn(unsigned n) { return random_() % n == 0; }

    std::string Text() { return OneIn(3) ? " " : OneIn(2) ? "x" : "a b"; }

    // What may stand inside a paragraph.
    std::string Phrase()
    {
        switch (random_() % 6) {
        case 0: return "<img src=i>";
        case 1: return "<br>";
        case 2: return "<span>" + Text() + "</span>";
        default: return Text();
        }
    }

    // An element of a block's contents. The ones that may be left open come
    // last among their siblings or before a sibling that closes them.
    std::string Flow(int depth)
    {
        if (depth > 4 || OneIn(5))
            return Text();
        switch (random_() % 11) {
        case 0:
        case 1: {
            std::string p = "<p" + std::string(OneIn(3) ? " class=c" : "") + ">";
            for (int i = static_cast<int>(random_() % 3); i >= 0; --i)
                p += Phrase();
            // Left open, the paragraph ends at whatever block comes next, or
            // at its parent's end tag.
            return p + (OneIn(2) ? "</p>" : "");
        }
        case 2: return Block("div", depth);
        case 3: return Block("section", depth);
        case 4: return List(OneIn(2) ? "ul" : "ol", depth);
        case 5: return Definitions(depth);
        case 6: return Table(depth);
        case 7: return Select();
        case 8: {
            const std::string h = "h" + std::to_string(1 + random_() % 3);
            return "<" + h + ">" + Text() + "</" + h + ">";
        }
        case 9: return OneIn(2) ? "<hr>" : "<input name=n>";
        default: return Phrase();
        }
    }

    std::string Children(int depth)
    {
        std::string out;
        for (int i = static_cast<int>(random_() % 4); i > 0; --i)
            out += Flow(depth + 1);
        return out;
    }

    std::string Block(const char* name, int depth)
    {
        return std::string("<") + name + ">" + Children(depth) + "</" + name + ">";
    }

    std::string List(const char* name, int depth)
    {
        std::string out = std::string("<") + name + ">";
        for (int i = static_cast<int>(random_() % 4); i > 0; --i)
            out += "<li>" + Children(depth) + (OneIn(2) ? "</li>" : "");
        return out + "</" + name + ">";
    }

    std::string Definitions(int depth)
    {
        std::string out = "<dl>";
        for (int i = static_cast<int>(random_() % 4); i > 0; --i) {
            const char* name = OneIn(2) ? "dt" : "dd";
            out += std::string("<") + name + ">" + Children(depth) + (OneIn(2) ? std::string("</") + name + ">" : "");
        }
        return out + "</dl>";
    }

    std::string Select()
    {
        std::string out = "<select>";
        for (int i = static_cast<int>(random_() % 4); i > 0; --i) {
            if (OneIn(3)) {
                out += "<optgroup label=g>";
                for (int j = static_cast<int>(random_() % 3); j > 0; --j)
                    out += "<option>" + Text() + (OneIn(2) ? "</option>" : "");
                out += OneIn(2) ? "</optgroup>" : "";
            } else {
                out += "<option>" + Text() + (OneIn(2) ? "</option>" : "");
            }
        }
        return out + "</select>";
    }

    std::string Rows(int depth)
    {
        std::string out;
        for (int i = static_cast<int>(random_() % 3); i > 0; --i) {
            // A row the page leaves out is supplied for its first cell.
            const bool row = !OneIn(4);
            if (row)
                out += "<tr>";
            for (int j = static_cast<int>(row ? random_() % 3 : 1 + random_() % 2); j > 0; --j) {
                const char* cell = OneIn(3) ? "th" : "td";
                out += std::string("<") + cell + ">" + Children(depth + 1) +
                       (OneIn(2) ? std::string("</") + cell + ">" : "");
            }
            if (row && OneIn(2))
                out += "</tr>";
        }
        return out;
    }

    std::string Table(int depth)
    {
        std::string out = "<table>";
        if (OneIn(4))
            out += "<caption>" + Text() + "</caption>";
        for (int i = static_cast<int>(random_() % 3); i > 0; --i) {
            if (OneIn(2)) {
                // A body the page leaves out is supplied for its first row.
                out += Rows(depth);
                continue;
            }
            const char* section = OneIn(3) ? "thead" : OneIn(2) ? "tfoot" : "tbody";
            out += std::string("<") + section + ">" + Rows(depth) +
                   (OneIn(2) ? std::string("</") + section + ">" : "");
        }
        return out + "</table>";
    }

    std::mt19937 random_;
};

// The elements of the page's tree by where they start and their name, with
// where they end.
using TExtents = std::map<std::pair<std::size_t, std::string>, std::size_t>;

class TExtentRecorder : public THtmlElementSink {
public:
    TExtents Extents;

    void Opened(const THtmlElement& e, bool leaf) override
    {
        std::string name = e.Start ? std::string(e.Start->Name)
                           : e.Hash == NameHash("tbody") ? "tbody"
                           : e.Hash == NameHash("tr")    ? "tr"
                                                         : "?";
        const auto key = std::make_pair(e.Offset, name);
        EXPECT_EQ(Extents.count(key), 0u) << "twice: " << name << " at " << e.Offset;
        Extents[key] = e.End;
        if (!leaf)
            open_.push_back(key);
    }
    void Closed(std::size_t end) override
    {
        ASSERT_FALSE(open_.empty());
        Extents[open_.back()] = end;
        open_.pop_back();
    }

private:
    std::vector<std::pair<std::size_t, std::string>> open_;
};

// gumbo's elements the same way: the ones the page writes, and the table's
// bodies and rows it supplies (html, head and body aside). An element ends
// after its own end tag, where another tag closes it, or with its start
// tag when it is void.
void GumboExtents(const GumboNode* node, std::string_view page, TExtents& out)
{
    const GumboVector* children = nullptr;
    if (node->type == GUMBO_NODE_DOCUMENT) {
        children = &node->v.document.children;
    } else if (node->type == GUMBO_NODE_ELEMENT) {
        const GumboElement& e = node->v.element;
        children = &e.children;
        const std::string name = gumbo_normalized_tagname(e.tag);
        const bool supplied = e.original_tag.length == 0;
        if (!supplied || name == "tbody" || name == "tr") {
            std::size_t end = e.end_pos.offset;
            if (e.original_end_tag.length > 0) {
                // The end tag that closed it: its own, or its parent's.
                std::string endName(e.original_end_tag.data + 2, e.original_end_tag.length - 2);
                endName.resize(std::min(endName.size(), name.size() + 1));
                for (char& c : endName)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                if (endName == name + ">")
                    end += e.original_end_tag.length;
            } else if (!supplied && e.end_pos.offset == e.start_pos.offset) {
                end = e.start_pos.offset + e.original_tag.length;
            }
            out[{e.start_pos.offset, name}] = std::min(end, page.size());
        }
    } else {
        return;
    }
    for (unsigned i = 0; i < children->length; ++i)
        GumboExtents(static_cast<const GumboNode*>(children->data[i]), page, out);
}

} // namespace

TEST(HtmlTreeBuilder, ForeignContentFollowsGumbosTree)
{
    TForeignPageGenerator generator(20261209);
    int foreignTexts = 0;
    for (int i = 0; i < 4000; ++i) {
        const std::string page = generator.Page();
        const std::string difference = Compare(page);
        ASSERT_EQ(difference, "") << "page: " << page;
        foreignTexts += page.find("<svg") != std::string::npos || page.find("<math") != std::string::npos;
    }
    // The pages must go into foreign content often for the comparison to mean anything.
    EXPECT_GT(foreignTexts, 1000);
}

TEST(HtmlTreeBuilder, IntegrationPointsAndBreakoutsFollowGumbosTree)
{
    for (const char* page : {
             "<svg><foreignObject><p>html</p><svg><g>deep</g></svg>back</foreignObject>svg</svg>after",
             "<math><mi>text<mglyph/>x</mi><annotation-xml encoding='Text/HTML'><div>in</div></annotation-xml></math>",
             "<math><annotation-xml><svg><desc>h<b>x</b></desc></svg></annotation-xml>m</math>",
             "<svg><g>a<font color=red>out</font>b</g></svg>",
             "<svg><g>a<font>in</font>b</g><![CDATA[data]]></svg><![CDATA[bogus]]>",
             "<svg><title><svg><g>t</g></svg></title><p>html</svg>x",
             "<table><tr><td><svg><desc><table><td>x</td></table></desc></svg>y</td></tr></table>",
             "<select><svg>dropped</svg><option>o</select><math><mtext>t</mtext></math>",
         })
        EXPECT_EQ(Compare(page), "") << "page: " << page;
}

TEST(HtmlTreeBuilder, NestedElementsEndWhereGumbosTreeEndsThem)
{
    TOmittedEndPageGenerator generator(20261210);
    std::size_t elements = 0, supplied = 0;
    for (int i = 0; i < 3000; ++i) {
        const std::string page = generator.Page();
        std::unique_ptr<GumboOutput, void (*)(GumboOutput*)> tree(
            gumbo_parse_with_options(&kGumboDefaultOptions, page.data(), page.size()),
            [](GumboOutput* o) { gumbo_destroy_output(&kGumboDefaultOptions, o); });
        TExtents theirs;
        GumboExtents(tree->document, page, theirs);
        THtmlTreeBuilder builder;
        TExtentRecorder ours;
        builder.Nest(page, ours);
        ASSERT_EQ(ours.Extents, theirs) << "page: " << page;
        elements += ours.Extents.size();
        for (const auto& [key, end] : ours.Extents)
            supplied += page.compare(key.first, key.second.size() + 1, "<" + key.second) != 0;
    }
    // Enough of the page's elements, and of the supplied ones, to mean something.
    EXPECT_GT(elements, 30000u);
    EXPECT_GT(supplied, 500u);
}

namespace {

// Every comment's '<' in gumbo's tree.
void GumboComments(const GumboNode* node, std::vector<std::size_t>& out)
{
    if (node->type == GUMBO_NODE_COMMENT) {
        out.push_back(node->v.text.start_pos.offset);
        return;
    }
    const GumboVector* children = node->type == GUMBO_NODE_DOCUMENT ? &node->v.document.children
                                  : node->type == GUMBO_NODE_ELEMENT || node->type == GUMBO_NODE_TEMPLATE
                                      ? &node->v.element.children
                                      : nullptr;
    if (children)
        for (unsigned i = 0; i < children->length; ++i)
            GumboComments(static_cast<const GumboNode*>(children->data[i]), out);
}

class TCommentRecorder : public THtmlSink, public THtmlTreeSink {
public:
    std::vector<std::size_t> Comments;

    void StartTag(const THtmlStartTag&) override {}
    void EndTag(const THtmlEndTag&) override {}
    void Comment(std::size_t offset, std::size_t) override { Comments.push_back(offset); }
    void Text(std::size_t, std::size_t) override {}
    void DocumentElement(THtmlTag, const THtmlStartTag*, std::size_t) override {}
    void Element(const THtmlStartTag&, bool) override {}
    void Merge(THtmlTag, const THtmlStartTag&) override {}
    void BodyReplaced() override {}
    void Closed(std::uint64_t, std::size_t, std::size_t) override {}
    void RawText(std::size_t, std::size_t) override {}
    bool FollowsEnds() const override { return false; }
};

} // namespace

// A frameset document drops every start tag but its frames' and noframes:
// a <script> or <style> there starts no script and no style, so what
// follows is read on as before, and a comment there is one. A page whose
// body has begun keeps its raw text elements, frameset or not.
TEST(HtmlTreeBuilder, AFramesetDocumentReadsOnPastTheStartTagsItDrops)
{
    static const char* const starts[] = {
        "<frameset>", "<!DOCTYPE html>\n<html><head><title>t</title></head><frameset cols=*>",
        "<head><script>var x;</script></head>\n<frameset>", "<div><frameset>", "\0<frameset>",
        "<template><frameset></template><frameset>", "<body><frameset>", "x<frameset>", "<img><frameset>",
    };
    static const char* const pieces[] = {
        "<script>", "<style>", "<title>", "<textarea>", "<xmp>", "<iframe>", "<noembed>", "<noscript>",
        "<noframes>", "</noframes>", "</script>", "</style>", "</title>", "<!--a</script>b-->", "<!--</style>-->",
        "<!--</noframes>-->", "<frame>", "<frameset>", "</frameset>", "</html>", "<html>", "<svg>", "<template>",
        "<select>", "<table>", "<p>words", " ", "\n", "<plaintext>",
    };
    std::mt19937 random(20261210);
    std::size_t comments = 0;
    for (int i = 0; i < 3000; ++i) {
        const char* start = starts[random() % std::size(starts)];
        std::string page(start, start[0] == '\0' ? 11 : std::strlen(start));
        for (int n = 1 + static_cast<int>(random() % 8); n > 0; --n)
            page += pieces[random() % std::size(pieces)];
        std::unique_ptr<GumboOutput, void (*)(GumboOutput*)> tree(
            gumbo_parse_with_options(&kGumboDefaultOptions, page.data(), page.size()),
            [](GumboOutput* o) { gumbo_destroy_output(&kGumboDefaultOptions, o); });
        std::vector<std::size_t> theirs;
        GumboComments(tree->document, theirs);
        std::sort(theirs.begin(), theirs.end());
        THtmlTreeBuilder builder;
        TCommentRecorder scanned, built;
        builder.Scan(page, scanned);
        EXPECT_EQ(scanned.Comments, theirs) << "scanned page: " << page;
        builder.Build(page, built);
        ASSERT_EQ(built.Comments, theirs) << "built page: " << page;
        comments += theirs.size();
    }
    EXPECT_GT(comments, 1000u);
}
