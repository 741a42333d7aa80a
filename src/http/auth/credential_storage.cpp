// The Secret Service client (libsecret): one item per protection space, the password as the
// secret and the user name as an attribute.
#include "http/auth/credential_storage.h"

#include "platform/log.h"

#include <QFileInfo>

#include <atomic>

// GLib names a structure member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <libsecret/secret.h>
#pragma pop_macro("signals")

namespace http::auth {
namespace {

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
  remove(space);
  GHashTable* attributes = spaceAttributes(space);
  g_hash_table_insert(attributes, const_cast<char*>("user"),
                      g_strdup(credential.username.toUtf8().constData()));
  const QByteArray label = QStringLiteral("%1 credentials for %2:%3")
                               .arg(space.isProxy ? "Proxy" : "HTTP", space.host)
                               .arg(space.port)
                               .toUtf8();
  GError* error = nullptr;
  const gboolean stored = secret_password_storev_sync(
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
  GHashTable* attributes = spaceAttributes(space);
  GError* error = nullptr;
  GList* items = secret_password_searchv_sync(
      schema(), attributes,
      static_cast<SecretSearchFlags>(SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS), nullptr,
      &error);
  g_hash_table_unref(attributes);
  if (error) g_error_free(error);
  std::optional<StoredCredential> found;
  if (items) {
    auto* item = static_cast<SecretRetrievable*>(items->data);
    GHashTable* itemAttributes = secret_retrievable_get_attributes(item);
    SecretValue* value = secret_retrievable_retrieve_secret_sync(item, nullptr, nullptr);
    if (value) {
      const char* user = static_cast<const char*>(g_hash_table_lookup(itemAttributes, "user"));
      gsize length = 0;
      const gchar* secret = secret_value_get(value, &length);
      found = StoredCredential{QString::fromUtf8(user ? user : ""),
                               QString::fromUtf8(secret, static_cast<qsizetype>(length))};
      secret_value_unref(value);
    }
    if (itemAttributes) g_hash_table_unref(itemAttributes);
    g_list_free_full(items, g_object_unref);
  }
  return found;
}

void CredentialStorage::remove(const ProtectionSpace& space) {
  if (!sessionBusKnown()) return;
  GHashTable* attributes = spaceAttributes(space);
  GError* error = nullptr;
  secret_password_clearv_sync(schema(), attributes, nullptr, &error);
  g_hash_table_unref(attributes);
  if (error) g_error_free(error);
}

}  // namespace http::auth
