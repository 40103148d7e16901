#pragma once
// The problem report: what a user sends when something went wrong — the last errors with their detailed
// texts, the program and library versions, the loaded plug-in modules and the operating system — as one
// XML document, compressed into a ".gz" file that a mail draft can carry. Nothing here sends anything.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/KVExceptions.h"

using TKVNameValues = std::vector<std::pair<std::string, std::string>>;

struct TKVProblemReportData {
  std::string Program;
  std::string ProgramVersion;
  std::string Created;            // ISO 8601, UTC
  TKVNameValues Libraries;        // name, version
  TKVNameValues OdbcDrivers;      // driver name, its library file and version where known
  std::vector<std::string> Plugins;  // file names of the loaded modules
  TKVNameValues System;           // uname fields and /etc/os-release entries
  std::vector<TKVRecentError> Errors;
};

// Everything the process can tell about itself: the recent errors, the versions of the libraries it links
// (zlib, unixODBC, libgsf, libsodium), the installed ODBC drivers, the loaded plug-ins and the system.
// `extraLibraries` adds what the caller links beyond the core (the toolkit of the desktop program).
TKVProblemReportData KVGatherProblemReport(const std::string& program, const std::string& version,
                                           const TKVNameValues& extraLibraries = {});

// Text for XML element content and attribute values: markup characters become entities, characters XML
// cannot carry (control characters) are written as "\xNN" and bytes that are not UTF-8 become U+FFFD, so
// whatever an error text holds, the document stays well-formed.
std::string KVXmlText(std::string_view text);

std::string KVProblemReportXml(const TKVProblemReportData& data);

// A complete gzip member (header, deflate data, CRC and length) holding `data`.
std::string KVGzipCompress(const std::string& data);

// Writes the compressed report into a new private folder under the temp folder (TMPDIR or /tmp), the file
// readable by its owner only, and returns its path. Raises EAPIException when it cannot be written.
std::string KVWriteProblemReportFile(const std::string& xml, const std::string& baseDir = "");
