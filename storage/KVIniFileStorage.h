#pragma once
// The text storage format: one INI file (see KVPrivateProfile.h). Every directory is one section named by
// its internal path, elements joined by "\" ("QXD\.\00000"; the root is the section "[]"); every value is
// one key of that section. A directory exists when its section or a section below it exists, so opening
// a directory for writing touches nothing: the section comes into being with its first value.
//
// Texts may hold any bytes but the line structure cannot carry blanks at their ends, tabs or line breaks,
// so these are written as substitute bytes: blank 0x20 as 0xF0, tab 0x09 as 0xD0, LF 0x0A as 0xFE and
// CR 0x0D as 0xDE (see KVIniEncodeText). Section and key names are written unchanged.
//
// Writes between BeginUpdate and EndUpdate are gathered and written once; Commit and the destructor write
// whatever is gathered.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "storage/KVPrivateProfile.h"
#include "storage/KVStorage.h"

extern const TKVStorageClassInfo KVIniFileStorageClass;

// The substitution of whitespace in texts. Decoding maps 0xFE back to LF everywhere; 0xD0, 0xDE and 0xF0
// also begin UTF-8 letters (Cyrillic "Д" is D0 94), so each is taken as a tab, CR or blank only where it
// does not begin a well-formed UTF-8 sequence. Text written from valid UTF-8 therefore always reads back
// unchanged, and files of older versions keep reading as they were written.
std::string KVIniEncodeText(const std::string& text);
std::string KVIniDecodeText(const std::string& text);

// The file used when none is given: the program's own path with its extension replaced by "PRS".
std::string KVDefaultIniFileName();

class TKVIniFileStorage : public TKVStorageBase {
 public:
  // An empty `fileName` means KVDefaultIniFileName().
  TKVIniFileStorage(std::recursive_mutex* ownerLock, uint32_t rootKey, const std::string& baseDir,
                    const std::string& fileName);
  // Writes gathered writes; a failure is traced, not raised.
  ~TKVIniFileStorage() override;

  TKVStorageClass StorageClass() const override { return &KVIniFileStorageClass; }

  // Writes what was gathered for the old file first (raising when that fails; the name then stays).
  void SetFileName(const std::string& fileName) override;
  void Commit() override;
  void BeginUpdate() override;
  void EndUpdate() override;

  std::string ReadString(const std::string& name, const std::string& def) override;
  // Raises EAPIException "WritePrivateProfileString(File: %s, ValueName: %s, Value: %s)" (routine
  // "WriteString") with the system error when the file cannot be written.
  void WriteString(const std::string& name, const std::string& value) override;

  // The file layer, for diagnostics (how often the file was written).
  TKVPrivateProfile& Profile() { return *m_Profile; }

 protected:
  bool InternalDirExists(const std::string& internalPath) override;
  bool InternalOpenDir(const std::string& internalPath, bool create) override;
  TKVStringArray InternalReadSubDirNames() override;
  TKVStringArray InternalReadValueNames() override;
  // False also when the file could not be written (the error is traced).
  bool InternalDeleteValue(const std::string& name) override;
  // Raises EAPIException (routine "InternalDeleteDir") when the file cannot be written.
  bool InternalDeleteDir(const std::string& internalPath) override;

 private:
  // One section in the cache of section names: the name with separators made "\" and empty elements
  // dropped, and its lower-cased form, which orders the cache.
  struct TDirEntry {
    std::string Key;
    std::string Name;
    size_t Position;  // of the first section with this name, in file order
  };

  // The section of the current directory, kept until the directory changes.
  const std::string& CurrentSection();
  // Brings the cache up to the file's current image (`refresh`: looking at the file first).
  void UpdateDirCache(bool refresh = true);
  bool SectionTreeExists(const std::string& section);

  std::unique_ptr<TKVPrivateProfile> m_Profile;
  std::vector<TDirEntry> m_Dirs;  // sorted by Key, each Key once
  uint64_t m_DirsGeneration = 0;
  bool m_DirsValid = false;
  std::string m_Section;
  uint64_t m_SectionGeneration = 0;
  bool m_SectionValid = false;
};
