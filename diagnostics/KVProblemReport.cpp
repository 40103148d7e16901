#include "diagnostics/KVProblemReport.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>

#include "db/KVOdbcDrivers.h"
#include "foundation/KVTrace.h"
#include "plugin_host/KVPluginMgr.h"

extern "C" {
// libgsf's run-time version (its header needs GLib's include path, which this library does not use).
extern int libgsf_major_version;
extern int libgsf_minor_version;
extern int libgsf_micro_version;
}

namespace {

std::string IsoTime(int64_t unixTime) {
  std::time_t t = static_cast<std::time_t>(unixTime);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

// Length of the UTF-8 sequence starting at `p` (at most `n` bytes available), 0 when it is not valid
// UTF-8: overlong forms, surrogates and code points above U+10FFFF are refused like stray bytes.
size_t Utf8Length(const unsigned char* p, size_t n, uint32_t& cp) {
  unsigned char c = p[0];
  size_t len;
  uint32_t min;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    len = 2, cp = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3, cp = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4, cp = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (n < len) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

void Element(std::string& out, int indent, const std::string& name, const std::string& text) {
  out.append(indent, ' ');
  out += "<" + name + ">" + KVXmlText(text) + "</" + name + ">\n";
}

void NameValues(std::string& out, const std::string& list, const std::string& item, const TKVNameValues& values) {
  out += "  <" + list + ">\n";
  for (const auto& [name, value] : values)
    out += "    <" + item + " name=\"" + KVXmlText(name) + "\">" + KVXmlText(value) + "</" + item + ">\n";
  out += "  </" + list + ">\n";
}

std::string Unquote(std::string v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
  return v;
}

void GatherOdbcDrivers(TKVNameValues& drivers) {
  try {
    // The driver's library names the build.
    for (const TKVOdbcDriverInfo& d : KVInstalledOdbcDrivers()) drivers.emplace_back(d.Description, d.Library);
  } catch (const std::exception& e) {
    // The report goes out without the driver list rather than not at all.
    KVTrace(TKVTraceCategory::Warning, std::string("problem report: ") + e.what());
  }
}

void GatherSystem(TKVNameValues& system) {
  struct utsname u {};
  if (uname(&u) == 0) {
    system.emplace_back("sysname", u.sysname);
    system.emplace_back("release", u.release);
    system.emplace_back("version", u.version);
    system.emplace_back("machine", u.machine);
  }
  std::ifstream in("/etc/os-release");
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
    system.emplace_back(line.substr(0, eq), Unquote(line.substr(eq + 1)));
  }
}

}  // namespace

std::string KVXmlText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    uint32_t cp = 0;
    size_t len = Utf8Length(p + i, n - i, cp);
    if (len == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD for a byte that starts no valid sequence
      ++i;
      continue;
    }
    switch (cp) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      case '\t': out += "&#9;"; break;
      case '\n': out += "&#10;"; break;
      case '\r': out += "&#13;"; break;  // a parser would turn a literal CR into LF
      default:
        if (cp < 0x20 || cp == 0xFFFE || cp == 0xFFFF) {
          char buf[12];
          std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned>(cp & 0xFFFF));
          out += buf;
        } else {
          out.append(text.substr(i, len));
        }
    }
    i += len;
  }
  return out;
}

TKVProblemReportData KVGatherProblemReport(const std::string& program, const std::string& version,
                                           const TKVNameValues& extraLibraries) {
  TKVProblemReportData d;
  d.Program = program;
  d.ProgramVersion = version;
  d.Created = IsoTime(static_cast<int64_t>(std::time(nullptr)));
  d.Libraries = extraLibraries;
  d.Libraries.emplace_back("zlib", zlibVersion());
#ifdef DABRIX_ODBC_VERSION
  d.Libraries.emplace_back("unixODBC", DABRIX_ODBC_VERSION);
#endif
  d.Libraries.emplace_back("libgsf", std::to_string(libgsf_major_version) + "." +
                                         std::to_string(libgsf_minor_version) + "." +
                                         std::to_string(libgsf_micro_version));
  d.Libraries.emplace_back("libsodium", sodium_version_string());
  GatherOdbcDrivers(d.OdbcDrivers);
  for (const auto& module : KVPluginModules()) d.Plugins.push_back(module->FileName());
  GatherSystem(d.System);
  d.Errors = KVRecentErrors();
  return d;
}

std::string KVProblemReportXml(const TKVProblemReportData& d) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<ProblemReport created=\"" + KVXmlText(d.Created) + "\">\n";
  out += "  <Program>\n";
  Element(out, 4, "Name", d.Program);
  Element(out, 4, "Version", d.ProgramVersion);
  out += "  </Program>\n";
  out += "  <Errors>\n";
  for (const auto& e : d.Errors) {
    out += "    <Error time=\"" + KVXmlText(IsoTime(e.UnixTime)) + "\" severity=\"" +
           KVXmlText(KVSeverityCaption(e.Severity)) + "\">" + KVXmlText(e.Text) + "</Error>\n";
  }
  out += "  </Errors>\n";
  NameValues(out, "Libraries", "Library", d.Libraries);
  NameValues(out, "OdbcDrivers", "Driver", d.OdbcDrivers);
  out += "  <Plugins>\n";
  for (const auto& p : d.Plugins) Element(out, 4, "Plugin", p);
  out += "  </Plugins>\n";
  NameValues(out, "System", "Value", d.System);
  out += "</ProblemReport>\n";
  return out;
}

std::string KVGzipCompress(const std::string& data) {
  z_stream zs{};
  // 16 added to the window bits asks zlib for the gzip header and trailer instead of the zlib ones.
  if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw EKVException("The problem report could not be compressed", "", "", "KVGzipCompress");
  std::string out;
  out.resize(deflateBound(&zs, data.size()) + 32);
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  int rc = deflate(&zs, Z_FINISH);
  size_t produced = zs.total_out;
  deflateEnd(&zs);
  if (rc != Z_STREAM_END) throw EKVException("The problem report could not be compressed", "", "", "KVGzipCompress");
  out.resize(produced);
  return out;
}

std::string KVWriteProblemReportFile(const std::string& xml, const std::string& baseDir) {
  std::string base = baseDir;
  if (base.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    base = tmp && *tmp ? tmp : "/tmp";
  }
  std::string pattern = base + "/dabrix-report-XXXXXX";
  if (!mkdtemp(pattern.data()))
    throw EAPIException("The folder for the problem report could not be created in \"" + base + "\"", errno,
                        nullptr, "KVWriteProblemReportFile");
  std::string compressed = KVGzipCompress(xml);
  std::string path = pattern + "/DabrixProblemReport-" + IsoTime(std::time(nullptr)).substr(0, 10) + ".xml.gz";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0)
    throw EAPIException("The problem report \"" + path + "\" could not be created", errno, nullptr,
                        "KVWriteProblemReportFile");
  const char* p = compressed.data();
  size_t left = compressed.size();
  while (left > 0) {
    ssize_t w = ::write(fd, p, left);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      int err = w < 0 ? errno : ENOSPC;
      ::close(fd);
      ::unlink(path.c_str());
      throw EAPIException("The problem report \"" + path + "\" could not be written", err, nullptr,
                          "KVWriteProblemReportFile");
    }
    p += w;
    left -= static_cast<size_t>(w);
  }
  if (::close(fd) != 0) {
    int err = errno;
    ::unlink(path.c_str());
    throw EAPIException("The problem report \"" + path + "\" could not be written", err, nullptr,
                        "KVWriteProblemReportFile");
  }
  return path;
}
