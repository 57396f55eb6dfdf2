#include "tests/delivery/MarkOracle.h"

#include "delivery/ChangeMarks.h"
#include "platform/Text.h"

#include <gumbo.h>

#include <memory>
#include <string_view>
#include <vector>

namespace {

std::string TagName(const GumboElement& e)
{
    std::string name;
    if (e.tag != GUMBO_TAG_UNKNOWN) {
        name = gumbo_normalized_tagname(e.tag);
    } else {
        GumboStringPiece piece = e.original_tag;
        // gumbo lets the text of an empty end tag ("</>"), which the
        // tokenizer drops, run into the next tag's.
        while (piece.length > 3 && std::string_view(piece.data, 3) == "</>") {
            piece.data += 3;
            piece.length -= 3;
        }
        gumbo_tag_from_original_text(&piece);
        for (std::size_t i = 0; i < piece.length; ++i) {
            const char c = piece.data[i];
            name += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        }
    }
    static const char* spaces[] = {"", "svg:", "math:"};
    return spaces[e.tag_namespace] + name;
}

std::string Attribute(const GumboElement& e, const char* name)
{
    const GumboAttribute* a = gumbo_get_attribute(&e.attributes, name);
    return a ? a->value : "";
}

bool IsMark(const GumboElement& e)
{
    return e.tag_namespace == GUMBO_NAMESPACE_HTML && e.tag == GUMBO_TAG_MARK &&
           e.attributes.length == 1 && Attribute(e, "style") == "background:#fff3a0";
}

bool IsSummary(const GumboElement& e)
{
    return e.tag == GUMBO_TAG_DIV && Attribute(e, "style").starts_with("display:block;clear:both;");
}

// The tree as a list of events with adjacent text joined, marks taken out.
class TFlattener {
public:
    explicit TFlattener(bool marked) : marked_(marked) {}

    void Walk(const GumboNode* node, const GumboElement* parent)
    {
        switch (node->type) {
        case GUMBO_NODE_DOCUMENT:
            for (unsigned i = 0; i < node->v.document.children.length; ++i)
                Walk(static_cast<const GumboNode*>(node->v.document.children.data[i]), nullptr);
            break;
        case GUMBO_NODE_TEXT:
        case GUMBO_NODE_WHITESPACE:
        case GUMBO_NODE_CDATA:
            text_ += node->v.text.text;
            break;
        case GUMBO_NODE_COMMENT:
            Event(std::string("<!--") + node->v.text.text + "-->");
            break;
        case GUMBO_NODE_ELEMENT:
        case GUMBO_NODE_TEMPLATE: {
            const GumboElement& e = node->v.element;
            if (marked_ && IsMark(e)) {
                Mark(e, parent);
                return;
            }
            if (marked_ && parent && parent->tag == GUMBO_TAG_BODY && IsSummary(e)) {
                // Only as the body's first element.
                bool first = true;
                for (unsigned i = 0; i < parent->children.length; ++i) {
                    const auto* sibling = static_cast<const GumboNode*>(parent->children.data[i]);
                    if (sibling == node)
                        break;
                    if (sibling->type == GUMBO_NODE_ELEMENT || sibling->type == GUMBO_NODE_TEXT)
                        first = false;
                }
                if (first) {
                    SummaryFirst = true;
                    return;
                }
            }
            std::string open = "<" + TagName(e);
            for (unsigned i = 0; i < e.attributes.length; ++i) {
                const auto* a = static_cast<const GumboAttribute*>(e.attributes.data[i]);
                open += std::string(" ") + a->name + "=\"" + a->value + "\"";
            }
            Event(open + ">");
            for (unsigned i = 0; i < e.children.length; ++i)
                Walk(static_cast<const GumboNode*>(e.children.data[i]), &e);
            Event("</" + TagName(e) + ">");
            break;
        }
        }
    }

    void Finish() { Event(""); }

    std::vector<std::string> Events;
    std::string Error;
    int Marks = 0;
    bool SummaryFirst = false;
    std::string MarkedText;

private:
    void Event(std::string event)
    {
        if (!text_.empty())
            Events.push_back("#" + text_);
        text_.clear();
        if (!event.empty())
            Events.push_back(std::move(event));
    }

    void Mark(const GumboElement& e, const GumboElement* parent)
    {
        ++Marks;
        if (Error.empty() && parent && parent->tag_namespace == GUMBO_NAMESPACE_HTML) {
            // (A mark in a select is dropped by the tree construction: it never gets here.)
            static const GumboTag forbidden[] = {GUMBO_TAG_SCRIPT, GUMBO_TAG_STYLE, GUMBO_TAG_TITLE,
                                                 GUMBO_TAG_TEXTAREA};
            for (GumboTag t : forbidden)
                if (parent->tag == t)
                    Error = std::string("a mark inside <") + gumbo_normalized_tagname(t) + ">";
            // The page's own <mark> holds text like any element; only one of
            // ours inside another of ours would mark a text twice.
            if (IsMark(*parent))
                Error = "a mark inside a mark";
        }
        MarkedText += "[";
        for (unsigned i = 0; i < e.children.length; ++i) {
            const auto* child = static_cast<const GumboNode*>(e.children.data[i]);
            if (child->type != GUMBO_NODE_TEXT && child->type != GUMBO_NODE_WHITESPACE) {
                if (Error.empty())
                    Error = "a mark holding more than text";
                Walk(child, &e);
                continue;
            }
            text_ += child->v.text.text;
            MarkedText += child->v.text.text;
        }
        MarkedText += "]";
    }

    bool marked_;
    std::string text_;
};

std::vector<std::string> Flatten(std::string_view page, TFlattener& f)
{
    std::unique_ptr<GumboOutput, void (*)(GumboOutput*)> out(
        gumbo_parse_with_options(&kGumboDefaultOptions, page.data(), page.size()),
        [](GumboOutput* o) { gumbo_destroy_output(&kGumboDefaultOptions, o); });
    f.Walk(out->document, nullptr);
    f.Finish();
    return f.Events;
}

} // namespace

TMarkCheck CompareMarkedTree(std::string_view original, std::string_view marked)
{
    TFlattener before(false), after(true);
    const auto a = Flatten(original, before);
    const auto b = Flatten(marked, after);
    TMarkCheck check;
    check.Marks = after.Marks;
    check.SummaryFirst = after.SummaryFirst;
    check.MarkedText = after.MarkedText;
    check.Error = after.Error;
    if (!check.Error.empty())
        return check;
    // gumbo keeps text back until the next token it acts on, so text before
    // an end tag it ignores lands after the element the next end tag closes:
    // a mark between the two moves that text back to its place. So the
    // elements and the text are compared as two sequences of their own.
    for (const bool text : {false, true}) {
        std::vector<std::string> x, y;
        std::string xs, ys;
        for (const std::string& e : a)
            if ((e[0] == '#') == text)
                x.push_back(e.substr(text ? 1 : 0));
        for (const std::string& e : b)
            if ((e[0] == '#') == text)
                y.push_back(e.substr(text ? 1 : 0));
        if (text) {
            // All of it in order, white space left out.
            const auto join = [](const std::vector<std::string>& pieces, std::string& out) {
                for (const std::string& t : pieces)
                    for (char c : t)
                        if (!IsAsciiSpace(c))
                            out += c;
            };
            join(x, xs);
            join(y, ys);
            if (xs != ys) {
                std::size_t at = 0;
                while (at < xs.size() && at < ys.size() && xs[at] == ys[at])
                    ++at;
                const std::size_t from = at > 80 ? at - 80 : 0;
                check.Error = "the text differs: before ..." + xs.substr(from, 200) + " after ..." + ys.substr(from, 200);
            }
            break;
        }
        for (std::size_t i = 0; i < std::max(x.size(), y.size()); ++i) {
            const std::string p = i < x.size() ? x[i] : "(end)", q = i < y.size() ? y[i] : "(end)";
            if (p != q) {
                check.Error = "element event " + std::to_string(i) + ": before " + p.substr(0, 200) + " after " +
                              q.substr(0, 200);
                return check;
            }
        }
    }
    return check;
}
