#pragma once
// Our own reader and writer of the classic INI text format ("private profile" files): a line "[name]" opens
// a section, each value is a line "key=text".
//
// Reading is lenient, as it must be for files people edit by hand: "\r\n", "\n" and a last line without end
// are accepted; blanks and tabs around key names, section names and texts are dropped; a text wholly
// enclosed in double quotes loses them; a text ends at a NUL byte; lines starting with ";" are comments;
// lines before the first section, lines without "=" and a "[" without a closing "]" carry no value. A
// section header ends at the last "]" of its line. Names are compared without regard to ASCII letter case.
// When a section occurs more than once, lookups and changes use the first occurrence; deleting a section
// deletes every occurrence.
//
// Writing keeps every line it does not change byte for byte and ends the lines it writes with "\r\n". A new
// section goes to the end of the file, a new key after the last key of its section. A text that would not
// read back as written (blanks or tabs at either end, or wholly enclosed in double quotes) is written
// inside an extra pair of double quotes, which any reader of the format removes again.
//
// Nothing is cut short: values, key lists and section lists of any length are read whole (SQL texts and
// the directories of large documents exceed any fixed buffer). The parsed file is kept in memory:
//  - a change outside an update batch goes to the file at once; between BeginUpdate and the matching
//    EndUpdate (nesting counted) changes are gathered and the file is written once, at the outermost
//    EndUpdate. A batch works on the image as it was when the batch began and its write replaces the file
//    as a whole, so changes another writer made meanwhile are lost;
//  - every file write goes to a temporary file in the same folder, is flushed to the disk and then renamed
//    over the file, so a crash never leaves half a file; the file keeps its permission bits and owner;
//    a symbolic link is followed and stays a link;
//  - outside a batch, every operation first checks whether the file was changed by another writer (its
//    inode, size or modification time differ from what was last read or written) and reads it again if so;
//    a missing file reads as empty and is created by the first write;
//  - a write that fails raises the system error and leaves the image as the file is (everything not yet
//    written is dropped), so memory and disk never disagree;
//  - a file that exists but cannot be read (no permission, a folder, a device) reads as empty and refuses
//    every change, so it is never replaced by what little this object knows.
//
// Not thread-safe: the owner serialises access.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class TKVRefLifeObject;

// Hashing and equality of names with ASCII letter case ignored, usable with any string view, so that a lookup
// needs no lower-cased copy of the name.
struct TKVNoCaseHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept;
};
struct TKVNoCaseEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept;
};
using TKVNoCaseIndex = std::unordered_map<std::string, size_t, TKVNoCaseHash, TKVNoCaseEqual>;

class TKVPrivateProfile {
 public:
  // `owner` is named as the raising object in errors (may be null).
  explicit TKVPrivateProfile(std::string fileName, const TKVRefLifeObject* owner = nullptr);
  // Writes gathered changes; a failure is traced, not raised.
  ~TKVPrivateProfile();
  TKVPrivateProfile(const TKVPrivateProfile&) = delete;
  TKVPrivateProfile& operator=(const TKVPrivateProfile&) = delete;

  const std::string& FileName() const { return m_FileName; }
  // Writes changes gathered for the old file (raising as Flush does, the name then stays), then forgets
  // the image. A running batch goes on with the new file.
  void SetFileName(const std::string& fileName);

  // --- Reading --------------------------------------------------------------------------------------
  // The key's text, or nullopt when the section or the key is missing.
  std::optional<std::string> Read(const std::string& section, const std::string& key);
  std::string ReadString(const std::string& section, const std::string& key, const std::string& def);
  // Key names of the section in file order, each name once (the first spelling); empty for a missing
  // section.
  std::vector<std::string> ReadKeyNames(const std::string& section);
  // Whether a section of that name (trimmed) exists. Does not refresh: for a caller that just did.
  bool HasSection(const std::string& section);
  // Every section header in file order, a duplicated section as often as it occurs.
  std::vector<std::string> ReadSectionNames();

  // --- Writing --------------------------------------------------------------------------------------
  // Creates the file, the section and the key as needed; a value equal to the stored one changes nothing.
  // Raises EKVException for names and texts the format cannot hold (line breaks or NUL in a name, "=" in a
  // key name, a key name starting with ";" or "[", line breaks in the text; a text is taken up to a NUL)
  // and EAPIException "WritePrivateProfileString(File: %s, ValueName: %s, Value: %s)" (routine
  // "WriteString") when the file cannot be written.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  // Deletes every line of the key in the section; false when there was none.
  bool DeleteKey(const std::string& section, const std::string& key);
  // Deletes every occurrence of the section with all its lines; false when there was none.
  bool DeleteSection(const std::string& section);
  // Deletes every section whose name `match` accepts, in one change; returns how many went.
  size_t DeleteSections(const std::function<bool(const std::string& name)>& match);

  // --- Batches and the file -------------------------------------------------------------------------
  void BeginUpdate();
  // The outermost call writes the gathered changes and raises when that fails.
  void EndUpdate();
  int UpdateDepth() const { return m_UpdateDepth; }
  // Writes gathered changes now, also inside a batch (which goes on).
  void Flush();
  // Reads the file again when another writer changed it (never inside a batch or with unwritten changes).
  void Refresh();

  // Counts every change of the set of sections (reading the file again included), so that a cache built
  // over the section names knows when it is stale. Does not refresh.
  uint64_t Generation() const { return m_Generation; }
  // Sections in the image, duplicates counted. Does not refresh.
  size_t SectionCount() const { return m_Sections.size(); }
  // How often the file was written by this object (diagnostics and tests).
  uint64_t FileWriteCount() const { return m_FileWriteCount; }

 private:
  struct TLine {
    std::string Raw;          // the bytes of the line, its line end included
    std::string Key;          // trimmed key name, for key lines
    size_t ValuePos = 0;      // where the text starts in Raw, for key lines
    bool IsKey = false;
  };
  struct TSection {
    std::string Name;         // trimmed
    std::string Header;       // the header line's bytes, line end included
    std::vector<TLine> Lines;
    // Key name -> first line; built on demand for long sections, dropped on insertion or deletion of lines
    // in the middle.
    TKVNoCaseIndex KeyIndex;
    bool KeyIndexValid = false;
  };
  struct TIdentity {
    enum TState : uint8_t { Missing, Present, Unreadable } State = Missing;
    uint64_t Device = 0, Inode = 0;
    int64_t Size = 0, MTimeSec = 0, MTimeNSec = 0;
    bool operator==(const TIdentity&) const = default;
  };

  void Load();
  void Parse(const std::string& data);
  std::string Serialize() const;
  TIdentity StatIdentity() const;
  // Returns 0 or the errno of the failure; on success m_Identity describes the new file.
  int WriteFileAtomically(const std::string& data);

  // The first occurrence of the section (name trimmed), or null.
  TSection* FindSection(std::string_view name);
  // Index of the first line of the key (name trimmed) in the section, or npos.
  size_t FindKey(TSection& section, std::string_view key);
  void InvalidateSectionIndex() {
    m_SectionIndexValid = false;
    m_LastSection = SIZE_MAX;
  }
  static std::string ValueOf(const TLine& line);
  // Makes sure the file may be changed: refreshes (outside batches) and refuses an unreadable file.
  void PrepareChange(const std::function<std::string()>& message, const char* routine);
  // After the image was changed: writes it now outside a batch, else remembers to write it.
  void Changed(const std::function<std::string()>& message, const char* routine);
  void WriteOut(const std::function<std::string()>& message, const char* routine);
  size_t DeleteMatchingSections(const std::function<bool(const std::string& name)>& match,
                                const std::function<std::string()>& message, const char* routine);
  void EnsureLastLineEnded();
  [[noreturn]] void RaiseIo(int code, const std::string& message, const char* routine) const;
  [[noreturn]] void RaiseInvalid(const std::string& message, const char* routine) const;

  std::string m_FileName;
  const TKVRefLifeObject* m_Owner;
  std::vector<TLine> m_Preamble;  // lines before the first section
  std::vector<TSection> m_Sections;
  TKVNoCaseIndex m_SectionIndex;  // name -> first occurrence
  bool m_SectionIndexValid = false;
  // The section found last: values are read and written a directory at a time, so most lookups ask for the
  // same section as the one before and need not hash its name.
  size_t m_LastSection = SIZE_MAX;
  bool m_Loaded = false;
  bool m_Dirty = false;
  int m_ReadError = 0;  // errno of a file that exists but could not be read
  int m_UpdateDepth = 0;
  TIdentity m_Identity;
  uint64_t m_Generation = 0;
  uint64_t m_FileWriteCount = 0;
};
