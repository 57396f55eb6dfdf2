#include "platform/Keyring.h"

#include "platform/ScopeExit.h"

// The headers give the types and the functions' shapes only: the library
// and the glib and gio it brings are loaded when the keyring is first asked,
// not at every start. Loaded with the program they grow every pass of
// vendrel-check by some three megabytes it never uses without a keyring.
#include <gio/gio.h>
#include <libsecret/secret.h>

#include <cstdlib>
#include <dlfcn.h>

namespace {

constexpr const char* SecretsBusName = "org.freedesktop.secrets";
// Long enough for a keyring to start on demand, short enough that a stuck
// bus never freezes the window or a timer-started pass for long.
constexpr int BusTimeoutMs = 10000;

// The functions used here, looked up in libsecret and the libraries it
// depends on.
struct TSecretLibrary {
#define VENDREL_SECRET_FUNCTIONS(X)                                                                                   \
    X(g_bus_get_sync)                                                                                                  \
    X(g_dbus_connection_call_sync)                                                                                     \
    X(g_error_free)                                                                                                    \
    X(g_list_free_full)                                                                                                \
    X(g_object_unref)                                                                                                  \
    X(g_strcmp0)                                                                                                       \
    X(g_variant_get)                                                                                                   \
    X(g_variant_iter_free)                                                                                             \
    X(g_variant_iter_loop)                                                                                             \
    X(g_variant_new)                                                                                                   \
    X(g_variant_unref)                                                                                                 \
    X(secret_password_free)                                                                                            \
    X(secret_password_lookup_sync)                                                                                     \
    X(secret_password_search_sync)                                                                                     \
    X(secret_password_store_sync)
#define VENDREL_SECRET_POINTER(name) decltype(&::name) name = nullptr;
    VENDREL_SECRET_FUNCTIONS(VENDREL_SECRET_POINTER)
#undef VENDREL_SECRET_POINTER
    bool Loaded = false;

    TSecretLibrary()
    {
        // Never unloaded: glib's types stay registered for the process.
        void* library = dlopen("libsecret-1.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!library)
            return;
        bool all = true;
#define VENDREL_SECRET_LOOKUP(name)                                                                                    \
    name = reinterpret_cast<decltype(name)>(dlsym(library, #name));                                                   \
    all = all && name != nullptr;
        VENDREL_SECRET_FUNCTIONS(VENDREL_SECRET_LOOKUP)
#undef VENDREL_SECRET_LOOKUP
        Loaded = all;
    }
};
#undef VENDREL_SECRET_FUNCTIONS

// Loaded at the first call; a machine without libsecret has no keyring.
const TSecretLibrary& Secret()
{
    static const TSecretLibrary library;
    return library;
}

void ClearError(GError*& error)
{
    if (error)
        Secret().g_error_free(error);
    error = nullptr;
}

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
        Secret().g_error_free(error);
    return text;
}

// Asks the bus whether a name is served now or can be started.
bool BusOffers(GDBusConnection* bus, const char* method, const char* name)
{
    GError* error = nullptr;
    GVariant* reply = Secret().g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
        name ? Secret().g_variant_new("(s)", name) : nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, BusTimeoutMs, nullptr, &error);
    if (!reply) {
        ClearError(error);
        return false;
    }
    const TScopeExit freeReply([&] { Secret().g_variant_unref(reply); });
    if (name) {
        gboolean owned = FALSE;
        Secret().g_variant_get(reply, "(b)", &owned);
        return owned;
    }
    GVariantIter* names = nullptr;
    Secret().g_variant_get(reply, "(as)", &names);
    bool found = false;
    const gchar* each = nullptr;
    while (Secret().g_variant_iter_loop(names, "&s", &each))
        if (Secret().g_strcmp0(each, SecretsBusName) == 0)
            found = true;
    Secret().g_variant_iter_free(names);
    return found;
}

} // namespace

bool TSecretServiceKeyring::Available()
{
    // Without a session bus there is nothing to ask; glib would otherwise try
    // to start one through X11, which a cron job must not do.
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (!address || !*address || !Secret().Loaded)
        return false;
    GError* error = nullptr;
    GDBusConnection* bus = Secret().g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        ClearError(error);
        return false;
    }
    const TScopeExit unref([&] { Secret().g_object_unref(bus); });
    return BusOffers(bus, "NameHasOwner", SecretsBusName) || BusOffers(bus, "ListActivatableNames", nullptr);
}

void TSecretServiceKeyring::Store(const std::string& server, const std::string& user, const std::string& password)
{
    if (!Available())
        throw EKeyringError("there is no keyring (Secret Service) on this session's bus");
    const std::string label = "Vendrel mail password for " + user + " at " + server;
    GError* error = nullptr;
    if (!Secret().secret_password_store_sync(PasswordSchema(), SECRET_COLLECTION_DEFAULT, label.c_str(), password.c_str(),
                                    nullptr, &error, "server", server.c_str(), "user", user.c_str(), nullptr))
        throw EKeyringError(TakeMessage(error));
}

std::optional<std::string> TSecretServiceKeyring::Lookup(const std::string& server, const std::string& user)
{
    if (!Available())
        throw EKeyringError("there is no keyring (Secret Service) on this session's bus");
    GError* error = nullptr;
    gchar* secret = Secret().secret_password_lookup_sync(PasswordSchema(), nullptr, &error, "server", server.c_str(), "user",
                                                user.c_str(), nullptr);
    if (error)
        throw EKeyringError(TakeMessage(error));
    if (!secret) {
        // A locked keyring that cannot ask for its password (no prompt on a
        // server or in cron) answers like an empty one; an item found without
        // unlocking tells the two apart.
        GList* found = Secret().secret_password_search_sync(PasswordSchema(), SECRET_SEARCH_ALL, nullptr, &error, "server",
                                                   server.c_str(), "user", user.c_str(), nullptr);
        ClearError(error);
        const bool locked = found != nullptr;
        Secret().g_list_free_full(found, reinterpret_cast<GDestroyNotify>(Secret().g_object_unref));
        if (locked)
            throw EKeyringError("the keyring is locked");
        return std::nullopt;
    }
    std::string password = secret;
    Secret().secret_password_free(secret);
    return password;
}

TPasswordKeyring& SystemKeyring()
{
    static TSecretServiceKeyring keyring;
    return keyring;
}
