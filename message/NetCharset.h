#pragma once

// The character set of a delivered page, and the small text conversions a
// mail needs to name its character sets truthfully.

#include <string>
#include <string_view>

// The charset parameter of a Content-Type value ("text/html; charset=UTF-8"),
// unquoted; empty when there is none.
std::string CharsetOfContentType(std::string_view contentType);

// The character set a page declares in a <meta charset> or a
// <meta http-equiv="Content-Type" content="...; charset=..."> within its first
// 1024 bytes, found the way browsers find it before they parse; the label as
// written, empty when there is none.
std::string MetaCharset(std::string_view page);

// A charset label fit for a mail's charset parameter: the canonical name of
// the encoding a browser reads for that label, when that encoding is
// ASCII-compatible ("iso-8859-1" is read as windows-1252). Empty for any
// other label (UTF-16, ISO-2022-JP, UTF-7, EBCDIC, an unknown one): the part
// then names no charset at all.
std::string MailCharset(std::string_view label);

// The page's character set for its mail part: a UTF-8 byte-order mark, else
// the HTTP response's Content-Type, else the page's own declaration. Empty
// when none of them names a usable one.
std::string PageCharset(std::string_view httpContentType, std::string_view page);

bool IsValidUTF8(std::string_view text);
bool HasHighBytes(std::string_view text);
// Text that is not valid UTF-8 is taken as Latin-1 and converted.
std::string AsUTF8(std::string_view text);
// Text in the named charset (a MailCharset name) as UTF-8; bytes the charset
// has no character for become U+FFFD. An empty or unknown charset reads the
// text as AsUTF8 does.
std::string CharsetToUTF8(std::string_view text, const std::string& charset);
