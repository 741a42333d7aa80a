// The Secret Service client (libsecret): one item per protection space, the password as the
// secret and the user name as an attribute. The library is loaded the first time it is needed:
// most runs never store or look up credentials, and loading it with its dependencies cost every
// start of the program a millisecond or two.
#include "http/auth/credential_storage.h"

#include "platform/log.h"

#include <QFileInfo>

#include <dlfcn.h>

#include <atomic>
#include <optional>

// GLib names a structure member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <libsecret/secret.h>
#pragma pop_macro("signals")

namespace http::auth {
namespace {

// The library's functions this client calls.
struct SecretLibrary {
  decltype(&secret_password_storev_sync) storev = nullptr;
  decltype(&secret_password_searchv_sync) searchv = nullptr;
  decltype(&secret_password_clearv_sync) clearv = nullptr;
  decltype(&secret_retrievable_get_attributes) getAttributes = nullptr;
  decltype(&secret_retrievable_retrieve_secret_sync) retrieveSecret = nullptr;
  decltype(&secret_value_get) valueGet = nullptr;
  decltype(&secret_value_unref) valueUnref = nullptr;
  decltype(&g_object_unref) objectUnref = nullptr;  // from its GObject dependency
};

// The loaded library, or null (with the reason logged once) when it cannot be loaded.
const SecretLibrary* secretLibrary() {
  static const std::optional<SecretLibrary> loaded = []() -> std::optional<SecretLibrary> {
    void* handle = dlopen("libsecret-1.so.0", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      platform::log(QStringLiteral("No Secret Service library, credentials are not saved: %1")
                        .arg(QString::fromLocal8Bit(dlerror())));
      return std::nullopt;
    }
    SecretLibrary library;
    bool complete = true;
    const auto bind = [&](auto& function, const char* name) {
      function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(dlsym(handle, name));
      complete = complete && function != nullptr;
    };
    bind(library.storev, "secret_password_storev_sync");
    bind(library.searchv, "secret_password_searchv_sync");
    bind(library.clearv, "secret_password_clearv_sync");
    bind(library.getAttributes, "secret_retrievable_get_attributes");
    bind(library.retrieveSecret, "secret_retrievable_retrieve_secret_sync");
    bind(library.valueGet, "secret_value_get");
    bind(library.valueUnref, "secret_value_unref");
    bind(library.objectUnref, "g_object_unref");
    if (!complete) {
      platform::log(QStringLiteral("The Secret Service library lacks a function, credentials are not saved"));
      return std::nullopt;
    }
    return library;
  }();
  return loaded ? &*loaded : nullptr;
}

const SecretSchema* schema() {
  static const SecretSchema s = {
      "org.addonupdater.HttpCredential",
      SECRET_SCHEMA_NONE,
      {
          {"kind", SECRET_SCHEMA_ATTRIBUTE_STRING},
          {"host", SECRET_SCHEMA_ATTRIBUTE_STRING},
          {"port", SECRET_SCHEMA_ATTRIBUTE_INTEGER},
          {"protocol", SECRET_SCHEMA_ATTRIBUTE_STRING},
          {"realm", SECRET_SCHEMA_ATTRIBUTE_STRING},
          {"user", SECRET_SCHEMA_ATTRIBUTE_STRING},
          {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
      },
      0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  return &s;
}

// The attributes naming a space (without the user name).
GHashTable* spaceAttributes(const ProtectionSpace& space) {
  GHashTable* table = g_hash_table_new_full(g_str_hash, g_str_equal, nullptr, g_free);
  g_hash_table_insert(table, const_cast<char*>("kind"), g_strdup(space.isProxy ? "proxy" : "server"));
  g_hash_table_insert(table, const_cast<char*>("host"), g_strdup(space.host.toUtf8().constData()));
  g_hash_table_insert(table, const_cast<char*>("port"), g_strdup_printf("%d", space.port));
  g_hash_table_insert(table, const_cast<char*>("protocol"),
                      g_strdup(space.isProxy ? "" : space.protocol.toLower().toUtf8().constData()));
  g_hash_table_insert(table, const_cast<char*>("realm"), g_strdup(space.realm.toUtf8().constData()));
  return table;
}

// Whether a session bus can be found without starting one: GLib would otherwise try to launch a
// bus for an X11 display, leaving helper processes behind on a machine without a desktop.
bool sessionBusKnown() {
  if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return true;
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  return !runtime.isEmpty() && QFileInfo::exists(QString::fromLocal8Bit(runtime + "/bus"));
}

void reportUnavailable(GError* error) {
  static std::atomic<bool> said{false};
  if (!said.exchange(true)) {
    platform::log(QStringLiteral("No Secret Service available, credentials are not saved: %1")
                      .arg(QString::fromUtf8(error ? error->message : "no session bus")));
  }
}

}  // namespace

bool CredentialStorage::save(const ProtectionSpace& space, const StoredCredential& credential) {
  if (!sessionBusKnown()) {
    reportUnavailable(nullptr);
    return false;
  }
  const SecretLibrary* secret = secretLibrary();
  if (secret == nullptr) return false;
  remove(space);
  GHashTable* attributes = spaceAttributes(space);
  g_hash_table_insert(attributes, const_cast<char*>("user"),
                      g_strdup(credential.username.toUtf8().constData()));
  const QByteArray label = QStringLiteral("%1 credentials for %2:%3")
                               .arg(space.isProxy ? "Proxy" : "HTTP", space.host)
                               .arg(space.port)
                               .toUtf8();
  GError* error = nullptr;
  const gboolean stored = secret->storev(
      schema(), attributes, SECRET_COLLECTION_DEFAULT, label.constData(),
      credential.password.toUtf8().constData(), nullptr, &error);
  g_hash_table_unref(attributes);
  if (!stored) {
    reportUnavailable(error);
    if (error) g_error_free(error);
    return false;
  }
  return true;
}

std::optional<StoredCredential> CredentialStorage::find(const ProtectionSpace& space) {
  if (!sessionBusKnown()) return std::nullopt;
  const SecretLibrary* secret = secretLibrary();
  if (secret == nullptr) return std::nullopt;
  GHashTable* attributes = spaceAttributes(space);
  GError* error = nullptr;
  GList* items = secret->searchv(
      schema(), attributes,
      static_cast<SecretSearchFlags>(SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS), nullptr,
      &error);
  g_hash_table_unref(attributes);
  if (error) g_error_free(error);
  std::optional<StoredCredential> found;
  if (items) {
    auto* item = static_cast<SecretRetrievable*>(items->data);
    GHashTable* itemAttributes = secret->getAttributes(item);
    SecretValue* value = secret->retrieveSecret(item, nullptr, nullptr);
    if (value) {
      const char* user = static_cast<const char*>(g_hash_table_lookup(itemAttributes, "user"));
      gsize length = 0;
      const gchar* password = secret->valueGet(value, &length);
      found = StoredCredential{QString::fromUtf8(user ? user : ""),
                               QString::fromUtf8(password, static_cast<qsizetype>(length))};
      secret->valueUnref(value);
    }
    if (itemAttributes) g_hash_table_unref(itemAttributes);
    g_list_free_full(items, secret->objectUnref);
  }
  return found;
}

void CredentialStorage::remove(const ProtectionSpace& space) {
  if (!sessionBusKnown()) return;
  const SecretLibrary* secret = secretLibrary();
  if (secret == nullptr) return;
  GHashTable* attributes = spaceAttributes(space);
  GError* error = nullptr;
  secret->clearv(schema(), attributes, nullptr, &error);
  g_hash_table_unref(attributes);
  if (error) g_error_free(error);
}

}  // namespace http::auth
