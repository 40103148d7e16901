// Seconds taken by the storage layer on documents that are wide or deep, to show that the work grows with
// the document and no faster: compound images with many elements in one storage or storages nested deep
// (saved, loaded, and walked through the storage interface one relative step per level, as the document
// loader walks a node tree), and the text format's directory walk over a section path of many elements.
// Each case runs three times; the median is printed.
//
//   storage_growth_bench
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "storage/KVCompoundFile.h"
#include "storage/KVCompoundStorage.h"
#include "storage/KVIniFileStorage.h"
#include "storage/KVPersistentData.h"

namespace {

double Median(const std::function<void()>& run) {
  std::vector<double> times;
  for (int i = 0; i < 3; ++i) {
    auto start = std::chrono::steady_clock::now();
    run();
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[1];
}

void Report(const std::string& name, double seconds) { std::printf("%-48s %8.3f s\n", name.c_str(), seconds); }

std::string Wide(int count) {
  TKVCompoundFile f;
  TKVCompoundElement& values = f.Root().CreateStorage("values");
  for (int i = 0; i < count; ++i) values.WriteStream("v" + std::to_string(i), "value " + std::to_string(i));
  return f.SaveImage();
}

std::string Deep(int depth) {
  TKVCompoundFile f;
  TKVCompoundElement* e = &f.Root();
  for (int i = 0; i < depth; ++i) {
    e->WriteStream("Title", "level " + std::to_string(i));
    e = &e->CreateStorage("a");
  }
  return f.SaveImage();
}

// Down one relative step per level, reading each level's values, then back up level by level, as a tree load
// returns to each level's directory; answers the number of levels seen.
int WalkDown(IKVStorage& storage) {
  int levels = 0;
  std::vector<size_t> lengths;  // each level's path is a prefix of the deepest one
  KVVsdOpenDir(storage, "\\", false);
  for (;;) {
    for (const auto& name : storage.ReadValueNames()) storage.ReadString(name, std::string());
    TKVStringArray subs = storage.ReadSubDirNames();
    if (subs.empty()) break;
    lengths.push_back(storage.GetCurrentDir().size());
    if (!storage.OpenDir(subs.front(), false)) break;
    ++levels;
  }
  const std::string deepest = storage.GetCurrentDir();
  for (size_t i = lengths.size(); i-- > 0;) KVVsdOpenDirAbsolute(storage, deepest.substr(0, lengths[i]), false);
  return levels;
}

int WalkImage(const std::string& image) {
  auto data = KVMakeRef<TKVPersistentData>(&KVMemoryDocStorageClass, std::string());
  static_cast<TKVMemoryDocStorage&>(data->Storage()).SetImage(image);
  return WalkDown(*data);
}

void CompoundCases() {
  for (int count : {10000, 50000}) {
    std::string image = Wide(count);
    TKVCompoundFile f;
    for (int i = 0; i < count; ++i) f.Root().WriteStream("v" + std::to_string(i), "x");
    Report("binary: save " + std::to_string(count) + " siblings", Median([&] { f.SaveImage(); }));
    Report("binary: load " + std::to_string(count) + " streams in one storage", Median([&] {
             TKVCompoundFile g;
             g.LoadImage(image);
           }));
  }
  for (int depth : {10000, 30000}) {
    std::string image = Deep(depth);
    TKVCompoundFile f;
    f.LoadImage(image);
    Report("binary: save storages nested " + std::to_string(depth), Median([&] { f.SaveImage(); }));
    Report("binary: load storages nested " + std::to_string(depth), Median([&] {
             TKVCompoundFile g;
             g.LoadImage(image);
           }));
    int seen = 0;
    Report("binary: walk storages nested " + std::to_string(depth), Median([&] { seen = WalkImage(image); }));
    if (seen != depth) std::printf("  (walked %d levels, expected %d)\n", seen, depth);
  }
}

void TextCases() {
  namespace fs = std::filesystem;
  for (int parts : {4000, 10000}) {
    fs::path file = fs::temp_directory_path() / ("dabrix-growth-" + std::to_string(::getpid()) + ".qxt");
    std::string section = "a";
    for (int i = 1; i < parts; ++i) section += "\\a";
    {
      FILE* out = std::fopen(file.c_str(), "wb");
      std::fprintf(out, "[%s]\r\nk=v\r\n", section.c_str());
      std::fclose(out);
    }
    int seen = 0;
    Report("text: walk a section path of " + std::to_string(parts) + " parts", Median([&] {
             auto data = KVMakeRef<TKVPersistentData>(&KVIniFileStorageClass, file.string());
             seen = WalkDown(*data);
           }));
    if (seen != parts) std::printf("  (walked %d levels, expected %d)\n", seen, parts);
    fs::remove(file);
  }
}

}  // namespace

int main() {
  try {
    CompoundCases();
    TextCases();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "storage_growth_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
