#pragma once
// Reversible encryption of stored user names and passwords: secret-box (XSalsa20-Poly1305) under a random
// per-user key kept in a file only the user can read, beside the settings. The stored text is hexadecimal:
// nonce then cipher text. Another user's (or a damaged) text cannot be opened and reads back as empty,
// never as an error: the document still loads, only the credential must be entered again.
#include <string>

// The folder the settings and the key live in: $XDG_CONFIG_HOME/KV-Software (default ~/.config/...).
std::string KVSettingsFolder();

// Encrypts `plain` ("" stays ""). Creates the key file (mode 0600, folders 0700) on first use; raises
// EAPIException when it cannot.
std::string KVEncryptCredential(const std::string& plain);
// The plain text, or "" when `stored` is empty, not ours, or damaged.
std::string KVDecryptCredential(const std::string& stored);
