#include "platform/Keyring.h"

#include "platform/ScopeExit.h"

#include <gio/gio.h>
#include <libsecret/secret.h>

namespace {

constexpr const char* SecretsBusName = "org.freedesktop.secrets";
// Long enough for a keyring to start on demand, short enough that a stuck
// bus never freezes the window or a timer-started pass for long.
constexpr int BusTimeoutMs = 10000;

const SecretSchema* PasswordSchema()
{
    static const SecretSchema schema = {
        "example.quorvan.Vendrel.SMTPPassword",
        SECRET_SCHEMA_NONE,
        {
            {"server", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"user", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    };
    return &schema;
}

std::string TakeMessage(GError* error)
{
    std::string text = error && error->message ? error->message : "unknown error";
    if (error)
        g_error_free(error);
    return text;
}

// Asks the bus whether a name is served now or can be started.
bool BusOffers(GDBusConnection* bus, const char* method, const char* name)
{
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
        name ? g_variant_new("(s)", name) : nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, BusTimeoutMs, nullptr, &error);
    if (!reply) {
        g_clear_error(&error);
        return false;
    }
    const TScopeExit freeReply([&] { g_variant_unref(reply); });
    if (name) {
        gboolean owned = FALSE;
        g_variant_get(reply, "(b)", &owned);
        return owned;
    }
    GVariantIter* names = nullptr;
    g_variant_get(reply, "(as)", &names);
    bool found = false;
    const gchar* each = nullptr;
    while (g_variant_iter_loop(names, "&s", &each))
        if (g_strcmp0(each, SecretsBusName) == 0)
            found = true;
    g_variant_iter_free(names);
    return found;
}

} // namespace

bool TSecretServiceKeyring::Available()
{
    // Without a session bus there is nothing to ask; glib would otherwise try
    // to start one through X11, which a cron job must not do.
    const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
    if (!address || !*address)
        return false;
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        g_clear_error(&error);
        return false;
    }
    const TScopeExit unref([&] { g_object_unref(bus); });
    return BusOffers(bus, "NameHasOwner", SecretsBusName) || BusOffers(bus, "ListActivatableNames", nullptr);
}

void TSecretServiceKeyring::Store(const std::string& server, const std::string& user, const std::string& password)
{
    if (!Available())
        throw EKeyringError("there is no keyring (Secret Service) on this session's bus");
    const std::string label = "Vendrel mail password for " + user + " at " + server;
    GError* error = nullptr;
    if (!secret_password_store_sync(PasswordSchema(), SECRET_COLLECTION_DEFAULT, label.c_str(), password.c_str(),
                                    nullptr, &error, "server", server.c_str(), "user", user.c_str(), nullptr))
        throw EKeyringError(TakeMessage(error));
}

std::optional<std::string> TSecretServiceKeyring::Lookup(const std::string& server, const std::string& user)
{
    if (!Available())
        throw EKeyringError("there is no keyring (Secret Service) on this session's bus");
    GError* error = nullptr;
    gchar* secret = secret_password_lookup_sync(PasswordSchema(), nullptr, &error, "server", server.c_str(), "user",
                                                user.c_str(), nullptr);
    if (error)
        throw EKeyringError(TakeMessage(error));
    if (!secret) {
        // A locked keyring that cannot ask for its password (no prompt on a
        // server or in cron) answers like an empty one; an item found without
        // unlocking tells the two apart.
        GList* found = secret_password_search_sync(PasswordSchema(), SECRET_SEARCH_ALL, nullptr, &error, "server",
                                                   server.c_str(), "user", user.c_str(), nullptr);
        g_clear_error(&error);
        const bool locked = found != nullptr;
        g_list_free_full(found, g_object_unref);
        if (locked)
            throw EKeyringError("the keyring is locked");
        return std::nullopt;
    }
    std::string password = secret;
    secret_password_free(secret);
    return password;
}

TPasswordKeyring& SystemKeyring()
{
    static TSecretServiceKeyring keyring;
    return keyring;
}
