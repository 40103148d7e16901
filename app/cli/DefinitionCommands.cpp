// tree: shows the definition tree of a document as the program understands it after loading.
#include <algorithm>
#include <iostream>
#include <map>
#include <unordered_map>
#include <utility>

#include "app/cli/CliCommands.h"
#include "db/KVSqlText.h"
#include "definition/QXDTreeOps.h"
#include "definition/QXDocument.h"
#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"
#include "storage/KVFileFormat.h"
#include "storage/KVPersistentData.h"

namespace {

const char* kTreeUsage =
    "Usage: dabrix-cli tree DOC\n"
    "\n"
    "Loads the reorganization definition DOC (.qxt text or .qxs binary) and prints its tree, one node a\n"
    "line, indented two blanks per level: the title, the node class in brackets, \"unchecked\" and/or\n"
    "\"inactive\" when so, then the node's properties that differ from their defaults as key=value\n"
    "(values of a subdirectory as DIR.key=value). Stored user names and passwords are shown as\n"
    "<encrypted>; tab, line feed, carriage return and backslash in titles and values are written \\t, \\n, \\r, \\\\.\n"
    "The document is only read.\n";

std::string Escape(const std::string& s) {
  std::string r;
  for (char c : s) {
    switch (c) {
      case '\\': r += "\\\\"; break;
      case '\t': r += "\\t"; break;
      case '\n': r += "\\n"; break;
      case '\r': r += "\\r"; break;
      default: r += c;
    }
  }
  return r;
}

// Catches what a node stores, in the order it writes it: a storage held in memory only.
class TValueRecorder : public TKVStorageBase {
 public:
  TValueRecorder() : TKVStorageBase(nullptr, 0, "", "") { m_Dirs[""] = ""; }
  TKVStorageClass StorageClass() const override { return &kClass; }

  struct TEntry {
    std::string Dir, Name, Value;  // Dir relative to the root, as first written
  };
  const std::vector<TEntry>& Entries() const { return m_Entries; }

  std::string ReadString(const std::string& name, const std::string& def) override {
    auto it = Find(name);
    return it != m_Entries.end() ? it->Value : def;
  }
  void WriteString(const std::string& name, const std::string& value) override {
    auto it = Find(name);
    if (it != m_Entries.end()) {
      it->Value = value;
      return;
    }
    m_Index.emplace(Key(name), m_Entries.size());
    m_Entries.push_back({m_Dirs[m_Current], name, value});
  }

 protected:
  bool InternalDirExists(const std::string& p) override { return m_Dirs.count(KVUpperCase(p)) != 0; }
  bool InternalOpenDir(const std::string& p, bool create) override {
    std::string key = KVUpperCase(p);
    if (!m_Dirs.count(key)) {
      if (!create) return false;
      m_Dirs[key] = p;
    }
    m_Current = key;
    return true;
  }
  TKVStringArray InternalReadSubDirNames() override { return {}; }
  TKVStringArray InternalReadValueNames() override {
    TKVStringArray r;
    for (const auto& e : m_Entries)
      if (KVSameText(e.Dir, m_Dirs[m_Current])) r.push_back(e.Name);
    return r;
  }
  bool InternalDeleteValue(const std::string& name) override {
    auto it = Find(name);
    if (it == m_Entries.end()) return false;
    m_Entries.erase(it);
    // Rare (a value written and then taken back): the positions after it all move.
    m_Index.clear();
    for (size_t i = 0; i < m_Entries.size(); ++i)
      m_Index.emplace(KVUpperCase(m_Entries[i].Dir) + '\0' + KVUpperCase(m_Entries[i].Name), i);
    return true;
  }
  bool InternalDeleteDir(const std::string&) override { return false; }

 private:
  // A node may store tens of thousands of values (a function's arguments): looked up by key, not by scan.
  std::string Key(const std::string& name) const { return m_Current + '\0' + KVUpperCase(name); }
  std::vector<TEntry>::iterator Find(const std::string& name) {
    auto it = m_Index.find(Key(name));
    return it == m_Index.end() ? m_Entries.end() : m_Entries.begin() + static_cast<std::ptrdiff_t>(it->second);
  }
  static const TKVStorageClassInfo kClass;
  std::map<std::string, std::string> m_Dirs;  // upper-case key -> path as first written
  std::vector<TEntry> m_Entries;
  std::unordered_map<std::string, size_t> m_Index;  // upper-case dir key, NUL, upper-case name -> entry
  std::string m_Current;
};

const TKVStorageClassInfo TValueRecorder::kClass = {"TValueRecorder", nullptr};

std::string NodeLine(const TKVTreeItem& item) {
  std::string line = std::string(static_cast<size_t>(item.Level()) * 2, ' ') + Escape(item.Title()) + " [" +
                     item.DataClassName() + "]";
  TQXDDataBase* d = QXDData(&item);
  if (!d) return line;
  if (!d->Checked()) line += " unchecked";
  if (!d->Active()) line += " inactive";
  TValueRecorder recorder;
  d->StoreData(recorder);
  for (const auto& [dir, name, value] : recorder.Entries()) {
    if (dir.empty() && KVSameText(name, "Checked")) continue;  // shown as "unchecked"
    std::string shown = value;
    if (KVSameText(dir, "ConnectProperties") && (KVSameText(name, "Username") || KVSameText(name, "Password")))
      shown = "<encrypted>";
    else if (KVSameText(dir, "RecordsetProperties") && KVSameText(name, "SQL"))
      shown = KVSqlFromStoredForm(value);
    line += " " + (dir.empty() ? name : dir + "." + name) + "=" + Escape(shown);
  }
  return line;
}

}  // namespace

static int CliTree(const std::vector<std::string>& args) {
  if (args.size() != 1 || (args[0].size() > 1 && args[0][0] == '-')) throw TCliUsageError{"expected exactly one DOC"};
  const std::string& fileName = args[0];
  TKVStorageClass cls = KVTestFileFormat(fileName);
  if (!cls) throw EKVException("Unsupported file format \"" + fileName + "\"", nullptr, "LoadQXDFromFile");
  // The same refusal as opening the document for a run: a file of another format is not shown as a tree.
  CheckDataFormatGUID(fileName, cls);
  auto data = KVMakeRef<TKVPersistentData>(cls, fileName);
  TQXDTreeView tree;
  {
    TKVVsdDirPathKeeper keeper(*data, "\\QXD", false);
    if (keeper.Opened()) tree.LoadData(*data);
  }
  tree.ForEach([](TKVTreeItem& item) {
    std::cout << NodeLine(item) << "\n";
    return true;
  });
  std::cout.flush();
  return std::cout ? kExitOk : kExitFailed;
}

const TCliCommand kCliTree = {"tree", "print the definition tree of a document", kTreeUsage, CliTree};
