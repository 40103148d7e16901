#pragma once
// Which storage class reads a given file, and which one a file name's extension asks for.
#include <string>

#include "storage/KVStorage.h"

// The storage class for an existing file: the compound-file class when the file starts with the
// compound-file signature, the text class when its first byte other than blank, tab, line feed and carriage
// return is "[", else null. Raises "File not found: "%s"" for a missing file and the system error
// (routine "TestFirstNonWhiteChar") when the file cannot be read.
TKVStorageClass KVTestFileFormat(const std::string& fileName);

// The class a document file name asks for by its extension: "qxt" text, "qxs" binary (case-insensitive);
// null for any other extension.
TKVStorageClass KVStorageClassForExtension(const std::string& fileName);
