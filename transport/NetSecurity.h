#pragma once

// How a mail session protects itself, as the "SMTPSecurity" setting names it.

#include <string>
#include <string_view>

enum TSMTPSecurity {
    // Implicit TLS on port 465; elsewhere STARTTLS whenever the server offers it.
    ssAuto,
    // STARTTLS, and no mail at all when the server does not offer it.
    ssStartTLS,
    // TLS from the first byte, on any port.
    ssImplicitTLS,
    // The plain dialogue, never TLS.
    ssNone
};

// "Auto", "STARTTLS", "SSL/TLS" or "None" in any letter case; anything else
// (an empty text included) is "Auto".
TSMTPSecurity SMTPSecurityFromText(std::string_view text);
std::string SMTPSecurityText(TSMTPSecurity security);

// Whether a session on this port speaks TLS from the first byte.
bool UsesImplicitTLS(TSMTPSecurity security, int port);
