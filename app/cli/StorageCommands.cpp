// dump and convert: look into a document's storage and move it between the two formats.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "app/cli/CliCommands.h"
#include "definition/QXDocument.h"
#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"
#include "storage/KVFileFormat.h"
#include "storage/KVPersistentData.h"
#include "storage/KVTempFiles.h"

namespace {

const char* kDumpUsage =
    "Usage: dabrix-cli dump [--sorted] FILE\n"
    "\n"
    "Prints the storage tree of a document (text or binary format), depth first from the root: each\n"
    "directory as a line [FULLPATH], followed by its values as name=value lines holding the raw stored\n"
    "texts. Backslash, tab, line feed and carriage return in values are written \\\\, \\t, \\n, \\r;\n"
    "other bytes below 0x20 as \\xHH.\n"
    "\n"
    "Directories and values come in the storage's own order: the text format keeps the order in which\n"
    "they were written, the binary format orders names by length, then alphabetically. With --sorted\n"
    "both are listed by name (ignoring letter case), so that two documents in different formats can be\n"
    "compared line by line.\n";

const char* kConvertUsage =
    "Usage: dabrix-cli convert IN OUT\n"
    "\n"
    "Copies every directory and value of the document IN into a new document OUT, whose format comes\n"
    "from its extension: .qxt (text) or .qxs (binary). OUT is written completely or not at all; an\n"
    "existing OUT is replaced. OUT must not be IN.\n"
    "\n"
    "A reorganization definition (a document carrying the data-format identifier) is loaded and saved\n"
    "as a document, so OUT is a document this program wrote: its node directories renumbered, values\n"
    "at their defaults left out; directories it does not know (such as stored schemata) are copied as\n"
    "they are. Any other storage is copied value by value.\n";

std::string Escape(const std::string& s) {
  std::string r;
  r.reserve(s.size());
  for (unsigned char c : s) {
    switch (c) {
      case '\\': r += "\\\\"; break;
      case '\t': r += "\\t"; break;
      case '\n': r += "\\n"; break;
      case '\r': r += "\\r"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02X", c);
          r += buf;
        } else {
          r += static_cast<char>(c);
        }
    }
  }
  return r;
}

TKVStringArray InOrder(TKVStringArray names, bool sorted) {
  if (sorted)
    std::stable_sort(names.begin(), names.end(),
                     [](const std::string& a, const std::string& b) { return KVCompareText(a, b) < 0; });
  return names;
}

// Depth first with a stack of our own: documents nest deeper than the call stack allows.
void DumpDir(IKVStorage& storage, std::ostream& out, bool sorted) {
  // One look at the file for the whole walk, not one per value read (see KVVsdLoadTree).
  TKVStorageUpdate snapshot(storage);
  TKVVsdDirPathKeeper keeper(storage);
  std::vector<std::string> todo{storage.GetCurrentDir()};
  while (!todo.empty()) {
    const std::string dir = std::move(todo.back());
    todo.pop_back();
    if (!KVVsdOpenDirAbsolute(storage, dir, false)) continue;
    out << "[" << dir << "]\n";
    for (const auto& name : InOrder(storage.ReadValueNames(), sorted))
      out << Escape(name) << "=" << Escape(storage.ReadString(name, std::string())) << "\n";
    TKVStringArray subs = InOrder(storage.ReadSubDirNames(), sorted);
    for (size_t i = subs.size(); i-- > 0;) todo.push_back(KVJoinPath(dir, subs[i]));
  }
}

TKVStorageClass ReadableClass(const std::string& fileName) {
  TKVStorageClass cls = KVTestFileFormat(fileName);
  if (!cls) throw EKVException("Unsupported file format \"" + fileName + "\"", nullptr, "LoadQXDFromFile");
  return cls;
}

}  // namespace

static int CliDump(const std::vector<std::string>& args) {
  bool sorted = false;
  std::vector<std::string> files;
  for (const auto& a : args) {
    if (a == "--sorted")
      sorted = true;
    else if (a.size() > 1 && a[0] == '-')
      throw TCliUsageError{"unknown option \"" + a + "\""};
    else
      files.push_back(a);
  }
  if (files.size() != 1) throw TCliUsageError{"expected exactly one FILE"};
  const std::string& fileName = files[0];
  auto data = KVMakeRef<TKVPersistentData>(ReadableClass(fileName), fileName);
  KVVsdOpenDir(*data, "\\", false);
  DumpDir(*data, std::cout, sorted);
  std::cout.flush();
  return std::cout ? kExitOk : kExitFailed;
}

static int CliConvert(const std::vector<std::string>& args) {
  namespace fs = std::filesystem;
  if (args.size() != 2) throw TCliUsageError{"expected IN and OUT"};
  const std::string& in = args[0];
  const std::string& out = args[1];
  TKVStorageClass sourceClass = ReadableClass(in);
  TKVStorageClass targetClass = KVStorageClassForExtension(out);
  if (!targetClass)
    throw TCliUsageError{"the format of \"" + out + "\" is not known by its extension; use .qxt (text) or .qxs (binary)"};
  std::error_code ec;
  if (fs::exists(out, ec) && fs::equivalent(in, out, ec))
    throw TCliUsageError{"OUT must not be the same file as IN"};

  if (QXHasDataFormatGUID(in, sourceClass)) {
    auto document = KVMakeRef<TQXDocument>();
    if (!document->LoadFromFile(in))
      throw EKVException("File not found: \"" + in + "\"", nullptr, "CliConvert");
    document->SaveAs(out);
    return kExitOk;
  }

  // The copy goes into a fresh file beside OUT, renamed over it only when complete: a failed conversion
  // leaves any previous OUT as it was, and a previous OUT is never merged into.
  fs::path outPath = fs::absolute(out);
  std::string temp = KVFreshTempFileName(outPath.string());
  try {
    auto data = KVMakeRef<TKVPersistentData>(sourceClass, in);
    data->SwitchStorage(temp, targetClass, true);
    data->Commit();
  } catch (...) {
    fs::remove(temp, ec);
    throw;
  }
  fs::rename(temp, outPath, ec);
  if (ec) {
    fs::remove(temp);
    throw EAPIException("Unable to create \"" + out + "\"", ec.value(), nullptr, "CliConvert");
  }
  return kExitOk;
}

const TCliCommand kCliDump = {"dump", "print the storage tree of a document", kDumpUsage, CliDump};
const TCliCommand kCliConvert = {"convert", "copy a document into the other format (.qxt text, .qxs binary)",
                                 kConvertUsage, CliConvert};
