#pragma once

// TDocParser turns an HTML text into a sequence of element events, in
// document order. The page rewriting uses it to learn every address a page
// refers to. Everything it reports comes from start tags and their
// attributes, so it needs no document tree: the tree builder
// (THtmlTreeBuilder, over the tokenizer) says which elements the page makes,
// and the parser records them and fires their events.
//
// Counting elements: the parser counts elements the way a browser's `all`
// collection does, so the html, head and body elements that a browser always
// supplies are counted even when the page leaves them out, and comments count
// as "!" elements. A page therefore needs more than one element of its own
// beyond html, head and body to be walked; an empty text has three elements
// and is reported as a bad document. Elements a browser would add on its own
// inside tables or for misnested markup are not counted.

#include "platform/Clock.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>

enum class TParserState { psBusy, psReady, psStopped };

enum class TDownloadControlOption {
    DownloadImages,
    DownloadVideos,
    DownloadBGSounds,
    DontExecuteScripts,
    DontExecuteJava,
    DontExecuteActiveX,
    DontDownloadActiveX,
    DownloadButDontDisplay,
    DontDownloadFrame,
    CheckPageResynchronize,
    DownloadAndIgnoreCache,
    DontDownloadBehaviors,
    SuppressedMetaCharset,
    DisableUrlIfEncodingUTF8,
    EnableUrlIfEncodingUTF8,
    ForceOfflineMode,
    DontPerformClientPull,
    DownloadInSilentMode,
    WorkOffline,
};
using TDownloadControlOptions = std::set<TDownloadControlOption>;

// The download-control flag sum the options stand for.
std::uint32_t DownloadControlFlags(const TDownloadControlOptions& options);

struct TProxySettings {
    int Port = 80;
    std::string Server;
    bool AutoLoadProxy = false;
};

// Result codes of the parse steps, as the progress and error events give them.
constexpr std::int32_t S_OK_CODE = 0;
constexpr std::int32_t E_FAIL_CODE = static_cast<std::int32_t>(0x80004005u);
std::string ResultCodeText(std::int32_t code);

// The common properties of the element being reported. The parser refills one
// record per element; a handler that needs it later copies it.
struct TElementInfo {
    std::string ClassName;
    std::string Id;
    std::string InnerHTML;
    std::string InnerText;
    std::string Lang;
    std::string Language;
    int OffsetHeight = 0;
    int OffsetLeft = 0;
    int OffsetTop = 0;
    int OffsetWidth = 0;
    std::string OuterHTML;
    std::string OuterText;
    std::string RecordNumber;
    int SourceIndex = 0;
    std::string TagName;
    std::string Title;
};

// Where an address attribute's value stands in the parsed text: the bytes of
// the value as written (inside its quotes, if any, character references not
// decoded, surrounding blanks left out) and the quote that surrounds it ('"',
// '\'' or 0 when unquoted). Offset is npos when the attribute has no value.
struct TSourceSpan {
    std::size_t Offset = std::string::npos;
    std::size_t Length = 0;
    char Quote = 0;
    bool Known() const { return Offset != std::string::npos; }
};

struct TAnchorInfo {
    std::string hRef, Target, Rel, Rev, Urn, Methods, Name, Host, HostName, PathName, Port, Protocol, Search, Hash,
        AccessKey, ProtocolLong, MimeType, NameProp;
    TSourceSpan hRefAt;
};

struct TImageInfo {
    std::string Source, LowSrc, Vrml, DynSrc, Alt, Align, UseMap;
    bool IsMap = false;
    std::string Border, Loop;
    int vSpace = 0, hSpace = 0, Width = 0, Height = 0;
    TSourceSpan SourceAt;
};

struct TBodyInfo {
    std::string Background, bgProperties;
    std::string LeftMargin, TopMargin, RightMargin, BottomMargin, bgColor, Text, Link, vLink, aLink;
    bool NoWrap = false;
    TSourceSpan BackgroundAt;
};

struct TScriptInfo {
    std::string Source, HtmlFor, Event, Text;
    bool Defer = false;
    TSourceSpan SourceAt;
};

struct TLinkedItemInfo {
    std::string TagName, hRef;
    TSourceSpan hRefAt;
};

struct TBaseInfo { std::string hRef, Target; };
struct TBaseFontInfo { std::string Color, Face; int Size = 0; };
struct TBRInfo { std::string Clear; };
struct TCommentInfo { std::string Text; };
struct TDivInfo { std::string Align; bool NoWrap = false; };
struct TFontInfo { std::string Color, Size, Face; };
struct TFormInfo { std::string Action, Dir, Encoding, Method, Target, Name; };
struct TFrameInfo { std::string Source, Name; };
struct TFrameSetInfo { std::string Rows, Cols, FrameBorder, Name, Border, BorderColor, FrameSpacing; };
struct THRInfo { std::string Align, Color, Width, Size; bool NoShade = false; };
struct TMarqueeInfo {
    std::string bgColor, Width, Height, Direction, Behavior;
    int ScrollAmount = 0, ScrollDelay = 0, Loop = 0, vSpace = 0, hSpace = 0;
};
struct TMetaInfo { std::string HttpEquiv, Content, Name, URL, Charset; };

// The elements whose events carry one address: the address attribute of
// each (A href, IMG src, BODY background, SCRIPT src, LINK href, BASE href).
enum class TAddressEvent { Anchor, Image, Body, Script, LinkedItem, Base };

// An owner that reads nothing of those events but the address, as the event
// gives it, and where it stands (unknown for a base). It is called while the
// parser reads its Html, which it leaves alone.
class TAddressSink {
public:
    virtual void Address(TAddressEvent event, const std::string& address, const TSourceSpan& at) = 0;

protected:
    ~TAddressSink() = default;
};

// A handler for OnAnchor, OnImage, OnBody, OnScript, OnOtherLinkedItem or
// OnBase that passes the record's address and its place to a sink. The parser
// calls the sink of a handler bound this way without filling the records,
// which on a page of thousands of links is most of the walk's work.
class TAddressHandler {
public:
    explicit TAddressHandler(TAddressSink& sink) : sink_(&sink) {}
    TAddressSink& Sink() const { return *sink_; }

    void operator()(const TAnchorInfo& a, const TElementInfo&) const
    {
        sink_->Address(TAddressEvent::Anchor, a.hRef, a.hRefAt);
    }
    void operator()(const TImageInfo& i, const TElementInfo&) const
    {
        sink_->Address(TAddressEvent::Image, i.Source, i.SourceAt);
    }
    void operator()(const TBodyInfo& b, const TElementInfo&) const
    {
        sink_->Address(TAddressEvent::Body, b.Background, b.BackgroundAt);
    }
    void operator()(const TScriptInfo& s, const TElementInfo&) const
    {
        sink_->Address(TAddressEvent::Script, s.Source, s.SourceAt);
    }
    void operator()(const TLinkedItemInfo& l, const TElementInfo&) const
    {
        sink_->Address(TAddressEvent::LinkedItem, l.hRef, l.hRefAt);
    }
    void operator()(const TBaseInfo& b, const TElementInfo&) const
    {
        sink_->Address(TAddressEvent::Base, b.hRef, TSourceSpan{});
    }

private:
    TAddressSink* sink_;
};

class TElementStore;

class TDocParser {
public:
    TDocParser();
    ~TDocParser();
    TDocParser(const TDocParser&) = delete;
    TDocParser& operator=(const TDocParser&) = delete;

    // Parses Html (address empty) and fires the events. False only when the
    // document was not ready within TimeLimitMs.
    bool Execute(const std::string& address = {});
    // Binds OnAnchor, OnImage, OnBody, OnScript, OnOtherLinkedItem and OnBase
    // to sink through TAddressHandler.
    void BindAddresses(TAddressSink& sink);

    TParserState State() const { return state_; }

    std::string About = "TDocParser: HTML element events for Vendrel";
    bool DownloadOnly = false;
    // False leaves the element record's HTML and text fields empty, which
    // saves serialising every reported element (the body is the whole page).
    bool ElementTexts = true;
    TDownloadControlOptions DownloadOptions;
    std::string Html;
    bool ParseNoFrames = false;
    TProxySettings ProxySettings;
    std::string URL;

    static constexpr std::int64_t TimeLimitMs = 20000;
    // Measures a run against its time limit; the owner hands down its clock
    // (a test's clock lets a run outlast the limit).
    const TClock* Clock = &SystemClock();

    std::function<void(const TAnchorInfo&, const TElementInfo&)> OnAnchor;
    std::function<void(const TLinkedItemInfo&, const TElementInfo&)> OnOtherLinkedItem;
    std::function<void(const TBaseInfo&, const TElementInfo&)> OnBase;
    std::function<void(const TBaseFontInfo&, const TElementInfo&)> OnBaseFont;
    std::function<void(const TBodyInfo&, const TElementInfo&)> OnBody;
    std::function<void(const TBRInfo&, const TElementInfo&)> OnBR;
    std::function<void()> OnBusyStateChange;
    std::function<void(const TCommentInfo&, const TElementInfo&)> OnComment;
    std::function<void(const TDivInfo&, const TElementInfo&)> OnDiv;
    std::function<void(const std::string& text)> OnDocInfo;
    std::function<void(std::size_t elementCount)> OnParseComplete;
    std::function<void(const TElementInfo&)> OnElement;
    std::function<void(const TFontInfo&, const TElementInfo&)> OnFont;
    std::function<void(const TFormInfo&, const TElementInfo&)> OnForm;
    std::function<void(const TFrameInfo&, const TElementInfo&)> OnFrame;
    std::function<void(const TFrameSetInfo&, const TElementInfo&)> OnFrameSet;
    std::function<void(const std::string& mimeType, const std::string& encoding, const std::string& disposition)>
        OnQueryInfo;
    std::function<void(const THRInfo&, const TElementInfo&)> OnHR;
    std::function<void(const TImageInfo&, const TElementInfo&)> OnImage;
    std::function<void(const TMarqueeInfo&, const TElementInfo&)> OnMarquee;
    std::function<void(const TMetaInfo&, const TElementInfo&)> OnMeta;
    std::function<void(const TElementInfo&)> OnNoFrame;
    std::function<void(std::int32_t res, const std::string& message)> OnParseDocument;
    std::function<void(std::int32_t errorCode, const std::string& url, const std::string& error)> OnParseError;
    std::function<void(const TScriptInfo&, const TElementInfo&)> OnScript;
    std::function<void(TParserState state)> OnStateChange;
    std::function<void(const std::string& text)> OnStatusText;

private:
    void SetState(TParserState state);
    void Progress(std::int32_t code, const std::string& progressText, const std::string& errorText);

    std::unique_ptr<TElementStore> store_;
    TParserState state_ = TParserState::psReady;
    bool busy_ = false;
    std::int64_t started_ = 0;
};
