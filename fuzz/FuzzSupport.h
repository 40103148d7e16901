#pragma once
// What every fuzz target shares: a failed property stops the run like a crash does, so libFuzzer keeps the
// input; files go to a private folder in memory, since the readers under test take file names.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Prints the property and the values involved, then aborts (libFuzzer saves the input as a crash).
[[noreturn]] void FuzzFail(const char* property, const std::string& detail = {});
#define FUZZ_CHECK(cond, detail)          \
  do {                                    \
    if (!(cond)) FuzzFail(#cond, detail); \
  } while (0)

// A folder of this process under /dev/shm (else the temporary folder), made on first use and removed at
// exit; writes there cost no disk syncs.
const std::string& FuzzDir();
// FuzzDir() + "/" + name.
std::string FuzzPath(const std::string& name);
void FuzzWriteFile(const std::string& path, std::string_view data);
std::string FuzzReadFile(const std::string& path);
void FuzzRemove(const std::string& path);

// The most path separators ("\\" or "/") on any line of the bytes. Section paths of many parts still take
// more than linear time in the text storage (their own benchmark covers it); targets leave such inputs
// out so that a short run stays stable.
size_t FuzzMaxSeparatorsPerLine(std::string_view bytes);

// Bytes shown as C string text (printable ASCII as it is, everything else escaped), for failure details.
std::string FuzzQuote(std::string_view bytes);

// Takes the input apart: pieces separated by a byte value, numbers from the front.
class TFuzzInput {
 public:
  TFuzzInput(const uint8_t* data, size_t size) : m_Data(reinterpret_cast<const char*>(data), size) {}
  bool Empty() const { return m_Pos >= m_Data.size(); }
  uint8_t Byte() { return Empty() ? 0 : static_cast<uint8_t>(m_Data[m_Pos++]); }
  // The bytes up to the next `separator` (which is consumed) or the end.
  std::string Piece(char separator = '\0');
  std::string Rest() {
    std::string r = m_Data.substr(m_Pos);
    m_Pos = m_Data.size();
    return r;
  }

 private:
  std::string m_Data;
  size_t m_Pos = 0;
};
