#include "db/KVCredentials.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "foundation/KVExceptions.h"

std::string KVSettingsFolder() {
  std::string base;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x == '/') {
    base = x;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home && *home ? home : "/tmp") + "/.config";
  }
  return base + "/KV-Software";
}

namespace {

void MakeFolders(const std::string& path) {
  std::string cur;
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      cur = path.substr(0, i);
      if (::mkdir(cur.c_str(), 0700) != 0 && errno != EEXIST)
        throw EAPIException("Unable to create the folder \"" + cur + "\"", errno, nullptr, "KVSettingsFolder");
    }
  }
}

bool ReadKey(const std::string& file, unsigned char* key) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t n = ::read(fd, key, crypto_secretbox_KEYBYTES);
  ::close(fd);
  return n == static_cast<ssize_t>(crypto_secretbox_KEYBYTES);
}

// The key, created on first use. Returns false only when reading (not creating) was asked and failed.
bool LoadKey(unsigned char* key, bool create) {
  static std::mutex lock;
  std::lock_guard guard(lock);
  if (sodium_init() < 0) throw EKVException("The encryption library cannot be initialised", nullptr, "LoadKey");
  std::string folder = KVSettingsFolder();
  std::string file = folder + "/credentials.key";
  if (ReadKey(file, key)) return true;
  if (!create) return false;
  MakeFolders(folder);
  randombytes_buf(key, crypto_secretbox_KEYBYTES);
  // Written under a temporary name and linked into place, so two programs starting at once agree on one key.
  std::string temp = file + ".tmp" + std::to_string(::getpid());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw EAPIException("Unable to create \"" + file + "\"", errno, nullptr, "LoadKey");
  bool ok = ::write(fd, key, crypto_secretbox_KEYBYTES) == static_cast<ssize_t>(crypto_secretbox_KEYBYTES) &&
            ::fsync(fd) == 0;
  int err = errno;
  ::close(fd);
  if (!ok) {
    ::unlink(temp.c_str());
    throw EAPIException("Unable to write \"" + file + "\"", err, nullptr, "LoadKey");
  }
  if (::link(temp.c_str(), file.c_str()) != 0) {
    err = errno;
    ::unlink(temp.c_str());
    if (err == EEXIST && ReadKey(file, key)) return true;
    throw EAPIException("Unable to create \"" + file + "\"", err, nullptr, "LoadKey");
  }
  ::unlink(temp.c_str());
  return true;
}

}  // namespace

std::string KVEncryptCredential(const std::string& plain) {
  if (plain.empty()) return {};
  unsigned char key[crypto_secretbox_KEYBYTES];
  LoadKey(key, true);
  std::vector<unsigned char> box(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES + plain.size());
  unsigned char* nonce = box.data();
  randombytes_buf(nonce, crypto_secretbox_NONCEBYTES);
  crypto_secretbox_easy(box.data() + crypto_secretbox_NONCEBYTES,
                        reinterpret_cast<const unsigned char*>(plain.data()), plain.size(), nonce, key);
  sodium_memzero(key, sizeof key);
  std::string hex(box.size() * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), box.data(), box.size());
  hex.pop_back();
  for (auto& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return hex;
}

std::string KVDecryptCredential(const std::string& stored) {
  if (stored.empty()) return {};
  std::vector<unsigned char> box(stored.size() / 2);
  size_t len = 0;
  if (sodium_init() < 0 ||
      sodium_hex2bin(box.data(), box.size(), stored.data(), stored.size(), nullptr, &len, nullptr) != 0 ||
      len != stored.size() / 2 || stored.size() % 2 != 0 ||
      len < crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES)
    return {};
  unsigned char key[crypto_secretbox_KEYBYTES];
  try {
    if (!LoadKey(key, false)) return {};
  } catch (const std::exception&) {
    return {};
  }
  std::string plain(len - crypto_secretbox_NONCEBYTES - crypto_secretbox_MACBYTES, '\0');
  int rc = crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(plain.data()),
                                      box.data() + crypto_secretbox_NONCEBYTES, len - crypto_secretbox_NONCEBYTES,
                                      box.data(), key);
  sodium_memzero(key, sizeof key);
  return rc == 0 ? plain : std::string();
}
