#pragma once

// The SMTP rules that the blocking session and the pool of kept sessions
// share: how user text enters a command, what an EHLO reply announces, and
// which login the server gets.

#include "platform/Text.h"
#include "transport/NetSecurity.h"

#include <string>
#include <string_view>

// Text from the user that goes into a command line: a CR or LF in it must
// never end the command and start another one.
std::string SMTPCommandText(std::string_view text);
// Adds the mechanisms named by the reply's "AUTH" lines (first line
// included), upper case and each once, to mechanisms.
void AddAuthMechanisms(const TLines& replyText, TLines& mechanisms);
// Whether an EHLO reply names the extension: its lines after the first name
// one extension each, keyword first.
bool SMTPAnnounces(const TLines& ehloText, std::string_view keyword);
bool SMTPOffers(const TLines& mechanisms, std::string_view mechanism);
// LOGIN, or PLAIN in its place, is on offer.
bool SMTPLoginAvailable(const TLines& mechanisms);
// PLAIN is used only where LOGIN is not offered.
bool SMTPUsesPlainLogin(const TLines& mechanisms);
// "AUTH PLAIN" and the RFC 4616 credentials: no authorisation identity, the
// user name and the password, each after a NUL, in base64.
std::string SMTPPlainLoginCommand(const std::string& username, const std::string& password);

// Said when a login is due on a connection that TLS does not protect and the
// user left the security at Auto.
inline constexpr std::string_view SMTPNoTLSLoginText =
    "The mail server does not offer TLS, so Vendrel did not send your password. "
    "Choose \"None\" under Connection security to allow a login without TLS.";
