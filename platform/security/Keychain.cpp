// Generic passwords: the Secret Service through libsecret, or the private file store.
#include <fcntl.h>
#include <libsecret/secret.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CFInternal.h"
#include "CFPropertyList.h"
#include "NSLog.h"
#include "Security.h"

namespace fs = std::filesystem;

namespace {

constexpr CFTypeID kTypeKeychainItem = 301;

}  // namespace

struct OpaqueSecKeychainItemRef : cfimpl::Object {
  OpaqueSecKeychainItemRef(std::string s, std::string a)
      : Object(kTypeKeychainItem), service(std::move(s)), account(std::move(a)) {}
  std::string service;
  std::string account;
};

namespace {

struct ItemKey {
  std::string service;
  std::string account;
};

// ---------------------------------------------------------------------------------------------
// The Secret Service.

constexpr guint kProbeMilliseconds = 1000;      // how long the Secret Service has to answer at first
constexpr guint kOperationMilliseconds = 10000;  // bound of each later call

const SecretSchema* genericSchema() {
  static const SecretSchema schema = {
      "org.freedesktop.Secret.Generic",
      SECRET_SCHEMA_DONT_MATCH_NAME,
      {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING}, {"account", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, {}}},
      0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  return &schema;
}

// Runs one asynchronous libsecret call on a private main context, cancelling it when it has not
// finished after `ms`. start(cancellable, callback, data) begins the call; the result is handed
// to finish(result, &error), whose value is returned. Never blocks longer than the bound (plus
// the time the call needs to notice its cancellation).
template <typename Start, typename Finish>
auto runBounded(guint ms, Start start, Finish finish, GError** error) {
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GCancellable* cancellable = g_cancellable_new();
  GAsyncResult* result = nullptr;
  start(cancellable,
        +[](GObject*, GAsyncResult* r, gpointer data) {
          *static_cast<GAsyncResult**>(data) = G_ASYNC_RESULT(g_object_ref(r));
        },
        &result);
  GSource* timer = g_timeout_source_new(ms);
  g_source_set_callback(
      timer,
      +[](gpointer c) -> gboolean {
        g_cancellable_cancel(static_cast<GCancellable*>(c));
        return G_SOURCE_REMOVE;
      },
      cancellable, nullptr);
  g_source_attach(timer, context);
  while (!result) g_main_context_iteration(context, TRUE);
  g_source_destroy(timer);
  g_source_unref(timer);
  auto value = finish(result, error);
  g_object_unref(result);
  g_object_unref(cancellable);
  // Let whatever the call left in the context run before the context goes.
  while (g_main_context_iteration(context, FALSE)) {
  }
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  return value;
}

OSStatus statusFromError(GError* error) {
  if (!error) return errSecSuccess;
  OSStatus status = errSecNotAvailable;
  if (error->domain == SECRET_ERROR && error->code == SECRET_ERROR_IS_LOCKED) status = errSecInteractionNotAllowed;
  g_error_free(error);
  return status;
}

GHashTable* attributesFor(const ItemKey& key) {
  GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
  g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>(key.service.c_str()));
  g_hash_table_insert(attributes, const_cast<char*>("account"), const_cast<char*>(key.account.c_str()));
  return attributes;
}

// Connects to the session bus once (bounded). The shared connection would otherwise end the
// whole process with SIGTERM when the bus goes away; a keychain must not do that to its host.
bool sessionBusReachable() {
  static GDBusConnection* bus = nullptr;
  if (bus && !g_dbus_connection_is_closed(bus)) return true;
  if (bus) g_object_unref(bus);
  GError* error = nullptr;
  bus = runBounded(
      kProbeMilliseconds,
      [](GCancellable* c, GAsyncReadyCallback cb, gpointer data) { g_bus_get(G_BUS_TYPE_SESSION, c, cb, data); },
      [](GAsyncResult* r, GError** e) { return g_bus_get_finish(r, e); }, &error);
  if (error) g_error_free(error);
  if (!bus) return false;
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  return true;
}

bool secretServiceAnswers() {
  if (!sessionBusReachable()) return false;
  GError* error = nullptr;
  SecretService* service = runBounded(
      kProbeMilliseconds,
      [](GCancellable* c, GAsyncReadyCallback cb, gpointer data) {
        secret_service_get(SECRET_SERVICE_OPEN_SESSION, c, cb, data);
      },
      [](GAsyncResult* r, GError** e) { return secret_service_get_finish(r, e); }, &error);
  if (error) g_error_free(error);
  if (!service) return false;
  g_object_unref(service);
  return true;
}

// Finds the item; its password goes to *password (when not null).
OSStatus secretFind(const ItemKey& key, std::string* password) {
  if (!sessionBusReachable()) return errSecNotAvailable;
  GHashTable* attributes = attributesFor(key);
  GError* error = nullptr;
  SecretValue* value = runBounded(
      kOperationMilliseconds,
      [&](GCancellable* c, GAsyncReadyCallback cb, gpointer data) {
        secret_password_lookupv(genericSchema(), attributes, c, cb, data);
      },
      [](GAsyncResult* r, GError** e) { return secret_password_lookup_binary_finish(r, e); }, &error);
  g_hash_table_unref(attributes);
  if (error) {
    if (value) secret_value_unref(value);
    return statusFromError(error);
  }
  if (!value) return errSecItemNotFound;
  gsize length = 0;
  const gchar* bytes = secret_value_get(value, &length);
  if (password) password->assign(bytes ? bytes : "", bytes ? length : 0);
  secret_value_unref(value);
  return errSecSuccess;
}

OSStatus secretStore(const ItemKey& key, std::string_view password) {
  if (!sessionBusReachable()) return errSecNotAvailable;
  GHashTable* attributes = attributesFor(key);
  SecretValue* value = secret_value_new(password.empty() ? "" : password.data(),
                                        static_cast<gssize>(password.size()), "text/plain");
  std::string label = key.service.empty() ? key.account : key.service;
  GError* error = nullptr;
  gboolean stored = runBounded(
      kOperationMilliseconds,
      [&](GCancellable* c, GAsyncReadyCallback cb, gpointer data) {
        secret_password_storev_binary(genericSchema(), attributes, SECRET_COLLECTION_DEFAULT, label.c_str(), value,
                                      c, cb, data);
      },
      [](GAsyncResult* r, GError** e) { return secret_password_store_finish(r, e); }, &error);
  secret_value_unref(value);
  g_hash_table_unref(attributes);
  if (error) return statusFromError(error);
  return stored ? errSecSuccess : errSecNotAvailable;
}

OSStatus secretDelete(const ItemKey& key) {
  if (!sessionBusReachable()) return errSecNotAvailable;
  GHashTable* attributes = attributesFor(key);
  GError* error = nullptr;
  gboolean removed = runBounded(
      kOperationMilliseconds,
      [&](GCancellable* c, GAsyncReadyCallback cb, gpointer data) {
        secret_password_clearv(genericSchema(), attributes, c, cb, data);
      },
      [](GAsyncResult* r, GError** e) { return secret_password_clear_finish(r, e); }, &error);
  g_hash_table_unref(attributes);
  if (error) return statusFromError(error);
  return removed ? errSecSuccess : errSecItemNotFound;
}

OSStatus secretAdd(const ItemKey& key, std::string_view password) {
  OSStatus found = secretFind(key, nullptr);
  if (found == errSecSuccess) return errSecDuplicateItem;
  if (found != errSecItemNotFound) return found;
  return secretStore(key, password);
}

// ---------------------------------------------------------------------------------------------
// The private file store.

struct FileEntry {
  std::string service;
  std::string account;
  std::string password;
};

fs::path storeFolder() {
  const char* data = getenv("XDG_DATA_HOME");
  fs::path base;
  if (data && *data == '/') {
    base = data;
  } else {
    const char* home = getenv("HOME");
    base = fs::path(home && *home ? home : "/") / ".local" / "share";
  }
  return base / "keychains";
}

fs::path storeFile() { return storeFolder() / "generic-passwords.plist"; }

// Makes the folder (mode 0700) and checks that it is a folder of this user, not a link.
OSStatus prepareFolder() {
  fs::path folder = storeFolder();
  std::error_code ec;
  fs::create_directories(folder.parent_path(), ec);
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return errSecNotAvailable;
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) return errSecNotAvailable;
  if ((st.st_mode & 077) != 0 && chmod(folder.c_str(), 0700) != 0) return errSecNotAvailable;
  return errSecSuccess;
}

// Holds the store's lock file, shared between processes, for one read-modify-write.
class StoreLock {
 public:
  StoreLock() {
    fs::path lockPath = storeFolder() / ".lock";
    fd_ = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~StoreLock() {
    if (fd_ >= 0) close(fd_);  // closing releases the lock
  }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

std::string dataBytes(CFTypeRef value) {
  if (!value || CFGetTypeID(value) != CFDataGetTypeID()) return {};
  auto data = static_cast<CFDataRef>(value);
  return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data)), static_cast<size_t>(CFDataGetLength(data)));
}

CFDataRef makeData(const std::string& bytes) {
  return CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()), static_cast<CFIndex>(bytes.size()));
}

bool gReportedUnreadable = false;

OSStatus loadEntries(std::vector<FileEntry>* entries) {
  entries->clear();
  fs::path path = storeFile();
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? errSecSuccess : errSecInvalidKeychain;
  struct stat st {};
  std::string bytes;
  bool usable = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == getuid();
  if (usable) {
    char buffer[8192];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<size_t>(n));
    usable = n == 0;
  }
  close(fd);
  CFRef<CFDataRef> data(makeData(bytes));
  CFRef<CFPropertyListRef> list(
      usable ? CFPropertyListCreateWithData(nullptr, data.get(), kCFPropertyListImmutable, nullptr, nullptr) : nullptr);
  bool valid = list && CFGetTypeID(list.get()) == CFArrayGetTypeID();
  if (valid) {
    auto array = static_cast<CFArrayRef>(list.get());
    for (CFIndex i = 0; i < CFArrayGetCount(array) && valid; ++i) {
      auto item = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(array, i));
      if (!item || CFGetTypeID(item) != CFDictionaryGetTypeID()) {
        valid = false;
        break;
      }
      FileEntry e;
      e.service = dataBytes(CFDictionaryGetValue(item, CFSTR("service")));
      e.account = dataBytes(CFDictionaryGetValue(item, CFSTR("account")));
      e.password = dataBytes(CFDictionaryGetValue(item, CFSTR("password")));
      entries->push_back(std::move(e));
    }
  }
  if (!valid) {
    entries->clear();
    if (!gReportedUnreadable) {
      gReportedUnreadable = true;
      CFRef<CFStringRef> p(CFStringCreateWithCString(nullptr, path.c_str(), kCFStringEncodingUTF8));
      NSLog(CFSTR("Keychain: the password file %@ cannot be read; it is left as it is"), p.get());
    }
    return errSecInvalidKeychain;
  }
  return errSecSuccess;
}

OSStatus saveEntries(const std::vector<FileEntry>& entries) {
  CFRef<CFMutableArrayRef> array(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
  for (const auto& e : entries) {
    CFRef<CFMutableDictionaryRef> item(
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    CFRef<CFDataRef> s(makeData(e.service)), a(makeData(e.account)), p(makeData(e.password));
    CFDictionarySetValue(item.get(), CFSTR("service"), s.get());
    CFDictionarySetValue(item.get(), CFSTR("account"), a.get());
    CFDictionarySetValue(item.get(), CFSTR("password"), p.get());
    CFArrayAppendValue(array.get(), item.get());
  }
  CFRef<CFDataRef> data(CFPropertyListCreateData(nullptr, array.get(), kCFPropertyListXMLFormat_v1_0, 0, nullptr));
  if (!data) return errSecAllocate;
  std::string tmp = (storeFolder() / "generic-passwords.XXXXXX").string();
  int fd = mkstemp(tmp.data());
  if (fd < 0) return errSecNotAvailable;
  fchmod(fd, 0600);
  const UInt8* p = CFDataGetBytePtr(data.get());
  size_t left = static_cast<size_t>(CFDataGetLength(data.get()));
  bool ok = true;
  while (left > 0 && ok) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) {
      p += n;
      left -= static_cast<size_t>(n);
    }
  }
  ok = ok && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok) ok = rename(tmp.c_str(), storeFile().c_str()) == 0;
  if (!ok) {
    unlink(tmp.c_str());
    return errSecNotAvailable;
  }
  return errSecSuccess;
}

// Runs fn(entries, &changed) on the store under its lock; saves when fn changed the entries.
template <typename Fn>
OSStatus withFileStore(Fn fn) {
  if (OSStatus s = prepareFolder(); s != errSecSuccess) return s;
  StoreLock lock;
  if (!lock.held()) return errSecNotAvailable;
  std::vector<FileEntry> entries;
  if (OSStatus s = loadEntries(&entries); s != errSecSuccess) return s;
  bool changed = false;
  OSStatus status = fn(entries, changed);
  if (changed) {
    OSStatus saved = saveEntries(entries);
    if (saved != errSecSuccess) return saved;
  }
  return status;
}

OSStatus fileFind(const ItemKey& key, std::string* password) {
  return withFileStore([&](std::vector<FileEntry>& entries, bool&) {
    for (const auto& e : entries)
      if (e.service == key.service && e.account == key.account) {
        if (password) *password = e.password;
        return errSecSuccess;
      }
    return errSecItemNotFound;
  });
}

OSStatus fileAdd(const ItemKey& key, std::string_view password) {
  return withFileStore([&](std::vector<FileEntry>& entries, bool& changed) {
    for (const auto& e : entries)
      if (e.service == key.service && e.account == key.account) return errSecDuplicateItem;
    entries.push_back({key.service, key.account, std::string(password)});
    changed = true;
    return errSecSuccess;
  });
}

OSStatus fileDelete(const ItemKey& key) {
  return withFileStore([&](std::vector<FileEntry>& entries, bool& changed) {
    auto before = entries.size();
    std::erase_if(entries, [&](const FileEntry& e) { return e.service == key.service && e.account == key.account; });
    changed = entries.size() != before;
    return changed ? errSecSuccess : errSecItemNotFound;
  });
}

// ---------------------------------------------------------------------------------------------
// Choosing the store.

std::recursive_mutex gKeychainLock;
SecKeychainStoreKind gStore = kSecKeychainStoreAutomatic;

SecKeychainStoreKind currentStore() {
  if (gStore != kSecKeychainStoreAutomatic) return gStore;
  if (secretServiceAnswers()) {
    gStore = kSecKeychainStoreSecretService;
    NSLog(CFSTR("Keychain: passwords are kept in the Secret Service of the desktop session"));
  } else {
    gStore = kSecKeychainStoreFile;
    std::string path = storeFile().string();
    CFRef<CFStringRef> p(CFStringCreateWithCString(nullptr, path.c_str(), kCFStringEncodingUTF8));
    NSLog(CFSTR("Keychain: no Secret Service answered; passwords are kept in the private file %@"), p.get());
  }
  return gStore;
}

// A name as the stores take it: UTF-8 without zero bytes.
std::optional<std::string> nameBytes(UInt32 length, const char* bytes) {
  if (length > 0 && !bytes) return std::nullopt;
  std::string s(bytes ? bytes : "", length);
  if (s.find('\0') != std::string::npos) return std::nullopt;
  if (!g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr)) return std::nullopt;
  return s;
}

}  // namespace

OSStatus SecKeychainAddGenericPassword(SecKeychainRef, UInt32 serviceNameLength, const char* serviceName,
                                       UInt32 accountNameLength, const char* accountName, UInt32 passwordLength,
                                       const void* passwordData, SecKeychainItemRef* itemRef) {
  if (itemRef) *itemRef = nullptr;
  auto service = nameBytes(serviceNameLength, serviceName);
  auto account = nameBytes(accountNameLength, accountName);
  if (!service || !account || (passwordLength > 0 && !passwordData)) return errSecParam;
  std::string_view password(static_cast<const char*>(passwordData), passwordData ? passwordLength : 0);
  ItemKey key{*service, *account};
  std::lock_guard<std::recursive_mutex> lock(gKeychainLock);
  OSStatus status =
      currentStore() == kSecKeychainStoreSecretService ? secretAdd(key, password) : fileAdd(key, password);
  if (status == errSecSuccess && itemRef) *itemRef = new OpaqueSecKeychainItemRef(key.service, key.account);
  return status;
}

OSStatus SecKeychainFindGenericPassword(CFTypeRef, UInt32 serviceNameLength, const char* serviceName,
                                        UInt32 accountNameLength, const char* accountName, UInt32* passwordLength,
                                        void** passwordData, SecKeychainItemRef* itemRef) {
  if (passwordLength) *passwordLength = 0;
  if (passwordData) *passwordData = nullptr;
  if (itemRef) *itemRef = nullptr;
  auto service = nameBytes(serviceNameLength, serviceName);
  auto account = nameBytes(accountNameLength, accountName);
  if (!service || !account) return errSecParam;
  ItemKey key{*service, *account};
  std::string password;
  std::lock_guard<std::recursive_mutex> lock(gKeychainLock);
  OSStatus status =
      currentStore() == kSecKeychainStoreSecretService ? secretFind(key, &password) : fileFind(key, &password);
  if (status != errSecSuccess) return status;
  if (password.size() > UINT32_MAX) return errSecAllocate;
  if (passwordData) {
    void* copy = malloc(password.size() + 1);  // never zero bytes, so that a free always pairs
    if (!copy) return errSecAllocate;
    memcpy(copy, password.data(), password.size());
    static_cast<char*>(copy)[password.size()] = '\0';
    *passwordData = copy;
  }
  if (passwordLength) *passwordLength = static_cast<UInt32>(password.size());
  if (itemRef) *itemRef = new OpaqueSecKeychainItemRef(key.service, key.account);
  return errSecSuccess;
}

OSStatus SecKeychainItemDelete(SecKeychainItemRef item) {
  if (!cfimpl::isA(item, kTypeKeychainItem)) return errSecParam;
  ItemKey key{item->service, item->account};
  std::lock_guard<std::recursive_mutex> lock(gKeychainLock);
  return currentStore() == kSecKeychainStoreSecretService ? secretDelete(key) : fileDelete(key);
}

OSStatus SecKeychainItemFreeContent(SecKeychainAttributeList*, void* data) {
  free(data);
  return errSecSuccess;
}

CFTypeID SecKeychainItemGetTypeID(void) { return kTypeKeychainItem; }

SecKeychainStoreKind SecKeychainGetStoreKind(void) {
  std::lock_guard<std::recursive_mutex> lock(gKeychainLock);
  return currentStore();
}

void SecKeychainSetStoreKind(SecKeychainStoreKind kind) {
  std::lock_guard<std::recursive_mutex> lock(gKeychainLock);
  gStore = kind;
}
