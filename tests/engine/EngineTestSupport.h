#pragma once
// What the engine tests share: a report sink that keeps every line, to compare with the layout.
#include <string>
#include <vector>

#include "db/KVOdbcRecordset.h"
#include "engine/DMExecute.h"

namespace enginetest {

struct TReportLines : IQXExecReportSink {
  std::vector<TQXReportLine> Lines;
  void ReportLine(const TQXReportLine& line) override { Lines.push_back(line); }
  std::vector<std::string> Texts() const {
    std::vector<std::string> t;
    for (auto& l : Lines) t.push_back(l.Text());
    return t;
  }
};

// The rows a SELECT gives, as "a,b;c,d;" (NULL shows as an empty text).
inline std::string QueryRows(const TKVRef<TKVOdbcConnection>& c, const std::string& sql) {
  TKVOdbcRecordset rs(c);
  rs.SetSimplestConfiguration();
  rs.SetSQL(sql);
  rs.Open();
  std::string out;
  for (; rs.HasCurrentRecord(); rs.MoveToNext()) {
    for (size_t i = 0; i < rs.FieldCount(); ++i) out += (i ? "," : "") + rs.Field(i).DisplayText();
    out += ";";
    if (rs.Eof()) break;
  }
  return out;
}

}  // namespace enginetest
