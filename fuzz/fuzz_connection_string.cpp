// The connection-string parser. Whatever it reads, the string it writes back must read as the same entries
// (names and the values the driver sees), and writing that again must give the same string; setting a value
// of any bytes under a plain name must read back exactly, with every other entry unchanged.
#include <string>
#include <vector>

#include "db/KVConnectionString.h"
#include "foundation/KVConvert.h"
#include "fuzz/FuzzSupport.h"

namespace {

struct TEntry {
  std::string Name, Value;
  bool operator==(const TEntry&) const = default;
};

std::vector<TEntry> Entries(const TKVConnectionStringParser& p) {
  std::vector<TEntry> r;
  for (size_t i = 0; i < p.Count(); ++i) r.push_back({p.NameAt(i), p.ValueAt(i)});
  return r;
}

std::string Show(const std::vector<TEntry>& v) {
  std::string s;
  for (const TEntry& e : v) s += FuzzQuote(e.Name) + "=" + FuzzQuote(e.Value) + " ";
  return s;
}

// A name a caller would pass: no separators, no white space at its ends, not empty.
std::string PlainName(const std::string& raw) {
  std::string n;
  for (char c : raw)
    if (c != ';' && c != '=' && c != ' ' && c != '\t' && c != '\n' && c != '\r') n += c;
  return n.empty() ? "PWD" : n.substr(0, 16);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFuzzInput in(data, size);
  const std::string name = PlainName(in.Piece('\0'));
  const std::string value = in.Piece('\0');
  const std::string text = in.Rest();

  TKVConnectionStringParser first(text);
  const std::vector<TEntry> read = Entries(first);
  const std::string written = first.Text();
  TKVConnectionStringParser second(written);
  FUZZ_CHECK(Entries(second) == read,
             FuzzQuote(text) + " read " + Show(read) + "; written " + FuzzQuote(written) + " reads " +
                 Show(Entries(second)));
  FUZZ_CHECK(second.Text() == written, FuzzQuote(written) + " is written again as " + FuzzQuote(second.Text()));

  const std::string changed = KVAddOrReplaceValueInConnectionString(text, name, value);
  TKVConnectionStringParser third(changed);
  FUZZ_CHECK(third.Value(name, "<missing>") == value,
             FuzzQuote(text) + " with " + name + "=" + FuzzQuote(value) + " gives " + FuzzQuote(changed) +
                 ", read as " + FuzzQuote(third.Value(name, "<missing>")));
  std::vector<TEntry> others, othersAfter;
  for (const TEntry& e : read)
    if (!KVSameText(e.Name, name)) others.push_back(e);
  for (const TEntry& e : Entries(third))
    if (!KVSameText(e.Name, name)) othersAfter.push_back(e);
  FUZZ_CHECK(others == othersAfter, FuzzQuote(text) + " with " + name + "=" + FuzzQuote(value) + " gives " +
                                        FuzzQuote(changed) + ": other entries " + Show(others) + " became " +
                                        Show(othersAfter));

  TKVConnectionStringParser encoded("X=" + TKVConnectionStringParser::EncodeValue(value));
  FUZZ_CHECK(encoded.Count() == 1 && encoded.Value("X") == value,
             FuzzQuote(value) + " encoded as " + FuzzQuote(TKVConnectionStringParser::EncodeValue(value)));
  (void)KVDataSourceNameOfConnectionString(text);
  return 0;
}
