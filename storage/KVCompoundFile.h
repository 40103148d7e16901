#pragma once
// The binary document container: a compound file (storages holding streams and further storages) kept as
// a tree in memory. Reading and writing the container is done here, as are the rules the format leaves to the
// application: name rules, case-insensitive lookup, the compound enumeration order, exclusive access to the
// file and safe replacement of the file on save.
//
// Reading: the whole file is read once; the tree then lives in memory and the file is never read again.
// Everything is checked before the tree is built (header, sector tables and their chains, the directory
// tree, names): a damaged file is refused as a whole instead of yielding a partial tree that a later save
// would make permanent. Work and memory grow linearly with the file; nothing recurses per level or sibling.
//
// Writing: version 3 (512-byte sectors, 64-byte mini sectors, 4096-byte mini stream cutoff), the most widely
// readable form and the compact one for the many short values this program stores. The output depends only
// on the tree and the class id, so the same tree always gives the same bytes. The children of a storage form
// a balanced red-black sibling tree; time is linear in the number of elements and bytes.
//
// Not thread-safe: the owner serialises access.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/KVExceptions.h"
#include "foundation/KVGuid.h"

// Result codes of the compound-file family (STG_E_*), raised in EKVHrException.
constexpr HRESULT KV_STG_E_INVALIDFUNCTION = static_cast<HRESULT>(0x80030001u);
constexpr HRESULT KV_STG_E_FILENOTFOUND = static_cast<HRESULT>(0x80030002u);
constexpr HRESULT KV_STG_E_PATHNOTFOUND = static_cast<HRESULT>(0x80030003u);
constexpr HRESULT KV_STG_E_ACCESSDENIED = static_cast<HRESULT>(0x80030005u);
constexpr HRESULT KV_STG_E_INSUFFICIENTMEMORY = static_cast<HRESULT>(0x80030008u);
constexpr HRESULT KV_STG_E_WRITEFAULT = static_cast<HRESULT>(0x8003001Du);
constexpr HRESULT KV_STG_E_READFAULT = static_cast<HRESULT>(0x8003001Eu);
constexpr HRESULT KV_STG_E_SHAREVIOLATION = static_cast<HRESULT>(0x80030020u);
constexpr HRESULT KV_STG_E_LOCKVIOLATION = static_cast<HRESULT>(0x80030021u);
constexpr HRESULT KV_STG_E_FILEALREADYEXISTS = static_cast<HRESULT>(0x80030050u);
constexpr HRESULT KV_STG_E_MEDIUMFULL = static_cast<HRESULT>(0x80030070u);
constexpr HRESULT KV_STG_E_INVALIDHEADER = static_cast<HRESULT>(0x800300FBu);
constexpr HRESULT KV_STG_E_INVALIDNAME = static_cast<HRESULT>(0x800300FCu);
constexpr HRESULT KV_STG_E_DOCFILECORRUPT = static_cast<HRESULT>(0x80030109u);

// Whether the file starts with the 8-byte compound-file signature. Never raises: a file that cannot be read
// is no compound file.
bool KVStgIsStorageFile(const std::string& path);

// --- Element names -----------------------------------------------------------------------------------------
//
// A name is valid when it is non-empty UTF-8 of at most 31 UTF-16 code units and contains none of
// "/", "\", ":", "!" and no NUL. Names are compared as the format defines: every UTF-16 code unit
// upper-cased by the simple Unicode mapping (surrogates stay as they are), then shorter names first, then
// code unit by code unit.

bool KVCompoundIsValidName(std::string_view name);
// Raises EKVHrException(STG_E_INVALIDNAME) naming the offending name, with `operation` in front.
void KVCompoundCheckName(std::string_view name, const std::string& operation);
// <0, 0, >0 in the format's order. Names that are not valid UTF-8 compare by their bytes, after valid ones.
int KVCompoundCompareNames(std::string_view a, std::string_view b);

class TKVCompoundFile;

// A storage (directory) or a stream (byte string) of the tree.
class TKVCompoundElement {
 public:
  enum class TKind : uint8_t { Storage, Stream };

  ~TKVCompoundElement();
  TKVCompoundElement(const TKVCompoundElement&) = delete;
  TKVCompoundElement& operator=(const TKVCompoundElement&) = delete;

  TKind Kind() const { return m_Kind; }
  bool IsStorage() const { return m_Kind == TKind::Storage; }
  bool IsStream() const { return m_Kind == TKind::Stream; }
  const std::string& Name() const { return m_Name; }

  // --- Storages (on a stream these raise STG_E_INVALIDFUNCTION, Find answers null) ---
  // Children in the format's order (see above), storages and streams mixed, whatever the order of creation.
  size_t Count() const { return m_Children.size(); }
  TKVCompoundElement& Child(size_t index) { return *m_Children.at(index); }
  const TKVCompoundElement& Child(size_t index) const { return *m_Children.at(index); }
  // Names of the children of one kind, in the format's order.
  std::vector<std::string> ChildNames(TKind kind) const;
  // The child of that name, compared as the format does (so without regard to letter case); null when
  // there is none or the name is invalid.
  const TKVCompoundElement* Find(std::string_view name) const;
  TKVCompoundElement* Find(std::string_view name) {
    return const_cast<TKVCompoundElement*>(static_cast<const TKVCompoundElement*>(this)->Find(name));
  }
  // The storage of that name, made when missing. Raises STG_E_INVALIDNAME for an invalid name and
  // STG_E_FILEALREADYEXISTS when a stream has the name (one name space holds both kinds).
  TKVCompoundElement& CreateStorage(const std::string& name);
  // Creates the stream or replaces its bytes. Raises as CreateStorage does, when a storage has the name.
  TKVCompoundElement& WriteStream(const std::string& name, std::string data);
  // Removes the child (with everything below it); false when there was none of that name.
  bool Destroy(std::string_view name);

  // --- Streams ---
  const std::string& Data() const { return m_Data; }
  // Raises STG_E_INVALIDFUNCTION on a storage.
  void SetData(std::string data);

 private:
  friend class TKVCompoundFile;
  friend struct TKVCompoundAccess;  // the loader fills storages in bulk
  TKVCompoundElement(TKVCompoundFile* owner, TKind kind, std::string name, std::u16string key);
  std::vector<std::unique_ptr<TKVCompoundElement>>::const_iterator LowerBound(const std::u16string& key) const;
  void RequireStorage(const char* routine) const;
  void Touch();

  TKVCompoundFile* m_Owner;
  TKind m_Kind;
  std::string m_Name;
  std::u16string m_Key;  // the upper-cased UTF-16 form the order is defined on
  std::string m_Data;
  std::vector<std::unique_ptr<TKVCompoundElement>> m_Children;  // sorted by m_Key
};

// A compound document: the element tree, the root's class id, and optionally the file it belongs to.
//
// Errors raise EKVHrException with an STG_E_* code: STG_E_INVALIDHEADER for bytes that are no
// compound file (empty, short, wrong signature, unsupported header), STG_E_DOCFILECORRUPT for a compound
// file whose tables or directory are inconsistent,
// STG_E_SHAREVIOLATION when another document holds the file, and the code nearest to errno for failed system
// calls. Messages describe what failed but do not name the file: the caller puts its own operation text
// (with the file name) in front.
class TKVCompoundFile {
 public:
  // An empty document (a root storage without children, null class id) bound to no file.
  TKVCompoundFile();
  // Releases the file and its lock without saving.
  ~TKVCompoundFile();
  TKVCompoundFile(const TKVCompoundFile&) = delete;
  TKVCompoundFile& operator=(const TKVCompoundFile&) = delete;

  TKVCompoundElement& Root() { return *m_Root; }
  const TKVCompoundElement& Root() const { return *m_Root; }
  const TGUID& ClassId() const { return m_ClassId; }
  void SetClassId(const TGUID& classId);

  // Changes whenever elements are removed or the whole tree is replaced, so that whoever keeps pointers to
  // elements knows when they may have gone.
  uint64_t RemovalCount() const { return m_Removals; }

  // Whether the tree or the class id changed since the document was loaded, created or saved to its file.
  bool Modified() const { return m_Modified; }
  void SetModified(bool modified) { m_Modified = modified; }

  // Replaces tree and class id by those of the image. The image is checked completely first; on any error
  // the document stays as it was.
  void LoadImage(std::string_view image);
  // The complete file image of the tree and class id.
  std::string SaveImage() const;

  // Opens an existing file exclusively and loads it. The file is locked (flock, exclusive, not waiting) for
  // as long as this document keeps it, so a second open of the same file fails with STG_E_SHAREVIOLATION,
  // from this process or another. A file that cannot be opened for writing is opened read-only.
  // Raises STG_E_INVALIDFUNCTION when a file is already bound.
  void OpenFile(const std::string& path);
  // Creates a new file (failing when it exists), locks it and writes the current tree into it at once.
  void CreateFile(const std::string& path);
  // Writes the tree into the bound file: into a temporary file beside it (same permission bits, owner kept
  // where allowed), synced, locked, then renamed over the file, so the previous contents stay whole until
  // the new ones are complete and the lock moves with the file. Raises STG_E_ACCESSDENIED for a file opened
  // read-only.
  void SaveFile();
  // Releases the file and its lock; the tree stays.
  void CloseFile();

  bool HasFile() const { return m_Fd >= 0; }
  bool ReadOnly() const { return m_ReadOnly; }
  // The name given to OpenFile or CreateFile.
  const std::string& FileName() const { return m_FileName; }

 private:
  friend class TKVCompoundElement;
  void AdoptFile(int fd, const std::string& fileName, bool readOnly);

  std::unique_ptr<TKVCompoundElement> m_Root;
  TGUID m_ClassId;
  bool m_Modified = false;
  uint64_t m_Removals = 0;
  int m_Fd = -1;
  bool m_ReadOnly = false;
  std::string m_FileName;
  std::string m_TargetPath;  // where saves go: the file name with symbolic links resolved
};
