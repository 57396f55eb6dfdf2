#pragma once

// The two content encoders of the mail: base64 (the SMTP login and B-form
// encoded words) and quoted-printable (the HTML part).

#include <cstddef>
#include <string>
#include <string_view>

// Base64 with the standard alphabet and "=" padding, as one line without
// line breaks.
class TNetEncoderMIME {
public:
    static std::string Encode(std::string_view text);
};

// Quoted-printable: output lines of at most 76 characters before CR LF (a
// soft break "=" counting as the 76th), an encoded triplet never split, a
// blank or tab before a line end written encoded.
class TNetEncoderQuotedPrintable {
public:
    static std::string Encode(std::string_view text);
    // Appends the encoding of text to out.
    static void EncodeTo(std::string_view text, std::string& out);
    // Writes the encoding at out, which has room for MaxEncodedLength
    // characters; returns the number written.
    static std::size_t EncodeInto(std::string_view text, char* out);
    static std::size_t MaxEncodedLength(std::size_t length);
};
