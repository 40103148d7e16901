#include "storage/KVCompoundStorage.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"
#include "foundation/KVTrace.h"

namespace {

TKVRef<TKVStorageBase> CreateCompoundDocStorage(std::recursive_mutex* ownerLock, uint32_t rootKey,
                                                const std::string& baseDir, const std::string& fileName) {
  return KVMakeRef<TKVCompoundDocStorage>(ownerLock, rootKey, baseDir, fileName);
}

TKVRef<TKVStorageBase> CreateMemoryDocStorage(std::recursive_mutex* ownerLock, uint32_t rootKey,
                                              const std::string& baseDir, const std::string& fileName) {
  return KVMakeRef<TKVMemoryDocStorage>(ownerLock, rootKey, baseDir, fileName);
}

std::string Quoted(const std::string& op, const std::string& argument) { return op + "(\"" + argument + "\")"; }

// Re-raises the exception in flight with the operation in front, keeping its result code and its text.
[[noreturn]] void Reraise(const std::string& operation, const TKVRefLifeObject* object, const char* routine) {
  try {
    throw;
  } catch (const EKVHrException& e) {
    throw EKVHrException(operation, e.ResultCode(), e.GetMessageText(), object, routine);
  } catch (const EAPIException& e) {
    throw EKVHrException(operation, e.ResultCode(), e.GetMessageText(), object, routine);
  } catch (const std::bad_alloc&) {
    throw EKVHrException(operation, KV_STG_E_INSUFFICIENTMEMORY, object, routine);
  } catch (const std::exception& e) {
    throw EKVHrException(operation, static_cast<HRESULT>(0x80004005u), e.what(), object, routine);
  }
}

}  // namespace

const TKVStorageClassInfo KVCompoundDocStorageClass = {"TKVCompoundDocStorage", &CreateCompoundDocStorage};
const TKVStorageClassInfo KVMemoryDocStorageClass = {"TKVMemoryDocStorage", &CreateMemoryDocStorage};

// --- TKVCompoundDocStorage -----------------------------------------------------------------------------------

TKVCompoundDocStorage::TKVCompoundDocStorage(std::recursive_mutex* ownerLock, uint32_t rootKey,
                                             const std::string& baseDir, const std::string& fileName)
    : TKVStorageBase(ownerLock, rootKey, baseDir, fileName) {}

TKVCompoundDocStorage::~TKVCompoundDocStorage() {
  try {
    Close();
  } catch (const std::exception& e) {
    KVTrace(TKVTraceCategory::Error, "Closing \"" + m_FileName + "\" lost its changes: " + KVErrorText(e));
  } catch (...) {
    KVTrace(TKVTraceCategory::Error, "Closing \"" + m_FileName + "\" lost its changes");
  }
  m_Doc.reset();
}

void* TKVCompoundDocStorage::GetInterface(const TGUID& iid) {
  if (iid == IKVGetSetGUID::IID) return static_cast<IKVGetSetGUID*>(this);
  if (iid == IKVGetGUID::IID) return static_cast<IKVGetGUID*>(this);
  return TKVStorageBase::GetInterface(iid);
}

TGUID TKVCompoundDocStorage::GetClassGUID() {
  std::lock_guard lock(*m_Lock);
  return m_ClassId;
}

void TKVCompoundDocStorage::SetClassGUID(const TGUID& classId) {
  std::lock_guard lock(*m_Lock);
  m_ClassId = classId;
  if (m_Doc) m_Doc->SetClassId(classId);
}

TKVCompoundFile& TKVCompoundDocStorage::GetDocument() {
  std::lock_guard lock(*m_Lock);
  if (!m_Doc) {
    ForgetWalk();
    OpenRoot();
    ResetCurrentDir();
  }
  return *m_Doc;
}

TKVCompoundElement& TKVCompoundDocStorage::GetRootStorage() { return GetDocument().Root(); }

void TKVCompoundDocStorage::OpenRoot() {
  const char* routine = "TKVCompoundDocStorage.GetRootStorage";
  auto doc = std::make_unique<TKVCompoundFile>();
  if (m_FileName.empty()) {
    try {
      doc->SetClassId(m_ClassId);
    } catch (...) {
      Reraise("StgCreateDocfileOnILockBytes", this, routine);
    }
    m_Doc = std::move(doc);
    return;
  }
  struct stat st;
  bool exists = ::lstat(m_FileName.c_str(), &st) == 0 || errno != ENOENT;
  if (exists) {
    try {
      doc->OpenFile(m_FileName);
    } catch (...) {
      Reraise(Quoted("StgOpenStorage", m_FileName), this, routine);
    }
  } else {
    // The class id goes into the very first image, so the new file never exists without it.
    doc->SetClassId(m_ClassId);
    try {
      doc->CreateFile(m_FileName);
    } catch (...) {
      Reraise(Quoted("StgCreateDocfile", m_FileName), this, routine);
    }
  }
  m_Doc = std::move(doc);
}

void TKVCompoundDocStorage::ForgetWalk() {
  m_Walk = TWalkCache();
  m_Current = nullptr;
}

TKVCompoundElement* TKVCompoundDocStorage::Walk(const std::string& internalPath, TWalkMode mode) {
  const char* routine = "TKVCompoundDocStorage.InternalOpenDir";
  TKVCompoundElement& root = GetRootStorage();
  // Elements may also be removed through the document itself.
  if (m_Doc->RemovalCount() != m_WalkRemovals) {
    ForgetWalk();
    m_WalkRemovals = m_Doc->RemovalCount();
  }
  const std::string& path = internalPath;  // single "\\" between elements, none at the ends
  // The elements shared with the last walk: the common bytes, cut back to an element boundary.
  // Usually one path is a prefix of the other (a step down or back up), which one comparison settles.
  const size_t limit = std::min(path.size(), m_Walk.Path.size());
  size_t same = limit;
  if (std::memcmp(path.data(), m_Walk.Path.data(), limit) != 0)
    same = static_cast<size_t>(
        std::mismatch(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(limit), m_Walk.Path.begin()).first -
        path.begin());
  size_t keep = static_cast<size_t>(std::lower_bound(m_Walk.Ends.begin(), m_Walk.Ends.end(), same) -
                                    m_Walk.Ends.begin());
  if (keep < m_Walk.Ends.size() && m_Walk.Ends[keep] == same && (same == path.size() || path[same] == '\\')) ++keep;
  m_Walk.Ends.resize(keep);
  m_Walk.Chain.resize(keep);
  m_Walk.Path.resize(keep ? m_Walk.Ends.back() : 0);

  const bool raising = mode == TWalkMode::OpenRaising || mode == TWalkMode::OpenCreateRaising;
  TKVCompoundElement* e = keep ? m_Walk.Chain.back() : &root;
  for (size_t pos = keep ? m_Walk.Ends.back() + 1 : 0; pos < path.size();) {
    size_t end = std::min(path.find('\\', pos), path.size());
    std::string part = path.substr(pos, end - pos);
    pos = end + 1;
    if (raising && !KVCompoundIsValidName(part)) {
      try {
        KVCompoundCheckName(part, {});
      } catch (...) {
        Reraise(Quoted("InternalOpenDir", part), this, routine);
      }
    }
    TKVCompoundElement* next = e->Find(part);
    if (!next) {
      if (mode == TWalkMode::Find || mode == TWalkMode::OpenRaising) return nullptr;
      if (mode == TWalkMode::Create) {
        next = &e->CreateStorage(part);
      } else {
        try {
          next = &e->CreateStorage(part);
        } catch (...) {
          Reraise(Quoted("InternalOpenDir", part), this, routine);
        }
      }
    } else if (!next->IsStorage()) {
      if (raising)
        throw EKVHrException(Quoted("InternalOpenDir", part), KV_STG_E_FILEALREADYEXISTS,
                             "\"" + next->Name() + "\" is a value, not a directory", this, routine);
      return nullptr;
    }
    e = next;
    if (!m_Walk.Path.empty()) m_Walk.Path += '\\';
    m_Walk.Path += part;
    m_Walk.Ends.push_back(m_Walk.Path.size());
    m_Walk.Chain.push_back(e);
  }
  return e;
}

TKVCompoundElement* TKVCompoundDocStorage::CurrentStorage(bool create) {
  if (m_Doc && m_Current && m_CurrentGeneration == DirGeneration() && m_Doc->RemovalCount() == m_WalkRemovals)
    return m_Current;
  TKVCompoundElement* e = Walk(InternalPath(GetCurrentDir()), create ? TWalkMode::Create : TWalkMode::Find);
  if (e) {
    m_Current = e;
    m_CurrentGeneration = DirGeneration();
  }
  return e;
}

bool TKVCompoundDocStorage::InternalDirExists(const std::string& internalPath) {
  std::lock_guard lock(*m_Lock);
  return Walk(internalPath, TWalkMode::Find) != nullptr;
}

bool TKVCompoundDocStorage::InternalOpenDir(const std::string& internalPath, bool create) {
  std::lock_guard lock(*m_Lock);
  try {
    return Walk(internalPath, create ? TWalkMode::OpenCreateRaising : TWalkMode::OpenRaising) != nullptr;
  } catch (...) {
    ResetCurrentDir();
    throw;
  }
}

TKVStringArray TKVCompoundDocStorage::InternalReadSubDirNames() {
  std::lock_guard lock(*m_Lock);
  TKVCompoundElement* e = CurrentStorage(false);
  return e ? e->ChildNames(TKVCompoundElement::TKind::Storage) : TKVStringArray();
}

TKVStringArray TKVCompoundDocStorage::InternalReadValueNames() {
  std::lock_guard lock(*m_Lock);
  TKVCompoundElement* e = CurrentStorage(false);
  return e ? e->ChildNames(TKVCompoundElement::TKind::Stream) : TKVStringArray();
}

bool TKVCompoundDocStorage::InternalDeleteValue(const std::string& name) {
  std::lock_guard lock(*m_Lock);
  TKVCompoundElement* e = CurrentStorage(false);
  return e && e->Destroy(name);
}

bool TKVCompoundDocStorage::InternalDeleteDir(const std::string&) { return false; }

bool TKVCompoundDocStorage::DeleteDir(const std::string& path) {
  std::lock_guard lock(*m_Lock);
  if (path.empty()) return false;
  TKVStringArray parts = KVSplitPath(KVResolvePath(GetCurrentDir(), path));
  if (parts.empty()) return false;
  std::string full;
  for (auto& p : parts) full = KVJoinPath(full, p);
  if (!DirExists("\\" + full)) return false;
  std::string last = parts.back();
  parts.pop_back();
  std::string parent;
  for (auto& p : parts) parent = KVJoinPath(parent, p);
  if (!OpenDir("\\" + parent, false)) return false;
  TKVCompoundElement* e = CurrentStorage(false);
  return e && e->Destroy(last);
}

std::string TKVCompoundDocStorage::ReadString(const std::string& name, const std::string& def) {
  std::lock_guard lock(*m_Lock);
  try {
    const TKVCompoundElement* dir = CurrentStorage(false);
    const TKVCompoundElement* e = dir ? dir->Find(name) : nullptr;
    return e && e->IsStream() ? e->Data() : def;
  } catch (...) {
    return def;
  }
}

void TKVCompoundDocStorage::WriteString(const std::string& name, const std::string& value) {
  std::lock_guard lock(*m_Lock);
  TKVCompoundElement* dir = nullptr;
  GetRootStorage();  // a document that cannot be opened raises with its own text
  try {
    dir = CurrentStorage(true);
    if (!dir) throw EKVHrException("The current directory is a value", KV_STG_E_FILEALREADYEXISTS, this, "WriteString");
    dir->WriteStream(name, value);
  } catch (...) {
    Reraise(Quoted("WriteString", name), this, "TKVCompoundDocStorage.WriteString");
  }
}

void TKVCompoundDocStorage::Commit() {
  std::lock_guard lock(*m_Lock);
  if (!m_Doc || !m_Doc->HasFile() || !m_Doc->Modified()) return;
  try {
    m_Doc->SaveFile();
  } catch (...) {
    Reraise("Commit", this, "TKVCompoundDocStorage.Commit");
  }
}

void TKVCompoundDocStorage::Close() {
  std::lock_guard lock(*m_Lock);
  if (m_Doc) {
    Commit();
    m_Doc.reset();
  }
  ForgetWalk();
  ResetCurrentDir();
}

void TKVCompoundDocStorage::SetFileName(const std::string& fileName) {
  std::lock_guard lock(*m_Lock);
  if (KVSameText(fileName, m_FileName)) return;
  Close();
  TKVStorageBase::SetFileName(fileName);
}

// --- TKVMemoryDocStorage --------------------------------------------------------------------------------------

TKVMemoryDocStorage::TKVMemoryDocStorage(std::recursive_mutex* ownerLock, uint32_t rootKey, const std::string& baseDir,
                                         const std::string& fileName)
    : TKVCompoundDocStorage(ownerLock, rootKey, baseDir, fileName) {}

std::string TKVMemoryDocStorage::GetImage() {
  std::lock_guard lock(*m_Lock);
  TKVCompoundFile& doc = GetDocument();
  try {
    return doc.SaveImage();
  } catch (...) {
    Reraise("GetImage", this, "TKVMemoryDocStorage.GetImage");
  }
}

void TKVMemoryDocStorage::SetImage(const std::string& image) {
  std::lock_guard lock(*m_Lock);
  m_Doc.reset();
  ForgetWalk();
  m_Image = image;
  ResetCurrentDir();
}

void TKVMemoryDocStorage::SetFileName(const std::string& fileName) { TKVStorageBase::SetFileName(fileName); }

void TKVMemoryDocStorage::OpenRoot() {
  auto doc = std::make_unique<TKVCompoundFile>();
  if (m_Image) {
    try {
      doc->LoadImage(*m_Image);
    } catch (...) {
      Reraise("RootStorage", this, "TKVMemoryDocStorage.GetRootStorage");
    }
    m_Image.reset();
  } else {
    doc->SetClassId(m_ClassId);
  }
  doc->SetModified(false);
  m_Doc = std::move(doc);
}
