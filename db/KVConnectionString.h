#pragma once
// ODBC connection strings: "NAME=value;NAME=value". Every read or change of a connection string goes
// through the parser here, so that user name and password are merged the same way everywhere.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Splits a connection string into its entries, looks values up and rebuilds the string.
//
// The text is split at ";" into items; each item is trimmed of blanks, tabs and line breaks and empty
// items are skipped, so "DSN=x;;PWD=y" has two entries. An item's name is the text before its first "=",
// its value the text after it, both trimmed; an item without "=" is a name with an empty value. Names
// compare case-insensitively (ASCII); where a name occurs twice, reads see the first occurrence, as
// drivers do.
//
// A value in braces is kept whole even when it holds ";" ("PWD={a;b}"), with "}}" standing for one "}"
// inside, because ODBC allows any character in a braced value and passwords make use of it; splitting at
// every ";" would cut such a password and hand the driver the rest as a bogus entry. A brace that is never
// closed does not swallow the rest of the string: that item then ends at the next ";" like any other, and
// such a malformed value (as one with text after its closing brace) is written back in proper braces.
class TKVConnectionStringParser {
 public:
  TKVConnectionStringParser() = default;
  explicit TKVConnectionStringParser(std::string_view text) { Parse(text); }

  // Replaces all entries with those of `text`.
  void Parse(std::string_view text);

  size_t Count() const { return m_Entries.size(); }
  const std::string& NameAt(size_t index) const { return m_Entries[index].Name; }
  // The value as the driver understands it: braces removed and "}}" read as "}".
  const std::string& ValueAt(size_t index) const { return m_Entries[index].Value; }
  // The value as it is written into Text().
  const std::string& RawValueAt(size_t index) const { return m_Entries[index].RawValue; }

  bool Contains(std::string_view name) const;
  // The (unbraced) value of the first entry of that name, or `defaultValue` when there is none.
  std::string Value(std::string_view name, std::string_view defaultValue = {}) const;

  // Removes every entry of that name and appends "name=value" at the end. `value` is the plain value: it
  // is written in braces, with "}" doubled, when it holds ";", starts with "{" or has white space at its
  // ends; otherwise as it stands. (So do not pass a value already in braces: its braces would reach the
  // driver as part of the value.)
  void SetValue(std::string_view name, std::string_view value);
  // Returns whether an entry was removed.
  bool Remove(std::string_view name);

  // The entries in their order as "name=value" joined by ";"; entries that were read keep their text.
  std::string Text() const;

  // A value as it must be written into a connection string (see SetValue).
  static std::string EncodeValue(std::string_view value);

 private:
  struct TEntry {
    std::string Name, RawValue, Value;
  };
  std::vector<TEntry> m_Entries;
};

// The connection string with the value set: any entry of that name is removed and the new one appended at
// the end ("KVAddOrReplaceValueInConnectionString"); the other entries keep their text and order.
std::string KVAddOrReplaceValueInConnectionString(std::string_view connectionString, std::string_view name,
                                                  std::string_view value);

// What a connection string's database is called in captions: the value of DSN; when empty, of FILEDSN;
// when empty, the file name part of DBQ; when empty, the last folder name of DIR (trailing "/" or "\"
// ignored); when still empty, the last folder name of DEFAULTDIR. Empty when none of them helps.
std::string KVDataSourceNameOfConnectionString(std::string_view connectionString);
