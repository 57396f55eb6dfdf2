#include "transport/NetSMTPDialogue.h"

#include "message/NetEncoders.h"

#include <algorithm>

std::string SMTPCommandText(std::string_view text)
{
    std::string clean;
    clean.reserve(text.size());
    for (char c : text)
        if (c != '\r' && c != '\n')
            clean += c;
    return clean;
}

void AddAuthMechanisms(const TLines& replyText, TLines& mechanisms)
{
    for (const auto& text : replyText) {
        const std::string line = UpperCase(text);
        if (!line.starts_with("AUTH ") && !line.starts_with("AUTH="))
            continue;
        std::string word;
        auto addWord = [&] {
            if (!word.empty() && !SMTPOffers(mechanisms, word))
                mechanisms.push_back(word);
            word.clear();
        };
        for (char c : std::string_view(line).substr(5)) {
            if (c == ' ' || c == '=')
                addWord();
            else
                word += c;
        }
        addWord();
    }
}

bool SMTPAnnounces(const TLines& ehloText, std::string_view keyword)
{
    for (std::size_t i = 1; i < ehloText.size(); ++i) {
        const std::string& line = ehloText[i];
        const std::size_t end = line.find(' ');
        if (SameText(std::string_view(line).substr(0, end), keyword))
            return true;
    }
    return false;
}

bool SMTPOffers(const TLines& mechanisms, std::string_view mechanism)
{
    return std::any_of(mechanisms.begin(), mechanisms.end(),
                       [&](const std::string& m) { return SameText(m, mechanism); });
}

bool SMTPLoginAvailable(const TLines& mechanisms)
{
    return SMTPOffers(mechanisms, "LOGIN") || SMTPOffers(mechanisms, "PLAIN");
}

bool SMTPUsesPlainLogin(const TLines& mechanisms)
{
    return !SMTPOffers(mechanisms, "LOGIN") && SMTPOffers(mechanisms, "PLAIN");
}

std::string SMTPPlainLoginCommand(const std::string& username, const std::string& password)
{
    std::string credentials;
    credentials += '\0';
    credentials += username;
    credentials += '\0';
    credentials += password;
    return "AUTH PLAIN " + TNetEncoderMIME::Encode(credentials);
}
