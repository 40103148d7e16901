// The compound-file reader and writer.
//
// Odd first byte: the rest is a file image. The reader either refuses it with its own error or reads a tree;
// a tree that was read is written, and the written image must read as the same tree (names, kinds, bytes,
// class id) and be written again byte for byte the same. A refused image leaves the document as it was.
//
// Even first byte: the bytes build a tree (storages and streams of generated names and contents, some of
// them larger than the small-stream limit) through the element interface; it is written and read back and
// must come back the same.
#include <string>

#include "foundation/KVExceptions.h"
#include "fuzz/FuzzSupport.h"
#include "storage/KVCompoundFile.h"

namespace {

// The tree as text: one line per element, children in order.
void Describe(const TKVCompoundElement& e, std::string& out, int depth) {
  out.append(static_cast<size_t>(depth), ' ');
  out += FuzzQuote(e.Name());
  if (e.IsStream()) {
    out += " = " + std::to_string(e.Data().size()) + " " + FuzzQuote(e.Data().substr(0, 64));
    size_t h = 1469598103934665603ull;
    for (unsigned char c : e.Data()) h = (h ^ c) * 1099511628211ull;
    out += " #" + std::to_string(h) + "\n";
    return;
  }
  out += "/\n";
  for (size_t i = 0; i < e.Count(); ++i) Describe(e.Child(i), out, depth + 1);
}

std::string Describe(const TKVCompoundFile& f) {
  std::string out = f.ClassId().ToString() + "\n";
  Describe(f.Root(), out, 0);
  return out;
}

void RoundTrip(const TKVCompoundFile& doc, const std::string& origin) {
  const std::string tree = Describe(doc);
  const std::string image = doc.SaveImage();
  TKVCompoundFile back;
  try {
    back.LoadImage(image);
  } catch (const EKVException& e) {
    FuzzFail("a written image reads", origin + "\n" + tree + e.what());
  }
  const std::string backTree = Describe(back);
  FUZZ_CHECK(backTree == tree, origin + "\nwritten:\n" + tree + "read back:\n" + backTree);
  FUZZ_CHECK(back.SaveImage() == image, origin + ": the image written again differs");
}

void ReadImage(const std::string& image) {
  TKVCompoundFile doc;
  doc.Root().WriteStream("Marker", "kept");
  const std::string before = Describe(doc);
  try {
    doc.LoadImage(image);
  } catch (const EKVHrException&) {
    FUZZ_CHECK(Describe(doc) == before, "a refused image changed the document");
    return;
  }
  RoundTrip(doc, "an image of " + std::to_string(image.size()) + " bytes");
}

std::string Name(TFuzzInput& in) {
  static const char kChars[] = "abAB01._ \xC3\xA9\xE2\x82\xAC";
  std::string n;
  const int length = 1 + in.Byte() % 12;
  for (int i = 0; i < length; ++i) n += kChars[in.Byte() % (sizeof kChars - 1)];
  return n;
}

void Build(TKVCompoundElement& storage, TFuzzInput& in, int depth, int& budget) {
  while (budget > 0 && !in.Empty()) {
    --budget;
    const uint8_t op = in.Byte();
    const std::string name = Name(in);
    try {
      switch (op % 6) {
        case 0:
          if (depth < 6) Build(storage.CreateStorage(name), in, depth + 1, budget);
          break;
        case 1: return;
        case 2: storage.Destroy(name); break;
        default: {
          // Sizes around the 4096-byte small-stream limit and the sector size.
          static const size_t kSizes[] = {0, 1, 63, 64, 65, 511, 512, 513, 4095, 4096, 4097, 9000};
          std::string data(kSizes[in.Byte() % std::size(kSizes)], '\0');
          const uint8_t seed = in.Byte();
          for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(seed + i * 7);
          storage.WriteStream(name, std::move(data));
        }
      }
    } catch (const EKVHrException&) {
      // A name that is a child of the other kind already, or invalid UTF-8 cut from the alphabet.
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFuzzInput in(data, size);
  if (in.Byte() & 1) {
    ReadImage(in.Rest());
    return 0;
  }
  TKVCompoundFile doc;
  int budget = 200;
  Build(doc.Root(), in, 0, budget);
  RoundTrip(doc, "a built tree");
  return 0;
}
