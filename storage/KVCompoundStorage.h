#pragma once
// The binary storage format: a storage over a compound document (see KVCompoundFile.h).
//
// Mapping: a directory is a storage element (the root directory is the root storage, a path's elements are
// storages one below the other, names unchanged, so "." and "00000" are ordinary names); a value is a stream
// named like the value holding exactly the bytes of the string (no length, no terminator, nothing replaced).
// A zero-length value is an empty stream and reads back as "", not as the default. Directories and values
// share one name space per directory, and names compare without regard to letter case.
//
// The document is opened lazily, on the first operation that needs it (GetRootStorage):
//  - file name of an existing file: the file is opened exclusively (a second open, from this or another
//    process, fails while this storage keeps it) and read into memory; a file that cannot be written is
//    opened read-only, and a commit with changes then raises. Failure raises EKVHrException with
//    StgOpenStorage("<file name>") in front and an STG_E_* code (STG_E_SHAREVIOLATION,
//    STG_E_ACCESSDENIED, STG_E_INVALIDHEADER, STG_E_DOCFILECORRUPT, STG_E_FILENOTFOUND ...);
//  - file name of a file that does not exist: the file is created at once as an empty document carrying the
//    class id (so it exists and is locked from then on); failure text StgCreateDocfile("<file name>");
//  - no file name: a document in memory only.
// Commit writes the whole document when anything changed since the last commit, into a temporary file that
// then replaces the old one (an interrupted commit leaves the previous file whole). Opening and reading only
// never rewrites the file.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "storage/KVCompoundFile.h"
#include "storage/KVStorage.h"

class IKVGetGUID {
 public:
  static constexpr TGUID IID = KVGuid("{3D31BD87-2964-4D4C-B719-DBC2C1F5F7E3}");
  virtual ~IKVGetGUID() = default;
  virtual TGUID GetGUID() = 0;
};

class IKVGetSetGUID : public IKVGetGUID {
 public:
  static constexpr TGUID IID = KVGuid("{653E3FCF-88C5-416E-9FE6-6274B533B7C4}");
  virtual void SetGUID(const TGUID& guid) = 0;
};

// "TKVCompoundDocStorage" and "TKVMemoryDocStorage".
extern const TKVStorageClassInfo KVCompoundDocStorageClass;
extern const TKVStorageClassInfo KVMemoryDocStorageClass;

class TKVCompoundDocStorage : public TKVStorageBase, public IKVGetSetGUID {
 public:
  TKVCompoundDocStorage(std::recursive_mutex* ownerLock, uint32_t rootKey, const std::string& baseDir,
                        const std::string& fileName);
  // Commits and closes; a failing commit is written to the trace, not raised.
  ~TKVCompoundDocStorage() override;

  TKVStorageClass StorageClass() const override { return &KVCompoundDocStorageClass; }
  void* GetInterface(const TGUID& iid) override;
  std::string GetObjectName() const override { return m_FileName; }

  // The class id the storage gives its documents. It is written as the root's class id when a document is
  // created, and applied to an open document at once (the next commit writes it). Opening a file does not
  // change it.
  TGUID GetClassGUID();
  void SetClassGUID(const TGUID& classId);
  TGUID GetGUID() override { return GetClassGUID(); }
  void SetGUID(const TGUID& guid) override { SetClassGUID(guid); }

  // The root storage of the document, opening or creating the document first (see above).
  TKVCompoundElement& GetRootStorage();
  // The whole document (tree, class id, file), opened as GetRootStorage does.
  TKVCompoundFile& GetDocument();

  // The stream's bytes; `def` when there is no stream of that name in the current directory (also when the
  // name is a directory or not a valid name) and on any failure, including one to open the document.
  std::string ReadString(const std::string& name, const std::string& def) override;
  // Creates or replaces the stream. Raises with WriteString("<name>") in front: for an invalid name
  // (STG_E_INVALIDNAME) or a name that is a directory.
  void WriteString(const std::string& name, const std::string& value) override;
  // The parent becomes the current directory, then the directory is destroyed with everything below it.
  // A missing directory (or an invalid name in the path) answers false without raising.
  bool DeleteDir(const std::string& path) override;
  // Raises with "Commit" in front when the document cannot be written.
  void Commit() override;
  // When the name differs (ASCII letter case ignored): commits and closes the document, then keeps the
  // name; the next use opens the new file. A failing commit raises and leaves everything as it was.
  void SetFileName(const std::string& fileName) override;
  // Commits and releases the document and its file; the next use opens it again.
  void Close();

 protected:
  // Makes m_Doc; called by GetDocument when there is none.
  virtual void OpenRoot();

  bool InternalDirExists(const std::string& internalPath) override;
  // Walks from the root element by element. A missing element is made with `create`, without it the answer
  // is false. An element that is a stream, or an invalid name, raises with InternalOpenDir("<element>");
  // whatever raises leaves the storage at the root.
  bool InternalOpenDir(const std::string& internalPath, bool create) override;
  TKVStringArray InternalReadSubDirNames() override;
  TKVStringArray InternalReadValueNames() override;
  // Destroys the element of that name in the current directory, whatever its kind.
  bool InternalDeleteValue(const std::string& name) override;
  // Unused: DeleteDir is overridden.
  bool InternalDeleteDir(const std::string& internalPath) override;

  // The storage of the current directory; null when it is missing and `create` is not set.
  TKVCompoundElement* CurrentStorage(bool create);
  // Forgets the walk below the root: elements were destroyed or the document replaced.
  void ForgetWalk();

  std::unique_ptr<TKVCompoundFile> m_Doc;
  TGUID m_ClassId;

 private:
  enum class TWalkMode { Find, Create, OpenRaising, OpenCreateRaising };
  // The storage at the internal path. Deep documents are walked level by level through relative paths, so
  // the elements of the last walk are kept and a new path is walked only from where it leaves the last one:
  // no level is looked up again per operation. Find answers null for anything missing; Create makes what is
  // missing; the Open modes raise as InternalOpenDir describes, OpenRaising answering null for a missing level.
  TKVCompoundElement* Walk(const std::string& internalPath, TWalkMode mode);

  struct TWalkCache {
    std::string Path;                        // the walked elements joined by "\"
    std::vector<size_t> Ends;                // where each element ends in Path
    std::vector<TKVCompoundElement*> Chain;  // the storages, one per element (the root is not stored)
  } m_Walk;
  uint64_t m_WalkRemovals = 0;  // the document's RemovalCount() the walk was made with
  // The current directory's storage while DirGeneration() has not moved on.
  TKVCompoundElement* m_Current = nullptr;
  uint64_t m_CurrentGeneration = 0;
};

// A compound document that lives in memory only, for the clipboard and for new documents not saved yet.
// A file name may be set but is never used.
class TKVMemoryDocStorage : public TKVCompoundDocStorage {
 public:
  TKVMemoryDocStorage(std::recursive_mutex* ownerLock, uint32_t rootKey, const std::string& baseDir,
                      const std::string& fileName);

  TKVStorageClass StorageClass() const override { return &KVMemoryDocStorageClass; }

  // The complete compound-file image of the current tree.
  std::string GetImage();
  // Drops the current document; the next use opens this image (raising with "RootStorage" in front when it
  // is no valid compound file, and again on every use until another image is set). Without an image set,
  // the next use starts a new empty document carrying the class id.
  void SetImage(const std::string& image);

  // Nothing to write: the document is the memory.
  void Commit() override {}
  void SetFileName(const std::string& fileName) override;

 protected:
  void OpenRoot() override;

 private:
  std::optional<std::string> m_Image;
};
