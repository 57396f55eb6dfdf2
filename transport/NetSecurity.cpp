#include "transport/NetSecurity.h"

#include "platform/Text.h"

TSMTPSecurity SMTPSecurityFromText(std::string_view text)
{
    const std::string value = Trim(std::string(text));
    for (TSMTPSecurity security : {ssStartTLS, ssImplicitTLS, ssNone})
        if (SameText(value, SMTPSecurityText(security)))
            return security;
    return ssAuto;
}

std::string SMTPSecurityText(TSMTPSecurity security)
{
    switch (security) {
    case ssStartTLS: return "STARTTLS";
    case ssImplicitTLS: return "SSL/TLS";
    case ssNone: return "None";
    case ssAuto: break;
    }
    return "Auto";
}

bool UsesImplicitTLS(TSMTPSecurity security, int port)
{
    // 465 is the port of mail submission over TLS (RFC 8314).
    return security == ssImplicitTLS || (security == ssAuto && port == 465);
}
